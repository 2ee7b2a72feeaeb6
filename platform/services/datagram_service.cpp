// Scripted camera services of the dev-host kit: one thread per service name.
#include "datagram_server.h"
#include "kxdevhost.h"
#include "kxservices.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace kxdev {

std::unique_ptr<DatagramServer> DatagramServer::Start(const std::string& strName, Handler fnHandler)
{
    std::unique_ptr<DatagramServer> pSrv(new DatagramServer());
    pSrv->m_fnHandler = std::move(fnHandler);
    pSrv->m_strPath = KxUnixPathOf(strName.c_str());
    sockaddr_un stAddr{};
    stAddr.sun_family = AF_UNIX;
    if (pSrv->m_strPath.size() >= sizeof(stAddr.sun_path)) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    if (pipe2(pSrv->m_aiStop, O_CLOEXEC) != 0) {
        return nullptr;
    }
    memcpy(stAddr.sun_path, pSrv->m_strPath.c_str(), pSrv->m_strPath.size() + 1);
    pSrv->m_iFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (pSrv->m_iFd < 0) {
        return nullptr;
    }
    // A name left by a process that died is taken over; one that a live service answers on is not.
    if (connect(pSrv->m_iFd, reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr)) == 0) {
        close(pSrv->m_iFd);
        pSrv->m_iFd = -1;
        errno = EADDRINUSE;
        return nullptr;
    }
    (void)unlink(stAddr.sun_path);
    // Replies wait (a second at most) for room: under a burst, the replies not yet read fill the
    // socket's send buffer, and a reply dropped there would leave its requester waiting out its
    // whole time-out.
    timeval stWait{1, 0};
    (void)setsockopt(pSrv->m_iFd, SOL_SOCKET, SO_SNDTIMEO, &stWait, sizeof(stWait));
    if (bind(pSrv->m_iFd, reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr)) != 0) {
        int iErr = errno;
        close(pSrv->m_iFd);
        pSrv->m_iFd = -1; // not ours: the name stays
        errno = iErr;
        return nullptr;
    }
    pSrv->m_thread = std::thread(&DatagramServer::Loop, pSrv.get());
    return pSrv;
}

DatagramServer::~DatagramServer()
{
    if (m_thread.joinable()) {
        char c = 0;
        (void)!write(m_aiStop[1], &c, 1);
        m_thread.join();
    }
    for (int iFd : {m_iFd, m_aiStop[0], m_aiStop[1]}) {
        if (iFd >= 0) {
            close(iFd);
        }
    }
    if (m_iFd >= 0) {
        (void)unlink(m_strPath.c_str());
    }
}

// Waits for the socket (pbSocket non-null) or the stop pipe; false once stopping.
bool DatagramServer::Wait(int iTimeoutMs, bool* pbSocket)
{
    pollfd astFds[2] = {{m_aiStop[0], POLLIN, 0}, {m_iFd, POLLIN, 0}};
    int n = poll(astFds, pbSocket != nullptr ? 2 : 1, iTimeoutMs);
    if (n > 0 && (astFds[0].revents & POLLIN) != 0) {
        return false;
    }
    if (pbSocket != nullptr) {
        *pbSocket = n > 0 && (astFds[1].revents & POLLIN) != 0;
    }
    return true;
}

bool DatagramServer::Pause(unsigned int uiMs)
{
    return uiMs == 0 || Wait(static_cast<int>(uiMs), nullptr);
}

void DatagramServer::Send(const void* pData, size_t uiLen, const DatagramPeer& stTo)
{
    if (stTo.Bound()) {
        (void)sendto(m_iFd, pData, uiLen, 0, reinterpret_cast<const sockaddr*>(&stTo.stAddr), stTo.uLen);
    }
}

void DatagramServer::Loop()
{
    std::unique_ptr<MSG_DATA> pReq(new MSG_DATA);
    bool bSocket = false;
    while (Wait(-1, &bSocket)) {
        if (!bSocket) {
            continue;
        }
        DatagramPeer stFrom;
        stFrom.uLen = sizeof(stFrom.stAddr);
        // MSG_TRUNC: the real length of a longer datagram, which is no whole message either.
        ssize_t n = recvfrom(m_iFd, pReq.get(), sizeof(MSG_DATA), MSG_TRUNC,
                             reinterpret_cast<sockaddr*>(&stFrom.stAddr), &stFrom.uLen);
        if (n == static_cast<ssize_t>(sizeof(MSG_DATA))) {
            m_fnHandler(*this, *pReq, stFrom);
        }
    }
}

} // namespace kxdev

struct KXSERVICE {
    std::unique_ptr<kxdev::DatagramServer> pServer;
    std::mutex mutex;
    unsigned int uiCount = 0;
    bool bHaveLast = false;
    MSG_DATA stLast;
};

namespace {

void ServeOne(kxdev::DatagramServer& srv, KXSERVICE* pstSvc, PFN_KXSERVICE_HANDLER pfnHandler, void* pUser,
              const MSG_DATA& stReq, const kxdev::DatagramPeer& stFrom)
{
    {
        std::lock_guard<std::mutex> lock(pstSvc->mutex);
        ++pstSvc->uiCount;
        pstSvc->stLast = stReq;
        pstSvc->bHaveLast = true;
    }
    std::unique_ptr<MSG_DATA> pReply(new MSG_DATA(stReq));
    pReply->enMsgType = stReq.enMsgType == VW_MSG_TYPE_GET_REQ ? VW_MSG_TYPE_GET_RSP : VW_MSG_TYPE_SET_RSP;
    pReply->enResult = VW_RESULT_OK;
    unsigned int uiDelayMs = 0;
    int iCopies = pfnHandler != nullptr ? pfnHandler(pUser, &stReq, pReply.get(), &uiDelayMs) : 1;
    if (iCopies <= 0 || !srv.Pause(uiDelayMs)) {
        return;
    }
    for (int i = 0; i < iCopies; ++i) {
        srv.Send(pReply.get(), sizeof(MSG_DATA), stFrom);
    }
}

} // namespace

KXSERVICE* KxServiceStart(const char* pszName, PFN_KXSERVICE_HANDLER pfnHandler, void* pUser)
{
    if (pszName == nullptr) {
        return nullptr;
    }
    KXSERVICE* pstSvc = new KXSERVICE();
    pstSvc->pServer = kxdev::DatagramServer::Start(
        pszName, [pstSvc, pfnHandler, pUser](kxdev::DatagramServer& srv, const MSG_DATA& stReq,
                                             const kxdev::DatagramPeer& stFrom) {
            ServeOne(srv, pstSvc, pfnHandler, pUser, stReq, stFrom);
        });
    if (pstSvc->pServer == nullptr) {
        delete pstSvc;
        return nullptr;
    }
    return pstSvc;
}

void KxServiceStop(KXSERVICE* pstSvc)
{
    if (pstSvc != nullptr) {
        pstSvc->pServer.reset(); // joins the thread before the records it uses go
        delete pstSvc;
    }
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
