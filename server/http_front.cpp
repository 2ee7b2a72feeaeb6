#include "http_front.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kxserver {

namespace {

constexpr uint64_t kListenId = 0;
constexpr uint64_t kWakeId = 1;
constexpr std::chrono::milliseconds kStopGrace(3000);  // answers in progress at shutdown
constexpr std::chrono::milliseconds kAcceptPause(100); // out of descriptors

// The library waits for a service's reply with select, which cannot watch a descriptor of 1024
// or more. Connections live above that line, so that the endpoints requests open stay below it
// however many clients are connected. Where the process may not go that high, the descriptor
// stays where it is.
int AboveSelectRange(int iFd)
{
    if (iFd >= FD_SETSIZE) {
        return iFd;
    }
    int iHigh = fcntl(iFd, F_DUPFD_CLOEXEC, FD_SETSIZE);
    if (iHigh < 0) {
        return iFd;
    }
    close(iFd);
    return iHigh;
}

std::string PeerOf(const sockaddr_in& stAddr)
{
    char szText[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &stAddr.sin_addr, szText, sizeof(szText));
    return szText;
}

} // namespace

HttpFront::HttpFront() = default;

HttpFront::~HttpFront()
{
    Stop();
    Close();
}

bool HttpFront::Start(const FrontOptions& stOptions, Dispatch fnDispatch)
{
    m_stOptions = stOptions;
    m_fnDispatch = std::move(fnDispatch);
    m_iListenFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    m_iEpollFd = epoll_create1(EPOLL_CLOEXEC);
    m_iWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_iListenFd < 0 || m_iEpollFd < 0 || m_iWakeFd < 0) {
        return false;
    }
    int iOne = 1;
    setsockopt(m_iListenFd, SOL_SOCKET, SO_REUSEADDR, &iOne, sizeof(iOne));
    sockaddr_in stAddr{};
    stAddr.sin_family = AF_INET;
    stAddr.sin_port = htons(stOptions.usPort);
    socklen_t uiLen = sizeof(stAddr);
    if (inet_pton(AF_INET, stOptions.strHost.c_str(), &stAddr.sin_addr) != 1) {
        errno = EINVAL;
        return false;
    }
    if (bind(m_iListenFd, reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr)) != 0 ||
        listen(m_iListenFd, SOMAXCONN) != 0 ||
        getsockname(m_iListenFd, reinterpret_cast<sockaddr*>(&stAddr), &uiLen) != 0) {
        return false;
    }
    m_usPort = ntohs(stAddr.sin_port);
    epoll_event stWake{EPOLLIN, {}};
    stWake.data.u64 = kWakeId;
    if (epoll_ctl(m_iEpollFd, EPOLL_CTL_ADD, m_iWakeFd, &stWake) != 0) {
        return false;
    }
    WatchListener(EPOLL_CTL_ADD, EPOLLIN);
    m_thread = std::thread([this] { Loop(); });
    return true;
}

void HttpFront::Reply(uint64_t uiConn, Answer stAnswer)
{
    {
        std::lock_guard<std::mutex> lock(m_replyMutex);
        m_vecReplies.emplace_back(uiConn, std::move(stAnswer));
    }
    uint64_t ullOne = 1;
    (void)write(m_iWakeFd, &ullOne, sizeof(ullOne));
}

void HttpFront::Stop()
{
    if (m_thread.joinable()) {
        m_bStopping = true;
        uint64_t ullOne = 1;
        (void)write(m_iWakeFd, &ullOne, sizeof(ullOne));
        m_thread.join();
    }
}

void HttpFront::Close()
{
    DropWhere([](const Conn&) { return true; });
    for (int* pFd : {&m_iListenFd, &m_iEpollFd, &m_iWakeFd}) {
        if (*pFd >= 0) {
            close(*pFd);
            *pFd = -1;
        }
    }
}

void HttpFront::Loop()
{
    epoll_event astEvents[64];
    Clock::time_point tLastSweep = Clock::now();
    Clock::time_point tStopBy{};
    for (;;) {
        int n = epoll_wait(m_iEpollFd, astEvents, 64, 100);
        Clock::time_point tNow = Clock::now();
        for (int i = 0; i < n; ++i) {
            uint64_t uiId = astEvents[i].data.u64;
            if (uiId == kListenId) {
                Accept(tNow);
            } else if (uiId == kWakeId) {
                uint64_t ullCount = 0;
                (void)read(m_iWakeFd, &ullCount, sizeof(ullCount));
                TakeReplies(tNow);
            } else if (auto it = m_mapConns.find(uiId); it != m_mapConns.end()) {
                OnEvent(*it->second, astEvents[i].events, tNow);
            }
        }
        if (tNow - tLastSweep >= std::chrono::milliseconds(100)) {
            Sweep(tNow);
            tLastSweep = tNow;
        }
        if (!m_bStopping) {
            continue;
        }
        if (tStopBy == Clock::time_point{}) {
            tStopBy = tNow + kStopGrace;
            epoll_ctl(m_iEpollFd, EPOLL_CTL_DEL, m_iListenFd, nullptr);
            close(m_iListenFd);
            m_iListenFd = -1;
        }
        // Connections that wait for a request get none any more; answers in progress go out.
        DropWhere([](const Conn& conn) { return conn.enState == State::Reading || conn.enState == State::Closing; });
        if (m_mapConns.empty() || tNow >= tStopBy) {
            break;
        }
    }
    DropWhere([](const Conn& conn) { return conn.enState != State::Busy; });
}

// Beyond the connection limit a client still gets its answer, a 503 status body, and the
// connection lingers a moment so that closing it does not reset that answer away. Past a further
// quarter of the limit only closing is left.
void HttpFront::Accept(Clock::time_point tNow)
{
    for (;;) {
        sockaddr_in stAddr{};
        socklen_t uiLen = sizeof(stAddr);
        int iFd = accept4(m_iListenFd, reinterpret_cast<sockaddr*>(&stAddr), &uiLen, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (iFd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: the backlog waits until connections close.
                WatchListener(EPOLL_CTL_MOD, 0);
                m_tAcceptResume = tNow + kAcceptPause;
            }
            return;
        }
        iFd = AboveSelectRange(iFd);
        size_t uiOpen = m_mapConns.size();
        if (uiOpen >= m_stOptions.uiMaxConnections + m_stOptions.uiMaxConnections / 4) {
            close(iFd);
            continue;
        }
        auto pConn = std::make_unique<Conn>();
        Conn& conn = *pConn;
        conn.uiId = m_uiNextId++;
        conn.iFd = iFd;
        conn.strPeer = PeerOf(stAddr);
        conn.tDeadline = RequestDeadline(tNow);
        m_mapConns.emplace(conn.uiId, std::move(pConn));
        if (uiOpen < m_stOptions.uiMaxConnections) {
            Watch(conn, EPOLLIN);
            continue;
        }
        ReadInput(conn); // whatever arrived with the connection names the request refused
        Head stHead;
        (void)ParseHead(conn.strIn, m_stOptions.stLimits, stHead);
        Refuse(conn, 503, VW_RESULT_COMMON_ERROR, stHead, tNow);
    }
}

void HttpFront::OnEvent(Conn& conn, unsigned int uiEvents, Clock::time_point tNow)
{
    if (conn.enState == State::Writing) {
        if ((uiEvents & (EPOLLERR | EPOLLHUP)) != 0) {
            Drop(conn.uiId);
        } else {
            Flush(conn, tNow);
        }
        return;
    }
    ReadInput(conn);
    if (conn.enState == State::Closing) {
        conn.strIn.clear();
        if (conn.bPeerClosed || (uiEvents & EPOLLERR) != 0) {
            Drop(conn.uiId);
        }
        return;
    }
    ProcessInput(conn, tNow);
}

void HttpFront::TakeReplies(Clock::time_point tNow)
{
    std::vector<std::pair<uint64_t, Answer>> vecReplies;
    {
        std::lock_guard<std::mutex> lock(m_replyMutex);
        vecReplies.swap(m_vecReplies);
    }
    for (auto& [uiId, stAnswer] : vecReplies) {
        auto it = m_mapConns.find(uiId);
        if (it == m_mapConns.end() || it->second->enState != State::Busy) {
            continue;
        }
        Conn& conn = *it->second;
        Respond(conn, stAnswer.iStatus, stAnswer.strType, stAnswer.strBody, conn.bClose || m_bStopping, tNow);
    }
}

// Requests that do not arrive whole in time, idle keep-alive connections and answers that are
// not taken in time are closed; a worker's request is never timed here.
void HttpFront::Sweep(Clock::time_point tNow)
{
    DropWhere([tNow](const Conn& conn) { return conn.enState != State::Busy && tNow >= conn.tDeadline; });
    if (m_tAcceptResume != Clock::time_point{} && tNow >= m_tAcceptResume && m_iListenFd >= 0) {
        WatchListener(EPOLL_CTL_MOD, EPOLLIN);
        m_tAcceptResume = Clock::time_point{};
    }
}

void HttpFront::Watch(Conn& conn, unsigned int uiEvents)
{
    if (uiEvents == conn.uiWatched) {
        return;
    }
    epoll_event stEvent{uiEvents, {}};
    stEvent.data.u64 = conn.uiId;
    // A connection a worker holds is out of the set: a hang-up would otherwise be reported again
    // and again until the worker is done.
    int iOp = uiEvents == 0 ? EPOLL_CTL_DEL : (conn.uiWatched == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD);
    epoll_ctl(m_iEpollFd, iOp, conn.iFd, &stEvent);
    conn.uiWatched = uiEvents;
}

void HttpFront::WatchListener(int iOp, unsigned int uiEvents)
{
    epoll_event stEvent{uiEvents, {}};
    stEvent.data.u64 = kListenId;
    epoll_ctl(m_iEpollFd, iOp, m_iListenFd, &stEvent);
}

HttpFront::Clock::time_point HttpFront::RequestDeadline(Clock::time_point tNow) const
{
    return tNow + std::chrono::milliseconds(m_stOptions.uiRequestTimeoutMs);
}

void HttpFront::DropWhere(const std::function<bool(const Conn&)>& fnWhich)
{
    for (auto it = m_mapConns.begin(); it != m_mapConns.end();) {
        if (fnWhich(*it->second)) {
            close(it->second->iFd);
            it = m_mapConns.erase(it);
        } else {
            ++it;
        }
    }
}

void HttpFront::Drop(uint64_t uiConn)
{
    auto it = m_mapConns.find(uiConn);
    if (it == m_mapConns.end()) {
        return;
    }
    close(it->second->iFd); // also leaves the epoll set
    m_mapConns.erase(it);
}

} // namespace kxserver
