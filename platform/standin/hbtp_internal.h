// Frame helpers shared by the HBTP stand-in and the service file system stand-in.
#ifndef KXPLATFORM_STANDIN_HBTP_INTERNAL_H
#define KXPLATFORM_STANDIN_HBTP_INTERNAL_H

#include "kxplatform.h"

#include <cstddef>
#include <cstdint>

#pragma GCC visibility push(hidden)
// Whole-buffer I/O across short transfers and EINTR; -1 with errno. A read that meets end of
// stream fails with ECONNRESET when nothing of an item was read yet (bStarted false), else EPROTO.
int KxWriteAll(int iFd, const void* pBuf, size_t uiLen);
int KxReadAll(int iFd, void* pBuf, size_t uiLen, bool bStarted);
// Reads the rest of a frame whose 4 magic bytes were already read; a new message in *ppMsg.
int KxHbtpReadFrameAfterMagic(int iFd, const unsigned char* pMagic, hbtp_message** ppMsg);
// Moves pstSrc's contents into pstDst and releases pstSrc.
void KxHbtpMove(hbtp_message* pstDst, hbtp_message* pstSrc);

// The channel option travels from client to service as "HBCO" and a little-endian uint32.
inline const unsigned char kKxSrvfsOptionMagic[4] = {'H', 'B', 'C', 'O'};
#pragma GCC visibility pop

#endif
