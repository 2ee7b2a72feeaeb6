// Shared set-up of the fuzz targets; each target is a single translation unit, so the hook below
// is defined exactly once per executable.
#ifndef KXAPI_FUZZ_COMMON_H
#define KXAPI_FUZZ_COMMON_H

#include "kxapicommon.h"
#include "kxplatform.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// A trap rather than assert(): it holds in every build type and libFuzzer reports it as a crash.
#define FUZZ_CHECK(cond) ((cond) ? (void)0 : __builtin_trap())

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

// What the response step handed to Copy2Buf last: the buffer's Copy2Buf is a plain function
// pointer, so it can only reach a variable like this one.
inline std::string g_strSentBody;

inline int CaptureBody(tagHTTP_BUF_S*, const char* pData, unsigned int uiLen)
{
    return g_strSentBody.assign(pData, uiLen), 0;
}

// The response step that ends a request: whatever is pending goes out and is freed. A body made
// from a reply whose data block is pucData (null: not known here) is that block's text: at most its
// 21208 bytes, and cut only at a NUL of the block.
inline void SendPendingBody(tagHTTP_HEADER_S* pstHeader, tagHTTP_CNTENT_INTER_S* pstCt, const unsigned char* pucData)
{
    const bool bPending = pstCt->pRspBody != nullptr;
    tagHTTP_BUF_S stBuf{{}, CaptureBody};
    g_strSentBody.clear();
    FUZZ_CHECK(FormatCommonResponse<char*>(pstHeader, VW_RESULT_OK, pstCt, &stBuf) == 0 && pstCt->pRspBody == nullptr);
    const size_t uiSent = g_strSentBody.size();
    FUZZ_CHECK(!bPending || uiSent <= VW_CMD_BODY_LEN);
    FUZZ_CHECK(
        !bPending || pucData == nullptr ||
        (memcmp(g_strSentBody.data(), pucData, uiSent) == 0 && (uiSent == VW_CMD_BODY_LEN || pucData[uiSent] == 0)));
}

#endif
