// The common list: invariants after every operation, the callbacks' arguments, sort order and
// call counts, and every refusal with its log line.
#include "kxapicommon.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

// Walks the list as a caller may and checks what every operation must keep: a data-less head,
// exactly ullNodeCount steps from the head to pstTail, and nothing after pstTail.
std::vector<int> Walk(const OCLIST* pstList)
{
    std::vector<int> values;
    EXPECT_NE(pstList->pstHead, nullptr);
    if (pstList->pstHead == nullptr) {
        return values;
    }
    EXPECT_EQ(pstList->pstHead->pData, nullptr);
    const OCLIST_NODE* pstLast = pstList->pstHead;
    for (const OCLIST_NODE* p = pstList->pstHead->pstNext; p != nullptr; p = p->pstNext) {
        values.push_back(*static_cast<const int*>(p->pData));
        pstLast = p;
    }
    EXPECT_EQ(values.size(), pstList->ullNodeCount);
    EXPECT_EQ(pstLast, pstList->pstTail);
    EXPECT_EQ(pstList->pstTail->pstNext, nullptr);
    return values;
}

std::vector<OCLIST_NODE*> Nodes(const OCLIST* pstList)
{
    std::vector<OCLIST_NODE*> nodes;
    for (OCLIST_NODE* p = pstList->pstHead->pstNext; p != nullptr; p = p->pstNext) {
        nodes.push_back(p);
    }
    return nodes;
}

// What the callbacks saw, in call order.
std::vector<std::pair<void*, void*>> g_compareCalls;
std::vector<void*> g_released;
std::vector<int> g_releasedValues;

int Value(void* p)
{
    return *static_cast<int*>(p);
}

int EqualsKey(void* pData, void* pKey)
{
    g_compareCalls.emplace_back(pData, pKey);
    return Value(pData) == Value(pKey) ? 1 : 0;
}

int Less(void* a, void* b)
{
    g_compareCalls.emplace_back(a, b);
    return Value(a) < Value(b) ? 1 : 0;
}

int g_iAnswer = 0;
int ConstantAnswer(void* a, void* b)
{
    g_compareCalls.emplace_back(a, b);
    return g_iAnswer;
}

void Release(void* pData)
{
    g_released.push_back(pData);
    g_releasedValues.push_back(Value(pData));
}

class CommonListTest : public LoggedTest {
protected:
    void SetUp() override
    {
        g_compareCalls.clear();
        g_released.clear();
        g_releasedValues.clear();
        m_pstList = OCL_Init(sizeof(int));
        ASSERT_NE(m_pstList, nullptr);
    }
    void TearDown() override { OCL_Destroy(m_pstList, nullptr); }

    void Fill(const std::vector<int>& values)
    {
        for (int v : values) {
            ASSERT_EQ(OCL_AddToTail(m_pstList, &v), 0);
        }
        g_compareCalls.clear();
        m_log.Clear();
    }

    OCLIST* m_pstList = nullptr;
};

TEST_F(CommonListTest, InitMakesAnEmptyListWithHeadAsTailAndAMutex)
{
    EXPECT_EQ(m_pstList->pstTail, m_pstList->pstHead);
    EXPECT_EQ(m_pstList->pstHead->pstNext, nullptr);
    EXPECT_EQ(m_pstList->ullDataSize, sizeof(int));
    EXPECT_EQ(m_pstList->ullNodeCount, 0U);
    EXPECT_EQ(MutexLock(m_pstList->pMutex), 0);
    EXPECT_EQ(MutexUnlock(m_pstList->pMutex), 0);
    EXPECT_TRUE(Walk(m_pstList).empty());
}

TEST_F(CommonListTest, AddToTailAppendsPrivateCopies)
{
    std::vector<int> expected;
    for (int v : {7, -3, 7, 42}) {
        int iCaller = v;
        ASSERT_EQ(OCL_AddToTail(m_pstList, &iCaller), 0);
        EXPECT_NE(m_pstList->pstTail->pData, &iCaller);
        iCaller = 999; // the list kept its own bytes
        expected.push_back(v);
        EXPECT_EQ(Walk(m_pstList), expected);
    }
    EXPECT_TRUE(m_log.Records().empty());
}

// The allocator takes the element size as an int: sizes whose low 32 bits are 0 or negative
// give a list that refuses every element.
TEST_F(CommonListTest, ElementSizesTheAllocatorRefusesRejectEveryAdd)
{
    for (unsigned long long ullSize : {0ULL, 1ULL << 32, 0x80000000ULL, 0xFFFFFFFFULL}) {
        SCOPED_TRACE(ullSize);
        OCLIST* pstList = OCL_Init(ullSize);
        ASSERT_NE(pstList, nullptr);
        EXPECT_EQ(pstList->ullDataSize, ullSize);
        char acElement[8] = {};
        m_log.Clear();
        EXPECT_EQ(OCL_AddToTail(pstList, acElement), -1);
        ExpectLogFrame(m_log.One("[KXAPI]:malloc memory for new data of list node failed"), 3, kFileList);
        EXPECT_EQ(m_log.Records().size(), 1U);
        EXPECT_EQ(pstList->ullNodeCount, 0U);
        EXPECT_EQ(pstList->pstTail, pstList->pstHead);
        EXPECT_EQ(pstList->pstHead->pstNext, nullptr);
        OCL_Destroy(pstList, nullptr);
    }
}

// 2^32 + 8: the allocator sees 8. On ILP32 (the camera) size_t keeps the same low half, so 8 bytes
// are copied; where size_t is 64 bits the copy is refused as too large (ERANGE, the bounded
// layer's code for an oversized destination), logged, and the node is appended with its zeroed
// block all the same.
TEST_F(CommonListTest, ElementSizeAboveFourGigabytesCopiesItsLowHalfOrKeepsAZeroedElement)
{
    OCLIST* pstList = OCL_Init((1ULL << 32) + 8);
    ASSERT_NE(pstList, nullptr);
    const unsigned char aucElement[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    m_log.Clear();
    ASSERT_EQ(OCL_AddToTail(pstList, aucElement), 0);
    ASSERT_EQ(pstList->ullNodeCount, 1U);
    ASSERT_EQ(pstList->pstTail, pstList->pstHead->pstNext);
    const auto* pucCopy = static_cast<const unsigned char*>(pstList->pstTail->pData);
    if (sizeof(size_t) == 4) {
        EXPECT_EQ(memcmp(pucCopy, aucElement, sizeof(aucElement)), 0);
        EXPECT_TRUE(m_log.Records().empty());
    } else {
        const unsigned char aucZero[8] = {};
        EXPECT_EQ(memcmp(pucCopy, aucZero, sizeof(aucZero)), 0);
        std::string strExpected =
            "[KXAPI]:[memcpy_s] expect Ret 0, actual Ret " + std::to_string(ERANGE) + ".";
        ExpectLogFrame(m_log.One(strExpected), 3, kFileList);
    }
    OCL_Destroy(pstList, nullptr);
}

TEST_F(CommonListTest, RefusedArgumentsAreLoggedAndLeaveTheListAsItWas)
{
    Fill({1, 2, 3});
    OCLIST_NODE* pstFirst = m_pstList->pstHead->pstNext;
    int iKey = 2;
    OCLIST stNoTail = *m_pstList;
    stNoTail.pstTail = nullptr;
    OCLIST stNoHead = *m_pstList;
    stNoHead.pstHead = nullptr;

    struct Case {
        const char* pszName;
        long long llExpected;
        std::string strLog; // empty: refused without a line
        long long (*pfnRun)(OCLIST*, OCLIST*, OCLIST*, void*);
    };
    const Case aCases[] = {
        {"add to null list", -1, "[KXAPI]:null pointer!",
         [](OCLIST*, OCLIST*, OCLIST*, void* k) { return OCL_AddToTail(nullptr, k); }},
        {"add null element", -1, "[KXAPI]:null pointer!",
         [](OCLIST* l, OCLIST*, OCLIST*, void*) { return OCL_AddToTail(l, nullptr); }},
        {"add to list without tail", -1, "[KXAPI]:null pointer!",
         [](OCLIST*, OCLIST* t, OCLIST*, void* k) { return OCL_AddToTail(t, k); }},
        {"delete from null list", -1, "[KXAPI]:null pointer",
         [](OCLIST*, OCLIST*, OCLIST*, void* k) { return OCL_DeleteForNode(nullptr, k, EqualsKey, Release, 1); }},
        {"delete null key", -1, "[KXAPI]:null pointer",
         [](OCLIST* l, OCLIST*, OCLIST*, void*) { return OCL_DeleteForNode(l, nullptr, EqualsKey, Release, 1); }},
        {"delete from list without head", -1, "[KXAPI]:null pointer",
         [](OCLIST*, OCLIST*, OCLIST* h, void* k) { return OCL_DeleteForNode(h, k, EqualsKey, Release, 1); }},
        {"delete without compare", -1, "[KXAPI]:null compare func pointer",
         [](OCLIST* l, OCLIST*, OCLIST*, void* k) { return OCL_DeleteForNode(l, k, nullptr, Release, 1); }},
        {"delete first of null list", -1, "[KXAPI]:null pointer",
         [](OCLIST*, OCLIST*, OCLIST*, void*) { return OCL_DeleteFirstNode(nullptr, Release); }},
        {"delete first of list without head", -1, "[KXAPI]:null pointer",
         [](OCLIST*, OCLIST*, OCLIST* h, void*) { return OCL_DeleteFirstNode(h, Release); }},
        {"sort null list", 0, "[KXAPI]:null pointer",
         [](OCLIST*, OCLIST*, OCLIST*, void*) { return (OCL_Sort(nullptr, Less), 0LL); }},
        {"sort list without head", 0, "[KXAPI]:null pointer",
         [](OCLIST*, OCLIST*, OCLIST* h, void*) { return (OCL_Sort(h, Less), 0LL); }},
        {"sort without compare", 0, "[KXAPI]:null compare func pointer",
         [](OCLIST* l, OCLIST*, OCLIST*, void*) { return (OCL_Sort(l, nullptr), 0LL); }},
        {"clear null list", 0, "", [](OCLIST*, OCLIST*, OCLIST*, void*) { return (OCL_Clear(nullptr, Release), 0LL); }},
        {"clear list without head", 0, "",
         [](OCLIST*, OCLIST*, OCLIST* h, void*) { return (OCL_Clear(h, Release), 0LL); }},
        {"destroy null list", 0, "",
         [](OCLIST*, OCLIST*, OCLIST*, void*) { return (OCL_Destroy(nullptr, Release), 0LL); }},
    };
    for (const Case& c : aCases) {
        SCOPED_TRACE(c.pszName);
        m_log.Clear();
        EXPECT_EQ(c.pfnRun(m_pstList, &stNoTail, &stNoHead, &iKey), c.llExpected);
        if (c.strLog.empty()) {
            EXPECT_TRUE(m_log.Records().empty());
        } else {
            ExpectLogFrame(m_log.One(c.strLog), 3, kFileList);
            EXPECT_EQ(m_log.Records().size(), 1U);
        }
        EXPECT_EQ(Walk(m_pstList), (std::vector<int>{1, 2, 3}));
        EXPECT_EQ(m_pstList->pstHead->pstNext, pstFirst);
    }
    EXPECT_TRUE(g_compareCalls.empty());
    EXPECT_TRUE(g_released.empty());

    // Each null pointer of a walking removal is named in the one line.
    struct Triple {
        OCLIST* pstList;
        OCLIST_NODE* pstPrev;
        OCLIST_NODE* pstCur;
    };
    const Triple aTriples[] = {
        {nullptr, m_pstList->pstHead, pstFirst},
        {m_pstList, nullptr, pstFirst},
        {m_pstList, m_pstList->pstHead, nullptr},
    };
    for (const Triple& t : aTriples) {
        m_log.Clear();
        OCL_DeleteCurNode(t.pstList, t.pstPrev, t.pstCur, Release);
        char szExpected[128];
        snprintf(szExpected, sizeof(szExpected), "[KXAPI]:null pointer:%p, %p , %p!", static_cast<void*>(t.pstList),
                 static_cast<void*>(t.pstPrev), static_cast<void*>(t.pstCur));
        ExpectLogFrame(m_log.One(szExpected), 3, kFileList);
        EXPECT_EQ(Walk(m_pstList), (std::vector<int>{1, 2, 3}));
    }
    EXPECT_TRUE(g_released.empty());
}

TEST_F(CommonListTest, EmptyListRemovalsFailWithoutALogLine)
{
    int iKey = 1;
    EXPECT_EQ(OCL_DeleteForNode(m_pstList, &iKey, EqualsKey, Release, 1), -1);
    EXPECT_EQ(OCL_DeleteFirstNode(m_pstList, Release), -1);
    EXPECT_TRUE(m_log.Records().empty());
    EXPECT_TRUE(g_compareCalls.empty());
    EXPECT_TRUE(Walk(m_pstList).empty());
}

TEST_F(CommonListTest, DeleteForNodeRemovesTheFirstMatchOrEveryMatch)
{
    struct Case {
        std::vector<int> input;
        int iKey;
        int iDeleteAll;
        long long llExpected;
        std::vector<int> remaining;
        size_t uiCompareCalls;
    };
    const Case aCases[] = {
        {{1, 2, 2, 3, 2}, 2, 0, 0, {1, 2, 3, 2}, 2},  // stops at the first match
        {{1, 2, 2, 3, 2}, 2, 1, 0, {1, 3}, 5},        // adjacent runs and the last node
        {{2, 2, 2}, 2, 1, 0, {}, 3},                  // everything: the tail is the head again
        {{5, 1, 9}, 9, 0, 0, {5, 1}, 3},              // the tail: its predecessor becomes the tail
        {{5, 1, 9}, 4, 1, -1, {5, 1, 9}, 3},          // no match
        {{5, 1, 9}, 4, 0, -1, {5, 1, 9}, 3},
    };
    for (const Case& c : aCases) {
        SCOPED_TRACE(testing::Message() << "key " << c.iKey << " deleteAll " << c.iDeleteAll);
        OCL_Clear(m_pstList, nullptr);
        Fill(c.input);
        std::vector<void*> before;
        for (OCLIST_NODE* p : Nodes(m_pstList)) {
            before.push_back(p->pData);
        }
        g_released.clear();
        int iKey = c.iKey;
        EXPECT_EQ(OCL_DeleteForNode(m_pstList, &iKey, EqualsKey, Release, c.iDeleteAll), c.llExpected);
        EXPECT_EQ(Walk(m_pstList), c.remaining);
        ASSERT_EQ(g_compareCalls.size(), c.uiCompareCalls);
        for (size_t i = 0; i < g_compareCalls.size(); ++i) {
            EXPECT_EQ(g_compareCalls[i].second, &iKey); // the caller's key itself
            EXPECT_NE(std::find(before.begin(), before.end(), g_compareCalls[i].first), before.end());
        }
        // The release callback gets the list's own copies of exactly the removed elements.
        EXPECT_EQ(g_released.size(), c.input.size() - c.remaining.size());
        for (void* p : g_released) {
            EXPECT_NE(std::find(before.begin(), before.end(), p), before.end());
        }
        EXPECT_TRUE(m_log.Records().empty());
        int iNext = 77; // the tail is still where appending continues
        ASSERT_EQ(OCL_AddToTail(m_pstList, &iNext), 0);
        std::vector<int> withNext = c.remaining;
        withNext.push_back(77);
        EXPECT_EQ(Walk(m_pstList), withNext);
    }
}

// Only 1 is a yes: any other answer of the callback removes and moves nothing.
TEST_F(CommonListTest, OnlyOneCountsAsYes)
{
    for (int iAnswer : {0, 2, -1, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(iAnswer);
        OCL_Clear(m_pstList, nullptr);
        Fill({3, 1, 2});
        std::vector<OCLIST_NODE*> nodes = Nodes(m_pstList);
        g_iAnswer = iAnswer;
        int iKey = 1;
        EXPECT_EQ(OCL_DeleteForNode(m_pstList, &iKey, ConstantAnswer, Release, 1), -1);
        EXPECT_EQ(OCL_DeleteForNode(m_pstList, &iKey, ConstantAnswer, Release, 0), -1);
        OCL_Sort(m_pstList, ConstantAnswer);
        EXPECT_EQ(Walk(m_pstList), (std::vector<int>{3, 1, 2}));
        EXPECT_EQ(Nodes(m_pstList), nodes);
        EXPECT_EQ(g_compareCalls.size(), 3U + 3U + 3U);
        EXPECT_TRUE(g_released.empty());
    }
}

TEST_F(CommonListTest, DeleteFirstNodeTakesElementsFromTheFront)
{
    Fill({4, 5});
    void* pFirstCopy = m_pstList->pstHead->pstNext->pData;
    EXPECT_EQ(OCL_DeleteFirstNode(m_pstList, Release), 0);
    EXPECT_EQ(Walk(m_pstList), (std::vector<int>{5}));
    ASSERT_EQ(g_released.size(), 1U);
    EXPECT_EQ(g_released[0], pFirstCopy);
    EXPECT_EQ(g_releasedValues[0], 4);

    EXPECT_EQ(OCL_DeleteFirstNode(m_pstList, nullptr), 0);
    EXPECT_TRUE(Walk(m_pstList).empty());
    EXPECT_EQ(m_pstList->pstTail, m_pstList->pstHead);
    EXPECT_EQ(OCL_DeleteFirstNode(m_pstList, Release), -1);

    int iNext = 6;
    ASSERT_EQ(OCL_AddToTail(m_pstList, &iNext), 0);
    EXPECT_EQ(m_pstList->pstHead->pstNext, m_pstList->pstTail);
    EXPECT_EQ(Walk(m_pstList), (std::vector<int>{6}));
    EXPECT_EQ(g_released.size(), 1U);
    EXPECT_TRUE(m_log.Records().empty());
}

// The removal for callers walking the list themselves: remove the odd values, the tail among them.
TEST_F(CommonListTest, DeleteCurNodeRemovesWhileWalking)
{
    Fill({1, 2, 3, 4, 5});
    OCLIST_NODE* pstPrev = m_pstList->pstHead;
    OCLIST_NODE* pstCur = pstPrev->pstNext;
    while (pstCur != nullptr) {
        OCLIST_NODE* pstNext = pstCur->pstNext;
        if (Value(pstCur->pData) % 2 != 0) {
            void* pCopy = pstCur->pData;
            OCL_DeleteCurNode(m_pstList, pstPrev, pstCur, Release);
            EXPECT_EQ(g_released.back(), pCopy);
        } else {
            pstPrev = pstCur;
        }
        Walk(m_pstList);
        pstCur = pstNext;
    }
    EXPECT_EQ(Walk(m_pstList), (std::vector<int>{2, 4}));
    EXPECT_EQ(g_releasedValues, (std::vector<int>{1, 3, 5}));

    OCL_DeleteCurNode(m_pstList, m_pstList->pstHead, m_pstList->pstHead->pstNext, nullptr);
    OCL_DeleteCurNode(m_pstList, m_pstList->pstHead, m_pstList->pstHead->pstNext, nullptr);
    EXPECT_TRUE(Walk(m_pstList).empty());
    EXPECT_EQ(m_pstList->pstTail, m_pstList->pstHead);
    EXPECT_TRUE(m_log.Records().empty());
}

// compare(j, selected) for every later node j, then one exchange of element pointers per position.
TEST_F(CommonListTest, SortIsASelectionSortOverElementPointers)
{
    Fill({3, 1, 2});
    std::vector<OCLIST_NODE*> nodes = Nodes(m_pstList);
    void* p3 = nodes[0]->pData;
    void* p1 = nodes[1]->pData;
    void* p2 = nodes[2]->pData;
    OCL_Sort(m_pstList, Less);
    EXPECT_EQ(Walk(m_pstList), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(Nodes(m_pstList), nodes); // nodes stay, elements move
    EXPECT_EQ(nodes[0]->pData, p1);
    EXPECT_EQ(nodes[1]->pData, p2);
    EXPECT_EQ(nodes[2]->pData, p3);
    const std::vector<std::pair<void*, void*>> expectedCalls = {{p1, p3}, {p2, p1}, {p2, p3}};
    EXPECT_EQ(g_compareCalls, expectedCalls);
}

TEST_F(CommonListTest, SortMakesQuadraticallyManyCallsAndIsNotStable)
{
    for (const std::vector<int>& input : std::vector<std::vector<int>>{{}, {8}}) {
        OCL_Clear(m_pstList, nullptr);
        Fill(input);
        OCL_Sort(m_pstList, Less);
        EXPECT_EQ(Walk(m_pstList), input);
        EXPECT_TRUE(g_compareCalls.empty());
    }

    OCL_Clear(m_pstList, nullptr);
    Fill({9, -4, 7, 7, 0, 12, -4});
    OCL_Sort(m_pstList, Less);
    EXPECT_EQ(Walk(m_pstList), (std::vector<int>{-4, -4, 0, 7, 7, 9, 12}));
    EXPECT_EQ(g_compareCalls.size(), 7U * 6U / 2U);

    // Equal keys 2a, 2b before 1: selecting 1 exchanges it with 2a, which then trails 2b.
    OCL_Clear(m_pstList, nullptr);
    Fill({20, 21, 10});
    OCL_Sort(m_pstList, [](void* a, void* b) { return Value(a) / 10 < Value(b) / 10 ? 1 : 0; });
    EXPECT_EQ(Walk(m_pstList), (std::vector<int>{10, 21, 20}));
}

TEST_F(CommonListTest, ClearReleasesEveryElementAndKeepsTheListUsable)
{
    Fill({1, 2, 3});
    void* pMutex = m_pstList->pMutex;
    std::vector<void*> copies;
    for (OCLIST_NODE* p : Nodes(m_pstList)) {
        copies.push_back(p->pData);
    }
    OCL_Clear(m_pstList, Release);
    EXPECT_EQ(g_released, copies);
    EXPECT_TRUE(Walk(m_pstList).empty());
    EXPECT_EQ(m_pstList->pstTail, m_pstList->pstHead);
    EXPECT_EQ(m_pstList->pMutex, pMutex);
    EXPECT_EQ(m_pstList->ullDataSize, sizeof(int));

    int iNext = 4;
    ASSERT_EQ(OCL_AddToTail(m_pstList, &iNext), 0);
    EXPECT_EQ(Walk(m_pstList), (std::vector<int>{4}));
    EXPECT_TRUE(m_log.Records().empty());
}

TEST_F(CommonListTest, DestroyReleasesEveryElementButNotTheHead)
{
    OCLIST* pstList = OCL_Init(sizeof(int));
    ASSERT_NE(pstList, nullptr);
    for (int v : {10, 20, 30}) {
        ASSERT_EQ(OCL_AddToTail(pstList, &v), 0);
    }
    OCL_Destroy(pstList, Release);
    EXPECT_EQ(g_releasedValues, (std::vector<int>{10, 20, 30}));

    OCLIST* pstEmpty = OCL_Init(sizeof(int));
    ASSERT_NE(pstEmpty, nullptr);
    OCL_Destroy(pstEmpty, Release);
    EXPECT_EQ(g_released.size(), 3U);
    EXPECT_TRUE(m_log.Records().empty());
}

} // namespace
