// Small services: the zero-filling allocator, mutex handles and random strings. They keep no state
// and write no log lines: every failure is told by the result.
#include "kxapicommon.h"
#include "securec.h"
#include "vw_platform.h"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {
constexpr unsigned long long kRandomMinLen = 4;
constexpr unsigned long long kRandomMaxLen = 1023;
constexpr long long kNullMutex = 2;

struct VwFree {
    void operator()(void* pMem) const { VW_free(pMem); }
};
template <typename T>
using VwBlock = std::unique_ptr<T, VwFree>;
} // namespace

extern "C" void* VW_malloc(int iSize)
{
    if (iSize < 1) {
        return nullptr;
    }
    void* p = malloc(static_cast<size_t>(iSize));
    if (p == nullptr) {
        return nullptr;
    }
    (void)memset_s(p, static_cast<size_t>(iSize), 0, static_cast<size_t>(iSize));
    return p;
}

extern "C" void VW_free(void* pMem)
{
    free(pMem);
}

extern "C" void* CreateMutex(void)
{
    auto* pMutex = static_cast<pthread_mutex_t*>(malloc(sizeof(pthread_mutex_t)));
    if (pMutex == nullptr) {
        return nullptr;
    }
    if (pthread_mutex_init(pMutex, nullptr) != 0) {
        free(pMutex);
        return nullptr;
    }
    return pMutex;
}

extern "C" long long DestroyMutex(void* pMutex)
{
    if (pMutex == nullptr) {
        return kNullMutex;
    }
    (void)pthread_mutex_destroy(static_cast<pthread_mutex_t*>(pMutex));
    free(pMutex);
    return 0;
}

extern "C" long long MutexLock(void* pMutex)
{
    if (pMutex == nullptr) {
        return kNullMutex;
    }
    return pthread_mutex_lock(static_cast<pthread_mutex_t*>(pMutex));
}

extern "C" long long MutexUnlock(void* pMutex)
{
    if (pMutex == nullptr) {
        return kNullMutex;
    }
    return pthread_mutex_unlock(static_cast<pthread_mutex_t*>(pMutex));
}

long long GetUrandomString(char* pBuf, int iCount)
{
    if (pBuf == nullptr) {
        return -1;
    }
    return VW_GetRandomNum(iCount, pBuf) == 0 ? 0 : -1;
}

long long GetDevRandomString(char* pOut, unsigned long long ullLen, RANDOM_STR_TYPE enType)
{
    if (pOut == nullptr || ullLen < kRandomMinLen || ullLen > kRandomMaxLen ||
        (enType != RANDOM_STR_TYPE_DEC && enType != RANDOM_STR_TYPE_HEX)) {
        return -1;
    }
    int iLen = static_cast<int>(ullLen);
    int iHalf = (iLen + 1) / 2;
    VwBlock<unsigned char> pucRandom(static_cast<unsigned char*>(VW_malloc(iHalf + 1)));
    if (pucRandom == nullptr || GetUrandomString(reinterpret_cast<char*>(pucRandom.get()), iHalf) != 0) {
        return -1;
    }
    VwBlock<char> pszWork(static_cast<char*>(VW_malloc(iLen + 1)));
    if (pszWork == nullptr) {
        return -1;
    }
    memset(pszWork.get(), '0', static_cast<size_t>(iLen));

    // Each complete group of four bytes (first byte most significant) owns eight characters and
    // is written right-aligned into them; a trailing partial group is not used.
    int iGroups = iHalf / 4;
    for (int k = 0; k < iGroups; ++k) {
        const unsigned char* pucGroup = pucRandom.get() + 4 * k;
        unsigned int uiValue = (static_cast<unsigned int>(pucGroup[0]) << 24) |
                               (static_cast<unsigned int>(pucGroup[1]) << 16) |
                               (static_cast<unsigned int>(pucGroup[2]) << 8) | pucGroup[3];
        char szGroup[16];
        int n = snprintf(szGroup, sizeof(szGroup), enType == RANDOM_STR_TYPE_HEX ? "%08x" : "%u", uiValue);
        if (n > 8) {
            n = 8; // a nine- or ten-digit decimal keeps its first eight digits
        }
        int iStart = 8 * k + 8 - n;
        for (int i = 0; i < n && iStart + i < iLen; ++i) {
            pszWork.get()[iStart + i] = szGroup[i];
        }
    }
    (void)strncpy_s(pOut, ullLen + 1, pszWork.get(), ullLen);
    return 0;
}
