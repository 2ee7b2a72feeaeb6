#include "async_replies.h"

#include "kxdevhost.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <poll.h>

namespace kxserver {

bool AsyncReplies::Start()
{
    m_pstSock = KxUnixEndpointCreate("/tmp/Re");
    if (m_pstSock == nullptr) {
        return false;
    }
    m_bStopping = false;
    m_reader = std::thread([this] { ReadReplies(); });
    return true;
}

void AsyncReplies::Stop()
{
    m_bStopping = true;
    if (m_reader.joinable()) {
        m_reader.join();
    }
    KxUnixEndpointDestroy(m_pstSock);
    m_pstSock = nullptr;
}

int AsyncReplies::Get(Request& req, VW_CMD_TYPE enCmd, unsigned int uiWaitMs)
{
    std::lock_guard<std::mutex> sendLock(m_sendMutex);
    tagHTTP_CLIENT_S* pstClient = &req.stClient;
    pstClient->pstUnixAsynSock = m_pstSock;
    {
        std::lock_guard<std::mutex> lock(m_waitMutex);
        m_mapWaiting[pstClient->iClientFd] = pstClient;
    }
    int iResult = GetCommonAsyn(req.Header(), pstClient, enCmd, nullptr, 0);
    std::unique_lock<std::mutex> lock(m_waitMutex);
    if (iResult == VW_RESULT_OK) {
        m_waitCv.wait_for(lock, std::chrono::milliseconds(uiWaitMs),
                          [pstClient] { return pstClient->pRecvMsg != nullptr; });
    }
    m_mapWaiting.erase(pstClient->iClientFd);
    lock.unlock();
    pstClient->pstUnixAsynSock = nullptr;
    if (iResult != VW_RESULT_OK) {
        return iResult;
    }
    if (pstClient->pRecvMsg == nullptr) {
        return VW_RESULT_COMMON_ERROR; // the service did not answer in time
    }
    return RecvCommon(req.Header(), pstClient, &req.stContent);
}

void AsyncReplies::ReadReplies()
{
    while (!m_bStopping) {
        pollfd stPoll{m_pstSock->iFd, POLLIN, 0};
        if (poll(&stPoll, 1, 100) <= 0) {
            continue;
        }
        auto* pstMsg = static_cast<MSG_DATA*>(malloc(sizeof(MSG_DATA)));
        if (pstMsg == nullptr) {
            continue;
        }
        if (m_pstSock->pfnRecvMsg(m_pstSock, pstMsg) != 0 || pstMsg->pUserData == nullptr) {
            free(pstMsg);
            continue;
        }
        // The cookie is ours to read and release, exactly once per reply.
        int iSeq = 0;
        memcpy(&iSeq, pstMsg->pUserData, sizeof(iSeq));
        free(pstMsg->pUserData);
        pstMsg->pUserData = nullptr;
        std::lock_guard<std::mutex> lock(m_waitMutex);
        auto it = m_mapWaiting.find(iSeq);
        if (it == m_mapWaiting.end() || it->second->pRecvMsg != nullptr) {
            free(pstMsg); // nobody waits for it any more
            continue;
        }
        it->second->pRecvMsg = pstMsg;
        m_waitCv.notify_all();
    }
}

} // namespace kxserver
