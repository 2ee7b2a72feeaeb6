// The HBTP header fields the library reads and writes, reached through a message's first member
// (the header pointer) by their byte offsets, so any message library with that header works; and
// the event base a client's channels are registered with.
#ifndef KXAPI_HBTP_H
#define KXAPI_HBTP_H

#include "abs_event.h"
#include "hbtp.h"
#include "kxapicommon.h"

#include <cstring>

namespace kxapi_hbtp {

static inline unsigned char* Header(hbtp_message* pstMsg)
{
    unsigned char* p = nullptr;
    memcpy(&p, pstMsg, sizeof(p));
    return p;
}

static inline unsigned short Word(hbtp_message* pstMsg, size_t off)
{
    unsigned short v = 0;
    memcpy(&v, Header(pstMsg) + off, sizeof(v));
    return v;
}

static inline unsigned char Type(hbtp_message* pstMsg)
{
    return static_cast<unsigned char>(Header(pstMsg)[3] & 0x7F);
}
static inline unsigned short Url(hbtp_message* pstMsg)
{
    return Word(pstMsg, 4);
}
static inline unsigned short Code(hbtp_message* pstMsg)
{
    return Word(pstMsg, 6);
}

// A request's fields: byte 2 cleared, the type's low 7 bits (the top bit kept), the URL number.
static inline void SetRequest(hbtp_message* pstMsg, unsigned short usUrl, unsigned char ucType)
{
    unsigned char* h = Header(pstMsg);
    h[2] = 0;
    h[3] = static_cast<unsigned char>((h[3] & 0x80) | (ucType & 0x7F));
    memcpy(h + 4, &usUrl, sizeof(usUrl));
}

// The event base a client's asynchronous channels are registered with; null without one (or
// without a client).
static inline tagABS_EVENT_BASE_S* ClientEventBase(const tagHTTP_CLIENT_S* pstClient)
{
    return pstClient != nullptr && pstClient->pstServerCtx != nullptr ? pstClient->pstServerCtx->pstEventBase : nullptr;
}

} // namespace kxapi_hbtp

#endif
