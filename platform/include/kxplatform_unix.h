/*
 * Dev-host stand-in for the host's Unix-socket endpoints and for the camera's internal services.
 * Socket names such as "/tmp/A" or "/tmp/re" are mapped under a run directory chosen by the host
 * ("/tmp/A" becomes "<run dir>/tmp_A"), so nothing here touches the real /tmp names.
 */
#ifndef KXPLATFORM_UNIX_H
#define KXPLATFORM_UNIX_H

#include "kxapicommon.h"

#include <string>

/* Sets the run directory (must exist). Null or empty: $KXPLATFORM_RUN_DIR, else the current
 * directory. 0, or -1 when the directory is too long for a socket path. */
int KxUnixSetRunDir(const char* pszDir);
/* The filesystem path a socket name maps to. */
std::string KxUnixPathOf(const char* pszName);

/* A new AF_UNIX SOCK_DGRAM endpoint with pfnSendMsg = KxUnixSendMsg and pfnRecvMsg = KxUnixRecvMsg.
 * pszBindName non-null: bound to that name now and for good, so many endpoints can serve at once
 * although every synchronous send names the same source. Null: bound at its first send to that
 * send's szSrcName, and rebound (same iFd) when a later send names another source. Null on failure.
 * Release with KxUnixEndpointDestroy, which closes the socket and removes its name. */
tagUNIX_SOCKET_S* KxUnixEndpointCreate(const char* pszBindName);
void KxUnixEndpointDestroy(tagUNIX_SOCKET_S* pstSock);

/* The endpoint operations: one whole message to szDstName (from szSrcName), or one whole message
 * received without blocking. 0 success, -1 failure. Tests may wrap them. */
int KxUnixSendMsg(tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstMsg);
int KxUnixRecvMsg(tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstMsg);

/* ---- emulated camera service ---- */
struct KXSERVICE;

/* Called on the service thread for each request. pstReply arrives pre-filled as the usual answer:
 * a copy of the request with the matching reply type (2 for a GET, 3 otherwise) and result 0
 * (command, cookie and data unchanged). Change it as the script wants; *puiDelayMs (0 on entry)
 * delays the answer. Returns how many copies to send: 0 never, 1 normal, 2 twice. */
typedef int (*PFN_KXSERVICE_HANDLER)(void* pUser, const MSG_DATA* pstReq, MSG_DATA* pstReply,
                                     unsigned int* puiDelayMs);

/* Binds pszName under the run directory and serves it on a thread of its own; a null handler
 * answers every request once, at once. Null on failure. Replies go to the sender's address. */
KXSERVICE* KxServiceStart(const char* pszName, PFN_KXSERVICE_HANDLER pfnHandler, void* pUser);
/* Stops the thread (a pending delay is cut short, its answer dropped), closes and removes the socket. */
void KxServiceStop(KXSERVICE* pstService);
/* Requests received so far, and a copy of the last one (0 when there was one, else -1). */
unsigned int KxServiceRequestCount(KXSERVICE* pstService);
int KxServiceLastRequest(KXSERVICE* pstService, MSG_DATA* pstOut);

#endif
