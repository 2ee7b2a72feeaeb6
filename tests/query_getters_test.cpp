// Typed reads of the query map: conversions of every member, untouched outputs on failure, and the
// lines each path leaves.
#include "kxapicommon.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

class QueryGettersTest : public LoggedTest {
protected:
    void SetMap(std::map<std::string, std::string> map)
    {
        m_pstHeader->mapQueryParam = std::move(map);
        m_log.Clear();
    }
    tagHTTP_HEADER_S* H() { return m_pstHeader.get(); }
    // The detail line of a successful read, checked for its frame.
    void ExpectValueLine(const std::string& strText)
    {
        ExpectLogFrame(m_log.One(strText), 1, kFileBusiness);
    }

    std::unique_ptr<tagHTTP_HEADER_S> m_pstHeader = std::make_unique<tagHTTP_HEADER_S>();
};

TEST_F(QueryGettersTest, TextLookup)
{
    SetMap({{"id", "42"}});
    std::string strValue = "before";
    EXPECT_EQ(GetURIQueryParam(H(), "id", strValue), 0);
    EXPECT_EQ(strValue, "42");
    EXPECT_TRUE(m_log.Records().empty());

    EXPECT_EQ(GetURIQueryParam(H(), "ID", strValue), 1); // keys match case-sensitively
    EXPECT_EQ(strValue, "");                             // emptied even though it held text
    ExpectLogFrame(m_log.One("[KXAPI]:key:ID not exist"), 1, kFileBusiness);

    strValue = "kept";
    EXPECT_EQ(GetURIQueryParam(nullptr, "id", strValue), 1);
    EXPECT_EQ(strValue, "kept");
    ExpectLogFrame(m_log.One("[KXAPI]:Invalid param, pstHeader[(nil)]"), 3, kFileBusiness);
}

TEST_F(QueryGettersTest, MissingKeyAndNullHeader)
{
    SetMap({{"id", "42"}});
    int iOut = 7;
    EXPECT_EQ(GetURIQueryParamByKey<int>(H(), "ID", &iOut), 1);
    EXPECT_EQ(iOut, 7);
    auto recs = m_log.Records();
    ASSERT_EQ(recs.size(), 2U);
    EXPECT_EQ(recs[0].strText, "[KXAPI]:key:ID not exist");
    EXPECT_EQ(recs[1].strText, "[KXAPI]:key:ID get failed");
    ExpectLogFrame(recs[1], 1, kFileBusiness);

    m_log.Clear();
    char szOut[8] = "keep";
    EXPECT_EQ(GetURIQueryParamByKey<char>(nullptr, "id", szOut, sizeof(szOut)), 1);
    EXPECT_STREQ(szOut, "keep");
    recs = m_log.Records();
    ASSERT_EQ(recs.size(), 2U);
    EXPECT_EQ(recs[0].strText, "[KXAPI]:Invalid param, pstHeader[(nil)]");
    EXPECT_EQ(recs[0].iLevel, 3);
    EXPECT_EQ(recs[1].strText, "[KXAPI]:key:id get failed");
}

// Reads key n as T; the output starts as a sentinel so an untouched output shows.
template <typename T>
VW_RESULT_TYPE Read(tagHTTP_HEADER_S* pstHeader, T* pOut, T sentinel)
{
    *pOut = sentinel;
    return GetURIQueryParamByKey<T>(pstHeader, "n", pOut);
}

TEST_F(QueryGettersTest, EveryIntegerMemberTakesTheLeadingNumber)
{
    SetMap({{"n", "  12abc"}});
    long long ll;
    unsigned long long ull;
    long l;
    int i;
    unsigned int ui;
    short s;
    unsigned short us;
    EXPECT_EQ(Read(H(), &ll, 0LL), 0);
    EXPECT_EQ(Read(H(), &ull, 0ULL), 0);
    EXPECT_EQ(Read(H(), &l, 0L), 0);
    EXPECT_EQ(Read(H(), &i, 0), 0);
    EXPECT_EQ(Read(H(), &ui, 0U), 0);
    EXPECT_EQ(Read<short>(H(), &s, 0), 0);
    EXPECT_EQ(Read<unsigned short>(H(), &us, 0), 0);
    EXPECT_EQ(ll, 12);
    EXPECT_EQ(ull, 12U);
    EXPECT_EQ(l, 12);
    EXPECT_EQ(i, 12);
    EXPECT_EQ(ui, 12U);
    EXPECT_EQ(s, 12);
    EXPECT_EQ(us, 12);
    EXPECT_EQ(m_log.Count("[KXAPI]:Get Query Para key:n, value:12"), 7U);
}

TEST_F(QueryGettersTest, NoNumberLeavesEveryOutputAlone)
{
    for (const char* pszText : {"abc", "", " ", "-", "+x"}) {
        SCOPED_TRACE(std::string("text \"") + pszText + "\"");
        SetMap({{"n", pszText}});
        long long ll;
        unsigned long long ull;
        long l;
        int i;
        unsigned int ui;
        short s;
        unsigned short us;
        EXPECT_EQ(Read(H(), &ll, 5LL), 4);
        EXPECT_EQ(Read(H(), &ull, 5ULL), 4);
        EXPECT_EQ(Read(H(), &l, 5L), 4);
        EXPECT_EQ(Read(H(), &i, 5), 4);
        EXPECT_EQ(Read(H(), &ui, 5U), 4);
        EXPECT_EQ(Read<short>(H(), &s, 5), 4);
        EXPECT_EQ(Read<unsigned short>(H(), &us, 5), 4);
        EXPECT_EQ(ll, 5);
        EXPECT_EQ(ull, 5U);
        EXPECT_EQ(l, 5);
        EXPECT_EQ(i, 5);
        EXPECT_EQ(ui, 5U);
        EXPECT_EQ(s, 5);
        EXPECT_EQ(us, 5);
        auto recs = m_log.Records();
        ASSERT_EQ(recs.size(), 7U);
        for (const auto& r : recs) {
            EXPECT_EQ(r.strText.rfind("[KXAPI]:[sscanf_s] expect Ret 0, actual Ret ", 0), 0U) << r.strText;
            ExpectLogFrame(r, 3, kFileBusiness);
        }
    }
}

TEST_F(QueryGettersTest, SignedValuesAndTheirLines)
{
    SetMap({{"n", "-5"}});
    short s;
    long long ll;
    int i;
    EXPECT_EQ(Read<short>(H(), &s, 0), 0);
    EXPECT_EQ(Read(H(), &ll, 0LL), 0);
    EXPECT_EQ(Read(H(), &i, 0), 0);
    EXPECT_EQ(s, -5);
    EXPECT_EQ(ll, -5);
    EXPECT_EQ(i, -5);
    EXPECT_EQ(m_log.Count("[KXAPI]:Get Query Para key:n, value:-5"), 3U);

    SetMap({{"n", "65535"}});
    unsigned short us;
    EXPECT_EQ(Read<unsigned short>(H(), &us, 0), 0);
    EXPECT_EQ(us, 65535);
    ExpectValueLine("[KXAPI]:Get Query Para key:n, value:65535"); // zero-extended, not -1

    SetMap({{"n", "18446744073709551615"}});
    unsigned long long ull;
    EXPECT_EQ(Read(H(), &ull, 0ULL), 0);
    EXPECT_EQ(ull, 18446744073709551615ULL);
    ExpectValueLine("[KXAPI]:Get Query Para key:n, value:18446744073709551615");

    SetMap({{"n", "4294967295"}});
    unsigned int ui;
    EXPECT_EQ(Read(H(), &ui, 0U), 0);
    EXPECT_EQ(ui, 4294967295U);
    ExpectValueLine("[KXAPI]:Get Query Para key:n, value:4294967295");
}

// long is 32 bits on the camera: the value wraps modulo 2^32 and is stored sign-extended, the same
// on a 64-bit host.
TEST_F(QueryGettersTest, LongWrapsLikeTheCamera)
{
    const struct {
        const char* pszText;
        long lStored;
    } cases[] = {
        {"4294967297", 1L},                   // 2^32 + 1
        {"2147483648", -2147483647L - 1},     // 2^31
        {"4294967295", -1L},                  // 2^32 - 1
        {"-2147483649", 2147483647L},         // -(2^31) - 1
        {"123", 123L},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszText);
        SetMap({{"n", c.pszText}});
        long l;
        EXPECT_EQ(Read(H(), &l, 0L), 0);
        EXPECT_EQ(l, c.lStored);
        ExpectValueLine("[KXAPI]:Get Query Para key:n, value:" + std::to_string(c.lStored));
    }
    SetMap({{"n", "4294967297"}});
    long long ll;
    EXPECT_EQ(Read(H(), &ll, 0LL), 0);
    EXPECT_EQ(ll, 4294967297LL);
}

TEST_F(QueryGettersTest, CharArrayMember)
{
    SetMap({{"s", "abcd"}});
    char szOut[8];
    memset(szOut, 'X', sizeof(szOut));
    EXPECT_EQ(GetURIQueryParamByKey<char>(H(), "s", szOut, 5), 0);
    EXPECT_STREQ(szOut, "abcd");
    ExpectValueLine("[KXAPI]:Get Query Para key:s, value:abcd");

    m_log.Clear();
    memset(szOut, 'X', sizeof(szOut));
    EXPECT_EQ(GetURIQueryParamByKey<char>(H(), "s", szOut, 4), 0); // does not fit: empty, still 0
    EXPECT_STREQ(szOut, "");
    EXPECT_EQ(szOut[4], 'X'); // nothing written past the bound
    auto recs = m_log.Records();
    ASSERT_EQ(recs.size(), 2U);
    EXPECT_EQ(recs[0].strText.rfind("[KXAPI]:[strncpy_s] expect Ret 0, actual Ret ", 0), 0U) << recs[0].strText;
    ExpectLogFrame(recs[0], 3, kFileBusiness);
    EXPECT_EQ(recs[1].strText, "[KXAPI]:Get Query Para key:s, value:");
    ExpectLogFrame(recs[1], 1, kFileBusiness);
}

TEST_F(QueryGettersTest, CharArrayWithoutRoomIsRefused)
{
    SetMap({{"s", "abcd"}});
    char cGuard = 'G';
    EXPECT_EQ(GetURIQueryParamByKey<char>(H(), "s", &cGuard, 0), 4);
    EXPECT_EQ(GetURIQueryParamByKey<char>(H(), "s", &cGuard, -1), 4);
    EXPECT_EQ(cGuard, 'G');
}

// The whole road a handler takes: parse the client's text, then read typed values from it.
TEST_F(QueryGettersTest, AfterAParse)
{
    strcpy(m_pstHeader->szQuery, "id=%2D17&name=cam%201&id=3");
    ASSERT_EQ(URIQueryParamParse(H()), 0);
    int iId = 0;
    char szName[16] = {0};
    EXPECT_EQ(GetURIQueryParamByKey<int>(H(), "id", &iId), 0);
    EXPECT_EQ(iId, -17);
    EXPECT_EQ(GetURIQueryParamByKey<char>(H(), "name", szName, sizeof(szName)), 0);
    EXPECT_STREQ(szName, "cam 1");
}

} // namespace
