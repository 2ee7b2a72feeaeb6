// Allocation failures inside the common list. This executable interposes the library's exported
// allocator and mutex constructor (the library calls them through their dynamic symbols), fails a
// chosen call and counts live blocks, so a failure path that leaks or frees twice shows up here.
#include "kxapicommon.h"
#include "log_capture.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <set>

namespace {
int g_iFailMallocAt = 0; // 1-based number of the VW_malloc call to fail; 0: none
int g_iMallocCalls = 0;
bool g_bFailMutex = false;
std::set<void*> g_live;

template <typename F>
F Next(const char* pszName)
{
    void* p = dlsym(RTLD_NEXT, pszName);
    if (p == nullptr) {
        abort();
    }
    return reinterpret_cast<F>(p);
}
} // namespace

extern "C" void* VW_malloc(int iSize)
{
    static auto pfnReal = Next<void* (*)(int)>("VW_malloc");
    if (++g_iMallocCalls == g_iFailMallocAt) {
        return nullptr;
    }
    void* p = pfnReal(iSize);
    if (p != nullptr) {
        g_live.insert(p);
    }
    return p;
}

extern "C" void VW_free(void* pMem)
{
    static auto pfnReal = Next<void (*)(void*)>("VW_free");
    if (pMem != nullptr && g_live.erase(pMem) != 1) {
        ADD_FAILURE() << "VW_free of a block not from VW_malloc: " << pMem;
        return;
    }
    pfnReal(pMem);
}

extern "C" void* CreateMutex(void)
{
    static auto pfnReal = Next<void* (*)()>("CreateMutex");
    return g_bFailMutex ? nullptr : pfnReal();
}

namespace {

class CommonListAllocTest : public LoggedTest {
protected:
    void SetUp() override
    {
        g_iMallocCalls = 0;
        g_iFailMallocAt = 0;
        g_bFailMutex = false;
    }
    void TearDown() override { EXPECT_TRUE(g_live.empty()) << g_live.size() << " blocks left"; }
};

TEST_F(CommonListAllocTest, InitFreesWhatItHadWhenAnAllocationFails)
{
    struct Case {
        int iFailAt;
        bool bFailMutex;
        const char* pszLog; // null: nothing logged
    };
    const Case aCases[] = {
        {1, false, "[KXAPI]:malloc memory for common list failed"},
        {2, false, "[KXAPI]:malloc memory for head node of common list failed"},
        {0, true, nullptr},
    };
    for (const Case& c : aCases) {
        SCOPED_TRACE(c.iFailAt);
        m_log.Clear();
        g_iMallocCalls = 0;
        g_iFailMallocAt = c.iFailAt;
        g_bFailMutex = c.bFailMutex;
        EXPECT_EQ(OCL_Init(sizeof(int)), nullptr);
        EXPECT_TRUE(g_live.empty());
        if (c.pszLog == nullptr) {
            EXPECT_TRUE(m_log.Records().empty());
        } else {
            ExpectLogFrame(m_log.One(c.pszLog), 3, kFileList);
        }
    }
}

TEST_F(CommonListAllocTest, AddToTailLeavesTheListUnchangedWhenAnAllocationFails)
{
    OCLIST* pstList = OCL_Init(sizeof(int));
    ASSERT_NE(pstList, nullptr);
    int iFirst = 1;
    ASSERT_EQ(OCL_AddToTail(pstList, &iFirst), 0);
    const size_t uiLive = g_live.size();

    struct Case {
        int iFailAt; // relative to the add: 1 the node, 2 its element block
        const char* pszLog;
    };
    for (const Case& c : {Case{1, "[KXAPI]:malloc memory for new list node failed"},
                          Case{2, "[KXAPI]:malloc memory for new data of list node failed"}}) {
        SCOPED_TRACE(c.iFailAt);
        m_log.Clear();
        g_iMallocCalls = 0;
        g_iFailMallocAt = c.iFailAt;
        int iSecond = 2;
        EXPECT_EQ(OCL_AddToTail(pstList, &iSecond), -1);
        ExpectLogFrame(m_log.One(c.pszLog), 3, kFileList);
        EXPECT_EQ(g_live.size(), uiLive);
        EXPECT_EQ(pstList->ullNodeCount, 1U);
        EXPECT_EQ(pstList->pstTail, pstList->pstHead->pstNext);
        EXPECT_EQ(pstList->pstTail->pstNext, nullptr);
    }
    g_iFailMallocAt = 0;
    OCL_Destroy(pstList, nullptr);
}

// Every element costs two blocks, and every removal gives both back.
TEST_F(CommonListAllocTest, EveryRemovalReturnsNodeAndElement)
{
    OCLIST* pstList = OCL_Init(sizeof(int));
    ASSERT_NE(pstList, nullptr);
    const size_t uiEmpty = g_live.size();
    for (int v = 0; v < 6; ++v) {
        ASSERT_EQ(OCL_AddToTail(pstList, &v), 0);
    }
    EXPECT_EQ(g_live.size(), uiEmpty + 12);
    int iKey = 0;
    auto pfnIsZero = [](void* a, void*) { return *static_cast<int*>(a) == 0 ? 1 : 0; };
    EXPECT_EQ(OCL_DeleteForNode(pstList, &iKey, pfnIsZero, nullptr, 1), 0);
    EXPECT_EQ(OCL_DeleteFirstNode(pstList, nullptr), 0);
    OCL_DeleteCurNode(pstList, pstList->pstHead, pstList->pstHead->pstNext, nullptr);
    EXPECT_EQ(g_live.size(), uiEmpty + 6);
    OCL_Sort(pstList, [](void* a, void* b) { return *static_cast<int*>(a) > *static_cast<int*>(b) ? 1 : 0; });
    EXPECT_EQ(g_live.size(), uiEmpty + 6);
    OCL_Clear(pstList, nullptr);
    EXPECT_EQ(g_live.size(), uiEmpty);
    ASSERT_EQ(OCL_AddToTail(pstList, &iKey), 0);
    OCL_Destroy(pstList, nullptr);
}

} // namespace
