// The library's own services, each against real files, real json-c and the stand-in's log sink:
// status texts and bodies byte for byte and who owns a pending body; query strings, typed reads,
// routing and URI IDs; the common list; download descriptions, time texts and switch modes, the
// subscriber tables at the host's byte positions, the IPv4 check, blocks, mutexes, random strings.
#include "kxapicommon.h"
#include "kxplatform.h"
#include "log_capture.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

namespace {
unsigned long long g_ullRemain = 0;
tagHTTP_CLIENT_S* g_pstAskedFor = nullptr;
} // namespace

// The host's lock time, as a host defines it.
unsigned long long KxapiHttpGetUnLockTime(tagHTTP_CLIENT_S* pstClient)
{
    g_pstAskedFor = pstClient;
    return g_ullRemain;
}

namespace {

// A host response buffer whose Copy2Buf records what it was handed and answers a chosen result.
class FakeResponseBuffer {
public:
    explicit FakeResponseBuffer(int iAnswer = 0) : m_iAnswer(iAnswer) { m_stHost.stBuf.Copy2Buf = Copy2Buf; }
    tagHTTP_BUF_S* Buf() { return &m_stHost.stBuf; }
    int Calls() const { return m_iCalls; }
    // Everything handed over, concatenated, each hand-over's length and whether a NUL followed it.
    const std::string& Data() const { return m_strData; }
    const std::string& Lengths() const { return m_strLengths; }

private:
    struct Host { // standard layout with the host record first, so Copy2Buf finds its way back
        tagHTTP_BUF_S stBuf;
        FakeResponseBuffer* pSelf;
    };
    static int Copy2Buf(tagHTTP_BUF_S* pstBuf, const char* pData, unsigned int uiLen)
    {
        FakeResponseBuffer* self = reinterpret_cast<Host*>(pstBuf)->pSelf;
        ++self->m_iCalls;
        self->m_strData.append(pData, uiLen);
        self->m_strLengths += std::to_string(uiLen) + (pData[uiLen] == '\0' ? "+NUL " : " ");
        return self->m_iAnswer;
    }
    Host m_stHost{{}, this};
    int m_iAnswer;
    int m_iCalls = 0;
    std::string m_strData;
    std::string m_strLengths;
};

// json-c escapes a slash as backslash-slash; the texts used here need nothing else.
std::string StatusBody(const std::string& strUrl, long long llCode, const std::string& strText)
{
    return std::regex_replace("{ \"ResponseStatus\": { \"RequestURL\": \"" + strUrl + "\", \"StatusCode\": " +
                                  std::to_string(llCode) + ", \"StatusString\": \"" + strText + "\" } }",
                              std::regex("/"), "\\/");
}

// One request's records, a temp directory, and no descriptor left behind.
class LibraryTest : public LoggedTest {
protected:
    void TearDown() override { EXPECT_EQ(CountOpenFds(), m_iFds); }
    void SetUrl(const std::string& strUrl)
    {
        snprintf(m_pstHeader->szUrl, sizeof(m_pstHeader->szUrl), "%s", strUrl.c_str());
        snprintf(m_pstClient->stReqHeader.szUrl, sizeof(m_pstHeader->szUrl), "%s", strUrl.c_str());
    }
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
    std::string File(const std::string& strName, size_t uBytes)
    {
        std::ofstream(m_dir.File(strName), std::ios::binary) << std::string(uBytes, 'x');
        chmod(m_dir.File(strName).c_str(), 0644);
        return m_dir.File(strName);
    }
    std::unique_ptr<tagHTTP_HEADER_S> m_pstHeader = std::make_unique<tagHTTP_HEADER_S>();
    std::unique_ptr<tagHTTP_CLIENT_S> m_pstClient = std::make_unique<tagHTTP_CLIENT_S>();
    tagHTTP_CNTENT_INTER_S m_stCt{};
    TempDir m_dir;
    int m_iFds = CountOpenFds();
};

TEST_F(LibraryTest, StatusTextsAndBodies)
{
    EXPECT_EQ(std::string(GetStatusString(0)) + "|" + GetStatusString(-1) + "|" + GetStatusString(18) + "|" +
                  GetStatusString(2115),
              "OK|Failure|Failed to allocate resource|Face algorithm disable ");
    for (long long llCode : {25LL, -2LL, 4294967296LL, -4294967296LL, 9223372036854775807LL}) {
        m_log.Clear();
        EXPECT_STREQ(GetStatusString(llCode), "common error status code.") << llCode;
        EXPECT_EQ(m_log.Texts(),
                  std::vector<std::string>{"[KXAPI]:common error status code[" + std::to_string(llCode) + "]"});
        ExpectLogFrame(m_log.Records()[0], 3, kFileCommon);
    }

    // Both forms send the same body: URL cut at 255, status text at 127, the NUL not counted.
    const std::string strLongUrl(300, 'u');
    const std::pair<std::string, int> aCases[] = {
        {"/LAPI/V1.0", 0}, {"/a", 108}, {"/a", 25}, {"/x", 2200}, {strLongUrl, 4}};
    for (const auto& [strUrl, iCode] : aCases) {
        SetUrl(strUrl);
        m_log.Clear();
        const std::string strBody = StatusBody(strUrl.substr(0, 255), iCode,
                                               std::string(GetStatusString(iCode)).substr(0, 127));
        char* pszText = json_encode(FillResponseStatusParam(m_pstHeader.get(), static_cast<VW_RESULT_TYPE>(iCode)));
        EXPECT_EQ(pszText, strBody); // a heap block of exactly the body
        free(pszText);
        FakeResponseBuffer buf;
        EXPECT_EQ(
            FormatCommonResponse<char*>(m_pstHeader.get(), static_cast<VW_RESULT_TYPE>(iCode), &m_stCt, buf.Buf()) +
                FormatCommonStatus(m_pstHeader.get(), static_cast<VW_RESULT_TYPE>(iCode), &m_stCt, buf.Buf()),
            0);
        EXPECT_EQ(buf.Data(), strBody + strBody);
        EXPECT_EQ(buf.Lengths(), std::to_string(strBody.size()) + "+NUL " + std::to_string(strBody.size()) + "+NUL ");
        EXPECT_EQ(m_log.Records().size(), iCode == 25 ? 4U : 0U) << "cutting is no failed copy";
    }
    m_log.Clear();
    KXAPI_RESPONSE stRsp = FillResponseStatusParam(nullptr, VW_RESULT_FAILURE);
    EXPECT_EQ(std::string(stRsp.ResponseStatus.RequestURL) + "|" + stRsp.ResponseStatus.StatusString +
                  std::to_string(stRsp.ResponseStatus.StatusCode),
              "|Failure-1");
    EXPECT_EQ(m_log.Texts().at(0).rfind("[KXAPI]:[strncpy_s] expect Ret 0, actual Ret ", 0), 0U);
    ExpectLogFrame(m_log.Records()[0], 3, kFileCommon);
}

// FormatCommonResponse sends and frees a pending body whatever the result; FormatCommonStatus
// leaves it with the host. Only -1 from Copy2Buf is a failure. Null arguments change nothing.
TEST_F(LibraryTest, PendingBodiesCopyResultsAndRefusals)
{
    SetUrl("/a");
    const std::string strStatus = StatusBody("/a", 0, "OK");
    for (int iAnswer : {0, 5, -1}) { // the failing answer last: its lines are checked after the loop
        m_log.Clear();
        m_stCt.pRspBody = strdup("{\"Data\":1}");
        FakeResponseBuffer buf(iAnswer);
        const int iExpected = iAnswer == -1 ? -1 : 0;
        EXPECT_EQ(FormatCommonStatus(m_pstHeader.get(), VW_RESULT_OK, &m_stCt, buf.Buf()), iExpected);
        EXPECT_STREQ(m_stCt.pRspBody, "{\"Data\":1}");
        EXPECT_EQ(FormatCommonResponse<char*>(m_pstHeader.get(), static_cast<VW_RESULT_TYPE>(17), &m_stCt, buf.Buf()),
                  iExpected);
        EXPECT_EQ(m_stCt.pRspBody, nullptr); // freed by the call: the leak checkers watch
        EXPECT_EQ(FormatCommonResponse<char*>(m_pstHeader.get(), VW_RESULT_OK, &m_stCt, buf.Buf()), iExpected);
        EXPECT_EQ(buf.Data(), strStatus + "{\"Data\":1}" + strStatus);
        EXPECT_EQ(buf.Lengths(),
                  std::to_string(strStatus.size()) + "+NUL 10+NUL " + std::to_string(strStatus.size()) + "+NUL ");
        const std::string strLen = "Copy2Buf fail, dataLen[" + std::to_string(strStatus.size()) + "]";
        const std::vector<std::string> vecLines = {"[KXAPI]:FormatCommonStatus: " + strLen,
                                                   "[KXAPI]:FormatCommonResponse<char*>: Copy2Buf fail, dataLen[10]",
                                                   "[KXAPI]:FormatCommonResponse<char*>: " + strLen};
        EXPECT_EQ(m_log.Texts(), iAnswer == -1 ? vecLines : std::vector<std::string>{}) << iAnswer;
    }
    ExpectLogFrame(m_log.Records().at(0), 3, kFileCommon);
    ExpectLogFrame(m_log.Records().at(1), 3, kFileBusiness);

    FakeResponseBuffer buf;
    m_stCt.pRspBody = strdup("pending");
    tagHTTP_HEADER_S* h = m_pstHeader.get();
    const std::tuple<tagHTTP_HEADER_S*, tagHTTP_CNTENT_INTER_S*, tagHTTP_BUF_S*> aNulls[] = {
        {nullptr, &m_stCt, buf.Buf()}, {h, nullptr, buf.Buf()}, {h, &m_stCt, nullptr}};
    for (const auto& [pstHeader, pstCt, pstBuf] : aNulls) {
        m_log.Clear();
        EXPECT_EQ(FormatCommonResponse<char*>(pstHeader, VW_RESULT_OK, pstCt, pstBuf), -1);
        EXPECT_EQ(FormatCommonStatus(pstHeader, VW_RESULT_OK, pstCt, pstBuf), -1);
        const std::string strArgs = ": invalid param, pstHeader[" + Ptr(pstHeader) + "] pstCtInt[" + Ptr(pstCt) +
                                    "] pstBuf[" + Ptr(pstBuf) + "]";
        EXPECT_EQ(m_log.Texts(), (std::vector<std::string>{"[KXAPI]:FormatCommonResponse<char*>" + strArgs,
                                                           "[KXAPI]:FormatCommonStatus" + strArgs}));
        ExpectLogFrame(m_log.Records()[0], 3, kFileBusiness);
        ExpectLogFrame(m_log.Records()[1], 3, kFileCommon);
    }
    EXPECT_EQ(buf.Calls(), 0);
    EXPECT_STREQ(m_stCt.pRspBody, "pending");
    free(m_stCt.pRspBody);
}

TEST_F(LibraryTest, LockBodyCarriesStatus108AndTheRemainingTime)
{
    SetUrl("/LAPI/V1.0/System/Login");
    const std::pair<unsigned long long, const char*> aCases[] = {
        {300, "300"}, {0, "0"}, {1ULL << 63, "-9223372036854775808"}, {~0ULL, "-1"}}; // a signed 64-bit number
    for (const auto& [ullRemain, pszShown] : aCases) {
        g_ullRemain = ullRemain;
        m_log.Clear();
        FakeResponseBuffer buf(ullRemain == 0 ? -1 : 0); // and a failing Copy2Buf, once
        EXPECT_EQ(KxapiHttpAuthLockRsptContent(m_pstClient.get(), buf.Buf()), ullRemain == 0 ? -1 : 0);
        EXPECT_EQ(g_pstAskedFor, m_pstClient.get());
        const std::string strBody = "{ \"IpLockStatus\": " +
                                    StatusBody("/LAPI/V1.0/System/Login", 108, "The user is locked") +
                                    ", \"remainTime\": " + pszShown + " }";
        EXPECT_EQ(buf.Data() + "|" + buf.Lengths(), strBody + "|" + std::to_string(strBody.size()) + "+NUL ");
        EXPECT_EQ(m_log.Texts(), ullRemain != 0 ? std::vector<std::string>{}
                                                : std::vector<std::string>{
                                                      "[KXAPI]:KxapiHttpAuthLockRsptContent: Copy2Buf fail, dataLen[" +
                                                      std::to_string(strBody.size()) + "]"});
    }
    g_pstAskedFor = nullptr;
    m_log.Clear();
    EXPECT_EQ(KxapiHttpAuthLockRsptContent(m_pstClient.get(), nullptr), -1);
    ExpectLogFrame(m_log.One("[KXAPI]:KxapiHttpAuthLockRsptContent: invalid param, pstClient[" +
                             Ptr(m_pstClient.get()) + "] pstBuf[(nil)]"),
                   3, kFileCommon);
    EXPECT_EQ(g_pstAskedFor, nullptr) << "the host was asked for a refused request";
}

// The JSON layer hands json-c's nodes through; a null key or object leaves the item with the caller.
TEST(JsonLayer, NumbersObjectsAndArrays)
{
    json_object* pstRoot = cJSON_CreateObject();
    json_object* pstArr = cJSON_CreateArray();
    for (json_object* pstItem :
         {cJSON_CreateString("a/b"), cJSON_CreateNumber(0.1f), cJSON_CreateNumber(4294967295u),
          cJSON_CreateNumber(4294967295ul), cJSON_CreateNumber(9223372036854775808ULL), cJSON_CreateNull()}) {
        cJSON_AddItemToArray(pstArr, pstItem);
    }
    cJSON_AddItemToObject(pstRoot, "list", pstArr);
    cJSON_AddItemToObject(pstRoot, nullptr, pstArr);
    cJSON_AddItemToObject(nullptr, "k", pstArr);
    EXPECT_STREQ(cJSON_Print(pstRoot),
                 "{ \"list\": [ \"a\\/b\", 0.100000, -1, 4294967295, -9223372036854775808, null ] }");
    EXPECT_EQ(
        cJSON_GetArraySize(cJSON_GetObjectItem(pstRoot, "list")) * 10 + (cJSON_GetArrayItem(pstArr, 6) == nullptr), 61);
    cJSON_Delete(pstRoot);
}

const std::string kNoEqual = "[KXAPI]:There is not = in the param:";

TEST_F(LibraryTest, GrammarLimitsAndLines)
{
    const std::string k31(31, 'k');
    const std::string v63(63, 'v');
    const std::pair<std::string, std::string> aCases[] = {
        {"", "0:"},
        {"a=1&b=2", "0:a=1;b=2;"},
        {"a=1&", "0:a=1;"},
        {"a=1&a=2", "0:a=1;"},
        {"a=b=c", "0:a=b=c;"},
        {"a", "4:"},
        {"=1", "4:"},
        {"a=", "4:"},
        {"a= ", "4:"},
        {"a=1&&b=2", "4:a=1;"},
        {"a=1&b&c=3", "4:a=1;"},
        {"name=x%20y&x=a+b", "0:name=x y;x=a+b;"},
        {"q=a?b+c", "0:q=a?b+c;"}, // a '+' stays one after a '?' too
        {"n%41me=%2f%2F", "0:nAme=//;"},
        {"a=x y&b=2", "0:a=x;b=2;"},
        {"a= \tx&b=2", "0:a=x;b=2;"},
        {" a=1", "0: a=1;"},
        {"a=1&name=%zz&c=3", "1:a=1;"},
        {"%zz=1", "1:"},
        {"a=%4", "1:"},
        // The limits count encoded characters: an escape is three of them before decoding.
        {k31 + "=1", "0:" + k31 + "=1;"},
        {k31 + "k=1", "4:"},
        {"a=" + v63, "0:a=" + v63 + ";"},
        {"a=" + v63 + "v", "4:"},
        {std::string(28, 'k') + "%41=1", "0:" + std::string(28, 'k') + "A=1;"},
        {std::string(29, 'k') + "%41=1", "4:"},
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
}

// Every integer member takes the leading number of the text and logs it; no number leaves the
// output alone. long is 32 bits on the camera: it wraps modulo 2^32, sign-extended, everywhere.
template <typename T>
class IntegerReadTest : public LibraryTest {
};
using IntegerTypes = ::testing::Types<long long, unsigned long long, long, int, unsigned int, short, unsigned short>;
TYPED_TEST_SUITE(IntegerReadTest, IntegerTypes);

TYPED_TEST(IntegerReadTest, LeadingNumberOrNothing)
{
    std::map<std::string, std::string> mapCases = {{"  12abc", "12"}, {"abc", ""}, {"", ""}, {"-", ""}, {"+x", ""}};
    if (static_cast<TypeParam>(-1) < 0) {
        mapCases.emplace("-5", "-5");
    }
    if (std::is_same_v<TypeParam, long>) { // the camera's width, whatever the host's
        mapCases.insert({{"4294967295", "-1"}, {"4294967297", "1"}, {"-2147483649", "2147483647"}});
    }
    for (const auto& [strText, strShown] : mapCases) {
        this->m_pstHeader->mapQueryParam = {{"n", strText}};
        this->m_log.Clear();
        TypeParam value = 5;
        EXPECT_EQ(GetURIQueryParamByKey<TypeParam>(this->m_pstHeader.get(), "n", &value), strShown.empty() ? 4 : 0);
        EXPECT_EQ(std::to_string(value), strShown.empty() ? "5" : strShown) << strText;
        LogRecord stRec = this->m_log.Records().at(0);
        EXPECT_EQ(stRec.strText.substr(0, strShown.empty() ? 44 : std::string::npos),
                  strShown.empty() ? "[KXAPI]:[sscanf_s] expect Ret 0, actual Ret "
                                   : "[KXAPI]:Get Query Para key:n, value:" + strShown);
        ExpectLogFrame(stRec, strShown.empty() ? 3 : 1, kFileBusiness);
    }
    this->m_log.Clear();
    TypeParam value = 7;
    EXPECT_EQ(GetURIQueryParamByKey<TypeParam>(this->m_pstHeader.get(), "ID", &value), 1);
    EXPECT_EQ(value, 7);
    EXPECT_EQ(this->m_log.Texts(), (std::vector<std::string>{"[KXAPI]:key:ID not exist", "[KXAPI]:key:ID get failed"}));
}

TEST_F(LibraryTest, TextReads)
{
    m_pstHeader->mapQueryParam = {{"id", "42"}, {"s", "abcd"}};
    std::string strValue = "before";
    EXPECT_EQ(GetURIQueryParam(m_pstHeader.get(), "id", strValue), 0);
    EXPECT_EQ(GetURIQueryParam(m_pstHeader.get(), "ID", strValue), 1); // case-sensitive; emptied
    EXPECT_EQ(GetURIQueryParam(nullptr, "id", strValue), 1);
    EXPECT_EQ(m_log.Texts(),
              (std::vector<std::string>{"[KXAPI]:key:ID not exist", "[KXAPI]:Invalid param, pstHeader[(nil)]"}));
    ExpectLogFrame(m_log.Records().at(1), 3, kFileBusiness);
}

TEST_F(LibraryTest, RoutingAndUriIds)
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
    } aCases[] = {// the longest pattern occurring anywhere, case-sensitively; the earliest on ties
                  {"/a/b/c", astNested, 2, 2},
                  {"/a/c", astNested, 2, 1},
                  {"/a/b/c", astNested, 1, 1},
                  {"/cd/ab", astTie, 3, 7},
                  {"/xabcx/y", astInside, 3, 9},
                  {"/v?x=/Video", astInside, 4, 3},
                  {"", astNested, 2, INNER_CMD_INVALID},
                  {"/a", nullptr, 1, INNER_CMD_INVALID},
                  {"/a", astNested, 0, INNER_CMD_INVALID},
                  {"/b", astInside, 2, INNER_CMD_INVALID},
                  {"/A/", astNested, 1, INNER_CMD_INVALID}};
    for (auto c : aCases) {
        EXPECT_EQ(GetInnerCmdByUrl(c.strUrl.data(), c.pstTable, c.uiNum), c.iCmd) << c.strUrl;
    }
    // Only a lookup in a usable table that finds nothing is worth a line.
    EXPECT_EQ(m_log.Texts(),
              (std::vector<std::string>{"[KXAPI]:Unsupported Request URL[/a]", "[KXAPI]:Unsupported Request URL[/b]",
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
    EXPECT_EQ(strGot + std::to_string(GetAndCheckURIIDValue(nullptr, llValue, 1, 0, 10)),
              "-1:0 0:1 0:10 -1:11 -1:-5-1");
    EXPECT_EQ(m_log.Count("[KXAPI]:Wrong URL ID!\n"), 2u);
    EXPECT_EQ(m_log.Count("[KXAPI]:GetAndCheckURIIDValue: GetURIIDValue fail, num:101!\n"), 1u);
    EXPECT_EQ(m_log.Count("[KXAPI]:NULL pointer in GetAndCheckURIIDValue!\n"), 1u);
}

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
        bool bSound = m_pstList->pstHead->pData == nullptr && pstLast == m_pstList->pstTail &&
                      n == m_pstList->ullNodeCount;
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
    EXPECT_EQ(MutexLock(m_pstList->pMutex), 0);
    EXPECT_EQ(MutexUnlock(m_pstList->pMutex), 0);
    const struct {
        std::vector<int> input;
        int iKey;
        int iDeleteAll;
        long long llExpected;
        const char* pszRemaining;
        const char* pszCalls;
    } aCases[] = {
        {{1, 2, 2, 3, 2}, 2, 0, 0, "1 2 3 2 77 ", "=1=2~2"},       // stops at the first match
        {{1, 2, 2, 3, 2}, 2, 1, 0, "1 3 77 ", "=1=2~2=2~2=3=2~2"}, // adjacent runs and the last node
        {{2, 2}, 2, 1, 0, "77 ", "=2~2=2~2"},                      // everything: the tail is the head again
        {{5, 9}, 9, 0, 0, "5 77 ", "=5=9~9"},                      // the tail: its predecessor becomes the tail
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
    Fill({4, 5});
    EXPECT_EQ(OCL_DeleteFirstNode(m_pstList, Release), 0);
    EXPECT_EQ(OCL_DeleteFirstNode(m_pstList, nullptr), 0);
    EXPECT_EQ(OCL_DeleteFirstNode(m_pstList, Release), -1);
    EXPECT_EQ(Walk() + g_strCalls, "~4");

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

    // A selection sort over element pointers: compare(j, selected) for every later node j, then one
    // exchange per position.
    Fill({3, 1, 2});
    OCLIST_NODE* pstFirst = m_pstList->pstHead->pstNext;
    OCL_Sort(m_pstList, Less);
    EXPECT_EQ(Walk() + "|" + g_strCalls, "1 2 3 |1<3 2<1 2<3 ");
    EXPECT_EQ(m_pstList->pstHead->pstNext, pstFirst); // nodes stay, elements move
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

// The body is the file, the 32-character boundary twice, the name twice, the type once and 101
// bytes of framing; the file is made read-only. A path that does not resolve writes user value,
// name and path only (4); one that cannot be opened has type and boundary written too (-1). Tests
// run as root, so what cannot be opened is a Unix socket file: opening it fails for every user.
TEST_F(LibraryTest, DownloadInfo)
{
    ASSERT_EQ(symlink(File("target", 10).c_str(), m_dir.File("link").c_str()), 0);
    std::string strStored = File(std::string(127 - m_dir.Path().size(), 'p'), 4); // 128 characters kept
    ASSERT_EQ(symlink(m_dir.File("loop").c_str(), m_dir.File("loop").c_str()), 0);
    int iFd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un stAddr{AF_UNIX, {}};
    snprintf(stAddr.sun_path, sizeof(stAddr.sun_path), "%s", m_dir.File("sock").c_str());
    ASSERT_EQ(bind(iFd, reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr)) + close(iFd), 0);
    const struct {
        std::string strPath;
        std::string strName;
        int nUserData;
        int iResult;
        unsigned long long ullFile; // and the body length
    } aCases[] = {
        {File("a", 0), "a.jpg", 0, 0, 0},
        {File("b", 1000), std::string(200, 'n'), INT_MIN, 0, 1000}, // stored cut, counted whole
        {m_dir.File("link"), "", INT_MAX, 0, 10},                   // examined through its target
        {strStored + "-not-there", "n", 1, 0, 4},
        {m_dir.File("missing"), "n", 9, 4, 0},
        {m_dir.File("loop"), "n", 9, 4, 0},
        {m_dir.File("a") + "/below", "n", 9, 4, 0},
        {m_dir.Path() + "/" + std::string(200, 'q'), "n", 9, 4, 0},
        {"", "n", 9, 4, 0},
        {m_dir.File("sock"), "n", 9, -1, 0},
    };
    for (const auto& c : aCases) {
        SCOPED_TRACE(c.strPath);
        KXAPI_DOWNLOAD_FILE_INFO_S stInfo;
        memset(&stInfo, 0x5A, sizeof(stInfo));
        m_log.Clear();
        ASSERT_EQ(FillDownloadInfo(&stInfo, c.strPath.c_str(), "text/plain", c.strName.c_str(), c.nUserData),
                  c.iResult);
        EXPECT_EQ(std::string(stInfo.szPath) + "|" + stInfo.szName + "|" + std::to_string(stInfo.nUserData),
                  c.strPath.substr(0, 128) + "|" + c.strName.substr(0, 128) + "|" + std::to_string(c.nUserData));
        const std::string strBoundary(stInfo.szBoundary, c.iResult == 4 ? 1 : 33);
        EXPECT_EQ(strBoundary.find_first_not_of("0123456789abcdef"), c.iResult == 4 ? 0 : 32U) << strBoundary;
        EXPECT_EQ(std::string(stInfo.szType, c.iResult == 4 ? 1 : 11),
                  c.iResult == 4 ? "Z" : std::string("text/plain", 11));
        const unsigned long long ullLen = c.ullFile + 64 + 2 * c.strName.size() + 10 + 101;
        EXPECT_EQ(stInfo.ullBodyLen, c.iResult == 0 ? ullLen : 0x5A5A5A5A5A5A5A5AULL);
        EXPECT_EQ(stInfo.bValid, c.iResult == 0 ? 1 : 0x5A5A5A5A);
        const std::string strLast = c.iResult == 0 ? "[KXAPI]:File Len: " + std::to_string(c.ullFile) +
                                                         ", HTTP Body Len " + std::to_string(ullLen)
                                    : c.iResult == 4 ? "[KXAPI]:Get realpath failed!"
                                                     : "[KXAPI]:Open file fail " + c.strPath;
        EXPECT_EQ(m_log.Texts().back(), strLast);
        ExpectLogFrame(m_log.Records().back(), c.iResult == 0 ? 1 : 3, kFileBusiness);
        EXPECT_TRUE(c.iResult == 4 || m_log.Texts().front() == "[KXAPI]:Boundary : " + strBoundary.substr(0, 32));
    }
    struct stat st {};
    ASSERT_EQ(stat(m_dir.File("target").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0400U);

    KXAPI_DOWNLOAD_FILE_INFO_S stInfo{};
    const char* pszPath = "/x";
    m_log.Clear();
    EXPECT_EQ(FillDownloadInfo(&stInfo, pszPath, nullptr, pszPath, 5), -1);
    EXPECT_EQ(stInfo.nUserData, 0) << "a refused call writes nothing";
    char szExpected[256];
    snprintf(szExpected, sizeof(szExpected),
             "[KXAPI]:FillDownloadInfo: invalid param, pstDownloadInfo[%p] pszPath[%p] pszType[(nil)] pszName[%p]",
             static_cast<void*>(&stInfo), static_cast<const void*>(pszPath), static_cast<const void*>(pszPath));
    EXPECT_EQ(m_log.Texts(), std::vector<std::string>{szExpected});
}

// Central European time, so the "no daylight saving" reading of REST texts shows.
TEST_F(LibraryTest, TimeTextsAndSwitchModes)
{
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    const std::pair<std::string, long> aTexts[] = {
        {"2020/1/2 3:4:5", 1577930645},
        {"2020/01/02 03:04:05Z", 1577930645}, // text after the sixth number
        {"2020/13/01 00:00:00", 1609455600},
        {"2020/1/1 0:0:60", 1577833260},   // fields carry over
        {"2020/7/1 12:00:00", 1593601200}, // summer time read as winter time: an hour later
        {"2020-01-02 03:04:05", -1},
        {"2020/01/02", -1},
        {"", -1},
        {"2020/1/2 3:4", -1}};
    for (auto [strText, lExpected] : aTexts) {
        m_log.Clear();
        long lSeconds = -1;
        EXPECT_EQ(RestTransferTimeStrToSeconds(&lSeconds, strText.data()), lExpected == -1 ? -1 : 0) << strText;
        EXPECT_EQ(lSeconds, lExpected) << strText;
        EXPECT_EQ(m_log.Texts(), (std::vector<std::string>{
                                     "[KXAPI]:Transfer time string to seconds in!",
                                     lExpected == -1 ? "[KXAPI]:Incorrect Time Format(yyyy/MM/dd hh:ss:mm):" + strText
                                                     : "[KXAPI]:Transfer time string to seconds Return!"}));
        ExpectLogFrame(m_log.Records().at(1), lExpected == -1 ? 3 : 0, kFileBusiness);
    }
    std::string strText = "2020/1/2 3:4:5";
    long lSeconds = 0;
    EXPECT_EQ(RestTransferTimeStrToSeconds(nullptr, &strText[0]) + RestTransferTimeStrToSeconds(&lSeconds, nullptr),
              -2);

    auto Mode = [](int i) { return static_cast<CAM_COMMONMODE_SWITCH>(i); };
    for (auto [iFrom, iTo] : {std::make_pair(0, 1), {1, 0}, {2, 2}, {3, 3}, {4, -1}, {-1, -1}}) {
        CAM_COMMONMODE_SWITCH enOut = Mode(99);
        CAM_COMMONMODE_SWITCH enBack = Mode(99);
        EXPECT_EQ(TransSwitchModeToRestFormat(Mode(iFrom), &enOut) + TransRestFormatToSwitchMode(&enBack, Mode(iFrom)),
                  iTo < 0 ? -2 : 0);
        EXPECT_EQ(enOut * 1000 + enBack, iTo < 0 ? 99099 : iTo * 1001);
        EXPECT_EQ(m_log.Count("[KXAPI]:current switch:" + std::to_string(iFrom) + " may be not supported"),
                  iTo < 0 ? 2U : 0U);
    }
    m_log.Clear();
    EXPECT_EQ(TransSwitchModeToRestFormat(Mode(4), nullptr) + TransRestFormatToSwitchMode(nullptr, Mode(0)), -2);
    EXPECT_EQ(m_log.Texts(), (std::vector<std::string>{"[KXAPI]:null pointer", "[KXAPI]:null pointer"}));
    ExpectLogFrame(m_log.Records()[0], 3, kFileBusiness);
}

// The tables are read and written at raw byte positions, as the host lays them out: slot number at
// 0, status at 8, expiry at 32, 21208 bytes a record.
template <typename T>
T& At(char* pszTable, int iRecord, size_t uPos)
{
    return *reinterpret_cast<T*>(pszTable + iRecord * 21208 + uPos);
}

TEST_F(LibraryTest, SubscriberTablesAndIpCheck)
{
    static_assert(sizeof(g_szSubscribeInfo) == 169664 && sizeof(g_szOpxSubscribeInfo) == 169664, "table sizes");
    char* const apszTables[] = {g_szSubscribeInfo, g_szOpxSubscribeInfo};
    std::string strExpected(169664, static_cast<char>(0xA5)); // nothing else is touched
    for (int i = 0; i < 8; ++i) {
        At<uint64_t>(&strExpected[0], i, 0) = static_cast<uint64_t>(i) + 1;
        At<uint32_t>(&strExpected[0], i, 8) = 0;
    }
    for (char* pszTable : apszTables) {
        memset(pszTable, 0xA5, 169664);
    }
    ASSERT_EQ(InitSubscribeInfo(), 0);
    for (char* pszTable : apszTables) {
        EXPECT_EQ(memcmp(pszTable, strExpected.data(), strExpected.size()), 0);
    }
    EXPECT_EQ(g_enRestProtocol, 2);

    // A record stays live through its expiry second. The sweep reads the clock once; a run that
    // straddles a second change is repeated, so the boundary is seen exactly.
    const long long aExpire[8] = {-1, 0, 1, 0, -5, INT_MIN, INT_MAX, -3600}; // relative to now up to 2, and 7
    const char* const pszLive = "01100010";
    time_t now = 0;
    for (int iTry = 0; iTry < 5 && (iTry == 0 || time(nullptr) != now); ++iTry) {
        now = time(nullptr);
        for (int t = 0; t < 2; ++t) {
            for (int i = 0; i < 8; ++i) { // the second table in reverse: each record is judged alone
                int k = t == 0 ? i : 7 - i;
                At<int32_t>(apszTables[t], i, 32) = static_cast<int32_t>(aExpire[k] + (k < 3 || k == 7 ? now : 0));
                At<uint32_t>(apszTables[t], i, 8) = 0xC0DE0000U + static_cast<uint32_t>(i);
            }
        }
        UpdateSubscriberInfo();
    }
    ASSERT_EQ(time(nullptr), now);
    for (int t = 0; t < 2; ++t) {
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(At<uint32_t>(apszTables[t], i, 8), pszLive[t == 0 ? i : 7 - i] == '1' ? 0xC0DE0000U + i : 0U)
                << t << i;
            EXPECT_EQ(At<uint64_t>(apszTables[t], i, 0), static_cast<uint64_t>(i) + 1);
        }
    }

    std::string strValid;
    for (const char* psz :
         {"192.168.0.1", "0.0.0.0",    "255.255.255.255", "01.02.03.04", "00.0.0.99", "199.249.250.100",
          "256.1.1.1",   "001.1.1.1",  "1.1.1",           "1.1.1.1 ",    " 1.1.1.1",  "",
          "1.1.1.1.1",   "1.1.1.256",  "1..1.1",          "a.b.c.d",     "1.1.1.1\n", "-1.1.1.1",
          "260.0.0.1",   "1.1.1.0255", "1,1,1,1",         "1a1.1.1"}) {
        strValid += std::to_string(CheckIpAddress(psz));
    }
    EXPECT_EQ(strValid, "1111110000000000000000");
    EXPECT_TRUE(m_log.Records().empty());
    EXPECT_EQ(CheckIpAddress(nullptr) + CreateJsonFilter(nullptr), 0);
    ExpectLogFrame(m_log.One("[KXAPI]:pointer is null !"), 3, kFileCommon);
}

TEST_F(LibraryTest, BlocksMutexesAndRandomStrings)
{
    auto* puc = static_cast<unsigned char*>(memset(malloc(16), 0x11, 16));
    EXPECT_EQ(KxapiRealloc(puc, 16, 8), puc); // never shrinks
    EXPECT_EQ(KxapiRealloc(puc, INT_MAX - 16, INT_MAX - 16), puc);
    EXPECT_EQ(KxapiRealloc(puc, 16, INT_MAX - 15), nullptr);
    EXPECT_EQ(KxapiRealloc(puc, -5, 32), nullptr);
    EXPECT_EQ(m_log.Texts(), (std::vector<std::string>{"[KXAPI]:KxapiRealloc fail, nNewSize:2147483632.",
                                                       "[KXAPI]:KxapiRealloc fail, nOldSize:4294967291."}));
    EXPECT_EQ(KxapiRealloc(nullptr, 16, 0), nullptr);
    puc = static_cast<unsigned char*>(KxapiRealloc(puc, 16, 24)); // the old block is freed
    EXPECT_EQ(std::string(reinterpret_cast<char*>(puc), 24), std::string(16, '\x11') + std::string(8, '\0'));
    VW_free(puc); // the same heap as VW_malloc

    EXPECT_EQ(VW_malloc(0), VW_malloc(-5));
    puc = static_cast<unsigned char*>(VW_malloc(64));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(puc), 64), std::string(64, '\0'));
    VW_free(puc);
    EXPECT_EQ(DestroyMutex(nullptr) + MutexLock(nullptr) + MutexUnlock(nullptr), 6);
    void* pMutex = CreateMutex();
    ASSERT_NE(pMutex, nullptr);
    EXPECT_EQ(MutexLock(pMutex), 0);
    EXPECT_EQ(MutexUnlock(pMutex), 0);
    EXPECT_EQ(DestroyMutex(pMutex), 0);

    // 8 random characters per 4 random bytes, (len + 1) / 2 bytes asked for; the rest is '0'.
    const struct {
        unsigned long long ullLen;
        RANDOM_STR_TYPE enKind;
        size_t uRandom;
    } aCases[] = {{4, RANDOM_STR_TYPE_HEX, 0},  {6, RANDOM_STR_TYPE_HEX, 0},   {7, RANDOM_STR_TYPE_HEX, 7},
                  {10, RANDOM_STR_TYPE_HEX, 8}, {20, RANDOM_STR_TYPE_DEC, 16}, {1023, RANDOM_STR_TYPE_HEX, 1023}};
    int aiLastDrawn[std::size(aCases)] = {}; // draws whose last random character is not the filler
    for (int iDraw = 0; iDraw < 50; ++iDraw) {
        for (const auto& c : aCases) {
            std::string strOut(c.ullLen + 8, '#');
            ASSERT_EQ(GetDevRandomString(strOut.data(), c.ullLen, c.enKind), 0) << c.ullLen;
            EXPECT_EQ(strOut.substr(c.ullLen), std::string(1, '\0') + std::string(7, '#')) << "nothing after the NUL";
            EXPECT_EQ(strOut.find_first_not_of(c.enKind == RANDOM_STR_TYPE_HEX ? "0123456789abcdef" : "0123456789"),
                      c.ullLen);
            EXPECT_EQ(strOut.substr(c.uRandom, c.ullLen - c.uRandom), std::string(c.ullLen - c.uRandom, '0'));
            aiLastDrawn[&c - aCases] += c.uRandom > 0 && strOut[c.uRandom - 1] != '0' ? 1 : 0;
        }
    }
    for (size_t i = 0; i < std::size(aCases); ++i) {
        EXPECT_EQ(aiLastDrawn[i] > 0, aCases[i].uRandom > 0) << "length " << aCases[i].ullLen;
    }
    char szOut[2048] = "#";
    EXPECT_EQ(GetDevRandomString(nullptr, 32, RANDOM_STR_TYPE_HEX) + GetDevRandomString(szOut, 3, RANDOM_STR_TYPE_HEX) +
                  GetDevRandomString(szOut, 1024, RANDOM_STR_TYPE_HEX) +
                  GetDevRandomString(szOut, 32, static_cast<RANDOM_STR_TYPE>(2)),
              -4);
    KxPlatformFailRandom(1);
    EXPECT_EQ(GetDevRandomString(szOut, 32, RANDOM_STR_TYPE_HEX), -1);
    EXPECT_EQ(szOut[0], '#') << "output untouched on failure";
    KxPlatformFailRandom(1);
    EXPECT_EQ(GetUrandomString(nullptr, 4) + GetUrandomString(szOut, 4) + GetUrandomString(szOut, 16), -2);
}

} // namespace
