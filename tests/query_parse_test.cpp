// Query strings as a client sends them: grammar, encoded-length limits, decoding and the log lines.
#include "kxapicommon.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>

namespace {

using QueryMap = std::map<std::string, std::string>;

const std::string kNoEqualPrefix = "[KXAPI]:There is not = in the param:";

class QueryParseTest : public LoggedTest {
protected:
    int Parse(const std::string& strQuery)
    {
        EXPECT_LT(strQuery.size(), sizeof(m_pstHeader->szQuery));
        memset(m_pstHeader->szQuery, 0, sizeof(m_pstHeader->szQuery));
        memcpy(m_pstHeader->szQuery, strQuery.data(), strQuery.size());
        return URIQueryParamParse(m_pstHeader.get());
    }
    const QueryMap& Map() const { return m_pstHeader->mapQueryParam; }

    std::unique_ptr<tagHTTP_HEADER_S> m_pstHeader = std::make_unique<tagHTTP_HEADER_S>();
};

struct GrammarCase {
    const char* pszQuery;
    int iResult;
    QueryMap mapExpected;
};

TEST_F(QueryParseTest, Grammar)
{
    const GrammarCase cases[] = {
        {"", 0, {}},
        {"a=1&b=2", 0, {{"a", "1"}, {"b", "2"}}},
        {"a=1&", 0, {{"a", "1"}}},
        {"a=1&a=2", 0, {{"a", "1"}}},
        {"a=b=c", 0, {{"a", "b=c"}}},
        {"a", 4, {}},
        {"=1", 4, {}},
        {"a=", 4, {}},
        {"a=1&&b=2", 4, {{"a", "1"}}},
        {"&a=1", 4, {}},
        {"a=1&b&c=3", 4, {{"a", "1"}}},
        {"name=x%20y", 0, {{"name", "x y"}}},
        {"name=x+y", 0, {{"name", "x+y"}}},
        {"n%41me=%2f%2F", 0, {{"nAme", "//"}}},
        {"a=x y&b=2", 0, {{"a", "x"}, {"b", "2"}}},
        {"a= \tx&b=2", 0, {{"a", "x"}, {"b", "2"}}},
        {"a= ", 4, {}},
        {" a=1", 0, {{" a", "1"}}},
        {"a=1&name=%zz&c=3", 1, {{"a", "1"}}},
        {"%zz=1", 1, {}},
        {"a=%4", 1, {}},
        {"a=%", 1, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("query \"") + c.pszQuery + "\"");
        EXPECT_EQ(Parse(c.pszQuery), c.iResult);
        EXPECT_EQ(Map(), c.mapExpected);
    }
}

TEST_F(QueryParseTest, LogsEveryStoredPairWithTheKeptValue)
{
    ASSERT_EQ(Parse("a=1&b=x%20y&a=2"), 0);
    auto recs = m_log.Records();
    ASSERT_EQ(recs.size(), 3U);
    EXPECT_EQ(recs[0].strText, "[KXAPI]:Query Para Parse key:a, value:1");
    EXPECT_EQ(recs[1].strText, "[KXAPI]:Query Para Parse key:b, value:x y");
    // The repeat is logged with the value that stays, the first one.
    EXPECT_EQ(recs[2].strText, "[KXAPI]:Query Para Parse key:a, value:1");
    for (const auto& r : recs) {
        ExpectLogFrame(r, 1, kFileCommon);
    }
}

TEST_F(QueryParseTest, MalformedPairLogsItsText)
{
    EXPECT_EQ(Parse("a=1&b&c=3"), 4);
    ExpectLogFrame(m_log.One(kNoEqualPrefix + "b."), 3, kFileCommon);
    m_log.Clear();
    EXPECT_EQ(Parse("a=1&&b=2"), 4);
    ExpectLogFrame(m_log.One(kNoEqualPrefix + "."), 3, kFileCommon);
}

TEST_F(QueryParseTest, UndecodableTextLogsTheRawBuffers)
{
    EXPECT_EQ(Parse("name=%zz"), 1);
    ExpectLogFrame(m_log.One("[KXAPI]:string format is invalid,szKeyname, szValue:%zz"), 3, kFileCommon);
    EXPECT_TRUE(Map().empty());
}

std::string Escapes(int iCount)
{
    std::string str;
    for (int i = 0; i < iCount; ++i) {
        str += "%41";
    }
    return str;
}

TEST_F(QueryParseTest, EncodedLengthLimits)
{
    const std::string k31(31, 'k');
    const std::string v63(63, 'v');
    const struct {
        std::string strQuery;
        int iResult;
    } cases[] = {
        {k31 + "=1", 0},
        {std::string(32, 'k') + "=1", 4},
        {"a=" + v63, 0},
        {"a=" + std::string(64, 'v'), 4},
        // The limits count encoded characters: an escape is three of them before decoding.
        {std::string(28, 'k') + Escapes(1) + "=1", 0},
        {std::string(29, 'k') + Escapes(1) + "=1", 4},
        {"a=" + std::string(21, 'x') + Escapes(14), 0},
        {"a=" + std::string(19, 'x') + Escapes(15), 4},
        {k31 + "=" + v63 + " ", 0},  // a pair text of 96 characters fits
        {k31 + "=" + v63 + "  ", 4}, // one of 97 does not
        {k31 + "=" + v63 + std::string(500, ' '), 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("query of " + std::to_string(c.strQuery.size()) + " characters");
        EXPECT_EQ(Parse(c.strQuery), c.iResult);
        EXPECT_EQ(Map().size(), c.iResult == 0 ? 1U : 0U);
    }

    m_log.Clear();
    EXPECT_EQ(Parse(k31 + "=" + v63 + "  &b=2"), 4);
    auto recs = m_log.Records();
    ASSERT_EQ(recs.size(), 2U);
    EXPECT_EQ(recs[0].strText.rfind("[KXAPI]:[strncpy_s] expect Ret 0, actual Ret ", 0), 0U) << recs[0].strText;
    ExpectLogFrame(recs[0], 3, kFileCommon);
    EXPECT_EQ(recs[1].strText, kNoEqualPrefix + "."); // the work buffer stayed empty
    ExpectLogFrame(recs[1], 3, kFileCommon);
}

TEST_F(QueryParseTest, ReparseReplacesTheMap)
{
    ASSERT_EQ(Parse("a=1&b=2"), 0);
    ASSERT_EQ(Parse("c=3"), 0);
    EXPECT_EQ(Map(), (QueryMap{{"c", "3"}}));
    ASSERT_EQ(Parse(""), 0);
    EXPECT_TRUE(Map().empty());
    // A failing parse clears the earlier query too.
    ASSERT_EQ(Parse("a=1"), 0);
    EXPECT_EQ(Parse("b"), 4);
    EXPECT_TRUE(Map().empty());
}

TEST_F(QueryParseTest, NullArguments)
{
    EXPECT_EQ(URIQueryParamParse(nullptr), 1);
    ExpectLogFrame(m_log.One("[KXAPI]:Invalid param, pstHeader[(nil)]"), 3, kFileCommon);

    char szPos[] = "a=1";
    char szKey[32];
    char szValue[64];
    EXPECT_EQ(QueryGetOnePair(nullptr, szKey, szValue), 4);
    EXPECT_EQ(QueryGetOnePair(szPos, nullptr, szValue), 4);
    EXPECT_EQ(QueryGetOnePair(szPos, szKey, nullptr), 4);
    EXPECT_EQ(m_log.Count("[KXAPI]:null point."), 3U);
}

TEST_F(QueryParseTest, OnePairStepLeavesThePosition)
{
    char szQuery[] = "key=va%20l&x=y";
    char szKey[32];
    char szValue[64];
    memset(szKey, 'K', sizeof(szKey));
    memset(szValue, 'V', sizeof(szValue));
    EXPECT_EQ(QueryGetOnePair(szQuery, szKey, szValue), 0);
    EXPECT_STREQ(szKey, "key");
    EXPECT_STREQ(szValue, "va%20l"); // decoding is the parse's step, not this one's
    EXPECT_STREQ(szQuery, "key=va%20l&x=y");
    char szEmpty[] = "";
    EXPECT_EQ(QueryGetOnePair(szEmpty, szKey, szValue), 1);
    EXPECT_TRUE(m_log.Records().empty());
}

TEST_F(QueryParseTest, UnterminatedFieldIsNotReadPastItsEnd)
{
    memset(m_pstHeader->szQuery, 'a', sizeof(m_pstHeader->szQuery));
    EXPECT_EQ(URIQueryParamParse(m_pstHeader.get()), 4);
    EXPECT_TRUE(Map().empty());
    ExpectLogFrame(m_log.One("[KXAPI]:query string is not terminated"), 3, kFileCommon);
}

// Client input of any bytes and length: only 0, 1 or 4, entries within the limits, and only the
// lines of the parse (sanitizers catch any read or write out of bounds).
TEST_F(QueryParseTest, ArbitraryInput)
{
    const char alphabet[] = {'a', 'b', '=', '&', '%', '2', '0', 'F', 'z', ' ', '+', '\t', '\n', '\x80', '\xff', '\x01'};
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int> pick(0, sizeof(alphabet) - 1);
    std::uniform_int_distribution<int> anyByte(1, 255);
    std::uniform_int_distribution<size_t> length(0, sizeof(m_pstHeader->szQuery) - 1);
    for (int iter = 0; iter < 3000; ++iter) {
        std::string strQuery(iter % 3 == 0 ? length(rng) : length(rng) % 130, '\0');
        for (char& ch : strQuery) {
            ch = (iter % 2 == 0) ? alphabet[pick(rng)] : static_cast<char>(anyByte(rng));
        }
        m_log.Clear();
        int iRet = Parse(strQuery);
        ASSERT_TRUE(iRet == 0 || iRet == 1 || iRet == 4) << iRet;
        for (const auto& kv : Map()) {
            ASSERT_FALSE(kv.first.empty());
            ASSERT_LE(kv.first.size(), 31U);
            ASSERT_FALSE(kv.second.empty());
            ASSERT_LE(kv.second.size(), 63U);
        }
        size_t uErrors = 0;
        for (const auto& r : m_log.Records()) {
            ASSERT_EQ(r.strFile, kFileCommon);
            if (r.iLevel == 3) {
                ++uErrors;
                bool bKnown = r.strText.rfind(kNoEqualPrefix, 0) == 0 ||
                              r.strText.rfind("[KXAPI]:string format is invalid,szKey", 0) == 0 ||
                              r.strText.rfind("[KXAPI]:[strncpy_s] expect Ret 0, actual Ret ", 0) == 0;
                ASSERT_TRUE(bKnown) << r.strText;
            }
        }
        ASSERT_EQ(uErrors > 0, iRet != 0);
    }
}

} // namespace
