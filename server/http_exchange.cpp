// One connection's request and answer: the bytes read, the head checked, the request handed to
// a worker or refused, the answer written without blocking.
#include "http_front.h"

#include <Poco/Net/HTTPResponse.h>

#include <cerrno>
#include <sstream>
#include <sys/epoll.h>
#include <sys/socket.h>

namespace kxserver {

namespace {

constexpr std::chrono::milliseconds kLinger(1000); // a refused client's last bytes
constexpr size_t kReadChunk = 16384;

} // namespace

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
        Refuse(conn, iStatus, iCode, stHead, tNow);
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

void HttpFront::Refuse(Conn& conn, int iStatus, int iCode, const Head& stHead, Clock::time_point tNow)
{
    conn.bHead = stHead.strMethod == "HEAD";
    Respond(conn, iStatus, "application/json", StatusBody(stHead.strTarget, iCode), true, tNow);
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
    conn.tDeadline = RequestDeadline(tNow);
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
    conn.tDeadline = RequestDeadline(tNow);
    Watch(conn, EPOLLIN);
    ProcessInput(conn, tNow); // a request sent right behind the last one
}

} // namespace kxserver
