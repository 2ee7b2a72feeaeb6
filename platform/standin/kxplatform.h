/*
 * Dev-host stand-in of the camera platform: what it offers beyond the platform contract
 * (vw_platform.h, hbtp.h, abs_event.h), for dev hosts and tests only. A board SDK has none of
 * this; a host that uses it is a dev host.
 *
 * - log sink and failure switches;
 * - the HBTP frame codec and a release hook;
 * - the service file system: "/mnt/srvfs/NAME" opened read-write becomes a stream channel to an
 *   emulated service listening as a Unix-domain socket "<root>/NAME";
 * - the event loop's base: poll-based, one base per loop thread.
 */
#ifndef KXPLATFORM_H
#define KXPLATFORM_H

#include "abs_event.h"
#include "hbtp.h"
#include "vw_platform.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- logging and random source ---- */

/* Receives every VW_WriteLog call with its arguments and the formatted text, instead of stderr.
 * A null sink restores stderr. The sink is called on the logging thread. */
typedef void (*PFN_KXPLATFORM_LOG_SINK)(void* pUser, int iModule, int iLevel, int iDebugFlag, int iReserved,
                                        const char* pszFile, int iLine, const char* pszText);
void KxPlatformSetLogSink(PFN_KXPLATFORM_LOG_SINK pfnSink, void* pUser);

/* Makes the next iCount calls of VW_GetRandomNum fail (for exercising callers' failure paths). */
void KxPlatformFailRandom(int iCount);

/* ---- HBTP frames ----
 * The frame the stand-in writes on a channel (integers little-endian):
 *   "HBTP", 8 header bytes, uint32 extension length, uint32 body length, extensions, body.
 * hbtp_message_recvfd fails with ECONNRESET (peer closed before a frame), EPROTO (malformed
 * frame, or peer closed inside one) or EMSGSIZE (a frame declaring more than the bounds below),
 * leaving the message unchanged; it never allocates more than a frame's declared sizes. */
#define HBTP_FRAME_PREAMBLE 20u             /* magic, header, extension length, body length */
#define HBTP_FRAME_MAX_EXT 1024u            /* bytes of extension headers a frame may declare */
#define HBTP_FRAME_MAX_BODY (1024u * 1024u) /* bytes of body a frame may declare */

/* hbtp_frame_decode: exactly one whole frame of uiLen bytes into a new message (*ppMsg, released
 * by the caller with hbtp_message_put). 0, or -1 with errno EPROTO / EMSGSIZE / EINVAL / ENOMEM.
 * hbtp_frame_encode: the frame of pstMsg into a new malloc'ed block (*ppBuf, freed by the caller)
 * of *puiLen bytes. 0 or -1 with errno. */
int hbtp_frame_decode(const void* pBuf, size_t uiLen, hbtp_message** ppMsg);
int hbtp_frame_encode(hbtp_message* pstMsg, void** ppBuf, size_t* puiLen);

/* The header fields hosts and services set and read, so that none of them touches header bytes:
 * setting keeps the type's top bit and clears the reserved byte, as senders must. A null message
 * is ignored; fields of a null message read as 0. */
void KxHbtpSetHeader(hbtp_message* pstMsg, unsigned char ucType, unsigned short usUrl, unsigned short usCode);
void KxHbtpGetHeader(const hbtp_message* pstMsg, unsigned char* pucType, unsigned short* pusUrl,
                     unsigned short* pusCode);

/* Called with every message hbtp_message_put is about to release (null: none). */
typedef void (*PFN_HBTP_RELEASE_HOOK)(void* pUser, hbtp_message* pstMsg);
void KxHbtpSetReleaseHook(PFN_HBTP_RELEASE_HOOK pfnHook, void* pUser);

/* ---- service file system ---- */

/* Directory holding the service sockets: "/mnt/srvfs/NAME" maps to "<root>/NAME". A null or
 * empty root falls back to the environment variable KXPLATFORM_SRVFS_DIR; without either, such
 * paths go to the real file system. 0, or -1 (EINVAL) for a root too long for socket paths.
 * The mapping covers open, open64, openat, openat64 and their _FORTIFY_SOURCE forms, and ioctl
 * 769 (the channel option) on a channel. */
int KxSrvfsSetRoot(const char* pszDir);

/* What a service handler learns of the request it serves. */
typedef struct KxSrvfsRequest {
    const char* pszService; /* the service name */
    int iChannelFd;         /* the service's end of the channel (raw writes allowed) */
    unsigned int uiChannel; /* 1 for the service's first channel, then 2, ... */
    unsigned int uiOption;  /* the last channel option (ioctl 769) value, 0 before any */
    int bOptionSet;         /* 1 once the channel's option arrived */
    int bClose;             /* set to 1 by the handler to end the channel after this request */
} KxSrvfsRequest;

/* Called on the service's thread for every request message. The request belongs to the service
 * and is released after the call; the returned reply (may be pstMsg itself) is sent and released
 * by the service; null sends nothing. */
typedef hbtp_message* (*PFN_KXSRVFS_HANDLER)(void* pUser, KxSrvfsRequest* pstReq, hbtp_message* pstMsg);

typedef struct KxSrvfsService KxSrvfsService;
/* Listens as service pszName under the current root and serves every channel on one thread
 * of its own. Null with errno on failure. */
KxSrvfsService* KxSrvfsServe(const char* pszName, PFN_KXSRVFS_HANDLER pfnHandler, void* pUser);
/* Channels accepted so far. */
unsigned int KxSrvfsChannelCount(KxSrvfsService* pstService);
/* Stops the thread, closes every channel, removes the socket and frees the service. */
void KxSrvfsStop(KxSrvfsService* pstService);

/* ---- event loop base ---- */

/* A base for descriptors 0 to uiSize - 1, or null. Released with AbsEvBaseFree, which also
 * releases every event still in its table (their descriptors stay open). AbsEvNew fails with
 * EINVAL (null base or callback), EBADF (descriptor outside the table), EEXIST (slot taken). */
struct tagABS_EVENT_BASE_S* AbsEvBaseNew(unsigned int uiSize);
void AbsEvBaseFree(struct tagABS_EVENT_BASE_S* pstBase);

/* One poll over the armed events, waiting at most iTimeoutMs (-1 without limit), then their
 * callbacks with the mask that fired. Number of callbacks run, or -1 with errno. */
int AbsEvBaseRunOnce(struct tagABS_EVENT_BASE_S* pstBase, int iTimeoutMs);
/* Runs until AbsEvBaseStop; 0, or -1 with errno. Everything but AbsEvBaseStop belongs to the
 * thread that runs the base. */
int AbsEvBaseRun(struct tagABS_EVENT_BASE_S* pstBase);
/* Makes a running (or the next) AbsEvBaseRun return; callable from any thread. */
void AbsEvBaseStop(struct tagABS_EVENT_BASE_S* pstBase);

#ifdef __cplusplus
}
#endif

#endif
