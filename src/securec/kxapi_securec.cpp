// Bundled bounded layer: the five securec functions the library uses, nothing more.
#include "securec.h"

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

bool Overlaps(const void* a, size_t aLen, const void* b, size_t bLen)
{
    auto pa = reinterpret_cast<uintptr_t>(a);
    auto pb = reinterpret_cast<uintptr_t>(b);
    return pa < pb + bLen && pb < pa + aLen;
}

} // namespace

extern "C" errno_t memcpy_s(void* dest, size_t destMax, const void* src, size_t count)
{
    if (destMax == 0 || destMax > SECUREC_MEM_MAX_LEN) {
        return SECUREC_ERANGE;
    }
    if (dest == nullptr) {
        return SECUREC_EINVAL;
    }
    if (src == nullptr) {
        memset(dest, 0, destMax);
        return EINVAL_AND_RESET;
    }
    if (count > destMax) {
        memset(dest, 0, destMax);
        return ERANGE_AND_RESET;
    }
    if (count == 0 || dest == src) {
        return EOK;
    }
    if (Overlaps(dest, count, src, count)) {
        memset(dest, 0, destMax);
        return EOVERLAP_AND_RESET;
    }
    memcpy(dest, src, count);
    return EOK;
}

extern "C" errno_t memset_s(void* dest, size_t destMax, int c, size_t count)
{
    if (destMax == 0 || destMax > SECUREC_MEM_MAX_LEN) {
        return SECUREC_ERANGE;
    }
    if (dest == nullptr) {
        return SECUREC_EINVAL;
    }
    if (count > destMax) {
        memset(dest, c, destMax);
        return ERANGE_AND_RESET;
    }
    memset(dest, c, count);
    return EOK;
}

extern "C" errno_t strncpy_s(char* strDest, size_t destMax, const char* strSrc, size_t count)
{
    if (destMax == 0 || destMax > SECUREC_STRING_MAX_LEN) {
        return SECUREC_ERANGE;
    }
    if (strDest == nullptr) {
        return SECUREC_EINVAL;
    }
    if (strSrc == nullptr) {
        strDest[0] = '\0';
        return EINVAL_AND_RESET;
    }
    if (count > SECUREC_STRING_MAX_LEN) {
        strDest[0] = '\0';
        return ERANGE_AND_RESET;
    }
    // Copy at most count characters; they and the terminator must fit in destMax.
    size_t len = strnlen(strSrc, count < destMax ? count : destMax);
    if (len >= destMax) {
        strDest[0] = '\0';
        return ERANGE_AND_RESET;
    }
    if (Overlaps(strDest, len + 1, strSrc, len + 1)) {
        strDest[0] = '\0';
        return EOVERLAP_AND_RESET;
    }
    memcpy(strDest, strSrc, len);
    strDest[len] = '\0';
    return EOK;
}

extern "C" int snprintf_s(char* strDest, size_t destMax, size_t count, const char* format, ...)
{
    if (strDest == nullptr || format == nullptr || destMax == 0 || destMax > SECUREC_STRING_MAX_LEN) {
        return -1;
    }
    // count >= destMax asks for the whole text, which must fit; count < destMax accepts a cut at count.
    bool bCutAllowed = count < destMax;
    size_t limit = bCutAllowed ? count + 1 : destMax;
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(strDest, limit, format, ap);
    va_end(ap);
    if (n < 0) {
        strDest[0] = '\0';
        return -1;
    }
    if (static_cast<size_t>(n) >= limit) {
        if (!bCutAllowed) {
            strDest[0] = '\0';
        }
        return -1;
    }
    return n;
}

namespace {

enum class IntWidth { Short, Int, LongLong };

// Reads an optionally signed decimal number; digits beyond the type's range wrap modulo its width,
// as securec's own conversion does. Returns false when no digit follows.
bool ScanDecimal(const char*& p, unsigned long long& ullOut, bool& bNegative)
{
    const char* q = p;
    bNegative = false;
    if (*q == '+' || *q == '-') {
        bNegative = (*q == '-');
        ++q;
    }
    if (!isdigit(static_cast<unsigned char>(*q))) {
        return false;
    }
    unsigned long long v = 0;
    while (isdigit(static_cast<unsigned char>(*q))) {
        v = v * 10U + static_cast<unsigned>(*q - '0');
        ++q;
    }
    ullOut = bNegative ? (0ULL - v) : v;
    p = q;
    return true;
}

void StoreInt(va_list& ap, IntWidth enWidth, bool bUnsigned, unsigned long long v)
{
    switch (enWidth) {
        case IntWidth::Short:
            if (bUnsigned) {
                *va_arg(ap, unsigned short*) = static_cast<unsigned short>(v);
            } else {
                *va_arg(ap, short*) = static_cast<short>(v);
            }
            break;
        case IntWidth::Int:
            if (bUnsigned) {
                *va_arg(ap, unsigned int*) = static_cast<unsigned int>(v);
            } else {
                *va_arg(ap, int*) = static_cast<int>(v);
            }
            break;
        case IntWidth::LongLong:
            if (bUnsigned) {
                *va_arg(ap, unsigned long long*) = v;
            } else {
                *va_arg(ap, long long*) = static_cast<long long>(v);
            }
            break;
    }
}

// Parses a %[...] set starting after '['; returns the position after ']' or null when malformed.
const char* ParseSet(const char* f, bool abSet[256])
{
    bool bInvert = false;
    if (*f == '^') {
        bInvert = true;
        ++f;
    }
    memset(abSet, 0, 256 * sizeof(bool));
    bool bFirst = true;
    while (*f != '\0' && (bFirst || *f != ']')) {
        unsigned char c = static_cast<unsigned char>(*f);
        if (f[1] == '-' && f[2] != ']' && f[2] != '\0') {
            unsigned char hi = static_cast<unsigned char>(f[2]);
            for (unsigned x = c; x <= hi; ++x) {
                abSet[x] = true;
            }
            f += 3;
        } else {
            abSet[c] = true;
            ++f;
        }
        bFirst = false;
    }
    if (*f != ']') {
        return nullptr;
    }
    if (bInvert) {
        for (int i = 0; i < 256; ++i) {
            abSet[i] = !abSet[i];
        }
    }
    return f + 1;
}

int ScanImpl(const char* s, const char* f, va_list& ap)
{
    int iStored = 0;
    while (*f != '\0') {
        if (isspace(static_cast<unsigned char>(*f))) {
            while (isspace(static_cast<unsigned char>(*f))) {
                ++f;
            }
            while (isspace(static_cast<unsigned char>(*s))) {
                ++s;
            }
            continue;
        }
        if (*f != '%' || f[1] == '%') {
            if (*f == '%') {
                ++f;
            }
            if (*s == '\0') {
                return iStored == 0 ? -1 : iStored;
            }
            if (*s != *f) {
                return iStored;
            }
            ++s;
            ++f;
            continue;
        }
        ++f;
        IntWidth enWidth = IntWidth::Int;
        if (f[0] == 'h') {
            enWidth = IntWidth::Short;
            ++f;
        } else if (f[0] == 'l' && f[1] == 'l') {
            enWidth = IntWidth::LongLong;
            f += 2;
        }
        char conv = *f++;
        if (conv == 'd' || conv == 'u') {
            while (isspace(static_cast<unsigned char>(*s))) {
                ++s;
            }
            if (*s == '\0') {
                return iStored == 0 ? -1 : iStored;
            }
            unsigned long long v = 0;
            bool bNeg = false;
            if (!ScanDecimal(s, v, bNeg)) {
                return iStored;
            }
            StoreInt(ap, enWidth, conv == 'u', v);
            ++iStored;
            continue;
        }
        if (conv != 's' && conv != 'c' && conv != '[') {
            return iStored; // not a conversion this layer offers
        }
        bool abSet[256];
        if (conv == '[') {
            f = ParseSet(f, abSet);
            if (f == nullptr) {
                return iStored;
            }
        } else if (conv == 's') {
            while (isspace(static_cast<unsigned char>(*s))) {
                ++s;
            }
        }
        char* pDst = va_arg(ap, char*);
        unsigned int uiSize = va_arg(ap, unsigned int);
        if (*s == '\0') {
            return iStored == 0 ? -1 : iStored;
        }
        size_t n = 0;
        if (conv == 'c') {
            n = 1;
        } else if (conv == 's') {
            while (s[n] != '\0' && !isspace(static_cast<unsigned char>(s[n]))) {
                ++n;
            }
        } else {
            while (s[n] != '\0' && abSet[static_cast<unsigned char>(s[n])]) {
                ++n;
            }
        }
        if (n == 0) {
            return iStored;
        }
        // %c stores no terminator; %s and %[ need room for one.
        size_t need = (conv == 'c') ? n : n + 1;
        if (pDst == nullptr || uiSize == 0 || need > uiSize) {
            if (pDst != nullptr && uiSize > 0) {
                pDst[0] = '\0';
            }
            return iStored;
        }
        memcpy(pDst, s, n);
        if (conv != 'c') {
            pDst[n] = '\0';
        }
        s += n;
        ++iStored;
    }
    return iStored;
}

} // namespace

extern "C" int sscanf_s(const char* buffer, const char* format, ...)
{
    if (buffer == nullptr || format == nullptr) {
        return -1;
    }
    va_list ap;
    va_start(ap, format);
    int iRet = ScanImpl(buffer, format, ap);
    va_end(ap);
    return iRet;
}
