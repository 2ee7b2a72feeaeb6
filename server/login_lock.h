// The login lock: too many failed logins from one address lock it for a while. The library asks
// for the remaining time through KxapiHttpGetUnLockTime when it builds the lock body.
#ifndef KXAPI_LOGIN_LOCK_H
#define KXAPI_LOGIN_LOCK_H

#include <map>
#include <mutex>
#include <string>

namespace kxserver {

class LoginLock {
public:
    LoginLock(unsigned int uiAttempts, unsigned long long ullSeconds);
    // Seconds until strPeer may try again; 0 when it is not locked.
    unsigned long long Remaining(const std::string& strPeer);
    void Failed(const std::string& strPeer);
    void Succeeded(const std::string& strPeer);

private:
    struct State {
        unsigned int uiFailures = 0;
        long long llLockedUntil = 0;
    };
    unsigned int m_uiAttempts;
    unsigned long long m_ullSeconds;
    std::mutex m_mutex;
    std::map<std::string, State> m_mapState;
};

} // namespace kxserver

#endif
