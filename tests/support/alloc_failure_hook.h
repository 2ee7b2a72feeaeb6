// Allocation-failure injection for one test executable: replaces malloc, calloc, realloc, free and
// the plain operator new/delete of the whole process, and makes the n-th allocation of the arming
// thread fail (a null result, or std::bad_alloc from operator new). Allocations of other threads and
// of unarmed periods are never failed nor counted.
//
// The replacement functions are defined in this header: include it in exactly one translation unit
// of a test executable, never from tests/support/*.cpp (the support library is linked into every
// test, and the linker would pull the replacements into all of them).
//
// Blocks handed out to the arming thread while armed are remembered until freed (by any thread), so
// a test can check that a failure path gave back everything it took, also without LeakSanitizer.
#ifndef KXAPI_TEST_ALLOC_FAILURE_HOOK_H
#define KXAPI_TEST_ALLOC_FAILURE_HOOK_H

#include <dlfcn.h>
#include <pthread.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

namespace allocfail {

// Counts this thread's allocations from now on; the n-th one (n >= 1) fails, the others succeed.
void Arm(unsigned long ulFailAt);
// Stops counting. true when the failure was injected since Arm.
bool Disarm();
// Allocations counted since the last Arm.
unsigned long Counted();
// Blocks taken while armed and not yet freed; Forget drops them from the record.
size_t Outstanding();
// Where the i-th outstanding block was asked for: the code address that called the allocator.
void* OutstandingCaller(size_t i);
void Forget();

} // namespace allocfail

// The replacements run before the sanitizer runtime has set itself up (it allocates while it
// initialises), so they must not be instrumented.
#define ALLOCFAIL_HOOK __attribute__((no_sanitize("address", "undefined")))

namespace allocfail_detail {

using MallocFn = void* (*)(size_t);
using CallocFn = void* (*)(size_t, size_t);
using ReallocFn = void* (*)(void*, size_t);
using FreeFn = void (*)(void*);

MallocFn g_pfnMalloc = nullptr;
CallocFn g_pfnCalloc = nullptr;
ReallocFn g_pfnRealloc = nullptr;
FreeFn g_pfnFree = nullptr;

// dlsym may allocate while the real functions are looked up: those few blocks come from here and
// are never given back.
alignas(std::max_align_t) unsigned char g_aucBoot[16384];
size_t g_uBootUsed = 0;
bool g_bResolving = false;

bool g_bArmed = false; // the globals below go through __atomic builtins: no instrumented code
pthread_t g_armedThread;
unsigned long g_ulCount = 0;
unsigned long g_ulFailAt = 0;
bool g_bHit = false;

// Blocks of the armed thread, open addressing is not worth it for the handful a path takes.
constexpr size_t kTrackMax = 4096;
void* g_apTracked[kTrackMax];
void* g_apCaller[kTrackMax];
size_t g_uTracked = 0;
bool g_bTrackLock = false;

ALLOCFAIL_HOOK void Resolve()
{
    if (g_pfnFree != nullptr || g_bResolving) {
        return;
    }
    g_bResolving = true;
    g_pfnMalloc = reinterpret_cast<MallocFn>(dlsym(RTLD_NEXT, "malloc"));
    g_pfnCalloc = reinterpret_cast<CallocFn>(dlsym(RTLD_NEXT, "calloc"));
    g_pfnRealloc = reinterpret_cast<ReallocFn>(dlsym(RTLD_NEXT, "realloc"));
    g_pfnFree = reinterpret_cast<FreeFn>(dlsym(RTLD_NEXT, "free"));
    g_bResolving = false;
    if (g_pfnMalloc == nullptr || g_pfnCalloc == nullptr || g_pfnRealloc == nullptr || g_pfnFree == nullptr) {
        abort();
    }
}

ALLOCFAIL_HOOK void* BootAlloc(size_t uSize)
{
    size_t uStep = (uSize + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) * alignof(std::max_align_t);
    if (g_uBootUsed + uStep > sizeof(g_aucBoot)) {
        return nullptr;
    }
    void* p = g_aucBoot + g_uBootUsed;
    g_uBootUsed += uStep;
    return p;
}

ALLOCFAIL_HOOK bool IsBoot(const void* p)
{
    auto* pc = static_cast<const unsigned char*>(p);
    return pc >= g_aucBoot && pc < g_aucBoot + sizeof(g_aucBoot);
}

ALLOCFAIL_HOOK bool OnArmedThread()
{
    return __atomic_load_n(&g_bArmed, __ATOMIC_ACQUIRE) && pthread_equal(pthread_self(), g_armedThread) != 0;
}

// true: this allocation is the one to fail.
ALLOCFAIL_HOOK bool Count()
{
    if (!OnArmedThread()) {
        return false;
    }
    ++g_ulCount;
    if (g_ulCount == g_ulFailAt) {
        g_bHit = true;
        return true;
    }
    return false;
}

ALLOCFAIL_HOOK void Lock()
{
    while (__atomic_test_and_set(&g_bTrackLock, __ATOMIC_ACQUIRE)) {
    }
}
ALLOCFAIL_HOOK void Unlock()
{
    __atomic_clear(&g_bTrackLock, __ATOMIC_RELEASE);
}

ALLOCFAIL_HOOK void Track(void* p, void* pCaller)
{
    if (p == nullptr || !OnArmedThread()) {
        return;
    }
    Lock();
    size_t n = __atomic_load_n(&g_uTracked, __ATOMIC_RELAXED);
    if (n < kTrackMax) {
        g_apTracked[n] = p;
        g_apCaller[n] = pCaller;
        __atomic_store_n(&g_uTracked, n + 1, __ATOMIC_RELEASE);
    }
    Unlock();
}

ALLOCFAIL_HOOK void Untrack(void* p)
{
    if (p == nullptr || __atomic_load_n(&g_uTracked, __ATOMIC_ACQUIRE) == 0) {
        return;
    }
    Lock();
    size_t n = __atomic_load_n(&g_uTracked, __ATOMIC_RELAXED);
    for (size_t i = 0; i < n; ++i) {
        if (g_apTracked[i] == p) {
            g_apTracked[i] = g_apTracked[n - 1];
            g_apCaller[i] = g_apCaller[n - 1];
            __atomic_store_n(&g_uTracked, n - 1, __ATOMIC_RELEASE);
            break;
        }
    }
    Unlock();
}

} // namespace allocfail_detail

namespace allocfail {

void Arm(unsigned long ulFailAt)
{
    namespace d = allocfail_detail;
    d::g_armedThread = pthread_self();
    d::g_ulCount = 0;
    d::g_ulFailAt = ulFailAt;
    d::g_bHit = false;
    __atomic_store_n(&d::g_bArmed, true, __ATOMIC_RELEASE);
}

bool Disarm()
{
    __atomic_store_n(&allocfail_detail::g_bArmed, false, __ATOMIC_RELEASE);
    return allocfail_detail::g_bHit;
}

unsigned long Counted()
{
    return allocfail_detail::g_ulCount;
}

size_t Outstanding()
{
    return __atomic_load_n(&allocfail_detail::g_uTracked, __ATOMIC_ACQUIRE);
}

void* OutstandingCaller(size_t i)
{
    return i < Outstanding() ? allocfail_detail::g_apCaller[i] : nullptr;
}

void Forget()
{
    allocfail_detail::Lock();
    __atomic_store_n(&allocfail_detail::g_uTracked, 0, __ATOMIC_RELEASE);
    allocfail_detail::Unlock();
}

} // namespace allocfail

namespace allocfail_detail {
ALLOCFAIL_HOOK void* Malloc(size_t uSize, void* pCaller)
{
    if (g_bResolving) {
        return BootAlloc(uSize);
    }
    Resolve();
    if (Count()) {
        errno = ENOMEM;
        return nullptr;
    }
    void* p = g_pfnMalloc(uSize);
    Track(p, pCaller);
    return p;
}
} // namespace allocfail_detail

extern "C" ALLOCFAIL_HOOK void* malloc(size_t uSize)
{
    return allocfail_detail::Malloc(uSize, __builtin_return_address(0));
}

extern "C" ALLOCFAIL_HOOK void* calloc(size_t uCount, size_t uSize)
{
    namespace d = allocfail_detail;
    if (d::g_bResolving) {
        if (uSize != 0 && uCount > static_cast<size_t>(-1) / uSize) {
            return nullptr;
        }
        return d::BootAlloc(uCount * uSize); // static storage: already zero
    }
    d::Resolve();
    if (d::Count()) {
        errno = ENOMEM;
        return nullptr;
    }
    void* p = d::g_pfnCalloc(uCount, uSize);
    d::Track(p, __builtin_return_address(0));
    return p;
}

extern "C" ALLOCFAIL_HOOK void* realloc(void* pOld, size_t uSize)
{
    namespace d = allocfail_detail;
    if (d::g_bResolving || (pOld != nullptr && d::IsBoot(pOld))) {
        void* p = d::g_bResolving ? d::BootAlloc(uSize) : malloc(uSize);
        if (p != nullptr && pOld != nullptr) {
            auto* pcOld = static_cast<unsigned char*>(pOld);
            auto uAvail = static_cast<size_t>(d::g_aucBoot + sizeof(d::g_aucBoot) - pcOld);
            memcpy(p, pOld, uSize < uAvail ? uSize : uAvail);
        }
        return p;
    }
    d::Resolve();
    if (d::Count()) {
        errno = ENOMEM;
        return nullptr; // the old block stays valid, as realloc promises
    }
    void* p = d::g_pfnRealloc(pOld, uSize);
    if (p != nullptr) {
        d::Untrack(pOld);
        d::Track(p, __builtin_return_address(0));
    }
    return p;
}

extern "C" ALLOCFAIL_HOOK void free(void* p)
{
    namespace d = allocfail_detail;
    if (p == nullptr || d::IsBoot(p)) {
        return;
    }
    d::Resolve();
    d::Untrack(p);
    d::g_pfnFree(p);
}

// operator new must never return null: a failed allocation throws, as the library's callers
// (std::string, std::map) expect.
ALLOCFAIL_HOOK void* operator new(size_t uSize)
{
    void* p = allocfail_detail::Malloc(uSize != 0 ? uSize : 1, __builtin_return_address(0));
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
ALLOCFAIL_HOOK void* operator new[](size_t uSize)
{
    void* p = allocfail_detail::Malloc(uSize != 0 ? uSize : 1, __builtin_return_address(0));
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
ALLOCFAIL_HOOK void* operator new(size_t uSize, const std::nothrow_t&) noexcept
{
    return allocfail_detail::Malloc(uSize != 0 ? uSize : 1, __builtin_return_address(0));
}
ALLOCFAIL_HOOK void* operator new[](size_t uSize, const std::nothrow_t&) noexcept
{
    return allocfail_detail::Malloc(uSize != 0 ? uSize : 1, __builtin_return_address(0));
}
ALLOCFAIL_HOOK void operator delete(void* p) noexcept
{
    free(p);
}
ALLOCFAIL_HOOK void operator delete[](void* p) noexcept
{
    free(p);
}
ALLOCFAIL_HOOK void operator delete(void* p, size_t) noexcept
{
    free(p);
}
ALLOCFAIL_HOOK void operator delete[](void* p, size_t) noexcept
{
    free(p);
}
ALLOCFAIL_HOOK void operator delete(void* p, const std::nothrow_t&) noexcept
{
    free(p);
}
ALLOCFAIL_HOOK void operator delete[](void* p, const std::nothrow_t&) noexcept
{
    free(p);
}

#endif
