// The steps every response entry point shares: encoding a body and handing it to the host's
// response buffer. They log through KXAPI_LOG, so each source file that includes this header (after
// defining KXAPI_LOG_FILE) gets its own copy, and the lines name the file of the entry point.
#ifndef KXAPI_RESPONSE_H
#define KXAPI_RESPONSE_H

#ifndef KXAPI_LOG_FILE
#error "define KXAPI_LOG_FILE before including kxapi_response.h"
#endif

#include "kxapi_json_encode.h"
#include "kxapi_log.h"
#include "kxapicommon.h"

#include <cstdlib>
#include <cstring>

namespace {

// json_encode with the entry point's failure line.
template <typename T>
char* EncodeResponseBody(const char* pszFunc, const T& stRecord)
{
    char* pszBody = json_encode(stRecord);
    if (pszBody == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s: json_encode fail", pszFunc);
    }
    return pszBody;
}

// Takes ownership of pszBody: hands it to Copy2Buf and frees it whatever Copy2Buf answers.
// Only -1 is a failure; every other answer counts as handed over.
int HandBodyToBuffer(const char* pszFunc, tagHTTP_BUF_S* pstBuf, char* pszBody)
{
    size_t uLen = strlen(pszBody);
    int iRet = pstBuf->Copy2Buf(pstBuf, pszBody, static_cast<unsigned int>(uLen));
    free(pszBody);
    if (iRet == -1) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s: Copy2Buf fail, dataLen[%llu]", pszFunc,
                  static_cast<unsigned long long>(uLen));
        return -1;
    }
    return 0;
}

// The body of FormatCommonResponse<char*> (bTakePending) and FormatCommonStatus: a pending body is
// taken over when asked for and present, otherwise the status body of result is sent.
int SendStatusResponse(const char* pszFunc, tagHTTP_HEADER_S* pstHeader, VW_RESULT_TYPE result,
                       tagHTTP_CNTENT_INTER_S* pstCtInt, tagHTTP_BUF_S* pstBuf, bool bTakePending)
{
    if (pstHeader == nullptr || pstCtInt == nullptr || pstBuf == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s: invalid param, pstHeader[%p] pstCtInt[%p] pstBuf[%p]", pszFunc,
                  static_cast<void*>(pstHeader), static_cast<void*>(pstCtInt), static_cast<void*>(pstBuf));
        return -1;
    }
    char* pszBody = nullptr;
    if (bTakePending && pstCtInt->pRspBody != nullptr) {
        pszBody = pstCtInt->pRspBody;
        pstCtInt->pRspBody = nullptr; // ours now, freed below whatever happens
    } else {
        pszBody = EncodeResponseBody(pszFunc, FillResponseStatusParam(pstHeader, result));
        if (pszBody == nullptr) {
            return -1;
        }
    }
    return HandBodyToBuffer(pszFunc, pstBuf, pszBody);
}

} // namespace

#endif
