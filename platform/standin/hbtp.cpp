// HBTP message library stand-in: messages, their frame on a stream, the frame codec.
//
// Frame (all integers little-endian, independent of the host ABI):
//   0  "HBTP"                     magic
//   4  8 header bytes             version, flags, reserved, type, URL (16), code (16)
//   12 uint32 extension length E  at most HBTP_FRAME_MAX_EXT
//   16 uint32 body length B       at most HBTP_FRAME_MAX_BODY
//   20 E bytes of extensions      repeated { uint16 tag, uint16 length, value }, exactly E bytes
//   .. B bytes of body
#include "hbtp_internal.h"
#include "kxplatform.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

struct HbtpMessageImpl {
    hbtp_message stPub; // first: the public view
    hbtp_header stHeader;
    unsigned char* pExt; // TLV area, uiExtLen bytes
    uint32_t uiExtLen;
    unsigned char* pBody;
    uint32_t uiBodyLen;
    unsigned char ucEmpty; // what an empty body points to
};

HbtpMessageImpl* Impl(hbtp_message* pstMsg)
{
    return reinterpret_cast<HbtpMessageImpl*>(pstMsg);
}

std::atomic<PFN_HBTP_RELEASE_HOOK> g_pfnReleaseHook{nullptr};
std::atomic<void*> g_pReleaseUser{nullptr};

const unsigned char kMagic[4] = {'H', 'B', 'T', 'P'};

void Put16(unsigned char* p, uint16_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
void Put32(unsigned char* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<unsigned char>(v >> (8 * i));
    }
}
uint16_t Get16(const unsigned char* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Get32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

int Fail(int iErr)
{
    errno = iErr;
    return -1;
}

// Offset of tag's TLV in the area, or -1.
long FindExt(const HbtpMessageImpl* m, uint16_t usTag)
{
    uint32_t off = 0;
    while (off + 4 <= m->uiExtLen) {
        uint16_t tag = Get16(m->pExt + off);
        uint16_t len = Get16(m->pExt + off + 2);
        if (tag == usTag) {
            return static_cast<long>(off);
        }
        off += 4u + len;
    }
    return -1;
}

// A TLV area is well formed when its entries cover it exactly and no tag repeats.
bool ExtWellFormed(const unsigned char* p, uint32_t uiLen)
{
    uint32_t off = 0;
    while (off < uiLen) {
        if (uiLen - off < 4) {
            return false;
        }
        uint16_t tag = Get16(p + off);
        uint32_t len = Get16(p + off + 2);
        if (uiLen - off - 4 < len) {
            return false;
        }
        for (uint32_t o = 0; o < off;) {
            if (Get16(p + o) == tag) {
                return false;
            }
            o += 4u + Get16(p + o + 2);
        }
        off += 4u + len;
    }
    return true;
}

} // namespace

static int KxHbtpPreambleCheck(const unsigned char* pPre, uint32_t* puiExt, uint32_t* puiBody)
{
    if (memcmp(pPre, kMagic, sizeof(kMagic)) != 0) {
        return Fail(EPROTO);
    }
    uint32_t ext = Get32(pPre + 12);
    uint32_t body = Get32(pPre + 16);
    if (ext > HBTP_FRAME_MAX_EXT || body > HBTP_FRAME_MAX_BODY) {
        return Fail(EMSGSIZE);
    }
    *puiExt = ext;
    *puiBody = body;
    return 0;
}

extern "C" void KxHbtpSetReleaseHook(PFN_HBTP_RELEASE_HOOK pfnHook, void* pUser)
{
    g_pReleaseUser.store(pUser);
    g_pfnReleaseHook.store(pfnHook);
}

extern "C" void KxHbtpSetHeader(hbtp_message* pstMsg, unsigned char ucType, unsigned short usUrl, unsigned short usCode)
{
    if (pstMsg == nullptr) {
        return;
    }
    hbtp_header* pstHeader = pstMsg->pstHeader;
    pstHeader->ucReserved = 0;
    pstHeader->ucType = static_cast<unsigned char>((pstHeader->ucType & 0x80u) | (ucType & 0x7Fu));
    pstHeader->usUrl = usUrl;
    pstHeader->usCode = usCode;
}

extern "C" void KxHbtpGetHeader(const hbtp_message* pstMsg, unsigned char* pucType, unsigned short* pusUrl,
                                unsigned short* pusCode)
{
    const hbtp_header stNone{};
    const hbtp_header& stHeader = pstMsg == nullptr ? stNone : *pstMsg->pstHeader;
    if (pucType != nullptr) {
        *pucType = static_cast<unsigned char>(stHeader.ucType & 0x7Fu);
    }
    if (pusUrl != nullptr) {
        *pusUrl = stHeader.usUrl;
    }
    if (pusCode != nullptr) {
        *pusCode = stHeader.usCode;
    }
}

extern "C" hbtp_message* hbtp_message_new(int iFlags)
{
    if (iFlags != 0) {
        errno = EINVAL;
        return nullptr;
    }
    auto* m = static_cast<HbtpMessageImpl*>(calloc(1, sizeof(HbtpMessageImpl)));
    if (m == nullptr) {
        return nullptr;
    }
    m->stPub.pstHeader = &m->stHeader;
    m->stHeader.ucVersion = 1;
    return &m->stPub;
}

extern "C" int hbtp_message_put(hbtp_message* pstMsg)
{
    if (pstMsg != nullptr) {
        PFN_HBTP_RELEASE_HOOK pfnHook = g_pfnReleaseHook.load();
        if (pfnHook != nullptr) {
            pfnHook(g_pReleaseUser.load(), pstMsg);
        }
        HbtpMessageImpl* m = Impl(pstMsg);
        free(m->pExt);
        free(m->pBody);
        free(m);
    }
    return 0;
}

extern "C" int hbtp_header_set(hbtp_message* pstMsg, unsigned short usTag, const void* pValue, unsigned short usLen)
{
    if (pstMsg == nullptr || (pValue == nullptr && usLen != 0)) {
        return Fail(EINVAL);
    }
    HbtpMessageImpl* m = Impl(pstMsg);
    long at = FindExt(m, usTag);
    uint32_t oldEntry = at < 0 ? 0 : 4u + Get16(m->pExt + at + 2);
    uint32_t newLen = m->uiExtLen - oldEntry + 4u + usLen;
    if (newLen > HBTP_FRAME_MAX_EXT) {
        return Fail(EMSGSIZE);
    }
    auto* area = static_cast<unsigned char*>(malloc(newLen));
    if (area == nullptr) {
        return Fail(ENOMEM);
    }
    uint32_t w = 0;
    if (at >= 0) { // keep the other entries in order, drop the old value
        memcpy(area, m->pExt, static_cast<size_t>(at));
        w = static_cast<uint32_t>(at);
        uint32_t rest = m->uiExtLen - static_cast<uint32_t>(at) - oldEntry;
        memcpy(area + w, m->pExt + at + oldEntry, rest);
        w += rest;
    } else if (m->uiExtLen != 0) {
        memcpy(area, m->pExt, m->uiExtLen);
        w = m->uiExtLen;
    }
    Put16(area + w, usTag);
    Put16(area + w + 2, usLen);
    if (usLen != 0) {
        memcpy(area + w + 4, pValue, usLen);
    }
    free(m->pExt);
    m->pExt = area;
    m->uiExtLen = newLen;
    return 0;
}

extern "C" int hbtp_header_get(hbtp_message* pstMsg, unsigned short usTag, void** ppValue, unsigned short* pusLen)
{
    if (pstMsg == nullptr || ppValue == nullptr || pusLen == nullptr) {
        return Fail(EINVAL);
    }
    HbtpMessageImpl* m = Impl(pstMsg);
    long at = FindExt(m, usTag);
    if (at < 0) {
        return Fail(ENOENT);
    }
    *pusLen = Get16(m->pExt + at + 2);
    *ppValue = m->pExt + at + 4;
    return 0;
}

extern "C" int hbtp_content_add(hbtp_message* pstMsg, const void* pData, unsigned int uiLen)
{
    if (pstMsg == nullptr || (pData == nullptr && uiLen != 0)) {
        return Fail(EINVAL);
    }
    HbtpMessageImpl* m = Impl(pstMsg);
    if (uiLen > HBTP_FRAME_MAX_BODY - m->uiBodyLen) {
        return Fail(EMSGSIZE);
    }
    if (uiLen == 0) {
        return 0;
    }
    auto* body = static_cast<unsigned char*>(realloc(m->pBody, m->uiBodyLen + uiLen));
    if (body == nullptr) {
        return Fail(ENOMEM);
    }
    memcpy(body + m->uiBodyLen, pData, uiLen);
    m->pBody = body;
    m->uiBodyLen += uiLen;
    return 0;
}

extern "C" int hbtp_content(hbtp_message* pstMsg, void** ppData, unsigned int* puiLen)
{
    if (pstMsg == nullptr || ppData == nullptr || puiLen == nullptr) {
        return Fail(EINVAL);
    }
    HbtpMessageImpl* m = Impl(pstMsg);
    *ppData = m->pBody != nullptr ? m->pBody : &m->ucEmpty;
    *puiLen = m->uiBodyLen;
    return 0;
}

extern "C" int hbtp_frame_encode(hbtp_message* pstMsg, void** ppBuf, size_t* puiLen)
{
    if (pstMsg == nullptr || ppBuf == nullptr || puiLen == nullptr) {
        return Fail(EINVAL);
    }
    HbtpMessageImpl* m = Impl(pstMsg);
    size_t total = HBTP_FRAME_PREAMBLE + m->uiExtLen + m->uiBodyLen;
    auto* p = static_cast<unsigned char*>(malloc(total));
    if (p == nullptr) {
        return Fail(ENOMEM);
    }
    memcpy(p, kMagic, 4);
    const hbtp_header& h = m->stHeader;
    p[4] = h.ucVersion;
    p[5] = h.ucFlags;
    p[6] = h.ucReserved;
    p[7] = h.ucType;
    Put16(p + 8, h.usUrl);
    Put16(p + 10, h.usCode);
    Put32(p + 12, m->uiExtLen);
    Put32(p + 16, m->uiBodyLen);
    if (m->uiExtLen != 0) {
        memcpy(p + HBTP_FRAME_PREAMBLE, m->pExt, m->uiExtLen);
    }
    if (m->uiBodyLen != 0) {
        memcpy(p + HBTP_FRAME_PREAMBLE + m->uiExtLen, m->pBody, m->uiBodyLen);
    }
    *ppBuf = p;
    *puiLen = total;
    return 0;
}

static int KxHbtpBuild(const unsigned char* pPre, const unsigned char* pRest, uint32_t uiExt, uint32_t uiBody,
                       hbtp_message** ppMsg)
{
    if (!ExtWellFormed(pRest, uiExt)) {
        return Fail(EPROTO);
    }
    hbtp_message* pub = hbtp_message_new(0);
    if (pub == nullptr) {
        return Fail(ENOMEM);
    }
    HbtpMessageImpl* m = Impl(pub);
    m->stHeader.ucVersion = pPre[4];
    m->stHeader.ucFlags = pPre[5];
    m->stHeader.ucReserved = pPre[6];
    m->stHeader.ucType = pPre[7];
    m->stHeader.usUrl = Get16(pPre + 8);
    m->stHeader.usCode = Get16(pPre + 10);
    if (uiExt != 0) {
        m->pExt = static_cast<unsigned char*>(malloc(uiExt));
        if (m->pExt == nullptr) {
            hbtp_message_put(pub);
            return Fail(ENOMEM);
        }
        memcpy(m->pExt, pRest, uiExt);
        m->uiExtLen = uiExt;
    }
    if (uiBody != 0 && hbtp_content_add(pub, pRest + uiExt, uiBody) != 0) {
        hbtp_message_put(pub);
        return Fail(ENOMEM);
    }
    *ppMsg = pub;
    return 0;
}

extern "C" int hbtp_frame_decode(const void* pBuf, size_t uiLen, hbtp_message** ppMsg)
{
    if (pBuf == nullptr || ppMsg == nullptr) {
        return Fail(EINVAL);
    }
    const auto* p = static_cast<const unsigned char*>(pBuf);
    if (uiLen < HBTP_FRAME_PREAMBLE) {
        return Fail(EPROTO);
    }
    uint32_t ext = 0;
    uint32_t body = 0;
    if (KxHbtpPreambleCheck(p, &ext, &body) != 0) {
        return -1;
    }
    if (uiLen - HBTP_FRAME_PREAMBLE != static_cast<size_t>(ext) + body) {
        return Fail(EPROTO);
    }
    return KxHbtpBuild(p, p + HBTP_FRAME_PREAMBLE, ext, body, ppMsg);
}

int KxWriteAll(int iFd, const void* pBuf, size_t uiLen)
{
    const auto* p = static_cast<const unsigned char*>(pBuf);
    bool bSocket = true;
    while (uiLen > 0) {
        // send() spares the process a SIGPIPE when the peer is gone; plain write for non-sockets.
        ssize_t n = bSocket ? send(iFd, p, uiLen, MSG_NOSIGNAL) : write(iFd, p, uiLen);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (bSocket && errno == ENOTSOCK) {
                bSocket = false;
                continue;
            }
            return -1;
        }
        p += n;
        uiLen -= static_cast<size_t>(n);
    }
    return 0;
}

int KxReadAll(int iFd, void* pBuf, size_t uiLen, bool bStarted)
{
    auto* p = static_cast<unsigned char*>(pBuf);
    size_t done = 0;
    while (done < uiLen) {
        ssize_t n = read(iFd, p + done, uiLen - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (n == 0) {
            return Fail((bStarted || done > 0) ? EPROTO : ECONNRESET);
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

int KxHbtpReadFrameAfterMagic(int iFd, const unsigned char* pMagic, hbtp_message** ppMsg)
{
    unsigned char pre[HBTP_FRAME_PREAMBLE];
    memcpy(pre, pMagic, 4);
    if (KxReadAll(iFd, pre + 4, sizeof(pre) - 4, true) != 0) {
        return -1;
    }
    uint32_t ext = 0;
    uint32_t body = 0;
    if (KxHbtpPreambleCheck(pre, &ext, &body) != 0) {
        return -1;
    }
    size_t rest = static_cast<size_t>(ext) + body;
    auto* buf = static_cast<unsigned char*>(malloc(rest != 0 ? rest : 1));
    if (buf == nullptr) {
        return Fail(ENOMEM);
    }
    int r = KxReadAll(iFd, buf, rest, true);
    if (r == 0) {
        r = KxHbtpBuild(pre, buf, ext, body, ppMsg);
    }
    int saved = errno;
    free(buf);
    errno = saved;
    return r;
}

extern "C" int hbtp_message_sendfd(hbtp_message* pstMsg, int iFd)
{
    void* buf = nullptr;
    size_t len = 0;
    if (hbtp_frame_encode(pstMsg, &buf, &len) != 0) {
        return -1;
    }
    int r = KxWriteAll(iFd, buf, len);
    int saved = errno;
    free(buf);
    errno = saved;
    return r;
}

void KxHbtpMove(hbtp_message* pstDst, hbtp_message* pstSrc)
{
    HbtpMessageImpl* d = Impl(pstDst);
    HbtpMessageImpl* s = Impl(pstSrc);
    free(d->pExt);
    free(d->pBody);
    d->stHeader = s->stHeader;
    d->pExt = s->pExt;
    d->uiExtLen = s->uiExtLen;
    d->pBody = s->pBody;
    d->uiBodyLen = s->uiBodyLen;
    free(s); // its contents live on in pstDst: not a release of a message
}

extern "C" int hbtp_message_recvfd(hbtp_message* pstMsg, int iFd)
{
    if (pstMsg == nullptr) {
        return Fail(EINVAL);
    }
    unsigned char magic[4];
    if (KxReadAll(iFd, magic, sizeof(magic), false) != 0) {
        return -1;
    }
    hbtp_message* got = nullptr;
    if (KxHbtpReadFrameAfterMagic(iFd, magic, &got) != 0) {
        return -1;
    }
    KxHbtpMove(pstMsg, got);
    return 0;
}
