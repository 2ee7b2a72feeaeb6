#include "host_records.h"

#include "login_lock.h"

namespace kxserver {

Request* RequestOf(tagHTTP_CLIENT_S* pstClient)
{
    return static_cast<Request*>(kxdev::ContextOf(pstClient));
}

int FillRecords(Request& req, const HttpRequest& httpReq)
{
    req.stClient.iClientFd = httpReq.iFd;
    req.strPeer = httpReq.strPeer;
    const std::string& strTarget = httpReq.strTarget;
    return req.Fill(httpReq.strMethod, PathOf(strTarget), kxdev::QueryOf(strTarget), httpReq.strBody);
}

} // namespace kxserver

// The host's remaining lock time of a client, in seconds, for the lock body. The client record
// leads to its request, and the request to the lock of the server that serves it.
unsigned long long KxapiHttpGetUnLockTime(tagHTTP_CLIENT_S* pstClient)
{
    kxserver::Request* pReq = kxserver::RequestOf(pstClient);
    if (pReq == nullptr || pReq->pLock == nullptr) {
        return 0;
    }
    return pReq->pLock->Remaining(pReq->strPeer);
}
