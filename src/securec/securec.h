/*
 * Bounded memory and string functions with securec's contract. The library calls these for every
 * copy, fill, format and scan into a fixed-size field. A camera build may link the vendor's securec
 * instead (KXAPI_VENDOR_SECUREC), so only the names, argument order and results securec documents
 * are relied upon: 0 on success, nonzero error codes otherwise; on an overflow the destination is
 * reset (empty string or cleared buffer), never written past its bound.
 */
#ifndef KXAPI_SECUREC_H
#define KXAPI_SECUREC_H

#include <cstddef>

#ifndef EOK
#define EOK 0
#endif
#define SECUREC_EINVAL 22
#define SECUREC_ERANGE 34
#define SECUREC_EOVERLAP 54
#define EINVAL_AND_RESET (SECUREC_EINVAL | 128)
#define ERANGE_AND_RESET (SECUREC_ERANGE | 128)
#define EOVERLAP_AND_RESET (SECUREC_EOVERLAP | 128)
#define SECUREC_MEM_MAX_LEN 0x7fffffffUL
#define SECUREC_STRING_MAX_LEN 0x7fffffffUL

typedef int errno_t;

extern "C" {
errno_t memcpy_s(void* dest, size_t destMax, const void* src, size_t count);
errno_t memset_s(void* dest, size_t destMax, int c, size_t count);
errno_t strncpy_s(char* strDest, size_t destMax, const char* strSrc, size_t count);
/* Formats at most count characters (destMax - 1 when count >= destMax); returns the number of
 * characters written, or -1 on bad arguments or truncation (dest is emptied when count >= destMax). */
int snprintf_s(char* strDest, size_t destMax, size_t count, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
/* Supports %d %u %hd %hu %lld %llu, and %s %c %[...] each followed by an unsigned buffer size;
 * literal characters and white space. Returns the fields stored, -1 on input failure before the
 * first conversion. */
int sscanf_s(const char* buffer, const char* format, ...);
}

#endif
