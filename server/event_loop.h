// The event loop of the asynchronous HBTP exchanges, on a thread of its own. Everything that
// touches the base runs on that thread: request threads hand it work and wait for it.
#ifndef KXAPI_EVENT_LOOP_H
#define KXAPI_EVENT_LOOP_H

#include "abs_event.h"
#include "kxapicommon.h"

#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace kxserver {

class EventLoop {
public:
    EventLoop() = default;
    ~EventLoop() { Stop(); }
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // uiSlots bounds the descriptors the loop can watch: clients and channels alike.
    bool Start(unsigned int uiSlots);
    void Stop();
    // Runs fnWork on the loop's thread and returns when it has run.
    void Run(std::function<void()> fnWork);
    tagABS_EVENT_BASE_S* Base() { return m_pstBase; }
    // The server record a client's pstServerCtx points to: it carries the base.
    tagHTTP_SERVER_S* ServerRecord() { return &m_stServer; }

private:
    static void OnWake(int iFd, unsigned int uiEvents, tagABS_EVENT_S* pstEvent);
    tagHTTP_SERVER_S m_stServer{};
    // The wake-up event's argument. The library takes the argument of whatever event an HBTP reply
    // names for a client record and writes its reply slot: every event in the base carries one.
    // Its host bytes lead back to the loop.
    tagHTTP_CLIENT_S m_stWakeClient{};
    tagABS_EVENT_BASE_S* m_pstBase = nullptr;
    int m_iWakeFd = -1;
    tagABS_EVENT_S* m_pstWakeEvent = nullptr;
    std::thread m_thread;
    std::mutex m_mutex;
    std::deque<std::packaged_task<void()>> m_tasks;
};

} // namespace kxserver

#endif
