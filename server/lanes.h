// Workers, one lane per service: a request runs on a worker of the lane of the service it waits
// on, so a service that never answers holds only its own lane's workers, and requests that wait
// on no service (or on another one) go on being served.
#ifndef KXAPI_LANES_H
#define KXAPI_LANES_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kxserver {

class Lanes {
public:
    // uiPerLane: requests that may be in progress on one service at once (each has a worker);
    // uiTotal: requests in progress over all lanes.
    Lanes(unsigned int uiPerLane, unsigned int uiTotal) : m_uiPerLane(uiPerLane), m_uiTotal(uiTotal) {}
    ~Lanes() { Stop(); }
    Lanes(const Lanes&) = delete;
    Lanes& operator=(const Lanes&) = delete;

    // Runs fnWork on a worker of strLane's lane, then fnDone once the lane has counted the work
    // done: an answer sent from fnWork could bring the client's next request before that. False,
    // with nothing run, when that lane or all lanes together are at their limit.
    bool Submit(const std::string& strLane, std::function<void()> fnWork, std::function<void()> fnDone);
    // Waits for the work in progress and ends the workers; Submit refuses from then on.
    void Stop();

private:
    struct Lane {
        unsigned int uiInFlight = 0; // queued or running
        unsigned int uiIdle = 0;     // workers waiting for work
        std::deque<std::pair<std::function<void()>, std::function<void()>>> queue;
        std::condition_variable cv;
        std::vector<std::thread> workers;
    };
    void Work(Lane& lane);
    unsigned int m_uiPerLane;
    unsigned int m_uiTotal;
    unsigned int m_uiInFlight = 0;
    bool m_bStopping = false;
    std::mutex m_mutex;
    std::map<std::string, Lane> m_mapLanes;
};

} // namespace kxserver

#endif
