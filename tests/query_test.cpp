// The request's own text: query strings as clients send them, typed reads of the parsed pairs,
// URL-to-command routing and the URI IDs.
#include "kxapicommon.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <tuple>

namespace {

const std::string kNoEqual = "[KXAPI]:There is not = in the param:";

class QueryTest : public LoggedTest {
protected:
    // The map as "key=value;" pairs, after the result.
    std::string Parse(const std::string& strQuery)
    {
        snprintf(m_pstHeader->szQuery, sizeof(m_pstHeader->szQuery), "%s", strQuery.c_str());
        m_log.Clear();
        std::string strOut = std::to_string(URIQueryParamParse(m_pstHeader.get())) + ":";
        for (const auto& kv : m_pstHeader->mapQueryParam) {
            strOut += kv.first + "=" + kv.second + ";";
        }
        return strOut;
    }
    std::unique_ptr<tagHTTP_HEADER_S> m_pstHeader = std::make_unique<tagHTTP_HEADER_S>();
};

TEST_F(QueryTest, GrammarLimitsAndLines)
{
    const std::string k31(31, 'k');
    const std::string v63(63, 'v');
    const std::pair<std::string, std::string> aCases[] = {
        {"", "0:"}, {"a=1&b=2", "0:a=1;b=2;"}, {"a=1&", "0:a=1;"}, {"a=1&a=2", "0:a=1;"}, {"a=b=c", "0:a=b=c;"},
        {"a", "4:"}, {"=1", "4:"}, {"a=", "4:"}, {"a= ", "4:"}, {"a=1&&b=2", "4:a=1;"}, {"a=1&b&c=3", "4:a=1;"},
        {"name=x%20y&x=a+b", "0:name=x y;x=a+b;"}, {"n%41me=%2f%2F", "0:nAme=//;"}, {"a=x y&b=2", "0:a=x;b=2;"},
        {"a= \tx&b=2", "0:a=x;b=2;"}, {" a=1", "0: a=1;"}, {"a=1&name=%zz&c=3", "1:a=1;"}, {"%zz=1", "1:"}, {"a=%4", "1:"},
        // The limits count encoded characters: an escape is three of them before decoding.
        {k31 + "=1", "0:" + k31 + "=1;"}, {k31 + "k=1", "4:"}, {"a=" + v63, "0:a=" + v63 + ";"}, {"a=" + v63 + "v", "4:"},
        {std::string(28, 'k') + "%41=1", "0:" + std::string(28, 'k') + "A=1;"}, {std::string(29, 'k') + "%41=1", "4:"},
        {k31 + "=" + v63 + " ", "0:" + k31 + "=" + v63 + ";"}, // a pair text of 96 characters fits, 97 do not
        {k31 + "=" + v63 + "  &b=2", "4:"},
    };
    for (const auto& [strQuery, strExpected] : aCases) {
        EXPECT_EQ(Parse(strQuery), strExpected) << strQuery;
        size_t uErrors = 0;
        for (const auto& r : m_log.Records()) {
            uErrors += r.iLevel == 3 ? 1 : 0;
            EXPECT_EQ(r.strFile, kFileCommon);
        }
        EXPECT_EQ(uErrors > 0, strExpected[0] != '0') << strQuery;
    }
    // The cut pair: the copy's line, then an empty work buffer.
    EXPECT_EQ(m_log.Texts().at(0).rfind("[KXAPI]:[strncpy_s] expect Ret 0, actual Ret ", 0), 0U);
    EXPECT_EQ(m_log.Texts().at(1), kNoEqual + ".");
    const std::pair<const char*, const char*> aLines[] = {
        {"a=1&b&c=3", "b."}, {"a", "a."}, {"a=", "a=."}, {"name=%zz", "[KXAPI]:string format is invalid,szKeyname, szValue:%zz"}};
    for (const auto& [pszQuery, pszLine] : aLines) {
        Parse(pszQuery);
        ExpectLogFrame(m_log.One(pszLine[0] == '[' ? pszLine : kNoEqual + pszLine), 3, kFileCommon);
    }
    // Every stored pair is logged with the value that stays; a failed reparse empties the map.
    EXPECT_EQ(Parse("a=1&b=x%20y&a=2"), "0:a=1;b=x y;");
    EXPECT_EQ(m_log.Texts(), (std::vector<std::string>{"[KXAPI]:Query Para Parse key:a, value:1",
                                                       "[KXAPI]:Query Para Parse key:b, value:x y",
                                                       "[KXAPI]:Query Para Parse key:a, value:1"}));
    ExpectLogFrame(m_log.Records().at(2), 1, kFileCommon);
    EXPECT_EQ(Parse("b"), "4:");
    memset(m_pstHeader->szQuery, 'a', sizeof(m_pstHeader->szQuery));
    m_log.Clear();
    EXPECT_EQ(URIQueryParamParse(m_pstHeader.get()) * 10 + URIQueryParamParse(nullptr), 41);
    EXPECT_EQ(m_log.Texts(), (std::vector<std::string>{"[KXAPI]:query string is not terminated",
                                                       "[KXAPI]:Invalid param, pstHeader[(nil)]"}));

    // One step of the split: the position is left as it was, and nothing is decoded yet.
    char szQuery[] = "key=va%20l&x=y";
    char szKey[32];
    char szValue[64];
    EXPECT_EQ(QueryGetOnePair(szQuery, szKey, szValue), 0);
    EXPECT_EQ(std::string(szKey) + "|" + szValue + "|" + szQuery, "key|va%20l|key=va%20l&x=y");
    EXPECT_EQ(QueryGetOnePair(szQuery + sizeof(szQuery) - 1, szKey, szValue), 1);
    EXPECT_EQ(QueryGetOnePair(nullptr, szKey, szValue) + QueryGetOnePair(szQuery, nullptr, szValue) +
                  QueryGetOnePair(szQuery, szKey, nullptr),
              12);
    EXPECT_EQ(m_log.Count("[KXAPI]:null point."), 3U);
}

// Every integer member takes the leading number of the text and logs it; no number leaves the
// output alone. long is 32 bits on the camera: it wraps modulo 2^32, sign-extended, everywhere.
template <typename T>
class IntegerReadTest : public QueryTest {};
using IntegerTypes = ::testing::Types<long long, unsigned long long, long, int, unsigned int, short, unsigned short>;
TYPED_TEST_SUITE(IntegerReadTest, IntegerTypes);

TYPED_TEST(IntegerReadTest, LeadingNumberOrNothing)
{
    const std::map<std::string, std::string> mapShown[] = { // per type, in the order listed above
        {{"-5", "-5"}, {"4294967297", "4294967297"}},
        {{"18446744073709551615", "18446744073709551615"}},
        {{"-5", "-5"}, {"4294967295", "-1"}, {"4294967297", "1"}, {"2147483648", "-2147483648"}, {"-2147483649", "2147483647"}},
        {{"-5", "-5"}},
        {{"4294967295", "4294967295"}},
        {{"-5", "-5"}},
        {{"65535", "65535"}}}; // zero-extended
    using Types = std::tuple<long long, unsigned long long, long, int, unsigned int, short, unsigned short>;
    constexpr size_t kIndex = std::is_same_v<TypeParam, std::tuple_element_t<0, Types>> ? 0
                            : std::is_same_v<TypeParam, std::tuple_element_t<1, Types>> ? 1
                            : std::is_same_v<TypeParam, std::tuple_element_t<2, Types>> ? 2
                            : std::is_same_v<TypeParam, std::tuple_element_t<3, Types>> ? 3
                            : std::is_same_v<TypeParam, std::tuple_element_t<4, Types>> ? 4
                            : std::is_same_v<TypeParam, std::tuple_element_t<5, Types>> ? 5 : 6;
    std::map<std::string, std::string> mapCases = mapShown[kIndex];
    mapCases.emplace("  12abc", "12");
    for (const char* pszText : {"abc", "", " ", "-", "+x"}) {
        mapCases.emplace(pszText, "none");
    }
    for (const auto& [strText, strShown] : mapCases) {
        this->m_pstHeader->mapQueryParam = {{"n", strText}};
        this->m_log.Clear();
        TypeParam value = 5;
        const bool bNumber = strShown != "none";
        EXPECT_EQ(GetURIQueryParamByKey<TypeParam>(this->m_pstHeader.get(), "n", &value), bNumber ? 0 : 4);
        EXPECT_EQ(std::to_string(value), bNumber ? strShown : "5") << strText;
        LogRecord stRec = this->m_log.Records().at(0);
        EXPECT_EQ(bNumber ? stRec.strText : stRec.strText.substr(0, 44), bNumber ? "[KXAPI]:Get Query Para key:n, value:" + strShown
                                                       : "[KXAPI]:[sscanf_s] expect Ret 0, actual Ret ");
        ExpectLogFrame(stRec, bNumber ? 1 : 3, kFileBusiness);
    }
    this->m_log.Clear();
    TypeParam value = 7;
    EXPECT_EQ(GetURIQueryParamByKey<TypeParam>(this->m_pstHeader.get(), "ID", &value) * 10 + value, 17);
    EXPECT_EQ(this->m_log.Texts(), (std::vector<std::string>{"[KXAPI]:key:ID not exist", "[KXAPI]:key:ID get failed"}));
}

TEST_F(QueryTest, TextAndCharArrayReads)
{
    m_pstHeader->mapQueryParam = {{"id", "42"}, {"s", "abcd"}};
    std::string strValue = "before";
    EXPECT_EQ(GetURIQueryParam(m_pstHeader.get(), "id", strValue), 0);
    EXPECT_EQ(GetURIQueryParam(m_pstHeader.get(), "ID", strValue), 1); // case-sensitive; emptied
    EXPECT_EQ(GetURIQueryParam(nullptr, "id", strValue = "kept"), 1);
    EXPECT_EQ(strValue, "kept");
    EXPECT_EQ(m_log.Texts(), (std::vector<std::string>{"[KXAPI]:key:ID not exist", "[KXAPI]:Invalid param, pstHeader[(nil)]"}));
    ExpectLogFrame(m_log.Records().at(0), 1, kFileBusiness);
    ExpectLogFrame(m_log.Records().at(1), 3, kFileBusiness);

    char szOut[8] = "XXXXXXX";
    m_log.Clear();
    EXPECT_EQ(GetURIQueryParamByKey<char>(m_pstHeader.get(), "s", szOut, 5), 0);
    EXPECT_EQ(GetURIQueryParamByKey<char>(m_pstHeader.get(), "s", szOut + 1, 4), 0); // no room: empty, still 0
    EXPECT_EQ(std::string(szOut, 8), std::string("a\0cd\0XX\0", 8));                    // nothing past the bound
    EXPECT_EQ(m_log.Texts().at(1).rfind("[KXAPI]:[strncpy_s] expect Ret 0, actual Ret ", 0), 0U);
    EXPECT_EQ(m_log.Texts().at(2), "[KXAPI]:Get Query Para key:s, value:");
    EXPECT_EQ(GetURIQueryParamByKey<char>(m_pstHeader.get(), "s", szOut, 0) +
                  GetURIQueryParamByKey<char>(m_pstHeader.get(), "s", szOut, -1),
              8);
    m_log.Clear();
    EXPECT_EQ(GetURIQueryParamByKey<char>(nullptr, "id", szOut, sizeof(szOut)), 1);
    EXPECT_EQ(m_log.Texts(), (std::vector<std::string>{"[KXAPI]:Invalid param, pstHeader[(nil)]", "[KXAPI]:key:id get failed"}));

    // The whole road a handler takes: parse the client's text, then read typed values from it.
    EXPECT_EQ(Parse("id=%2D17&name=cam%201&id=3"), "0:id=-17;name=cam 1;");
    int iId = 0;
    EXPECT_EQ(GetURIQueryParamByKey<int>(m_pstHeader.get(), "id", &iId) +
                  GetURIQueryParamByKey<char>(m_pstHeader.get(), "name", szOut, sizeof(szOut)),
              0);
    EXPECT_EQ(std::to_string(iId) + szOut, "-17cam 1");
}

TEST_F(QueryTest, RoutingAndUriIds)
{
    auto Cmd = [](int i) { return static_cast<VW_CMD_TYPE>(i); };
    const KXAPI_URI_TABLE astNested[] = {{"/a", Cmd(1)}, {"/a/b", Cmd(2)}};
    const KXAPI_URI_TABLE astTie[] = {{"/ab", Cmd(7)}, {"/cd", Cmd(8)}, {"/ab", Cmd(6)}};
    const KXAPI_URI_TABLE astInside[] = {{nullptr, Cmd(1)}, {"", Cmd(2)}, {"abc", Cmd(9)}, {"/Video", Cmd(3)}};
    const struct {
        std::string strUrl;
        const KXAPI_URI_TABLE* pstTable;
        unsigned int uiNum;
        int iCmd;
    } aCases[] = { // the longest pattern occurring anywhere, case-sensitively; the earliest on ties
        {"/a/b/c", astNested, 2, 2},   {"/a/c", astNested, 2, 1},    {"/a/b/c", astNested, 1, 1}, {"/cd/ab", astTie, 3, 7},
        {"/xabcx/y", astInside, 3, 9}, {"/v?x=/Video", astInside, 4, 3}, {"", astNested, 2, INNER_CMD_INVALID},
        {"/a", nullptr, 1, INNER_CMD_INVALID}, {"/a", astNested, 0, INNER_CMD_INVALID}, {"/b", astInside, 2, INNER_CMD_INVALID},
        {"/A/", astNested, 1, INNER_CMD_INVALID}};
    for (auto c : aCases) {
        EXPECT_EQ(GetInnerCmdByUrl(c.strUrl.data(), c.pstTable, c.uiNum), c.iCmd) << c.strUrl;
    }
    EXPECT_EQ(GetInnerCmdByUrl(nullptr, astNested, 2), INNER_CMD_INVALID);
    // Only a lookup in a usable table that finds nothing is worth a line.
    EXPECT_EQ(m_log.Texts(), (std::vector<std::string>{"[KXAPI]:Unsupported Request URL[/a]",
                                                       "[KXAPI]:Unsupported Request URL[/b]",
                                                       "[KXAPI]:Unsupported Request URL[/A/]"}));
    ExpectLogFrame(m_log.Records().at(0), 3, kFileBusiness);

    tagHEADER_URI_ID_INFO_S& stIds = m_pstHeader->stUriIdInfo;
    stIds.uiIDCount = 3;
    for (int i = 0; i < KXAPI_URI_ID_MAX; ++i) {
        stIds.astId[i].llValue = (i + 1) * 10 - 20; // -10, 0, 10, 20 ...
    }
    long long llValue = 77;
    std::string strGot;
    for (unsigned int n : {1U, 2U, 3U, 4U, 0U}) { // numbered from one
        int iRet = GetURIIDValue(&stIds, n, llValue);
        strGot += std::to_string(iRet) + ":" + std::to_string(llValue) + " ";
    }
    EXPECT_EQ(strGot, "1:-10 1:0 1:10 0:10 0:10 ");
    ExpectLogFrame(m_log.One("[KXAPI]:GetURIIDValue uiNum[4] >= uiIDCount[3]"), 3, kFileBusiness);
    EXPECT_EQ(m_log.Count("[KXAPI]:GetURIIDValue uiNum[0] >= uiIDCount[3]"), 1u);
    stIds.uiIDCount = 100; // a count beyond the record's entries never reads past them
    EXPECT_EQ(GetURIIDValue(&stIds, KXAPI_URI_ID_MAX + 1, llValue) + GetURIIDValue(nullptr, 1, llValue), 0);
    EXPECT_EQ(m_log.Count("[KXAPI]:GetURIIDValue invalid param[(nil)]"), 1u);
    strGot.clear();
    for (long long llId : {0LL, 1LL, 10LL, 11LL}) { // lower exclusive, upper inclusive; delivered even when out
        stIds.astId[1].llValue = llId;
        int iRet = GetAndCheckURIIDValue(m_pstHeader.get(), llValue, 2, 0, 10);
        strGot += std::to_string(iRet) + ":" + std::to_string(llValue) + " ";
    }
    llValue = -5;
    int iRet = GetAndCheckURIIDValue(m_pstHeader.get(), llValue, 101, 0, 10);
    strGot += std::to_string(iRet) + ":" + std::to_string(llValue);
    EXPECT_EQ(strGot + std::to_string(GetAndCheckURIIDValue(nullptr, llValue, 1, 0, 10)), "-1:0 0:1 0:10 -1:11 -1:-5-1");
    EXPECT_EQ(m_log.Count("[KXAPI]:Wrong URL ID!\n"), 2u);
    EXPECT_EQ(m_log.Count("[KXAPI]:GetAndCheckURIIDValue: GetURIIDValue fail, num:101!\n"), 1u);
    EXPECT_EQ(m_log.Count("[KXAPI]:NULL pointer in GetAndCheckURIIDValue!\n"), 1u);
}

} // namespace
