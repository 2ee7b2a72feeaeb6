// Scripted camera services of the dev-host kit: one thread per service name.
#include "kxdevhost.h"
#include "kxservices.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

struct KXSERVICE {
    int iFd = -1;
    int aiStop[2] = {-1, -1}; // a byte on the pipe ends the loop and any delay
    std::string strPath;
    PFN_KXSERVICE_HANDLER pfnHandler = nullptr;
    void* pUser = nullptr;
    std::thread thread;
    std::mutex mutex;
    unsigned int uiCount = 0;
    bool bHaveLast = false;
    MSG_DATA stLast;
};

namespace {

// Waits for the socket or the stop pipe; false once stopping.
bool WaitReadable(KXSERVICE* pstSvc, int iTimeoutMs, bool* pbSocket)
{
    pollfd astFds[2] = {{pstSvc->aiStop[0], POLLIN, 0}, {pstSvc->iFd, POLLIN, 0}};
    int n = poll(astFds, pbSocket != nullptr ? 2 : 1, iTimeoutMs);
    if (n > 0 && (astFds[0].revents & POLLIN) != 0) {
        return false;
    }
    if (pbSocket != nullptr) {
        *pbSocket = n > 0 && (astFds[1].revents & POLLIN) != 0;
    }
    return true;
}

void ServeOne(KXSERVICE* pstSvc, MSG_DATA* pstReq, MSG_DATA* pstReply)
{
    sockaddr_un stFrom;
    socklen_t uLen = sizeof(stFrom);
    memset(&stFrom, 0, sizeof(stFrom));
    ssize_t n = recvfrom(pstSvc->iFd, pstReq, sizeof(*pstReq), 0, reinterpret_cast<sockaddr*>(&stFrom), &uLen);
    if (n != static_cast<ssize_t>(sizeof(*pstReq))) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(pstSvc->mutex);
        ++pstSvc->uiCount;
        pstSvc->stLast = *pstReq;
        pstSvc->bHaveLast = true;
    }
    *pstReply = *pstReq;
    pstReply->enMsgType = pstReq->enMsgType == VW_MSG_TYPE_GET_REQ ? VW_MSG_TYPE_GET_RSP : VW_MSG_TYPE_SET_RSP;
    pstReply->enResult = VW_RESULT_OK;
    unsigned int uiDelayMs = 0;
    int iCopies = pstSvc->pfnHandler != nullptr ? pstSvc->pfnHandler(pstSvc->pUser, pstReq, pstReply, &uiDelayMs) : 1;
    if (iCopies <= 0 || uLen <= sizeof(sa_family_t)) { // an unbound sender cannot be answered
        return;
    }
    if (uiDelayMs > 0 && !WaitReadable(pstSvc, static_cast<int>(uiDelayMs), nullptr)) {
        return;
    }
    // Replies wait (a second at most, the socket's send time-out) for room: under a burst, the
    // replies not yet read fill the socket's send buffer, and a reply dropped there would leave
    // its requester waiting out its whole time-out.
    for (int i = 0; i < iCopies; ++i) {
        (void)sendto(pstSvc->iFd, pstReply, sizeof(*pstReply), 0, reinterpret_cast<sockaddr*>(&stFrom), uLen);
    }
}

void ServiceLoop(KXSERVICE* pstSvc)
{
    MSG_DATA* pstReq = new MSG_DATA;
    MSG_DATA* pstReply = new MSG_DATA;
    bool bSocket = false;
    while (WaitReadable(pstSvc, -1, &bSocket)) {
        if (bSocket) {
            ServeOne(pstSvc, pstReq, pstReply);
        }
    }
    delete pstReq;
    delete pstReply;
}

} // namespace

KXSERVICE* KxServiceStart(const char* pszName, PFN_KXSERVICE_HANDLER pfnHandler, void* pUser)
{
    if (pszName == nullptr) {
        return nullptr;
    }
    KXSERVICE* pstSvc = new KXSERVICE();
    pstSvc->pfnHandler = pfnHandler;
    pstSvc->pUser = pUser;
    pstSvc->strPath = KxUnixPathOf(pszName);
    sockaddr_un stAddr;
    memset(&stAddr, 0, sizeof(stAddr));
    stAddr.sun_family = AF_UNIX;
    bool bOk = pstSvc->strPath.size() < sizeof(stAddr.sun_path) && pipe(pstSvc->aiStop) == 0;
    if (bOk) {
        memcpy(stAddr.sun_path, pstSvc->strPath.c_str(), pstSvc->strPath.size() + 1);
        (void)unlink(stAddr.sun_path);
        pstSvc->iFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        timeval stWait{1, 0};
        (void)setsockopt(pstSvc->iFd, SOL_SOCKET, SO_SNDTIMEO, &stWait, sizeof(stWait));
        bOk = pstSvc->iFd >= 0 && bind(pstSvc->iFd, reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr)) == 0;
    }
    if (!bOk) {
        KxServiceStop(pstSvc);
        return nullptr;
    }
    pstSvc->thread = std::thread(ServiceLoop, pstSvc);
    return pstSvc;
}

void KxServiceStop(KXSERVICE* pstSvc)
{
    if (pstSvc == nullptr) {
        return;
    }
    if (pstSvc->thread.joinable()) {
        char c = 0;
        (void)!write(pstSvc->aiStop[1], &c, 1);
        pstSvc->thread.join();
    }
    for (int iFd : {pstSvc->iFd, pstSvc->aiStop[0], pstSvc->aiStop[1]}) {
        if (iFd >= 0) {
            close(iFd);
        }
    }
    if (pstSvc->iFd >= 0) {
        (void)unlink(pstSvc->strPath.c_str());
    }
    delete pstSvc;
}

unsigned int KxServiceRequestCount(KXSERVICE* pstSvc)
{
    std::lock_guard<std::mutex> lock(pstSvc->mutex);
    return pstSvc->uiCount;
}

int KxServiceLastRequest(KXSERVICE* pstSvc, MSG_DATA* pstOut)
{
    std::lock_guard<std::mutex> lock(pstSvc->mutex);
    if (!pstSvc->bHaveLast) {
        return -1;
    }
    *pstOut = pstSvc->stLast;
    return 0;
}
