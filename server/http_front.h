// The connection front: one thread owns the listening socket and every connection, reads
// requests without blocking and under deadlines, and writes the answers. A worker sees a request
// only once it is complete, so an idle, slow or abusive client costs a descriptor, never a worker.
#ifndef KXAPI_HTTP_FRONT_H
#define KXAPI_HTTP_FRONT_H

#include "host_records.h"
#include "http_parse.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace kxserver {

struct FrontOptions {
    std::string strHost = "127.0.0.1";
    unsigned short usPort = 0;
    unsigned int uiMaxConnections = 4096;
    unsigned int uiRequestTimeoutMs = 5000; // a whole request head and body; an idle keep-alive
    HeadLimits stLimits;
};

struct Answer {
    int iStatus = 200;
    std::string strType = "application/json";
    std::string strBody;
};

class HttpFront {
public:
    // Runs on the front's thread for each complete request; it must not block. The request is
    // answered with Reply(uiConn, ...), from any thread, exactly once.
    using Dispatch = std::function<void(uint64_t uiConn, HttpRequest&& req)>;

    HttpFront();
    ~HttpFront();
    HttpFront(const HttpFront&) = delete;
    HttpFront& operator=(const HttpFront&) = delete;

    bool Start(const FrontOptions& stOptions, Dispatch fnDispatch); // false with errno
    unsigned short Port() const { return m_usPort; }
    void Reply(uint64_t uiConn, Answer stAnswer);
    // Stops accepting, lets the requests in progress be answered (for a few seconds at most) and
    // closes every connection but those whose request a worker still holds.
    void Stop();
    // Closes those too: once no worker can use their descriptors any more.
    void Close();

private:
    using Clock = std::chrono::steady_clock;
    enum class State { Reading, Busy, Writing, Closing };
    struct Conn {
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

    void Loop();
    void Accept(Clock::time_point tNow);
    void OnEvent(Conn& conn, unsigned int uiEvents, Clock::time_point tNow);
    void ReadInput(Conn& conn);
    void ProcessInput(Conn& conn, Clock::time_point tNow);
    void Respond(Conn& conn, int iStatus, const std::string& strType, const std::string& strBody, bool bClose,
                 Clock::time_point tNow);
    void Refuse(Conn& conn, int iStatus, int iCode, const Head& stHead, Clock::time_point tNow);
    void Flush(Conn& conn, Clock::time_point tNow);
    void TakeReplies(Clock::time_point tNow);
    void Sweep(Clock::time_point tNow);
    void Watch(Conn& conn, unsigned int uiEvents);
    void WatchListener(int iOp, unsigned int uiEvents);
    Clock::time_point RequestDeadline(Clock::time_point tNow) const;
    void Drop(uint64_t uiConn);
    void DropWhere(const std::function<bool(const Conn&)>& fnWhich);

    FrontOptions m_stOptions;
    Dispatch m_fnDispatch;
    unsigned short m_usPort = 0;
    int m_iListenFd = -1;
    int m_iEpollFd = -1;
    int m_iWakeFd = -1;
    std::thread m_thread;
    std::atomic<bool> m_bStopping{false};
    Clock::time_point m_tAcceptResume; // accepting is paused until then; epoch: not paused
    uint64_t m_uiNextId = 2;           // 0 and 1 are the listening socket and the wake-up
    std::unordered_map<uint64_t, std::unique_ptr<Conn>> m_mapConns;
    std::mutex m_replyMutex;
    std::vector<std::pair<uint64_t, Answer>> m_vecReplies;
};

} // namespace kxserver

#endif
