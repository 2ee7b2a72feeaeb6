// The asynchronous command exchange: one endpoint for the whole server, and a reader thread that
// takes replies off it and hands each to the request that waits for it, found by its cookie (the
// client's descriptor).
#ifndef KXAPI_ASYNC_REPLIES_H
#define KXAPI_ASYNC_REPLIES_H

#include "host_records.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace kxserver {

class AsyncReplies {
public:
    AsyncReplies() = default;
    ~AsyncReplies() { Stop(); }
    AsyncReplies(const AsyncReplies&) = delete;
    AsyncReplies& operator=(const AsyncReplies&) = delete;

    bool Start(); // binds the endpoint and starts the reader
    void Stop();
    // GetCommonAsyn for enCmd, a wait of up to uiWaitMs for the reply, RecvCommon. A reply that
    // does not come in time is VW_RESULT_COMMON_ERROR.
    int Get(Request& req, VW_CMD_TYPE enCmd, unsigned int uiWaitMs);

private:
    void ReadReplies();
    tagUNIX_SOCKET_S* m_pstSock = nullptr;
    std::thread m_reader;
    std::atomic<bool> m_bStopping{false};
    // One outstanding request on the endpoint: the library drains the endpoint before it sends,
    // and would take another request's reply for a late one.
    std::mutex m_sendMutex;
    std::mutex m_waitMutex;
    std::condition_variable m_waitCv;
    std::map<int, tagHTTP_CLIENT_S*> m_mapWaiting; // by the cookie's value
};

} // namespace kxserver

#endif
