// The resources the reference server serves, and what their handlers share. A handler fills the
// request's content record (or its body) and returns the library result code it answers with.
#ifndef KXAPI_RESOURCES_H
#define KXAPI_RESOURCES_H

#include "access_server.h"
#include "async_replies.h"
#include "event_loop.h"
#include "host_records.h"
#include "login_lock.h"

#include <atomic>

namespace kxserver {

struct ServerContext {
    const ServerOptions& stOptions;
    LoginLock& lock;
    EventLoop& loop;
    std::atomic<unsigned int> uiEndpointSeq{0}; // names of the requests' own endpoints
    std::atomic<unsigned int> uiDownloadSeq{0};
    StrayReplies strayReplies{};
};

// An endpoint of the request's own, bound to a name no other request uses (the prefix and a
// number), so concurrent requests never take each other's replies. pstSock is null when it could
// not be made.
struct Endpoint {
    std::string strName;
    tagUNIX_SOCKET_S* pstSock = nullptr;
    Endpoint(ServerContext& ctx, const char* pszPrefix);
    ~Endpoint();
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;
};

using Handler = int (*)(ServerContext& ctx, Request& req);

// Served by the configuration and GAT1400 services (command messages).
int GetSystem(ServerContext& ctx, Request& req);
int GetVideoOsd(ServerContext& ctx, Request& req);
int PutVideoOsd(ServerContext& ctx, Request& req);
int GetChannelStream(ServerContext& ctx, Request& req);
int GetLatestEvent(ServerContext& ctx, Request& req);
int GetGat1400Status(ServerContext& ctx, Request& req);
int GetStorage(ServerContext& ctx, Request& req);
// Served by the authentication service (HBTP) or by the server itself.
int GetUsers(ServerContext& ctx, Request& req);
int GetSessions(ServerContext& ctx, Request& req);
int PostLogin(ServerContext& ctx, Request& req);
int GetLogDownload(ServerContext& ctx, Request& req);

} // namespace kxserver

#endif
