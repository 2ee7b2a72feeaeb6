// The reference access server: a host of libkxapicommon on POCO's HTTP server, backed by emulated
// camera services. It is the example firmware teams copy from, so every request shows how a host
// fills the library's records and answers through it.
#ifndef KXAPI_ACCESS_SERVER_H
#define KXAPI_ACCESS_SERVER_H

#include <memory>
#include <string>

namespace kxserver {

struct ServerOptions {
    std::string strBindHost = "127.0.0.1";
    unsigned short usPort = 8080;     // 0 picks a free port (tests)
    std::string strRunDir = "kxapi-run";     // sockets of the services and endpoints
    std::string strStateDir = "kxapi-state"; // configuration that survives a restart
    bool bStartServices = true;       // emulated camera services inside this process
    std::string strAdminUser = "admin";
    std::string strAdminPassword = "admin";
    unsigned int uiLoginAttempts = 3;       // failed logins before the address is locked
    unsigned long long ullLockSeconds = 300;
    unsigned int uiAsyncWaitMs = 5000;      // how long an asynchronous answer is awaited
};

class AccessServer {
public:
    explicit AccessServer(ServerOptions stOptions);
    ~AccessServer();
    AccessServer(const AccessServer&) = delete;
    AccessServer& operator=(const AccessServer&) = delete;

    // Starts services, event loop and HTTP listener; false (with a message on stderr) on failure.
    bool Start();
    // Stops everything Start made and removes the socket files; safe to call twice.
    void Stop();
    unsigned short Port() const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_pImpl;
};

} // namespace kxserver

#endif
