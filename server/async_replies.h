// The asynchronous command exchange, and what the server does with replies nobody waits for. Each
// asynchronous request sends from an endpoint of its own and waits there for the reply that brings
// its cookie back: requests never wait on each other, and a reply that comes after its request
// gave up finds no endpoint, so it can never reach a later request on the same connection.
#ifndef KXAPI_ASYNC_REPLIES_H
#define KXAPI_ASYNC_REPLIES_H

#include "kxapicommon.h"

#include <atomic>
#include <string>

namespace kxserver {

struct ServerContext;
struct Request;

// Replies that no request of this server waits for (a stray datagram, a forged or stale cookie, a
// reply on another client's channel): counted and dropped, never looked into. Logged to stderr, the
// first ten and then every thousandth, so that a flood of them cannot flood the log.
class StrayReplies {
public:
    void Drop(const std::string& strWhat);
    unsigned long long Count() const { return m_ullCount.load(); }

private:
    std::atomic<unsigned long long> m_ullCount{0};
};

// GetCommonAsyn for enCmd, a wait of up to ServerOptions::uiAsyncWaitMs for its reply, RecvCommon.
// VW_RESULT_COMMON_ERROR when no reply came in time.
int GetAsync(ServerContext& ctx, Request& req, VW_CMD_TYPE enCmd);

} // namespace kxserver

#endif
