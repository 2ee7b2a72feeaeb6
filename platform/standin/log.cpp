// Logging and random source of the dev-host platform stand-in.
#include "kxplatform.h"

#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>

extern "C" {
int g_enDebugFlag = 0;
}

namespace {
std::mutex g_logMutex;
PFN_KXPLATFORM_LOG_SINK g_pfnSink = nullptr;
void* g_pSinkUser = nullptr;
std::atomic<int> g_iRandomFailures{0};
const char* const g_apszLevel[] = {"INFO", "DETAIL", "DEBUG", "ERROR"};
} // namespace

extern "C" void KxPlatformSetLogSink(PFN_KXPLATFORM_LOG_SINK pfnSink, void* pUser)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_pfnSink = pfnSink;
    g_pSinkUser = pUser;
}

extern "C" void VW_WriteLog(int iModule, int iLevel, int iDebugFlag, int iReserved, const char* pszFile, int iLine,
                            const char* pszFormat, ...)
{
    char szText[4096];
    szText[0] = '\0';
    if (pszFormat != nullptr) {
        va_list ap;
        va_start(ap, pszFormat);
        int n = vsnprintf(szText, sizeof(szText), pszFormat, ap);
        va_end(ap);
        if (n < 0) {
            szText[0] = '\0';
        }
    }
    std::lock_guard<std::mutex> lock(g_logMutex);
    if (g_pfnSink != nullptr) {
        g_pfnSink(g_pSinkUser, iModule, iLevel, iDebugFlag, iReserved, pszFile, iLine, szText);
        return;
    }
    const char* pszLevel = (iLevel >= 0 && iLevel <= 3) ? g_apszLevel[iLevel] : "?";
    fprintf(stderr, "[%s] m%d %s:%d %s\n", pszLevel, iModule, pszFile != nullptr ? pszFile : "?", iLine, szText);
}

extern "C" void KxPlatformFailRandom(int iCount)
{
    g_iRandomFailures.store(iCount);
}

extern "C" int VW_GetRandomNum(int iCount, char* pBuf)
{
    if (iCount < 0 || (pBuf == nullptr && iCount > 0)) {
        return -1;
    }
    int iLeft = g_iRandomFailures.load();
    while (iLeft > 0 && !g_iRandomFailures.compare_exchange_weak(iLeft, iLeft - 1)) {
    }
    if (iLeft > 0) {
        return -1;
    }
    size_t uiDone = 0;
    while (uiDone < static_cast<size_t>(iCount)) {
        ssize_t r = getrandom(pBuf + uiDone, static_cast<size_t>(iCount) - uiDone, 0);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        uiDone += static_cast<size_t>(r);
    }
    return 0;
}
