/*
 * Dev-host kit: scripted camera services. Each answers command messages on a Unix-domain datagram
 * socket bound at a service name ("/tmp/A") under the run directory of kxdevhost.h.
 */
#ifndef KXSERVICES_H
#define KXSERVICES_H

#include "kxapicommon.h"

struct KXSERVICE;

/* Called on the service thread for each request. pstReply arrives pre-filled as the usual answer:
 * a copy of the request with the matching reply type (2 for a GET, 3 otherwise) and result 0
 * (command, cookie and data unchanged). Change it as the script wants; *puiDelayMs (0 on entry)
 * delays the answer. Returns how many copies to send: 0 never, 1 normal, 2 twice. */
typedef int (*PFN_KXSERVICE_HANDLER)(void* pUser, const MSG_DATA* pstReq, MSG_DATA* pstReply, unsigned int* puiDelayMs);

/* Binds pszName under the run directory and serves it on a thread of its own; a null handler
 * answers every request once, at once. Null on failure. Replies go to the sender's address. */
KXSERVICE* KxServiceStart(const char* pszName, PFN_KXSERVICE_HANDLER pfnHandler, void* pUser);
/* Stops the thread (a pending delay is cut short, its answer dropped), closes and removes the socket. */
void KxServiceStop(KXSERVICE* pstService);
/* Requests received so far, and a copy of the last one (0 when there was one, else -1). */
unsigned int KxServiceRequestCount(KXSERVICE* pstService);
int KxServiceLastRequest(KXSERVICE* pstService, MSG_DATA* pstOut);

#endif
