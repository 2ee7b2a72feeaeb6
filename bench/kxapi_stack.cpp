// Stack high-water mark of the synchronous request handlers. The host runs them on small fixed
// stacks, so the figure is part of the library's contract: each handler runs once on a thread whose
// painted stack is of known size, and the deepest overwritten byte below the caller's frame is the
// figure. Exits 1 when a handler goes over the limit or the measurement cannot be trusted.
//
// Usage: kxapi_stack [limit-KiB]   (default 48, what a small board's worker threads leave a handler;
// the sanitizers' Debug build needs its own: kxapi_stack 88)
#include "kxapicommon.h"
#include "kxdevhost.h"
#include "kxplatform.h"
#include "kxservices.h"

#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr size_t kStackSize = 256 * 1024;
constexpr unsigned char kPaint = 0xA5;

struct Probe {
    int (*pfnCall)(tagHTTP_HEADER_S*, tagUNIX_SOCKET_S*);
    tagHTTP_HEADER_S* pstHeader;
    tagUNIX_SOCKET_S* pstSock;
    uintptr_t uiEntry; // an address in the probe's own frame, just above the call
    int iResult;
};

__attribute__((noinline)) void* ProbeThread(void* pArg)
{
    auto* pstProbe = static_cast<Probe*>(pArg);
    volatile unsigned char ucMark = 0;
    pstProbe->uiEntry = reinterpret_cast<uintptr_t>(&ucMark);
    pstProbe->iResult = pstProbe->pfnCall(pstProbe->pstHeader, pstProbe->pstSock);
    ucMark = 1;
    return nullptr;
}

// Bytes of stack used below the probe's frame by one call; 0 when it could not be measured.
size_t Measure(Probe* pstProbe)
{
    void* pStack = nullptr;
    if (posix_memalign(&pStack, 4096, kStackSize) != 0) {
        return 0;
    }
    memset(pStack, kPaint, kStackSize);
    pthread_attr_t stAttr;
    pthread_attr_init(&stAttr);
    pthread_t tid;
    bool bRan = pthread_attr_setstack(&stAttr, pStack, kStackSize) == 0 &&
                pthread_create(&tid, &stAttr, ProbeThread, pstProbe) == 0 && pthread_join(tid, nullptr) == 0;
    pthread_attr_destroy(&stAttr);
    // The stack grows down: the first unpainted byte from the bottom is the deepest one reached.
    const auto* puc = static_cast<const unsigned char*>(pStack);
    size_t uiLow = 0;
    while (bRan && uiLow < kStackSize && puc[uiLow] == kPaint) {
        ++uiLow;
    }
    uintptr_t uiDeepest = reinterpret_cast<uintptr_t>(puc + uiLow);
    free(pStack);
    return bRan && uiLow > 0 && pstProbe->uiEntry > uiDeepest ? pstProbe->uiEntry - uiDeepest : 0;
}

int CallGet(tagHTTP_HEADER_S* pstHeader, tagUNIX_SOCKET_S* pstSock)
{
    void* pData = nullptr;
    int iRet = GetCommon(pstHeader, pstSock, static_cast<VW_CMD_TYPE>(7200), nullptr, &pData, 0, "/tmp/A");
    free(pData);
    return iRet;
}

int CallSet(tagHTTP_HEADER_S* pstHeader, tagUNIX_SOCKET_S* pstSock)
{
    static unsigned char s_aucData[VW_CMD_BODY_LEN];
    return SetCommon(pstHeader, s_aucData, sizeof(s_aucData), pstSock, static_cast<VW_CMD_TYPE>(7201), 0, "/tmp/A");
}

void QuietSink(void*, int, int, int, int, const char*, int, const char*) {}

} // namespace

int main(int argc, char** argv)
{
    const size_t uiLimit = (argc > 1 ? strtoul(argv[1], nullptr, 10) : 48) * 1024;
    char szDir[] = "/tmp/kxapi-stack-XXXXXX";
    if (mkdtemp(szDir) == nullptr || KxUnixSetRunDir(szDir) != 0) {
        perror("run directory");
        return 1;
    }
    KxPlatformSetLogSink(QuietSink, nullptr);
    KXSERVICE* pstService = KxServiceStart("/tmp/A", nullptr, nullptr);
    tagUNIX_SOCKET_S* pstSock = KxUnixEndpointCreate("/tmp/st");
    auto* pstHeader = new tagHTTP_HEADER_S();
    snprintf(pstHeader->szMethod, sizeof(pstHeader->szMethod), "GET");
    snprintf(pstHeader->szUrl, sizeof(pstHeader->szUrl), "/LAPI/V1.0/System/DeviceInfo");
    int iFailed = pstService == nullptr || pstSock == nullptr ? 1 : 0;
    const struct {
        const char* pszName;
        int (*pfnCall)(tagHTTP_HEADER_S*, tagUNIX_SOCKET_S*);
    } astCases[] = {{"GetCommon", CallGet}, {"SetCommon", CallSet}};
    for (const auto& c : astCases) {
        if (iFailed != 0) {
            break;
        }
        Probe stProbe{c.pfnCall, pstHeader, pstSock, 0, -100};
        size_t uiUsed = Measure(&stProbe);
        // Both carry at least one whole message on the stack: less means the measurement is broken.
        bool bOk = stProbe.iResult == 0 && uiUsed >= sizeof(MSG_DATA) && uiUsed <= uiLimit;
        printf("%-9s stack high-water mark %6zu bytes (%.1f KiB, limit %zu KiB, result %d): %s\n", c.pszName, uiUsed,
               uiUsed / 1024.0, uiLimit / 1024, stProbe.iResult, bOk ? "ok" : "FAIL");
        iFailed |= bOk ? 0 : 1;
    }
    delete pstHeader;
    KxUnixEndpointDestroy(pstSock);
    KxServiceStop(pstService);
    rmdir(szDir);
    return iFailed;
}
