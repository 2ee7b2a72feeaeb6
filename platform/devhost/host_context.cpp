// The records of one request, as kxhost.h describes them.
#include "kxhost.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace kxdev {

namespace {

// Copy2Buf of the response buffer: the record's host bytes carry the address of the answer.
int AppendToBody(tagHTTP_BUF_S* pstBuf, const char* pData, unsigned int uiLen)
{
    std::string* pBody = nullptr;
    memcpy(&pBody, pstBuf->aucHost1, sizeof(pBody));
    if (pBody == nullptr || pData == nullptr) {
        return -1;
    }
    pBody->append(pData, uiLen);
    return 0;
}

// Copies text into a fixed field of the header; false when it does not fit.
template <size_t N>
bool PutField(char (&szField)[N], const std::string& strText)
{
    if (strText.size() >= N) {
        return false;
    }
    memcpy(szField, strText.c_str(), strText.size() + 1);
    return true;
}

// Up to 18 digits: anything longer would not fit a 64-bit ID and is not taken for one.
bool IsNumber(const std::string& strText)
{
    return !strText.empty() && strText.size() <= 18 && strText.find_first_not_of("0123456789") == std::string::npos;
}

void FillUriIds(tagHEADER_URI_ID_INFO_S& stIds, const std::string& strPath)
{
    size_t uiStart = 0;
    while (uiStart < strPath.size() && stIds.uiIDCount < KXAPI_URI_ID_MAX) {
        size_t uiEnd = std::min(strPath.find('/', uiStart), strPath.size());
        std::string strSeg = strPath.substr(uiStart, uiEnd - uiStart);
        if (IsNumber(strSeg)) {
            stIds.astId[stIds.uiIDCount++].llValue = atoll(strSeg.c_str());
        }
        uiStart = uiEnd + 1;
    }
}

} // namespace

RequestContext::RequestContext()
{
    RequestContext* pSelf = this;
    memcpy(stClient.aucHost1, &pSelf, sizeof(pSelf));
    std::string* pBody = &strBody;
    memcpy(stBuf.aucHost1, &pBody, sizeof(pBody));
    stBuf.Copy2Buf = AppendToBody;
}

RequestContext::~RequestContext()
{
    free(stContent.pPreData);
    free(stContent.pRspBody);
    free(stClient.pRecvMsg);
}

int RequestContext::Fill(const std::string& strMethod, const std::string& strPath, const std::string& strQuery,
                         const std::string& strBody)
{
    tagHTTP_HEADER_S* pstHeader = Header();
    strReqBody = strBody;
    PutField(pstHeader->szUrl, strPath.substr(0, sizeof(pstHeader->szUrl) - 1));
    PutField(pstHeader->szMethod, strMethod.substr(0, sizeof(pstHeader->szMethod) - 1));
    if (strPath.size() >= sizeof(pstHeader->szUrl) || !PutField(pstHeader->szQuery, strQuery)) {
        return VW_RESULT_INCORRECT_PARAMETER;
    }
    FillUriIds(pstHeader->stUriIdInfo, strPath);
    return VW_RESULT_OK;
}

int RequestContext::SetPendingBody(char* pszBody)
{
    free(stContent.pRspBody);
    stContent.pRspBody = pszBody;
    return pszBody == nullptr ? VW_RESULT_NO_RESOURCE : VW_RESULT_OK;
}

int RequestContext::Respond(int iResult)
{
    if (!strBody.empty()) {
        return 0;
    }
    return FormatCommonResponse<char*>(Header(), static_cast<VW_RESULT_TYPE>(iResult), &stContent, &stBuf);
}

RequestContext* ContextOf(const tagHTTP_CLIENT_S* pstClient)
{
    RequestContext* pContext = nullptr;
    if (pstClient != nullptr) {
        memcpy(&pContext, pstClient->aucHost1, sizeof(pContext));
    }
    return pContext;
}

std::string PathOf(const std::string& strTarget)
{
    return strTarget.substr(0, strTarget.find('?'));
}

std::string QueryOf(const std::string& strTarget)
{
    size_t uiMark = strTarget.find('?');
    return uiMark == std::string::npos ? std::string() : strTarget.substr(uiMark + 1);
}

char* JsonBody(json_object* pstNode)
{
    const char* pszText = pstNode == nullptr ? nullptr : cJSON_Print(pstNode);
    return pszText == nullptr ? nullptr : strdup(pszText); // json-c prints into the node's own buffer
}

std::string BlockText(const void* pData, size_t uiLen)
{
    const char* pText = static_cast<const char*>(pData);
    const void* pNul = memchr(pText, '\0', uiLen);
    return std::string(pText, pNul == nullptr ? uiLen : static_cast<size_t>(static_cast<const char*>(pNul) - pText));
}

int HttpStatusOf(int iResult)
{
    switch (iResult) {
        case VW_RESULT_OK:
            return 200;
        case VW_RESULT_COMMON_ERROR:
            return 503;
        case VW_RESULT_UNSUPPORTED_REQUEST:
            return 404;
        case VW_RESULT_INCORRECT_PARAMETER:
            return 400;
        case 102: // wrong credentials
            return 401;
        case 108: // the client's address is locked
            return 403;
        default:
            return 500;
    }
}

std::string StatusBody(const std::string& strUrl, int iResult)
{
    RequestContext context;
    (void)context.Fill("", PathOf(strUrl), "");
    return context.Respond(iResult) == 0 ? context.strBody : std::string();
}

} // namespace kxdev
