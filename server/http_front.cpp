#include "http_front.h"

#include <Poco/Net/HTTPResponse.h>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kxserver {

namespace {

constexpr uint64_t kListenId = 0;
constexpr uint64_t kWakeId = 1;
constexpr std::chrono::milliseconds kLinger(1000);     // a refused client's last bytes
constexpr std::chrono::milliseconds kStopGrace(3000);  // answers in progress at shutdown
constexpr std::chrono::milliseconds kAcceptPause(100); // out of descriptors
constexpr size_t kReadChunk = 16384;

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

struct HttpFront::Conn {
    uint64_t uiId = 0;
    int iFd = -1;
    std::string strPeer;
    State enState = State::Reading;
    Clock::time_point tDeadline;
    std::string strIn;
    std::string strOut;
    size_t uiOutPos = 0;
    bool bClose = false;      // after the answer being written
    bool bPeerClosed = false; // the client sent its last byte
    bool bHead = false;       // the request being answered is a HEAD
    bool bContinueSent = false;
    unsigned int uiWatched = 0; // the epoll mask, 0 when not registered
};

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
    epoll_event stListen{EPOLLIN, {}};
    stListen.data.u64 = kListenId;
    epoll_event stWake{EPOLLIN, {}};
    stWake.data.u64 = kWakeId;
    if (epoll_ctl(m_iEpollFd, EPOLL_CTL_ADD, m_iListenFd, &stListen) != 0 ||
        epoll_ctl(m_iEpollFd, EPOLL_CTL_ADD, m_iWakeFd, &stWake) != 0) {
        return false;
    }
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
                epoll_event stNone{0, {}};
                stNone.data.u64 = kListenId;
                epoll_ctl(m_iEpollFd, EPOLL_CTL_MOD, m_iListenFd, &stNone);
                m_bAcceptPaused = true;
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
        conn.tDeadline = tNow + std::chrono::milliseconds(m_stOptions.uiRequestTimeoutMs);
        m_mapConns.emplace(conn.uiId, std::move(pConn));
        if (uiOpen < m_stOptions.uiMaxConnections) {
            Watch(conn, EPOLLIN);
            continue;
        }
        ReadInput(conn); // whatever arrived with the connection names the request refused
        Head stHead;
        (void)ParseHead(conn.strIn, m_stOptions.stLimits, stHead);
        Refuse(conn, 503, VW_RESULT_COMMON_ERROR, stHead.strTarget, tNow);
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

void HttpFront::ReadInput(Conn& conn)
{
    const HeadLimits& stLimits = m_stOptions.stLimits;
    // Never more than one request's worth: what is beyond waits in the socket.
    const size_t uiMaxIn = stLimits.uiMaxHead + stLimits.uiMaxBody + kReadChunk;
    char acChunk[kReadChunk];
    while (conn.strIn.size() < uiMaxIn) {
        ssize_t iGot = recv(conn.iFd, acChunk, sizeof(acChunk), MSG_DONTWAIT);
        if (iGot > 0) {
            conn.strIn.append(acChunk, static_cast<size_t>(iGot));
            continue;
        }
        if (iGot == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            conn.bPeerClosed = true;
        }
        if (iGot == 0 || errno != EINTR) {
            return;
        }
    }
}

void HttpFront::ProcessInput(Conn& conn, Clock::time_point tNow)
{
    if (conn.enState != State::Reading) {
        return;
    }
    Head stHead;
    HeadResult enResult = conn.strIn.empty() ? HeadResult::Incomplete
                                             : ParseHead(conn.strIn, m_stOptions.stLimits, stHead);
    if (enResult == HeadResult::Complete && conn.strIn.size() < stHead.uiHeadLen + stHead.uiBodyLen) {
        if (stHead.bExpectContinue && !conn.bContinueSent) {
            static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
            (void)send(conn.iFd, kContinue, sizeof(kContinue) - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            conn.bContinueSent = true;
        }
        enResult = HeadResult::Incomplete;
    }
    if (enResult == HeadResult::Incomplete) {
        if (conn.bPeerClosed) {
            Drop(conn.uiId);
        }
        return;
    }
    if (enResult != HeadResult::Complete) {
        int iStatus = 400;
        int iCode = 0;
        RefusalStatus(enResult, iStatus, iCode);
        Refuse(conn, iStatus, iCode, stHead.strTarget, tNow);
        return;
    }
    HttpRequest req;
    req.strMethod = stHead.strMethod;
    req.strTarget = stHead.strTarget;
    req.strBody = conn.strIn.substr(stHead.uiHeadLen, stHead.uiBodyLen);
    req.strPeer = conn.strPeer;
    req.iFd = conn.iFd;
    conn.strIn.erase(0, stHead.uiHeadLen + stHead.uiBodyLen);
    conn.bClose = !stHead.bKeepAlive || conn.bPeerClosed;
    conn.bHead = stHead.strMethod == "HEAD";
    conn.bContinueSent = false;
    // The worker owns the request now: nothing is read or timed until it answers, and the
    // descriptor stays open even if the client goes.
    conn.enState = State::Busy;
    Watch(conn, 0);
    m_fnDispatch(conn.uiId, std::move(req));
}

void HttpFront::Refuse(Conn& conn, int iStatus, int iCode, const std::string& strUrl, Clock::time_point tNow)
{
    conn.bHead = false;
    Respond(conn, iStatus, "application/json", StatusBody(strUrl, iCode), true, tNow);
}

void HttpFront::Respond(Conn& conn, int iStatus, const std::string& strType, const std::string& strBody, bool bClose,
                        Clock::time_point tNow)
{
    Poco::Net::HTTPResponse rsp(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(iStatus));
    rsp.setVersion(Poco::Net::HTTPMessage::HTTP_1_1);
    rsp.setContentType(strType);
    rsp.setContentLength64(static_cast<Poco::Int64>(strBody.size()));
    rsp.setKeepAlive(!bClose);
    std::ostringstream os;
    rsp.write(os);
    conn.strOut = os.str();
    if (!conn.bHead) {
        conn.strOut += strBody;
    }
    conn.uiOutPos = 0;
    conn.bClose = bClose;
    conn.enState = State::Writing;
    conn.tDeadline = tNow + std::chrono::milliseconds(m_stOptions.uiRequestTimeoutMs);
    Flush(conn, tNow);
}

void HttpFront::Flush(Conn& conn, Clock::time_point tNow)
{
    while (conn.uiOutPos < conn.strOut.size()) {
        ssize_t iSent = send(conn.iFd, conn.strOut.data() + conn.uiOutPos, conn.strOut.size() - conn.uiOutPos,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
        if (iSent > 0) {
            conn.uiOutPos += static_cast<size_t>(iSent);
        } else if (iSent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            Watch(conn, EPOLLOUT);
            return;
        } else if (iSent < 0 && errno == EINTR) {
            continue;
        } else {
            Drop(conn.uiId);
            return;
        }
    }
    conn.strOut.clear();
    if (conn.bClose) {
        // The client reads the answer to its end; what it still sends is read and dropped.
        shutdown(conn.iFd, SHUT_WR);
        conn.enState = State::Closing;
        conn.tDeadline = tNow + kLinger;
        Watch(conn, EPOLLIN);
        return;
    }
    conn.enState = State::Reading;
    conn.tDeadline = tNow + std::chrono::milliseconds(m_stOptions.uiRequestTimeoutMs);
    Watch(conn, EPOLLIN);
    ProcessInput(conn, tNow); // a request sent right behind the last one
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
    if (m_bAcceptPaused && tNow >= m_tAcceptResume && m_iListenFd >= 0) {
        epoll_event stListen{EPOLLIN, {}};
        stListen.data.u64 = kListenId;
        epoll_ctl(m_iEpollFd, EPOLL_CTL_MOD, m_iListenFd, &stListen);
        m_bAcceptPaused = false;
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
