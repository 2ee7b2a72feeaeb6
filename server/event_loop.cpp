#include "event_loop.h"

#include "kxplatform.h"

#include <sys/eventfd.h>

#include <cstring>
#include <unistd.h>

namespace kxserver {

void EventLoop::OnWake(int iFd, unsigned int /*uiEvents*/, tagABS_EVENT_S* pstEvent)
{
    uint64_t ullCount = 0;
    (void)read(iFd, &ullCount, sizeof(ullCount));
    EventLoop* pSelf = nullptr;
    memcpy(&pSelf, static_cast<tagHTTP_CLIENT_S*>(pstEvent->pArg)->aucHost1, sizeof(pSelf));
    std::deque<std::packaged_task<void()>> tasks;
    {
        std::lock_guard<std::mutex> lock(pSelf->m_mutex);
        tasks.swap(pSelf->m_tasks);
    }
    for (auto& task : tasks) {
        task();
    }
}

bool EventLoop::Start(unsigned int uiSlots)
{
    m_pstBase = AbsEvBaseNew(uiSlots);
    m_iWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_pstBase == nullptr || m_iWakeFd < 0) {
        return false;
    }
    EventLoop* pSelf = this;
    memcpy(m_stWakeClient.aucHost1, &pSelf, sizeof(pSelf));
    m_pstWakeEvent = AbsEvNew(m_pstBase, m_iWakeFd, ABS_EV_READ, &m_stWakeClient, OnWake);
    if (m_pstWakeEvent == nullptr || AbsEvAdd(m_pstWakeEvent, 0) != 0) {
        return false;
    }
    m_stServer.pstEventBase = m_pstBase;
    m_thread = std::thread([this] { AbsEvBaseRun(m_pstBase); });
    return true;
}

void EventLoop::Stop()
{
    if (m_thread.joinable()) {
        AbsEvBaseStop(m_pstBase);
        m_thread.join();
    }
    AbsEvDel(m_pstWakeEvent);
    m_pstWakeEvent = nullptr;
    if (m_iWakeFd >= 0) {
        close(m_iWakeFd);
        m_iWakeFd = -1;
    }
    if (m_pstBase != nullptr) {
        AbsEvBaseFree(m_pstBase);
        m_pstBase = nullptr;
    }
}

void EventLoop::Run(std::function<void()> fnWork)
{
    std::packaged_task<void()> task(std::move(fnWork));
    std::future<void> done = task.get_future();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    uint64_t ullOne = 1;
    (void)write(m_iWakeFd, &ullOne, sizeof(ullOne));
    done.wait();
}

} // namespace kxserver
