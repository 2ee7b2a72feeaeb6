// URL-to-command routing of URI tables and the URI IDs of a request.
#include "kxapicommon.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

VW_CMD_TYPE Cmd(int i)
{
    return static_cast<VW_CMD_TYPE>(i);
}

VW_CMD_TYPE Route(std::string strUrl, const KXAPI_URI_TABLE* pstTable, unsigned int uiNum)
{
    return GetInnerCmdByUrl(strUrl.data(), pstTable, uiNum);
}

using UriRoutingTest = LoggedTest;

TEST_F(UriRoutingTest, LongestOccurringPatternWinsEarliestOnTies)
{
    const KXAPI_URI_TABLE astNested[] = {{"/a", Cmd(1)}, {"/a/b", Cmd(2)}};
    const KXAPI_URI_TABLE astSame[] = {{"/x", Cmd(5)}, {"/x", Cmd(6)}};
    const KXAPI_URI_TABLE astTie[] = {{"/ab", Cmd(7)}, {"/cd", Cmd(8)}};
    const KXAPI_URI_TABLE astInside[] = {{nullptr, Cmd(1)}, {"", Cmd(2)}, {"abc", Cmd(9)}};
    const KXAPI_URI_TABLE astCase[] = {{"/Video", Cmd(3)}, {"/video/", Cmd(4)}};
    const struct {
        const char* pszUrl;
        const KXAPI_URI_TABLE* pstTable;
        unsigned int uiNum;
        int iCmd;
    } astCases[] = {
        {"/a/b/c", astNested, 2, 2},
        {"/a/c", astNested, 2, 1},
        {"/x", astSame, 2, 5},
        {"/ab/cd", astTie, 2, 7},
        {"/cd/ab", astTie, 2, 7}, // table order, not position in the URL
        {"/xabcx/y", astInside, 3, 9},
        {"/video/1?x=/Video", astCase, 2, 4}, // the query part is searched too, case-sensitive
        {"/a/b/c", astNested, 1, 1},          // the count bounds the table
    };
    for (const auto& c : astCases) {
        EXPECT_EQ(Route(c.pszUrl, c.pstTable, c.uiNum), c.iCmd) << c.pszUrl;
    }
    EXPECT_TRUE(m_log.Records().empty());
}

TEST_F(UriRoutingTest, MissesAndBadArguments)
{
    const KXAPI_URI_TABLE astEmpty[] = {{nullptr, Cmd(1)}, {"", Cmd(2)}};
    const KXAPI_URI_TABLE astOne[] = {{"/a", Cmd(1)}};
    EXPECT_EQ(GetInnerCmdByUrl(nullptr, astOne, 1), INNER_CMD_INVALID);
    EXPECT_EQ(Route("", astOne, 1), INNER_CMD_INVALID);
    EXPECT_EQ(Route("/a", nullptr, 1), INNER_CMD_INVALID);
    EXPECT_TRUE(m_log.Records().empty());

    EXPECT_EQ(Route("/a", astOne, 0), INNER_CMD_INVALID);
    EXPECT_EQ(Route("/b", astEmpty, 2), INNER_CMD_INVALID);
    EXPECT_EQ(Route("/A/", astOne, 1), INNER_CMD_INVALID); // no case folding
    ExpectLogFrame(m_log.One("[KXAPI]:Unsupported Request URL[/b]"), 3, kFileBusiness);
    EXPECT_EQ(m_log.Count("[KXAPI]:Unsupported Request URL[/a]"), 1u);
    EXPECT_EQ(m_log.Count("[KXAPI]:Unsupported Request URL[/A/]"), 1u);
}

class UriIdTest : public LoggedTest {
protected:
    void SetUp() override
    {
        m_pstHeader->stUriIdInfo.uiIDCount = 3;
        for (int i = 0; i < KXAPI_URI_ID_MAX; ++i) {
            m_pstHeader->stUriIdInfo.astId[i].llValue = (i + 1) * 10 - 20; // -10, 0, 10, 20 ...
        }
    }
    std::unique_ptr<tagHTTP_HEADER_S> m_pstHeader = std::make_unique<tagHTTP_HEADER_S>();
};

TEST_F(UriIdTest, IdsAreNumberedFromOne)
{
    long long llValue = 77;
    for (unsigned int n = 1; n <= 3; ++n) {
        EXPECT_EQ(GetURIIDValue(&m_pstHeader->stUriIdInfo, n, llValue), 1);
        EXPECT_EQ(llValue, static_cast<long long>(n) * 10 - 20);
    }
    llValue = 77;
    EXPECT_EQ(GetURIIDValue(&m_pstHeader->stUriIdInfo, 4, llValue), 0);
    ExpectLogFrame(m_log.One("[KXAPI]:GetURIIDValue uiNum[4] >= uiIDCount[3]"), 3, kFileBusiness);
    EXPECT_EQ(GetURIIDValue(&m_pstHeader->stUriIdInfo, 0, llValue), 0);
    EXPECT_EQ(m_log.Count("[KXAPI]:GetURIIDValue uiNum[0] >= uiIDCount[3]"), 1u);
    // A count beyond the record's entries never reads past them.
    m_pstHeader->stUriIdInfo.uiIDCount = 100;
    EXPECT_EQ(GetURIIDValue(&m_pstHeader->stUriIdInfo, KXAPI_URI_ID_MAX + 1, llValue), 0);
    EXPECT_EQ(llValue, 77);
    EXPECT_EQ(GetURIIDValue(nullptr, 1, llValue), 0);
    EXPECT_EQ(m_log.Count("[KXAPI]:GetURIIDValue invalid param[(nil)]"), 1u);
}

TEST_F(UriIdTest, RangeIsLowerExclusiveUpperInclusive)
{
    const struct {
        long long llId;
        int iRet;
    } astCases[] = {{0, -1}, {1, 0}, {10, 0}, {11, -1}};
    for (const auto& c : astCases) {
        m_pstHeader->stUriIdInfo.astId[1].llValue = c.llId;
        long long llValue = -5;
        EXPECT_EQ(GetAndCheckURIIDValue(m_pstHeader.get(), llValue, 2, 0, 10), c.iRet) << c.llId;
        EXPECT_EQ(llValue, c.llId); // delivered even when out of range
    }
    EXPECT_EQ(m_log.Count("[KXAPI]:Wrong URL ID!\n"), 2u);

    long long llValue = -5;
    EXPECT_EQ(GetAndCheckURIIDValue(m_pstHeader.get(), llValue, 4, 0, 10), -1);
    EXPECT_EQ(llValue, -5);
    ExpectLogFrame(m_log.One("[KXAPI]:GetAndCheckURIIDValue: GetURIIDValue fail, num:4!\n"), 3, kFileBusiness);
    EXPECT_EQ(GetAndCheckURIIDValue(nullptr, llValue, 1, 0, 10), -1);
    EXPECT_EQ(m_log.Count("[KXAPI]:NULL pointer in GetAndCheckURIIDValue!\n"), 1u);
}

} // namespace
