// Shared set-up of the fuzz targets; each target is a single translation unit, so the hook below
// is defined exactly once per executable.
#ifndef KXAPI_FUZZ_COMMON_H
#define KXAPI_FUZZ_COMMON_H

#include "kxplatform.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// A trap rather than assert(): it holds in every build type and libFuzzer reports it as a crash.
#define FUZZ_CHECK(cond)      \
    do {                      \
        if (!(cond)) {        \
            __builtin_trap(); \
        }                     \
    } while (0)

// The library's log lines are still formatted (that code runs on fuzzed text too) but dropped.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    KxPlatformSetLogSink([](void*, int, int, int, int, const char*, int, const char*) {}, nullptr);
    return 0;
}

// The input as a NUL-terminated text of at most iMax characters (cut at the first NUL byte).
inline std::string FuzzText(const uint8_t* data, size_t size, size_t iMax)
{
    const char* pszData = reinterpret_cast<const char*>(data);
    return std::string(pszData, strnlen(pszData, size < iMax ? size : iMax));
}

// The same text in a fixed-size field of one of the library's records.
template <size_t N>
void FuzzFill(char (&szField)[N], const uint8_t* data, size_t size)
{
    std::string strText = FuzzText(data, size, N - 1);
    memcpy(szField, strText.c_str(), strText.size() + 1);
}

#endif
