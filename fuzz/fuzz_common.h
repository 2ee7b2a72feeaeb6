// Shared set-up of the fuzz targets: the library's log lines are formatted but dropped.
#ifndef KXAPI_FUZZ_COMMON_H
#define KXAPI_FUZZ_COMMON_H

#include "kxplatform.h"

#include <cstddef>
#include <cstdint>
#include <string>

inline void FuzzQuietLogs()
{
    static bool bDone = false;
    if (!bDone) {
        KxPlatformSetLogSink([](void*, int, int, int, int, const char*, int, const char*) {}, nullptr);
        bDone = true;
    }
}

// The input as a NUL-terminated text of at most iMax characters (cut at the first NUL byte).
inline std::string FuzzText(const uint8_t* data, size_t size, size_t iMax)
{
    std::string s(reinterpret_cast<const char*>(data), size < iMax ? size : iMax);
    return s.substr(0, s.find('\0'));
}

#endif
