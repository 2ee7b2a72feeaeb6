// A service's end of the command-message exchange: a datagram socket bound at a service name
// under the run directory, served on a thread of its own. Shared by the scripted services and
// the scenario runtime.
#ifndef KXDATAGRAM_SERVER_H
#define KXDATAGRAM_SERVER_H

#include "kxapicommon.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace kxdev {

struct DatagramPeer {
    sockaddr_un stAddr{};
    socklen_t uLen = 0;
    bool Bound() const { return uLen > sizeof(sa_family_t); } // an unbound sender cannot be answered
};

class DatagramServer {
public:
    // Called on the service thread for each whole message. It gets the server itself: the thread
    // may take a request before Start has returned.
    using Handler = std::function<void(DatagramServer& srv, const MSG_DATA& stReq, const DatagramPeer& stFrom)>;
    // Binds strName under the run directory and starts serving; null with errno on failure.
    static std::unique_ptr<DatagramServer> Start(const std::string& strName, Handler fnHandler);
    ~DatagramServer(); // stops the thread (a pending Pause is cut short), closes, removes the name
    DatagramServer(const DatagramServer&) = delete;
    DatagramServer& operator=(const DatagramServer&) = delete;

    // On the service thread: waits uiMs, false when stopping meanwhile.
    bool Pause(unsigned int uiMs);
    void Send(const void* pData, size_t uiLen, const DatagramPeer& stTo);

private:
    DatagramServer() = default;
    bool Wait(int iTimeoutMs, bool* pbSocket);
    void Loop();

    int m_iFd = -1;
    int m_aiStop[2] = {-1, -1}; // a byte on the pipe ends the loop and any pause
    std::string m_strPath;
    Handler m_fnHandler;
    std::thread m_thread;
};

} // namespace kxdev

#endif
