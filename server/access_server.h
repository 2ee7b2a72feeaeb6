// The reference access server: a host of libkxapicommon, backed by emulated camera services. It
// is the example firmware teams copy from; each concern has a file of its own:
//   host_records   how a host fills the library's records from an HTTP request
//   routes         the route table: method, path pattern, service, handler
//   resources_*    the handlers, by the services they use
//   http_front     connections, deadlines and input limits, on one thread (http_exchange: one
//                  connection's request and answer; http_parse: the head checks)
//   lanes          the workers, one lane per service
//   async_replies  the asynchronous command exchange, and the count of replies dropped
//   event_loop     the event loop of the asynchronous HBTP exchanges
//   login_lock     failed logins lock an address
//   access_server  start-up and shutdown
#ifndef KXAPI_ACCESS_SERVER_H
#define KXAPI_ACCESS_SERVER_H

#include <memory>
#include <string>
#include <vector>

namespace kxserver {

// The scenario the server runs on when none is named: the one installed beside the program
// ("../share/kxapicommon/" from its directory), else the source tree's.
std::string DefaultScenario();

struct ServerOptions {
    std::string strBindHost = "127.0.0.1";
    unsigned short usPort = 8080;                // 0 picks a free port (tests)
    std::string strRunDir = "kxapi-run";         // sockets of the services and endpoints
    std::string strStateDir = "kxapi-state";     // configuration that survives a restart
    std::string strScenario = DefaultScenario(); // the emulated camera services; empty: none
    std::vector<std::string> vecServices{};      // only these of the scenario (name or socket); empty: all
    std::string strAdminUser = "admin";
    std::string strAdminPassword = "admin";
    unsigned int uiLoginAttempts = 3; // failed logins before the address is locked
    unsigned long long ullLockSeconds = 300;
    unsigned int uiAsyncWaitMs = 5000;      // how long an asynchronous answer is awaited
    unsigned int uiRequestTimeoutMs = 5000; // for a whole request to arrive; for an idle connection
    unsigned int uiMaxConnections = 4096;   // beyond: 503 at once
    unsigned int uiMaxQueue = 256;          // requests in progress over all services; beyond: 503
    unsigned int uiServiceWaiters = 32;     // requests in progress on one service; beyond: 503
};

class AccessServer {
public:
    explicit AccessServer(ServerOptions stOptions);
    ~AccessServer();
    AccessServer(const AccessServer&) = delete;
    AccessServer& operator=(const AccessServer&) = delete;

    // Starts services, event loop, workers and listener; false (with a message on stderr) on
    // failure.
    bool Start();
    // Stops taking requests, answers those in progress, stops everything Start made and removes
    // the socket files; safe to call twice.
    void Stop();
    unsigned short Port() const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_pImpl;
};

} // namespace kxserver

#endif
