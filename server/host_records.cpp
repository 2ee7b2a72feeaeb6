#include "host_records.h"

#include "login_lock.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace kxserver {

namespace {

// Copy2Buf of the response buffer: appends to the body that goes out after the handler.
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

std::vector<std::string> SplitPath(const std::string& strPath)
{
    std::vector<std::string> vecSegs;
    size_t uiStart = 0;
    while (uiStart <= strPath.size()) {
        size_t uiEnd = strPath.find('/', uiStart);
        if (uiEnd == std::string::npos) {
            uiEnd = strPath.size();
        }
        if (uiEnd > uiStart) {
            vecSegs.push_back(strPath.substr(uiStart, uiEnd - uiStart));
        }
        uiStart = uiEnd + 1;
    }
    return vecSegs;
}

// Up to 18 digits: anything longer would not fit a 64-bit ID and is not taken for one.
bool IsNumber(const std::string& strText)
{
    return !strText.empty() && strText.size() <= 18 && strText.find_first_not_of("0123456789") == std::string::npos;
}

} // namespace

Request::Request()
{
    Request* pSelf = this;
    memcpy(stClient.aucHost1, &pSelf, sizeof(pSelf));
    std::string* pBody = &strBody;
    memcpy(stBuf.aucHost1, &pBody, sizeof(pBody));
    stBuf.Copy2Buf = AppendToBody;
}

Request::~Request()
{
    free(stContent.pPreData);
    free(stContent.pRspBody);
    free(stClient.pRecvMsg);
}

Request* RequestOf(tagHTTP_CLIENT_S* pstClient)
{
    Request* pReq = nullptr;
    memcpy(&pReq, pstClient->aucHost1, sizeof(pReq));
    return pReq;
}

std::string PathOf(const std::string& strTarget)
{
    return strTarget.substr(0, strTarget.find('?'));
}

int FillRecords(Request& req, const HttpRequest& httpReq)
{
    tagHTTP_HEADER_S* pstHeader = req.Header();
    req.stClient.iClientFd = httpReq.iFd;
    req.strPeer = httpReq.strPeer;
    req.strReqBody = httpReq.strBody;
    std::string strPath = PathOf(httpReq.strTarget);
    std::string strQuery = strPath.size() < httpReq.strTarget.size() ? httpReq.strTarget.substr(strPath.size() + 1)
                                                                     : "";
    // The URL goes in as it came (the library routes the raw text), cut to its field so that even
    // the refusal names the request. A method too long for its field is no method the server
    // knows: cut, it still routes to "unsupported".
    PutField(pstHeader->szUrl, strPath.substr(0, sizeof(pstHeader->szUrl) - 1));
    PutField(pstHeader->szMethod, httpReq.strMethod.substr(0, sizeof(pstHeader->szMethod) - 1));
    if (strPath.size() >= sizeof(pstHeader->szUrl) || !PutField(pstHeader->szQuery, strQuery)) {
        return VW_RESULT_INCORRECT_PARAMETER;
    }
    tagHEADER_URI_ID_INFO_S& stIds = pstHeader->stUriIdInfo;
    for (const std::string& strSeg : SplitPath(strPath)) {
        if (IsNumber(strSeg) && stIds.uiIDCount < KXAPI_URI_ID_MAX) {
            stIds.astId[stIds.uiIDCount++].llValue = atoll(strSeg.c_str());
        }
    }
    return VW_RESULT_OK;
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
        case 102:
            return 401;
        case 108:
            return 403;
        default:
            return 500;
    }
}

std::string StatusBody(const std::string& strUrl, int iResult)
{
    Request req;
    tagHTTP_HEADER_S* pstHeader = req.Header();
    PutField(pstHeader->szUrl, PathOf(strUrl).substr(0, sizeof(pstHeader->szUrl) - 1));
    if (FormatCommonResponse<char*>(pstHeader, static_cast<VW_RESULT_TYPE>(iResult), &req.stContent, &req.stBuf) != 0) {
        return std::string();
    }
    return req.strBody;
}

} // namespace kxserver

// The host's remaining lock time of a client, in seconds, for the lock body. The client record
// leads to its request, and the request to the lock of the server that serves it.
unsigned long long KxapiHttpGetUnLockTime(tagHTTP_CLIENT_S* pstClient)
{
    kxserver::Request* pReq = pstClient == nullptr ? nullptr : kxserver::RequestOf(pstClient);
    if (pReq == nullptr || pReq->pLock == nullptr) {
        return 0;
    }
    return pReq->pLock->Remaining(pReq->strPeer);
}
