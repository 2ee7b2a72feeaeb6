/*
 * Dev-host kit: Unix-domain datagram endpoints of a host (the tagUNIX_SOCKET_S records and their
 * send and receive operations). Socket names such as "/tmp/A" or "/tmp/re" are mapped under a run
 * directory chosen by the host ("/tmp/A" becomes "<run dir>/tmp_A"), so nothing here touches the
 * real /tmp names.
 */
#ifndef KXDEVHOST_H
#define KXDEVHOST_H

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

/* The endpoint operations: one whole message to szDstName (from szSrcName; waits up to 1 s for
 * room in the receiver's queue), or one whole message received without blocking. 0 success, -1
 * failure. Tests may wrap them. */
int KxUnixSendMsg(tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstMsg);
int KxUnixRecvMsg(tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstMsg);

#endif
