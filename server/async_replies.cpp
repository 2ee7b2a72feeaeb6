#include "async_replies.h"

#include "kxdevhost.h"
#include "resources.h"

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace kxserver {

void StrayReplies::Drop(const std::string& strWhat)
{
    unsigned long long ullCount = ++m_ullCount;
    if (ullCount <= 10 || ullCount % 1000 == 0) {
        std::cerr << "kxapi-access-server: dropped reply " << ullCount << ": " << strWhat << "\n";
    }
}

namespace {

using Clock = std::chrono::steady_clock;

// The cookie the library made for the request, as the endpoint's send saw it go out. A reply is
// the request's only when it brings back this very address; any other address is never followed.
struct SentCookie {
    void* pCookie = nullptr;
};

int SendNotingCookie(tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstMsg)
{
    SentCookie* pstSent = nullptr;
    memcpy(&pstSent, pstSock->aucHost1, sizeof(pstSent));
    pstSent->pCookie = pstMsg->pUserData;
    return KxUnixSendMsg(pstSock, pstMsg);
}

// The reply to the request, taken off its endpoint before tEnd; null when none came. Whatever else
// arrives there meanwhile is dropped.
MSG_DATA* AwaitReply(StrayReplies& stray, const Endpoint& ep, const void* pCookie, VW_CMD_TYPE enCmd,
                     Clock::time_point tEnd)
{
    for (;;) {
        auto llLeftMs = std::chrono::ceil<std::chrono::milliseconds>(tEnd - Clock::now()).count();
        pollfd stPoll{ep.pstSock->iFd, POLLIN, 0};
        int iReady = llLeftMs > 0 ? poll(&stPoll, 1, static_cast<int>(llLeftMs)) : 0;
        if (iReady < 0 && errno == EINTR) {
            continue;
        }
        if (iReady <= 0) {
            return nullptr;
        }
        auto* pstMsg = static_cast<MSG_DATA*>(malloc(sizeof(MSG_DATA)));
        if (pstMsg == nullptr) {
            return nullptr;
        }
        const char* pszWhy = nullptr;
        if (ep.pstSock->pfnRecvMsg(ep.pstSock, pstMsg) != 0) {
            pszWhy = "not one whole message";
        } else if (pstMsg->pUserData != pCookie) {
            pszWhy = "a cookie this request did not send";
        } else if (pstMsg->enMsgType != VW_MSG_TYPE_GET_RSP || pstMsg->enCmdType != enCmd) {
            pszWhy = "not the answer to this request";
        } else {
            return pstMsg;
        }
        free(pstMsg);
        stray.Drop("on " + ep.strName + ": " + pszWhy);
    }
}

} // namespace

int GetAsync(ServerContext& ctx, Request& req, VW_CMD_TYPE enCmd)
{
    const Clock::time_point tEnd = Clock::now() + std::chrono::milliseconds(ctx.stOptions.uiAsyncWaitMs);
    Endpoint ep(ctx, "/tmp/a");
    if (ep.pstSock == nullptr) {
        return VW_RESULT_COMMON_ERROR;
    }
    SentCookie stSent;
    SentCookie* pstSent = &stSent;
    memcpy(ep.pstSock->aucHost1, &pstSent, sizeof(pstSent));
    ep.pstSock->pfnSendMsg = SendNotingCookie;
    tagHTTP_CLIENT_S* pstClient = &req.stClient;
    pstClient->pstUnixAsynSock = ep.pstSock;
    int iResult = GetCommonAsyn(req.Header(), pstClient, enCmd, nullptr, 0);
    pstClient->pstUnixAsynSock = nullptr;
    if (iResult != VW_RESULT_OK) {
        return iResult; // a send that failed has freed its cookie
    }
    MSG_DATA* pstReply = AwaitReply(ctx.strayReplies, ep, stSent.pCookie, enCmd, tEnd);
    // The cookie is the request's to release, exactly once, whether its reply came or not: a reply
    // that comes later finds no endpoint to bring it back to. Its value is the client's descriptor,
    // which the request knows already.
    free(stSent.pCookie);
    if (pstReply == nullptr) {
        return VW_RESULT_COMMON_ERROR;
    }
    pstReply->pUserData = nullptr;
    pstClient->pRecvMsg = pstReply;
    return RecvCommon(req.Header(), pstClient, &req.stContent);
}

} // namespace kxserver
