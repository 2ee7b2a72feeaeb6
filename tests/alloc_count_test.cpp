// Exact resource figures of the synchronous request path: heap blocks taken on the calling thread
// and the deepest stack it reaches. The host runs these handlers on small fixed stacks and in
// tight loops, so both numbers are part of the library's contract.
#include "kxapicommon.h"
#include "kxplatform.h"
#include "kxdevhost.h"
#include "kxservices.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace {

// Counting is per thread: the emulated service and gtest allocate on their own, and only the
// caller of the library is under test.
thread_local bool t_bCounting = false;
thread_local unsigned int t_uiAllocs = 0;
thread_local size_t t_uiLastSize = 0;

inline void NoteAlloc(size_t uiSize)
{
    if (t_bCounting) {
        ++t_uiAllocs;
        t_uiLastSize = uiSize;
    }
}

} // namespace

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer owns malloc; it reports every block (operator new included) through its hook.
extern "C" void __sanitizer_malloc_hook(const volatile void*, size_t uiSize)
{
    NoteAlloc(uiSize);
}
extern "C" void __sanitizer_free_hook(const volatile void*) {}
#else
// The executable's own malloc family takes precedence over the C library's for every module of
// the process, the library under test included; the real work is forwarded.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);

void* malloc(size_t uiSize)
{
    NoteAlloc(uiSize);
    return __libc_malloc(uiSize);
}
void* calloc(size_t uiCount, size_t uiSize)
{
    NoteAlloc(uiCount * uiSize);
    return __libc_calloc(uiCount, uiSize);
}
void* realloc(void* p, size_t uiSize)
{
    NoteAlloc(uiSize);
    return __libc_realloc(p, uiSize);
}
void free(void* p)
{
    __libc_free(p);
}
}

// C++ allocations go through the counting malloc above, so each block is counted exactly once.
void* operator new(size_t uiSize)
{
    void* p = malloc(uiSize == 0 ? 1 : uiSize);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
void* operator new[](size_t uiSize)
{
    return operator new(uiSize);
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

namespace {

VW_CMD_TYPE Cmd(int i)
{
    return static_cast<VW_CMD_TYPE>(i);
}

void QuietSink(void*, int, int, int, int, const char*, int, const char*) {}

// The endpoint operations are the host's (here the stand-in's, which builds path strings); what
// is measured is the library's own use of the heap around them.
template <int (*PfnOp)(tagUNIX_SOCKET_S*, MSG_DATA*)>
int Uncounted(tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstMsg)
{
    bool bWas = t_bCounting;
    t_bCounting = false;
    int iRet = PfnOp(pstSock, pstMsg);
    t_bCounting = bWas;
    return iRet;
}
constexpr PFN_UNIX_MSG UncountedSend = Uncounted<KxUnixSendMsg>;
constexpr PFN_UNIX_MSG UncountedRecv = Uncounted<KxUnixRecvMsg>;

class ResourceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        KxPlatformSetLogSink(QuietSink, nullptr);
        ASSERT_EQ(KxUnixSetRunDir(m_dir.Path().c_str()), 0);
        m_pstSock = KxUnixEndpointCreate("/tmp/rc");
        ASSERT_NE(m_pstSock, nullptr);
        m_pstSock->pfnSendMsg = UncountedSend;
        m_pstSock->pfnRecvMsg = UncountedRecv;
        m_pstService = KxServiceStart("/tmp/A", nullptr, nullptr);
        ASSERT_NE(m_pstService, nullptr);
        strcpy(m_pstHeader->szMethod, "GET");
        strcpy(m_pstHeader->szUrl, "/LAPI/V1.0/System/DeviceInfo");
    }
    void TearDown() override
    {
        KxServiceStop(m_pstService);
        KxUnixEndpointDestroy(m_pstSock);
        KxPlatformSetLogSink(nullptr, nullptr);
    }

    TempDir m_dir;
    tagUNIX_SOCKET_S* m_pstSock = nullptr;
    KXSERVICE* m_pstService = nullptr;
    std::unique_ptr<tagHTTP_HEADER_S> m_pstHeader = std::make_unique<tagHTTP_HEADER_S>();
};

TEST_F(ResourceTest, HeapBlocksOnTheCallingThread)
{
    // The counter itself: a figure of 0 below must mean nothing was taken, not that nothing was seen.
    t_uiAllocs = 0;
    t_bCounting = true;
    void* volatile pProbe = malloc(24);
    std::string* volatile pstrProbe = new std::string(40, 'x');
    t_bCounting = false;
    free(pProbe);
    delete pstrProbe;
    ASSERT_EQ(t_uiAllocs, 3u) << "the allocation hook is not in effect";

    auto pstRsp = std::make_unique<MSG_DATA>();
    auto pstBody = std::make_unique<vwCmdBody>();
    memset(pstBody.get(), 0x3C, sizeof(vwCmdBody));

    // Warm-up outside the count: first-use work of the C library (stdio locale, lazy binding).
    void* pData = nullptr;
    ASSERT_EQ(GetCommon(m_pstHeader.get(), m_pstSock, Cmd(7100), pstBody.get(), &pData, 0, "/tmp/A"), 0);
    free(pData);
    pData = nullptr;

    t_uiAllocs = 0;
    t_bCounting = true;
    long long llRet = RestSendSynUnixMsg("/tmp/A", VW_MSG_TYPE_GET_REQ, Cmd(7101), pstBody.get(), m_pstSock,
                                         pstRsp.get(), 0);
    t_bCounting = false;
    ASSERT_EQ(llRet, 0);
    EXPECT_EQ(pstRsp->enMsgType, VW_MSG_TYPE_GET_RSP);
    EXPECT_EQ(t_uiAllocs, 0u) << "the synchronous exchange must not touch the heap";

    t_uiAllocs = 0;
    t_bCounting = true;
    int iRet = GetCommon(m_pstHeader.get(), m_pstSock, Cmd(7102), pstBody.get(), &pData, 0, "/tmp/A");
    t_bCounting = false;
    ASSERT_EQ(iRet, 0);
    ASSERT_NE(pData, nullptr);
    EXPECT_EQ(t_uiAllocs, 1u) << "only the data block handed to the caller";
    EXPECT_EQ(t_uiLastSize, static_cast<size_t>(VW_CMD_BODY_LEN));
    EXPECT_EQ(static_cast<unsigned char*>(pData)[0], 0x3C);
    free(pData);

    // SET hands nothing back, so it takes nothing either.
    t_uiAllocs = 0;
    t_bCounting = true;
    iRet = SetCommon(m_pstHeader.get(), pstBody.get(), 64, m_pstSock, Cmd(7103), 0, "/tmp/A");
    t_bCounting = false;
    EXPECT_EQ(iRet, 0);
    EXPECT_EQ(t_uiAllocs, 0u);
}

// ---- stack high-water mark ----

constexpr size_t kStackSize = 256 * 1024;
#if defined(__SANITIZE_ADDRESS__)
// Redzones around every large local and the sanitizer's own interceptor frames come on top of
// the production figure; the bound itself is checked by the plain build.
constexpr size_t kStackLimit = (72 + 16) * 1024;
#else
constexpr size_t kStackLimit = 72 * 1024;
#endif
constexpr unsigned char kPaint = 0xA5;

struct StackProbe {
    ResourceTest* pstTest;
    int (*pfnCall)(ResourceTest*, tagHTTP_HEADER_S*, tagUNIX_SOCKET_S*);
    tagHTTP_HEADER_S* pstHeader;
    tagUNIX_SOCKET_S* pstSock;
    uintptr_t uiEntry = 0; // an address in the probe's own frame, just above the call
    int iResult = -100;
};

__attribute__((noinline)) void* ProbeThread(void* pArg)
{
    StackProbe* pstProbe = static_cast<StackProbe*>(pArg);
    volatile unsigned char ucMark = 0;
    pstProbe->uiEntry = reinterpret_cast<uintptr_t>(&ucMark);
    pstProbe->iResult = pstProbe->pfnCall(pstProbe->pstTest, pstProbe->pstHeader, pstProbe->pstSock);
    ucMark = 1;
    return nullptr;
}

// Bytes of stack used below the probe's frame by one call, on a painted stack of known size.
size_t MeasureStack(StackProbe* pstProbe)
{
    void* pStack = nullptr;
    EXPECT_EQ(posix_memalign(&pStack, 4096, kStackSize), 0);
    if (pStack == nullptr) {
        return SIZE_MAX;
    }
    memset(pStack, kPaint, kStackSize);
    pthread_attr_t stAttr;
    pthread_attr_init(&stAttr);
    EXPECT_EQ(pthread_attr_setstack(&stAttr, pStack, kStackSize), 0);
    pthread_t tid;
    int iErr = pthread_create(&tid, &stAttr, ProbeThread, pstProbe);
    pthread_attr_destroy(&stAttr);
    EXPECT_EQ(iErr, 0);
    if (iErr != 0) {
        free(pStack);
        return SIZE_MAX;
    }
    pthread_join(tid, nullptr);
    // The stack grows down: the first unpainted byte from the bottom is the deepest one reached.
    const unsigned char* puc = static_cast<const unsigned char*>(pStack);
    size_t uiLow = 0;
    while (uiLow < kStackSize && puc[uiLow] == kPaint) {
        ++uiLow;
    }
    uintptr_t uiDeepest = reinterpret_cast<uintptr_t>(puc + uiLow);
    free(pStack);
    EXPECT_GT(uiLow, 0u) << "the painted stack overflowed";
    return pstProbe->uiEntry > uiDeepest ? pstProbe->uiEntry - uiDeepest : 0;
}

int CallGet(ResourceTest*, tagHTTP_HEADER_S* pstHeader, tagUNIX_SOCKET_S* pstSock)
{
    void* pData = nullptr;
    int iRet = GetCommon(pstHeader, pstSock, Cmd(7200), nullptr, &pData, 0, "/tmp/A");
    free(pData);
    return iRet;
}

int CallSet(ResourceTest*, tagHTTP_HEADER_S* pstHeader, tagUNIX_SOCKET_S* pstSock)
{
    static unsigned char s_aucData[VW_CMD_BODY_LEN];
    return SetCommon(pstHeader, s_aucData, sizeof(s_aucData), pstSock, Cmd(7201), 0, "/tmp/A");
}

TEST_F(ResourceTest, StackHighWaterMark)
{
    const struct {
        const char* pszName;
        int (*pfnCall)(ResourceTest*, tagHTTP_HEADER_S*, tagUNIX_SOCKET_S*);
    } astCases[] = {{"GetCommon", CallGet}, {"SetCommon", CallSet}};
    for (const auto& c : astCases) {
        StackProbe stProbe{this, c.pfnCall, m_pstHeader.get(), m_pstSock};
        size_t uiUsed = MeasureStack(&stProbe);
        EXPECT_EQ(stProbe.iResult, 0) << c.pszName;
        EXPECT_LE(uiUsed, kStackLimit) << c.pszName << " used " << uiUsed << " bytes of stack";
        // Both carry at least one whole message on the stack: a figure below that means the
        // measurement itself is broken.
        EXPECT_GE(uiUsed, sizeof(MSG_DATA)) << c.pszName;
        RecordProperty(std::string(c.pszName) + "StackBytes", static_cast<int>(uiUsed));
        printf("%s stack high-water mark: %zu bytes\n", c.pszName, uiUsed);
    }
}

} // namespace
