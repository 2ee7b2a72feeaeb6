/*
 * Dev-host stand-in for the platform's HBTP message library, and the stand-in's service file
 * system (paths under "/mnt/srvfs/" opened read-write become stream channels to emulated
 * services living as Unix-domain sockets in a directory the program chooses).
 */
#ifndef KXPLATFORM_HBTP_H
#define KXPLATFORM_HBTP_H

#include <stddef.h>

extern "C" {

/* The message header as senders and receivers see it; integers in host byte order. */
typedef struct hbtp_header {
    unsigned char ucVersion;  /* 1 in every message this stand-in makes */
    unsigned char ucFlags;
    unsigned char ucReserved; /* cleared to 0 by senders */
    unsigned char ucType;     /* low 7 bits: message type; the top bit is a flag senders keep */
    unsigned short usUrl;     /* URL number */
    unsigned short usCode;    /* response code, 200 success */
} hbtp_header;

/* Opaque apart from its first member. Owned by its creator until hbtp_message_put. */
typedef struct hbtp_message {
    hbtp_header* pstHeader;
} hbtp_message;

#define HBTP_EXT_CLIENT_FD 50115u /* 4-byte descriptor of the waiting HTTP client */
#define HBTP_FRAME_PREAMBLE 20u   /* magic, header, extension length, body length */
#define HBTP_FRAME_MAX_EXT 1024u  /* bytes of extension headers a frame may declare */
#define HBTP_FRAME_MAX_BODY (1024u * 1024u) /* bytes of body a frame may declare */

/* A new empty message (header zero but for the version), or null; iFlags must be 0. */
hbtp_message* hbtp_message_new(int iFlags);
/* Releases the message, its extension headers and its body; null is accepted. 0. */
int hbtp_message_put(hbtp_message* pstMsg);
/* Sets extension header usTag to a copy of usLen bytes (replacing an earlier value).
 * 0, or -1 with errno EINVAL (bad argument), EMSGSIZE (extension area full), ENOMEM. */
int hbtp_header_set(hbtp_message* pstMsg, unsigned short usTag, const void* pValue, unsigned short usLen);
/* The value of extension header usTag: 0 with *ppValue and *pusLen set (the value belongs to the
 * message and stays valid until it is released or an extension header is set), -1 with errno
 * ENOENT (absent) or EINVAL. */
int hbtp_header_get(hbtp_message* pstMsg, unsigned short usTag, void** ppValue, unsigned short* pusLen);
/* Appends a copy of uiLen bytes to the body. 0, or -1 with errno EINVAL, EMSGSIZE, ENOMEM. */
int hbtp_content_add(hbtp_message* pstMsg, const void* pData, unsigned int uiLen);
/* The body: 0 with *ppData (never null, writable, owned by the message) and *puiLen (0 for a
 * message without body); -1 with errno EINVAL for a null argument. */
int hbtp_content(hbtp_message* pstMsg, void** ppData, unsigned int* puiLen);
/* Writes the whole message as one frame, across short writes and EINTR. 0, or -1 with errno. */
int hbtp_message_sendfd(hbtp_message* pstMsg, int iFd);
/* Blocks until one whole frame has been read and replaces the message's contents with it.
 * -1 with errno: ECONNRESET peer closed before a frame, EPROTO malformed frame or peer closed
 * inside one, EMSGSIZE a frame declaring more than the bounds above; the message is then
 * unchanged. Never allocates more than a frame's declared (bounded) sizes. */
int hbtp_message_recvfd(hbtp_message* pstMsg, int iFd);

/* Frame codec on byte buffers (also what the descriptor functions use).
 * hbtp_frame_decode: exactly one whole frame of uiLen bytes into a new message (*ppMsg, released
 * by the caller with hbtp_message_put). 0, or -1 with errno EPROTO / EMSGSIZE / EINVAL / ENOMEM.
 * hbtp_frame_encode: the frame of pstMsg into a new malloc'ed block (*ppBuf, freed by the caller)
 * of *puiLen bytes. 0 or -1 with errno. */
int hbtp_frame_decode(const void* pBuf, size_t uiLen, hbtp_message** ppMsg);
int hbtp_frame_encode(hbtp_message* pstMsg, void** ppBuf, size_t* puiLen);

/* Test hook: called with every message hbtp_message_put is about to release (null: none). */
typedef void (*PFN_HBTP_RELEASE_HOOK)(void* pUser, hbtp_message* pstMsg);
void KxHbtpSetReleaseHook(PFN_HBTP_RELEASE_HOOK pfnHook, void* pUser);

/* ---- service file system stand-in ---- */

/* Directory holding the service sockets: "/mnt/srvfs/NAME" maps to "<root>/NAME". A null or
 * empty root falls back to the environment variable KXPLATFORM_SRVFS_DIR; without either, such
 * paths go to the real file system. 0, or -1 (EINVAL) for a root too long for socket paths. */
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
}

#endif
