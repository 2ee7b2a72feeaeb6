#include "login_lock.h"

#include <chrono>

namespace kxserver {

namespace {

long long Now()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

LoginLock::LoginLock(unsigned int uiAttempts, unsigned long long ullSeconds)
    : m_uiAttempts(uiAttempts), m_ullSeconds(ullSeconds)
{
}

unsigned long long LoginLock::Remaining(const std::string& strPeer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_mapState.find(strPeer);
    long long llNow = Now();
    if (it == m_mapState.end() || it->second.llLockedUntil <= llNow) {
        return 0;
    }
    return static_cast<unsigned long long>(it->second.llLockedUntil - llNow);
}

void LoginLock::Failed(const std::string& strPeer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    State& stState = m_mapState[strPeer];
    if (++stState.uiFailures >= m_uiAttempts) {
        stState.uiFailures = 0;
        stState.llLockedUntil = Now() + static_cast<long long>(m_ullSeconds);
    }
}

void LoginLock::Succeeded(const std::string& strPeer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mapState.erase(strPeer);
}

} // namespace kxserver
