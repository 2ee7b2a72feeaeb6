// Allocation-failure injection and counting for one test executable: replaces malloc, calloc,
// realloc and free of the whole process (the C++ runtime's operator new comes through malloc and
// throws when it fails). While armed, the arming thread's allocations are counted and the n-th one
// fails; other threads are never failed nor counted. Blocks the armed thread takes are remembered
// until freed (by any thread), so a test sees what a failure path kept, also without LeakSanitizer.
// The real functions are the next definitions (the sanitizer's, when there is one).
//
// Include it in exactly one translation unit of a test executable.
#ifndef KXAPI_TEST_ALLOC_FAILURE_HOOK_H
#define KXAPI_TEST_ALLOC_FAILURE_HOOK_H

#include <dlfcn.h>
#include <pthread.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

// The hooks run before the sanitizer runtime has set itself up, so they carry no instrumentation,
// and the state they share with other threads goes through __atomic builtins.
#define ALLOCFAIL_HOOK __attribute__((no_sanitize("address", "undefined")))

namespace allocfail {

inline struct State {
    void* (*pfnMalloc)(size_t);
    void* (*pfnCalloc)(size_t, size_t);
    void* (*pfnRealloc)(void*, size_t);
    void (*pfnFree)(void*);
    alignas(std::max_align_t) unsigned char aucBoot[16384]; // what dlsym asks for while resolving
    size_t uBootUsed;
    bool bResolving, bArmed, bPaused, bHit, bLock;
    pthread_t armedThread;
    unsigned long ulCount, ulFailAt;
    void* apTracked[4096];
    size_t uTracked;
} g_st;

// From now on the n-th allocation (n >= 1) of this thread fails; 0 fails none and only counts.
inline void Arm(unsigned long ulFailAt)
{
    g_st.armedThread = pthread_self();
    g_st.ulCount = g_st.uTracked = 0;
    g_st.ulFailAt = ulFailAt;
    g_st.bHit = false;
    __atomic_store_n(&g_st.bArmed, true, __ATOMIC_RELEASE);
}
// Stops counting; true when the failure was injected. The blocks still outstanding stay counted.
inline bool Disarm()
{
    __atomic_store_n(&g_st.bArmed, false, __ATOMIC_RELEASE);
    return g_st.bHit;
}
// While paused nothing is counted or failed: work of the host's own that a count leaves out.
inline void Pause(bool bPaused)
{
    g_st.bPaused = bPaused;
}
inline size_t Outstanding()
{
    return __atomic_load_n(&g_st.uTracked, __ATOMIC_ACQUIRE);
}

ALLOCFAIL_HOOK inline void Resolve()
{
    if (g_st.pfnFree == nullptr && !g_st.bResolving) {
        g_st.bResolving = true;
        g_st.pfnMalloc = reinterpret_cast<void* (*)(size_t)>(dlsym(RTLD_NEXT, "malloc"));
        g_st.pfnCalloc = reinterpret_cast<void* (*)(size_t, size_t)>(dlsym(RTLD_NEXT, "calloc"));
        g_st.pfnRealloc = reinterpret_cast<void* (*)(void*, size_t)>(dlsym(RTLD_NEXT, "realloc"));
        g_st.pfnFree = reinterpret_cast<void (*)(void*)>(dlsym(RTLD_NEXT, "free"));
        g_st.bResolving = false;
    }
}

ALLOCFAIL_HOOK inline void* Boot(size_t uSize) // static storage: already zero, never given back
{
    size_t uStep = (uSize + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
    g_st.uBootUsed += uStep;
    return g_st.uBootUsed <= sizeof(g_st.aucBoot) ? g_st.aucBoot + g_st.uBootUsed - uStep : nullptr;
}

ALLOCFAIL_HOOK inline bool IsBoot(const void* p)
{
    return p >= g_st.aucBoot && p < g_st.aucBoot + sizeof(g_st.aucBoot);
}

ALLOCFAIL_HOOK inline bool Armed()
{
    return __atomic_load_n(&g_st.bArmed, __ATOMIC_ACQUIRE) && !g_st.bPaused &&
           pthread_equal(pthread_self(), g_st.armedThread) != 0;
}

// Counts one allocation; true when it is the one to fail.
ALLOCFAIL_HOOK inline bool Fails()
{
    Resolve();
    if (!Armed() || ++g_st.ulCount != g_st.ulFailAt) {
        return false;
    }
    g_st.bHit = true;
    errno = ENOMEM;
    return true;
}

// Adds pNew to the armed thread's blocks and drops pOld from them, under a spin lock.
ALLOCFAIL_HOOK inline void* Track(void* pNew, void* pOld = nullptr)
{
    bool bAdd = pNew != nullptr && Armed() && Outstanding() < 4096;
    if (!bAdd && (pOld == nullptr || Outstanding() == 0)) {
        return pNew;
    }
    while (__atomic_test_and_set(&g_st.bLock, __ATOMIC_ACQUIRE)) {
    }
    size_t n = g_st.uTracked;
    for (size_t i = 0; pOld != nullptr && i < n; ++i) {
        if (g_st.apTracked[i] == pOld) {
            g_st.apTracked[i] = g_st.apTracked[--n];
            break;
        }
    }
    if (bAdd) {
        g_st.apTracked[n++] = pNew;
    }
    __atomic_store_n(&g_st.uTracked, n, __ATOMIC_RELEASE);
    __atomic_clear(&g_st.bLock, __ATOMIC_RELEASE);
    return pNew;
}

} // namespace allocfail

extern "C" ALLOCFAIL_HOOK void* malloc(size_t uSize)
{
    using namespace allocfail;
    return g_st.bResolving ? Boot(uSize) : Fails() ? nullptr : Track(g_st.pfnMalloc(uSize));
}

extern "C" ALLOCFAIL_HOOK void* calloc(size_t uCount, size_t uSize)
{
    using namespace allocfail;
    return g_st.bResolving ? Boot(uCount * uSize) : Fails() ? nullptr : Track(g_st.pfnCalloc(uCount, uSize));
}

extern "C" ALLOCFAIL_HOOK void* realloc(void* pOld, size_t uSize)
{
    using namespace allocfail;
    if (g_st.bResolving || (pOld != nullptr && IsBoot(pOld))) {
        void* p = g_st.bResolving ? Boot(uSize) : malloc(uSize);
        if (p != nullptr && pOld != nullptr) {
            size_t uAvail = static_cast<size_t>(g_st.aucBoot + sizeof(g_st.aucBoot) - static_cast<unsigned char*>(pOld));
            memcpy(p, pOld, uSize < uAvail ? uSize : uAvail);
        }
        return p;
    }
    if (Fails()) {
        return nullptr; // the old block stays valid, as realloc promises
    }
    void* p = g_st.pfnRealloc(pOld, uSize);
    return p != nullptr ? Track(p, pOld) : nullptr;
}

extern "C" ALLOCFAIL_HOOK void free(void* p)
{
    if (p != nullptr && !allocfail::IsBoot(p)) {
        allocfail::Resolve();
        allocfail::Track(nullptr, p);
        allocfail::g_st.pfnFree(p);
    }
}

#endif
