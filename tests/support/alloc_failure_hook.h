// Allocation-failure injection and counting for one test executable: replaces malloc, calloc,
// realloc and free of the whole process, and operator new and delete, which go through them (new
// throws when its block fails). While armed, the arming thread's allocations are counted and the
// n-th one fails; other threads are never failed nor counted. Blocks the armed thread takes are
// remembered until freed (by any thread), so a test sees what a failure path kept, also without
// LeakSanitizer.
//
// Include it in exactly one translation unit of a test executable.
#ifndef KXAPI_TEST_ALLOC_FAILURE_HOOK_H
#define KXAPI_TEST_ALLOC_FAILURE_HOOK_H

#include <pthread.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

// The real work: the sanitizer's allocator when the build has one, else the C library's.
extern "C" {
void* __interceptor_malloc(size_t) __attribute__((weak));
void* __interceptor_calloc(size_t, size_t) __attribute__((weak));
void* __interceptor_realloc(void*, size_t) __attribute__((weak));
void __interceptor_free(void*) __attribute__((weak));
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
}

// The hooks run before the sanitizer runtime has set itself up, so they carry no instrumentation,
// and the state they share with other threads goes through __atomic builtins.
#define ALLOCFAIL_HOOK __attribute__((no_sanitize("address", "undefined")))

namespace allocfail {

inline struct State {
    bool bArmed, bPaused, bHit, bLock;
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
ALLOCFAIL_HOOK inline size_t Outstanding()
{
    return __atomic_load_n(&g_st.uTracked, __ATOMIC_ACQUIRE);
}

ALLOCFAIL_HOOK inline bool Armed()
{
    return __atomic_load_n(&g_st.bArmed, __ATOMIC_ACQUIRE) && !g_st.bPaused &&
           pthread_equal(pthread_self(), g_st.armedThread) != 0;
}

// Counts one allocation; true when it is the one to fail.
ALLOCFAIL_HOOK inline bool Fails()
{
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
    return Fails() ? nullptr : Track(__interceptor_malloc ? __interceptor_malloc(uSize) : __libc_malloc(uSize));
}

extern "C" ALLOCFAIL_HOOK void* calloc(size_t uCount, size_t uSize)
{
    using namespace allocfail;
    return Fails() ? nullptr
                   : Track(__interceptor_calloc ? __interceptor_calloc(uCount, uSize) : __libc_calloc(uCount, uSize));
}

extern "C" ALLOCFAIL_HOOK void* realloc(void* pOld, size_t uSize)
{
    using namespace allocfail;
    if (Fails()) {
        return nullptr; // the old block stays valid, as realloc promises
    }
    void* p = __interceptor_realloc ? __interceptor_realloc(pOld, uSize) : __libc_realloc(pOld, uSize);
    return p != nullptr ? Track(p, pOld) : nullptr;
}

extern "C" ALLOCFAIL_HOOK void free(void* p)
{
    allocfail::Track(nullptr, p);
    __interceptor_free ? __interceptor_free(p) : __libc_free(p);
}

// The sanitizer runtime brings an operator new of its own that bypasses malloc: the C++ runtime's
// allocations are routed through the hooks above in every build, so a container's failure is
// injected and counted in the sanitizer run too.
void* operator new(size_t uSize, const std::nothrow_t&) noexcept
{
    return malloc(uSize != 0 ? uSize : 1);
}
void* operator new[](size_t uSize, const std::nothrow_t& stNothrow) noexcept
{
    return operator new(uSize, stNothrow);
}
void* operator new(size_t uSize)
{
    void* p = operator new(uSize, std::nothrow);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
void* operator new[](size_t uSize)
{
    return operator new(uSize);
}
void operator delete(void* p) noexcept
{
    free(p);
}
void operator delete[](void* p) noexcept
{
    free(p);
}
void operator delete(void* p, size_t) noexcept
{
    free(p);
}
void operator delete[](void* p, size_t) noexcept
{
    free(p);
}

#endif
