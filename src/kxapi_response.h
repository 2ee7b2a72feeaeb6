// The steps every response entry point shares: encoding a body and handing it to the host's
// response buffer. The entry points live in two files, so each step logs at the site the entry
// point passes (KXAPI_LOG_SITE), and its lines name the entry point's file and line.
#ifndef KXAPI_RESPONSE_H
#define KXAPI_RESPONSE_H

#include "kxapi_json_encode.h"
#include "kxapi_log.h"
#include "kxapicommon.h"

namespace kxapi_response {

// json_encode with the entry point's failure line.
template <typename T>
char* EncodeBody(const KxapiLogSite& stSite, const char* pszFunc, const T& stRecord)
{
    char* pszBody = json_encode(stRecord);
    if (pszBody == nullptr) {
        KXAPI_LOG_AT(stSite, KXAPI_LEVEL_ERROR, "[KXAPI]:%s: json_encode fail", pszFunc);
    }
    return pszBody;
}

// Takes ownership of pszBody: hands it to Copy2Buf and frees it whatever Copy2Buf answers.
// Only -1 is a failure; every other answer counts as handed over. 0, or -1.
int HandBodyToBuffer(const KxapiLogSite& stSite, const char* pszFunc, tagHTTP_BUF_S* pstBuf, char* pszBody);

// The body of FormatCommonResponse<char*> (bTakePending) and FormatCommonStatus: a pending body is
// taken over when asked for and present, otherwise the status body of result is sent.
int SendStatus(const KxapiLogSite& stSite, const char* pszFunc, tagHTTP_HEADER_S* pstHeader, VW_RESULT_TYPE result,
               tagHTTP_CNTENT_INTER_S* pstCtInt, tagHTTP_BUF_S* pstBuf, bool bTakePending);

} // namespace kxapi_response

#endif
