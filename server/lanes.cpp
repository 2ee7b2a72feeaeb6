#include "lanes.h"

namespace kxserver {

bool Lanes::Submit(const std::string& strLane, std::function<void()> fnWork, std::function<void()> fnDone)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Lane& lane = m_mapLanes[strLane];
    if (m_bStopping || lane.uiInFlight >= m_uiPerLane || m_uiInFlight >= m_uiTotal) {
        return false;
    }
    ++lane.uiInFlight;
    ++m_uiInFlight;
    lane.queue.emplace_back(std::move(fnWork), std::move(fnDone));
    // Workers are made as the lane needs them and stay: never more than its limit, and none is
    // ever waited for while another sits idle.
    if (lane.uiIdle >= lane.queue.size()) {
        lane.cv.notify_one();
    } else {
        lane.workers.emplace_back([this, &lane] { Work(lane); });
    }
    return true;
}

void Lanes::Work(Lane& lane)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        ++lane.uiIdle;
        lane.cv.wait(lock, [&] { return m_bStopping || !lane.queue.empty(); });
        --lane.uiIdle;
        if (lane.queue.empty()) {
            return; // stopping, and nothing left to do
        }
        auto [fnWork, fnDone] = std::move(lane.queue.front());
        lane.queue.pop_front();
        lock.unlock();
        fnWork();
        fnWork = nullptr; // whatever the work holds goes before the count says it is done
        lock.lock();
        --lane.uiInFlight;
        --m_uiInFlight;
        lock.unlock();
        fnDone();
        lock.lock();
    }
}

void Lanes::Stop()
{
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStopping = true;
        for (auto& [strName, lane] : m_mapLanes) {
            lane.cv.notify_all();
            for (std::thread& worker : lane.workers) {
                workers.push_back(std::move(worker));
            }
            lane.workers.clear();
        }
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
}

} // namespace kxserver
