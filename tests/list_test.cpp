// The common list: what every operation keeps (a data-less head, ullNodeCount steps to pstTail,
// nothing after it), what the callbacks are handed, and every refusal with its line.
#include "kxapicommon.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string g_strCalls; // what the callbacks saw, in call order

int Value(void* p)
{
    return *static_cast<int*>(p);
}

class ListTest : public LoggedTest {
protected:
    void TearDown() override { OCL_Destroy(m_pstList, nullptr); }
    // The values from head to tail, or "broken" when the list's own record disagrees with its nodes.
    std::string Walk()
    {
        std::string strOut;
        const OCLIST_NODE* pstLast = m_pstList->pstHead;
        unsigned long long n = 0;
        for (const OCLIST_NODE* p = pstLast->pstNext; p != nullptr; p = p->pstNext, ++n) {
            strOut += std::to_string(Value(p->pData)) + " ";
            pstLast = p;
        }
        bool bSound = m_pstList->pstHead->pData == nullptr && pstLast == m_pstList->pstTail && n == m_pstList->ullNodeCount;
        return bSound ? strOut : "broken";
    }
    void Fill(const std::vector<int>& values)
    {
        OCL_Clear(m_pstList, nullptr);
        for (int v : values) {
            ASSERT_EQ(OCL_AddToTail(m_pstList, &v), 0); // the list keeps a copy of its own
        }
        g_strCalls.clear();
    }
    OCLIST* m_pstList = OCL_Init(sizeof(int));
};

int EqualsKey(void* pData, void* pKey)
{
    g_strCalls += "=" + std::to_string(Value(pData));
    return Value(pData) == Value(pKey) ? 1 : 0;
}
int Less(void* a, void* b)
{
    g_strCalls += std::to_string(Value(a)) + "<" + std::to_string(Value(b)) + " ";
    return Value(a) < Value(b) ? 1 : 0;
}
void Release(void* pData)
{
    g_strCalls += "~" + std::to_string(Value(pData));
}

TEST_F(ListTest, OperationsKeepTheListSound)
{
    EXPECT_EQ(MutexLock(m_pstList->pMutex) + MutexUnlock(m_pstList->pMutex), 0);
    const struct {
        std::vector<int> input;
        int iKey;
        int iDeleteAll;
        long long llExpected;
        const char* pszRemaining;
        const char* pszCalls;
    } aCases[] = {
        {{1, 2, 2, 3, 2}, 2, 0, 0, "1 2 3 2 77 ", "=1=2~2"}, // stops at the first match
        {{1, 2, 2, 3, 2}, 2, 1, 0, "1 3 77 ", "=1=2~2=2~2=3=2~2"}, // adjacent runs and the last node
        {{2, 2}, 2, 1, 0, "77 ", "=2~2=2~2"},                     // everything: the tail is the head again
        {{5, 9}, 9, 0, 0, "5 77 ", "=5=9~9"},                     // the tail: its predecessor becomes the tail
        {{5, 9}, 4, 1, -1, "5 9 77 ", "=5=9"},
        {{5, 9}, 4, 0, -1, "5 9 77 ", "=5=9"},
        {{}, 4, 1, -1, "77 ", ""},
    };
    for (const auto& c : aCases) {
        Fill(c.input);
        int iKey = c.iKey;
        EXPECT_EQ(OCL_DeleteForNode(m_pstList, &iKey, EqualsKey, Release, c.iDeleteAll), c.llExpected);
        int iNext = 77; // appending continues at the tail
        ASSERT_EQ(OCL_AddToTail(m_pstList, &iNext), 0);
        EXPECT_EQ(Walk() + "|" + g_strCalls, std::string(c.pszRemaining) + "|" + c.pszCalls) << c.iKey << c.iDeleteAll;
    }
    // Only 1 from a callback is a yes.
    Fill({3, 1});
    int iKey = 1;
    EXPECT_EQ(OCL_DeleteForNode(m_pstList, &iKey, [](void*, void*) { return 2; }, Release, 1), -1);
    OCL_Sort(m_pstList, [](void*, void*) { return -1; });
    EXPECT_EQ(Walk(), "3 1 ");

    Fill({4, 5, 6});
    EXPECT_EQ(OCL_DeleteFirstNode(m_pstList, Release) + OCL_DeleteFirstNode(m_pstList, nullptr), 0);
    EXPECT_EQ(Walk(), "6 ");
    EXPECT_EQ(OCL_DeleteFirstNode(m_pstList, Release) + OCL_DeleteFirstNode(m_pstList, Release), -1);
    EXPECT_EQ(Walk() + g_strCalls, "~4~6");
    EXPECT_EQ(m_pstList->pstTail, m_pstList->pstHead);

    // The removal for callers walking the list themselves: the odd values, the tail among them.
    Fill({1, 2, 3, 4, 5});
    for (OCLIST_NODE *pstPrev = m_pstList->pstHead, *pstCur = pstPrev->pstNext, *pstNext; pstCur; pstCur = pstNext) {
        pstNext = pstCur->pstNext;
        if (Value(pstCur->pData) % 2 != 0) {
            OCL_DeleteCurNode(m_pstList, pstPrev, pstCur, Release);
        } else {
            pstPrev = pstCur;
        }
    }
    EXPECT_EQ(Walk() + g_strCalls, "2 4 ~1~3~5");
    OCL_Clear(m_pstList, Release);
    EXPECT_EQ(Walk() + g_strCalls, "~1~3~5~2~4");
    OCLIST* pstOther = OCL_Init(sizeof(int));
    for (int v : {10, 20}) {
        ASSERT_EQ(OCL_AddToTail(pstOther, &v), 0);
    }
    OCL_Destroy(pstOther, Release);
    EXPECT_EQ(g_strCalls, "~1~3~5~2~4~10~20");
    EXPECT_TRUE(m_log.Records().empty()) << "an empty list is no refusal";

    // A selection sort over element pointers: compare(j, selected) for every later node j, then one
    // exchange per position, so it is not stable.
    Fill({3, 1, 2});
    OCLIST_NODE* pstFirst = m_pstList->pstHead->pstNext;
    OCL_Sort(m_pstList, Less);
    EXPECT_EQ(Walk() + "|" + g_strCalls, "1 2 3 |1<3 2<1 2<3 ");
    EXPECT_EQ(m_pstList->pstHead->pstNext, pstFirst); // nodes stay, elements move
    Fill({21, 20, 10});
    OCL_Sort(m_pstList, [](void* a, void* b) { return Value(a) / 10 < Value(b) / 10 ? 1 : 0; });
    EXPECT_EQ(Walk(), "10 20 21 ");
}

TEST_F(ListTest, RefusalsAreLoggedAndLeaveTheListAsItWas)
{
    Fill({1, 2, 3});
    m_log.Clear();
    int iKey = 2;
    OCLIST stNoTail = *m_pstList;
    stNoTail.pstTail = nullptr;
    OCLIST stNoHead = *m_pstList;
    stNoHead.pstHead = nullptr;
    OCLIST* l = m_pstList;
    const std::pair<long long, const char*> aCases[] = {
        {OCL_AddToTail(nullptr, &iKey), "[KXAPI]:null pointer!"},
        {OCL_AddToTail(l, nullptr), "[KXAPI]:null pointer!"},
        {OCL_AddToTail(&stNoTail, &iKey), "[KXAPI]:null pointer!"},
        {OCL_DeleteForNode(nullptr, &iKey, EqualsKey, Release, 1), "[KXAPI]:null pointer"},
        {OCL_DeleteForNode(l, nullptr, EqualsKey, Release, 1), "[KXAPI]:null pointer"},
        {OCL_DeleteForNode(&stNoHead, &iKey, EqualsKey, Release, 1), "[KXAPI]:null pointer"},
        {OCL_DeleteForNode(l, &iKey, nullptr, Release, 1), "[KXAPI]:null compare func pointer"},
        {OCL_DeleteFirstNode(nullptr, Release), "[KXAPI]:null pointer"},
        {OCL_DeleteFirstNode(&stNoHead, Release), "[KXAPI]:null pointer"},
        {(OCL_Sort(nullptr, Less), -1), "[KXAPI]:null pointer"},
        {(OCL_Sort(&stNoHead, Less), -1), "[KXAPI]:null pointer"},
        {(OCL_Sort(l, nullptr), -1), "[KXAPI]:null compare func pointer"},
        {(OCL_DeleteCurNode(l, l->pstHead, nullptr, Release), -1), nullptr}, // names each of its pointers
    };
    auto recs = m_log.Records();
    ASSERT_EQ(recs.size(), std::size(aCases)) << "one line per refusal";
    for (size_t i = 0; i < std::size(aCases); ++i) {
        EXPECT_EQ(aCases[i].first, -1);
        ExpectLogFrame(recs[i], 3, kFileList);
        EXPECT_EQ(recs[i].strText, aCases[i].second != nullptr ? aCases[i].second : recs[i].strText);
    }
    char szExpected[128];
    snprintf(szExpected, sizeof(szExpected), "[KXAPI]:null pointer:%p, %p , %p!", static_cast<void*>(l),
             static_cast<void*>(l->pstHead), nullptr);
    EXPECT_EQ(recs.back().strText, szExpected);
    OCL_Clear(nullptr, Release);
    OCL_Clear(&stNoHead, Release);
    OCL_Destroy(nullptr, Release);
    EXPECT_EQ(m_log.Records().size(), recs.size()) << "clearing nothing is not worth a line";
    EXPECT_EQ(Walk() + g_strCalls, "1 2 3 ");
}

} // namespace
