// The library's own services, each against real files, real json-c and the stand-in's log sink:
// status texts and bodies byte for byte and who owns a pending body; query strings, typed reads,
// routing and URI IDs; the common list; download descriptions, time texts and switch modes, the
// subscriber tables at the host's byte positions, the IPv4 check, blocks, mutexes, random strings.
#include "kxapicommon.h"
#include "kxplatform.h"
#include "log_capture.h"
#include "response_buffer.h"
#include "temp_dir.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

bool g_bMutexInitFails = false; // the next pthread_mutex_init fails, as it may where resources run out

// Every pthread_mutex_init of the process comes here first; the library's too.
extern "C" int pthread_mutex_init(pthread_mutex_t* pMutex, const pthread_mutexattr_t* pAttr)
{
    static const auto pfnReal = reinterpret_cast<int (*)(pthread_mutex_t*, const pthread_mutexattr_t*)>(
        dlsym(RTLD_NEXT, "pthread_mutex_init"));
    return std::exchange(g_bMutexInitFails, false) ? EAGAIN : pfnReal(pMutex, pAttr);
}

namespace {

unsigned long long g_ullRemain = 0;
tagHTTP_CLIENT_S* g_pstAskedFor = nullptr;

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
};

// Both forms send the same status body: URL cut at 255, status text at 127, the NUL not counted.
// FormatCommonResponse sends and frees a pending body whatever the result; FormatCommonStatus
// leaves it with the host. Only -1 from Copy2Buf is a failure. Null arguments change nothing.
TEST_F(LibraryTest, StatusTextsAndBodies)
{
    EXPECT_EQ(std::string(GetStatusString(0)) + "|" + GetStatusString(-1) + "|" + GetStatusString(18) + "|" +
                  GetStatusString(2115),
              "OK|Failure|Failed to allocate resource|Face algorithm disable ");
    for (long long llCode : {25LL, -2LL, 4294967296LL, -4294967296LL, 9223372036854775807LL}) {
        EXPECT_EQ(Outcome(GetStatusString(llCode)),
                  "common error status code. E common common error status code[" + std::to_string(llCode) + "]\n");
    }

    tagHTTP_HEADER_S* h = m_pstHeader.get();
    const std::tuple<std::string, int, int> aCases[] = {
        {"/LAPI/V1.0", 0, 0}, {"/a", 108, 5}, {"/a", 25, 0}, {"/x", 2200, -1}, {std::string(300, 'u'), 4, 0}};
    for (const auto& [strUrl, iCode, iAnswer] : aCases) {
        snprintf(h->szUrl, sizeof(h->szUrl), "%s", strUrl.c_str());
        const auto enResult = static_cast<VW_RESULT_TYPE>(iCode);
        const std::string strBody = StatusBody(strUrl.substr(0, 255), iCode,
                                               std::string(GetStatusString(iCode)).substr(0, 127));
        const std::string strLen = std::to_string(strBody.size());
        m_log.Clear();
        char* pszText = json_encode(FillResponseStatusParam(h, enResult));
        EXPECT_EQ(pszText, strBody); // a heap block of exactly the body
        free(pszText);
        m_stCt.pRspBody = strdup("{\"Data\":1}");
        ResponseBuffer buf(iAnswer);
        const int iExpected = iAnswer == -1 ? -1 : 0;
        EXPECT_EQ(FormatCommonStatus(h, enResult, &m_stCt, &buf.stBuf), iExpected);
        // The pending body goes out second, so the status call left it; taken and freed by that call
        // (the leak checkers watch), the next call sends the status again.
        EXPECT_EQ(FormatCommonResponse<char*>(h, static_cast<VW_RESULT_TYPE>(17), &m_stCt, &buf.stBuf), iExpected);
        EXPECT_EQ(FormatCommonResponse<char*>(h, enResult, &m_stCt, &buf.stBuf), iExpected);
        const std::string strUnknown = "E common common error status code[25]\n", strFail = ": Copy2Buf fail, dataLen[";
        EXPECT_EQ(Outcome(buf.Data() + "|" + buf.szLengths),
                  strBody + "{\"Data\":1}" + strBody + "|" + strLen + "+NUL 10+NUL " + strLen + "+NUL  " +
                      (iCode == 25     ? strUnknown + strUnknown + strUnknown
                       : iAnswer != -1 ? ""
                                       : "E common FormatCommonStatus" + strFail + strLen +
                                             "]\nE business FormatCommonResponse<char*>" + strFail +
                                             "10]\nE business FormatCommonResponse<char*>" + strFail + strLen + "]\n"));
    }
    KXAPI_RESPONSE stRsp = FillResponseStatusParam(nullptr, VW_RESULT_FAILURE);
    EXPECT_EQ(Outcome(std::string(stRsp.ResponseStatus.RequestURL) + "|" + stRsp.ResponseStatus.StatusString +
                      std::to_string(stRsp.ResponseStatus.StatusCode)),
              "|Failure-1 E common [strncpy_s] expect Ret 0, actual Ret 150.\n");

    ResponseBuffer buf;
    m_stCt.pRspBody = strdup("pending");
    const std::tuple<tagHTTP_HEADER_S*, tagHTTP_CNTENT_INTER_S*, tagHTTP_BUF_S*> aNulls[] = {
        {nullptr, &m_stCt, &buf.stBuf}, {h, nullptr, &buf.stBuf}, {h, &m_stCt, nullptr}};
    for (const auto& [pstHeader, pstCt, pstBuf] : aNulls) {
        const std::string strArgs = ": invalid param, pstHeader[" + Ptr(pstHeader) + "] pstCtInt[" + Ptr(pstCt) +
                                    "] pstBuf[" + Ptr(pstBuf) + "]\n";
        EXPECT_EQ(Outcome(FormatCommonResponse<char*>(pstHeader, VW_RESULT_OK, pstCt, pstBuf)),
                  "-1 E business FormatCommonResponse<char*>" + strArgs);
        EXPECT_EQ(Outcome(FormatCommonStatus(pstHeader, VW_RESULT_OK, pstCt, pstBuf)),
                  "-1 E common FormatCommonStatus" + strArgs);
    }
    EXPECT_EQ(buf.iCalls, 0);
    EXPECT_STREQ(m_stCt.pRspBody, "pending");
    free(m_stCt.pRspBody);
}

TEST_F(LibraryTest, LockBodyCarriesStatus108AndTheRemainingTime)
{
    snprintf(m_pstClient->stReqHeader.szUrl, sizeof(m_pstClient->stReqHeader.szUrl), "/LAPI/V1.0/Login");
    const std::pair<unsigned long long, const char*> aCases[] = {
        {300, "300"}, {0, "0"}, {1ULL << 63, "-9223372036854775808"}, {~0ULL, "-1"}}; // a signed 64-bit number
    for (const auto& [ullRemain, pszShown] : aCases) {
        g_ullRemain = ullRemain;
        ResponseBuffer buf(ullRemain == 0 ? -1 : 0); // and a failing Copy2Buf, once
        const int iRet = KxapiHttpAuthLockRsptContent(m_pstClient.get(), &buf.stBuf);
        EXPECT_EQ(g_pstAskedFor, m_pstClient.get());
        const std::string strBody = "{ \"IpLockStatus\": " + StatusBody("/LAPI/V1.0/Login", 108, "The user is locked") +
                                    ", \"remainTime\": " + pszShown + " }";
        const std::string strLen = std::to_string(strBody.size());
        const std::string strFail = "-1 E common KxapiHttpAuthLockRsptContent: Copy2Buf fail, dataLen[" + strLen;
        EXPECT_EQ(Outcome(buf.Data() + "|" + buf.szLengths + "|" + std::to_string(iRet)),
                  strBody + "|" + strLen + "+NUL |" + (ullRemain != 0 ? "0 " : strFail + "]\n"));
    }
    g_pstAskedFor = nullptr;
    EXPECT_EQ(Outcome(KxapiHttpAuthLockRsptContent(m_pstClient.get(), nullptr)),
              "-1 E common KxapiHttpAuthLockRsptContent: invalid param, pstClient[" + Ptr(m_pstClient.get()) +
                  "] pstBuf[(nil)]\n");
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
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(pstRoot, "list")), 6);
    EXPECT_EQ(cJSON_GetArrayItem(pstArr, 6), nullptr);
    cJSON_Delete(pstRoot);
}

TEST_F(LibraryTest, GrammarLimitsAndLines)
{
    const std::string k31(31, 'k'), v63(63, 'v');
    // The limits count encoded characters: an escape is three of them before decoding. A pair text
    // of 96 characters fits, 97 do not; a '+' stays one, after a '?' too.
    const std::pair<std::string, std::string> aCases[] = {{"", "0:"},
                                                          {"a=1&b=2", "0:a=1;b=2;"},
                                                          {"a=1&", "0:a=1;"},
                                                          {"a=b=c", "0:a=b=c;"},
                                                          {"a", "4:"},
                                                          {"=1", "4:"},
                                                          {"a=", "4:"},
                                                          {"a=1&&b=2", "4:a=1;"},
                                                          {"q=a?b+c", "0:q=a?b+c;"},
                                                          {"n%41me=%2f%2F", "0:nAme=//;"},
                                                          {"a=x y&b=2", "0:a=x;b=2;"},
                                                          {"a= \tx&b=2", "0:a=x;b=2;"},
                                                          {" a=1", "0: a=1;"},
                                                          {"a=1&name=%4&c=3", "1:a=1;"},
                                                          {"%zz=1", "1:"},
                                                          {k31 + "=1", "0:" + k31 + "=1;"},
                                                          {k31 + "k=1", "4:"},
                                                          {"a=" + v63, "0:a=" + v63 + ";"},
                                                          {"a=" + v63 + "v", "4:"},
                                                          {std::string(29, 'k') + "%41=1", "4:"},
                                                          {k31 + "=" + v63 + " ", "0:" + k31 + "=" + v63 + ";"},
                                                          {k31 + "=" + v63 + "  &b=2", "4:"}};
    for (const auto& [strQuery, strExpected] : aCases) {
        EXPECT_EQ(Parse(strQuery), strExpected) << strQuery;
        const std::string strLines = "\n" + m_log.Lines(); // the common file's; an error line for a failure
        EXPECT_EQ(std::regex_replace(strLines, std::regex("\n[IDE] common [^\n{]*"), ""), "\n") << strLines;
        EXPECT_EQ(strLines.find("\nE ") != std::string::npos, strExpected[0] != '0') << strQuery;
    }
    // The cut pair: the copy's line, then an empty work buffer.
    EXPECT_EQ(m_log.Lines(),
              "E common [strncpy_s] expect Ret 0, actual Ret 162.\nE common There is not = in the param:.\n");
    // Every stored pair is logged with the value that stays; a failed reparse empties the map.
    EXPECT_EQ(Outcome(Parse("a=1&b=x%20y&a=2")), "0:a=1;b=x y; D common Query Para Parse key:a, value:1\n"
                                                 "D common Query Para Parse key:b, value:x y\n"
                                                 "D common Query Para Parse key:a, value:1\n");
    EXPECT_EQ(Outcome(Parse("b")), "4: E common There is not = in the param:b.\n");
    // One pair into the caller's 32- and 64-byte buffers, each cleared whole before it is filled:
    // nothing of what they held stays (a pair without a value leaves its buffer empty).
    const std::tuple<std::string, int, std::string, std::string> aPairs[] = {
        {"k=v&b=2", 0, "k", "v"}, {"k", 4, "k", ""}, {"", 1, "#", "#"}};
    for (const auto& [strPos, iRet, strKey, strValue] : aPairs) {
        std::string strK(32, '#'), strV(64, '#');
        EXPECT_EQ(QueryGetOnePair(const_cast<char*>(strPos.c_str()), &strK[0], &strV[0]), iRet) << strPos;
        EXPECT_EQ(strK, strKey + std::string(32 - strKey.size(), strKey == "#" ? '#' : '\0')) << strPos;
        EXPECT_EQ(strV, strValue + std::string(64 - strValue.size(), strValue == "#" ? '#' : '\0')) << strPos;
    }
    m_log.Clear();
    memset(m_pstHeader->szQuery, 'a', sizeof(m_pstHeader->szQuery));
    EXPECT_EQ(Outcome(URIQueryParamParse(m_pstHeader.get())), "4 E common query string is not terminated\n");
    EXPECT_EQ(Outcome(URIQueryParamParse(nullptr)), "1 E common Invalid param, pstHeader[(nil)]\n");
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
        TypeParam value = 5;
        const int iRet = GetURIQueryParamByKey<TypeParam>(this->m_pstHeader.get(), "n", &value);
        EXPECT_EQ(this->Outcome(std::to_string(iRet) + " " + std::to_string(value)),
                  strShown.empty() ? "4 5 E business [sscanf_s] expect Ret 0, actual Ret " +
                                         std::string(strText.empty() ? "-1" : "0") + ".\n"
                                   : "0 " + strShown + " D business Get Query Para key:n, value:" + strShown + "\n")
            << strText;
    }
    TypeParam value = 7;
    const int iRet = GetURIQueryParamByKey<TypeParam>(this->m_pstHeader.get(), "ID", &value);
    EXPECT_EQ(this->Outcome(std::to_string(iRet) + " " + std::to_string(value)),
              "1 7 D business key:ID not exist\nD business key:ID get failed\n");
}

// A missing key empties the value; a refused call leaves it.
TEST_F(LibraryTest, TextReads)
{
    m_pstHeader->mapQueryParam = {{"id", "42"}, {"s", "abcd"}};
    std::string strValue = "before", strGot;
    for (auto* pstHeader : {m_pstHeader.get(), m_pstHeader.get(), static_cast<tagHTTP_HEADER_S*>(nullptr)}) {
        const int iRet = GetURIQueryParam(pstHeader, strGot.empty() ? "id" : "ID", strValue); // case-sensitive
        strGot += std::to_string(iRet) + strValue + "|";
        strValue = "kept";
    }
    EXPECT_EQ(Outcome(strGot),
              "042|1|1kept| D business key:ID not exist\nE business Invalid param, pstHeader[(nil)]\n");
}

TEST_F(LibraryTest, RoutingAndUriIds)
{
    auto Cmd = [](int i) { return static_cast<VW_CMD_TYPE>(i); };
    const KXAPI_URI_TABLE astNested[] = {{"/a", Cmd(1)}, {"/a/b", Cmd(2)}};
    const KXAPI_URI_TABLE astTie[] = {{"/ab", Cmd(7)}, {"/cd", Cmd(8)}, {"/ab", Cmd(6)}};
    const KXAPI_URI_TABLE astInside[] = {{nullptr, Cmd(1)}, {"", Cmd(2)}, {"abc", Cmd(9)}, {"/Video", Cmd(3)}};
    // The longest pattern occurring anywhere, case-sensitively; the earliest on ties. Only a lookup
    // in a usable table that finds nothing is worth a line.
    const std::tuple<std::string, const KXAPI_URI_TABLE*, unsigned int, int> aCases[] = {
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
    for (auto [strUrl, pstTable, uiNum, iCmd] : aCases) {
        EXPECT_EQ(GetInnerCmdByUrl(strUrl.data(), pstTable, uiNum), iCmd) << strUrl;
    }
    EXPECT_EQ(Outcome(""), " E business Unsupported Request URL[/a]\nE business Unsupported Request URL[/b]\n"
                           "E business Unsupported Request URL[/A/]\n");

    tagHEADER_URI_ID_INFO_S& stIds = m_pstHeader->stUriIdInfo;
    stIds.uiIDCount = 3;
    for (int i = 0; i < KXAPI_URI_ID_MAX; ++i) {
        stIds.astId[i].llValue = (i + 1) * 10 - 20; // -10, 0, 10, 20 ...
    }
    long long llValue = 77;
    std::string strGot;
    auto Got = [&](int iRet) { strGot += std::to_string(iRet) + ":" + std::to_string(llValue) + " "; };
    for (unsigned int n : {1U, 2U, 3U, 4U, 0U}) { // numbered from one
        Got(GetURIIDValue(&stIds, n, llValue));
    }
    stIds.uiIDCount = 100;                  // a count beyond the record's entries never reads past them
    Got(GetURIIDValue(&stIds, 9, llValue)); // the record holds 8
    Got(GetURIIDValue(nullptr, 1, llValue));
    for (long long llId : {0LL, 1LL, 10LL, 11LL}) { // lower exclusive, upper inclusive; delivered even when out
        stIds.astId[1].llValue = llId;
        Got(GetAndCheckURIIDValue(m_pstHeader.get(), llValue, 2, 0, 10));
    }
    llValue = -5;
    Got(GetAndCheckURIIDValue(m_pstHeader.get(), llValue, 101, 0, 10));
    Got(GetAndCheckURIIDValue(nullptr, llValue, 1, 0, 10));
    EXPECT_EQ(Outcome(strGot), "1:-10 1:0 1:10 0:10 0:10 0:10 0:10 -1:0 0:1 0:10 -1:11 -1:-5 -1:-5  "
                               "E business GetURIIDValue uiNum[4] >= uiIDCount[3]\n"
                               "E business GetURIIDValue uiNum[0] >= uiIDCount[3]\n"
                               "E business GetURIIDValue uiNum[9] >= uiIDCount[100]\n"
                               "E business GetURIIDValue invalid param[(nil)]\n"
                               "E business Wrong URL ID!\n\nE business Wrong URL ID!\n\n"
                               "E business GetURIIDValue uiNum[101] >= uiIDCount[100]\n"
                               "E business GetAndCheckURIIDValue: GetURIIDValue fail, num:101!\n\n"
                               "E business NULL pointer in GetAndCheckURIIDValue!\n\n");
}

std::string g_strCalls; // what the callbacks saw, in call order

class ListTest : public LoggedTest {
protected:
    void TearDown() override { OCL_Destroy(m_pstList, nullptr); }
    static int Value(void* p) { return *static_cast<int*>(p); }
    static std::string Text(void* p) { return std::to_string(Value(p)); }
    // A callback notes what it saw before it answers; only 1 counts as yes.
    static int Saw(const std::string& strSeen, bool bYes) { return g_strCalls += strSeen, bYes ? 1 : 0; }
    static int EqualsKey(void* pData, void* pKey) { return Saw("=" + Text(pData), Value(pData) == Value(pKey)); }
    static int Less(void* a, void* b) { return Saw(Text(a) + "<" + Text(b) + " ", Value(a) < Value(b)); }
    static void Release(void* pData) { g_strCalls += "~" + Text(pData); }
    // The values from head to tail, or "broken" when the list's own record disagrees with its nodes.
    std::string Walk()
    {
        std::string strOut;
        const OCLIST_NODE* p = m_pstList->pstHead;
        unsigned long long n = 0;
        for (; p->pstNext != nullptr; p = p->pstNext, ++n) {
            strOut += Text(p->pstNext->pData) + " ";
        }
        const bool bSound = m_pstList->pstHead->pData == nullptr && p == m_pstList->pstTail &&
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

TEST_F(ListTest, OperationsKeepTheListSound)
{
    EXPECT_EQ(MutexLock(m_pstList->pMutex), 0);
    EXPECT_EQ(MutexUnlock(m_pstList->pMutex), 0);
    // The values, the key, whether all matches go, the result, what remains and what the callbacks saw.
    const std::tuple<std::vector<int>, int, int, long long, const char*, const char*> aCases[] = {
        {{1, 2, 2, 3, 2}, 2, 0, 0, "1 2 3 2 77 ", "=1=2~2"},       // stops at the first match
        {{1, 2, 2, 3, 2}, 2, 1, 0, "1 3 77 ", "=1=2~2=2~2=3=2~2"}, // adjacent runs and the last node
        {{2, 2}, 2, 1, 0, "77 ", "=2~2=2~2"},                      // everything: the tail is the head again
        {{5, 9}, 9, 0, 0, "5 77 ", "=5=9~9"},                      // the tail: its predecessor becomes the tail
        {{5, 9}, 4, 1, -1, "5 9 77 ", "=5=9"},
        {{5, 9}, 4, 0, -1, "5 9 77 ", "=5=9"},
        {{}, 4, 1, -1, "77 ", ""},
    };
    for (auto [vecValues, iKey, iDeleteAll, llExpected, pszRemaining, pszCalls] : aCases) {
        Fill(vecValues);
        EXPECT_EQ(OCL_DeleteForNode(m_pstList, &iKey, EqualsKey, Release, iDeleteAll), llExpected);
        int iNext = 77; // appending continues at the tail
        ASSERT_EQ(OCL_AddToTail(m_pstList, &iNext), 0);
        EXPECT_EQ(Walk() + "|" + g_strCalls, std::string(pszRemaining) + "|" + pszCalls) << iKey << iDeleteAll;
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
    int iKey = 2;
    OCLIST stNoTail = *m_pstList, stNoHead = *m_pstList;
    stNoTail.pstTail = stNoHead.pstHead = nullptr;
    OCLIST* l = m_pstList;
    const std::pair<long long, std::string> aCases[] = {
        {OCL_AddToTail(nullptr, &iKey), "null pointer!"},
        {OCL_AddToTail(l, nullptr), "null pointer!"},
        {OCL_AddToTail(&stNoTail, &iKey), "null pointer!"},
        {OCL_DeleteForNode(nullptr, &iKey, EqualsKey, Release, 1), "null pointer"},
        {OCL_DeleteForNode(l, nullptr, EqualsKey, Release, 1), "null pointer"},
        {OCL_DeleteForNode(&stNoHead, &iKey, EqualsKey, Release, 1), "null pointer"},
        {OCL_DeleteForNode(l, &iKey, nullptr, Release, 1), "null compare func pointer"},
        {OCL_DeleteFirstNode(nullptr, Release), "null pointer"},
        {OCL_DeleteFirstNode(&stNoHead, Release), "null pointer"},
        {(OCL_Sort(nullptr, Less), -1), "null pointer"},
        {(OCL_Sort(&stNoHead, Less), -1), "null pointer"},
        {(OCL_Sort(l, nullptr), -1), "null compare func pointer"},
        {(OCL_DeleteCurNode(l, l->pstHead, nullptr, Release), -1),
         "null pointer:" + Ptr(l) + ", " + Ptr(l->pstHead) + " , (nil)!"}, // names each of its pointers
    };
    OCL_Clear(nullptr, Release); // clearing nothing is not worth a line
    OCL_Clear(&stNoHead, Release);
    OCL_Destroy(nullptr, Release);
    std::string strLines;
    for (const auto& [llRet, strLine] : aCases) {
        EXPECT_EQ(llRet, -1) << strLine;
        strLines += "E list " + strLine + "\n";
    }
    EXPECT_EQ(m_log.Lines(), strLines);
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
    int iFd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un stAddr{AF_UNIX, {}};
    snprintf(stAddr.sun_path, sizeof(stAddr.sun_path), "%s", m_dir.File("sock").c_str());
    ASSERT_EQ(bind(iFd, reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr)), 0);
    close(iFd);
    // Path, name, user value, result, and the file's length when it is counted.
    const std::tuple<std::string, std::string, int, int, unsigned long long> aCases[] = {
        {File("a", 0), "a.jpg", 0, 0, 0},
        {File("b", 1000), std::string(200, 'n'), INT_MIN, 0, 1000}, // stored cut, counted whole
        {m_dir.File("link"), "", INT_MAX, 0, 10},                   // examined through its target
        {strStored + "-not-there", "n", 1, 0, 4},
        {m_dir.File("missing"), "n", 9, 4, 0},
        {"", "n", 9, 4, 0},
        {m_dir.File("sock"), "n", 9, -1, 0},
    };
    for (const auto& [strPath, strName, nUserData, iResult, ullFile] : aCases) {
        SCOPED_TRACE(strPath);
        KXAPI_DOWNLOAD_FILE_INFO_S stInfo;
        memset(&stInfo, 0x5A, sizeof(stInfo));
        const int iRet = FillDownloadInfo(&stInfo, strPath.c_str(), "text/plain", strName.c_str(), nUserData);
        EXPECT_EQ(std::string(stInfo.szPath) + "|" + stInfo.szName + "|" + std::to_string(stInfo.nUserData),
                  strPath.substr(0, 128) + "|" + strName.substr(0, 128) + "|" + std::to_string(nUserData));
        const std::string strBoundary(stInfo.szBoundary, 33);
        EXPECT_EQ(strBoundary.find_first_not_of("0123456789abcdef"), iResult == 4 ? 0 : 32U) << strBoundary;
        EXPECT_EQ(std::string(stInfo.szType, 11), std::string(iResult == 4 ? "ZZZZZZZZZZZ" : "text/plain", 11));
        const unsigned long long ullLen = ullFile + 64 + 2 * strName.size() + 10 + 101;
        EXPECT_EQ(stInfo.ullBodyLen, iResult == 0 ? ullLen : 0x5A5A5A5A5A5A5A5AULL);
        EXPECT_EQ(stInfo.bValid, iResult == 0 ? 1 : 0x5A5A5A5A);
        const std::string strBoundaryLine = "I business Boundary : " + strBoundary.substr(0, 32) + "\n";
        EXPECT_EQ(Outcome(iRet),
                  std::to_string(iResult) + " " +
                      (iResult == 4   ? "E business Get realpath failed!\n"
                       : iResult == 0 ? strBoundaryLine + "D business File Len: " + std::to_string(ullFile) +
                                            ", HTTP Body Len " + std::to_string(ullLen) + "\n"
                                      : strBoundaryLine + "E business Open file fail " + strPath + "\n"));
    }
    struct stat st {};
    ASSERT_EQ(stat(m_dir.File("target").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0400U);

    KXAPI_DOWNLOAD_FILE_INFO_S stInfo{};
    const char* pszPath = "/x";
    EXPECT_EQ(Outcome(FillDownloadInfo(&stInfo, pszPath, nullptr, pszPath, 5)),
              "-1 E business FillDownloadInfo: invalid param, pstDownloadInfo[" + Ptr(&stInfo) + "] pszPath[" +
                  Ptr(pszPath) + "] pszType[(nil)] pszName[" + Ptr(pszPath) + "]\n");
    EXPECT_EQ(stInfo.nUserData, 0) << "a refused call writes nothing";
}

// Central European time, so the "no daylight saving" reading of REST texts shows.
TEST_F(LibraryTest, TimeTextsAndSwitchModes)
{
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    const std::pair<std::string, long> aTexts[] = {
        {"2020/1/2 3:4:5", 1577930645},
        {"2020/01/02 03:04:05Z", 1577930645}, // text after the sixth number
        {"2020/13/01 00:00:00", 1609455600},  // fields carry over
        {"2020/7/1 12:00:00", 1593601200},    // summer time read as winter time: an hour later
        {"2020-01-02 03:04:05", -1},
        {"", -1},
        {"2020/1/2 3:4", -1}};
    for (auto [strText, lExpected] : aTexts) {
        long lSeconds = -1;
        const int iRet = RestTransferTimeStrToSeconds(&lSeconds, strText.data());
        EXPECT_EQ(Outcome(std::to_string(iRet) + " " + std::to_string(lSeconds)),
                  (lExpected == -1 ? "-1 -1" : "0 " + std::to_string(lExpected)) +
                      " I business Transfer time string to seconds in!\n" +
                      (lExpected == -1 ? "E business Incorrect Time Format(yyyy/MM/dd hh:ss:mm):" + strText
                                       : "I business Transfer time string to seconds Return!") +
                      "\n");
    }
    std::string strText = "2020/1/2 3:4:5";
    long lSeconds = 0;
    EXPECT_EQ(RestTransferTimeStrToSeconds(nullptr, &strText[0]), -1);
    EXPECT_EQ(RestTransferTimeStrToSeconds(&lSeconds, nullptr), -1);

    auto Mode = [](int i) { return static_cast<CAM_COMMONMODE_SWITCH>(i); };
    for (auto [iFrom, iTo] : {std::make_pair(0, 1), {1, 0}, {2, 2}, {3, 3}, {4, -1}, {-1, -1}}) {
        CAM_COMMONMODE_SWITCH enOut = Mode(99), enBack = Mode(99);
        const std::string strLine = "E business current switch:" + std::to_string(iFrom) + " may be not supported\n";
        const std::string strWant = iTo < 0 ? "-1 99 " + strLine : "0 " + std::to_string(iTo) + " ";
        const int iRest = TransSwitchModeToRestFormat(Mode(iFrom), &enOut);
        EXPECT_EQ(Outcome(std::to_string(iRest) + " " + std::to_string(enOut)), strWant) << iFrom;
        const int iBack = TransRestFormatToSwitchMode(&enBack, Mode(iFrom));
        EXPECT_EQ(Outcome(std::to_string(iBack) + " " + std::to_string(enBack)), strWant) << iFrom;
    }
    EXPECT_EQ(Outcome(TransSwitchModeToRestFormat(Mode(4), nullptr)), "-1 E business null pointer\n");
    EXPECT_EQ(Outcome(TransRestFormatToSwitchMode(nullptr, Mode(0))), "-1 E business null pointer\n");
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
    // Found by name, not referenced: a reference would copy the tables into this executable, out
    // of the sanitizer's guard zones around the library's own, where a sweep past them shows.
    char* const apszTables[] = {static_cast<char*>(dlsym(RTLD_DEFAULT, "g_szSubscribeInfo")),
                                static_cast<char*>(dlsym(RTLD_DEFAULT, "g_szOpxSubscribeInfo"))};
    ASSERT_TRUE(apszTables[0] != nullptr && apszTables[1] != nullptr);
    std::string strExpected(169664, static_cast<char>(0xA5)); // nothing else is touched
    for (int i = 0; i < 8; ++i) {
        At<uint64_t>(&strExpected[0], i, 0) = static_cast<uint64_t>(i) + 1;
        At<uint32_t>(&strExpected[0], i, 8) = 0;
    }
    memset(apszTables[0], 0xA5, 169664);
    memset(apszTables[1], 0xA5, 169664);
    g_bMutexInitFails = true;
    EXPECT_EQ(Outcome(InitSubscribeInfo()), "-1 E common init event mutex failed\n");
    ASSERT_EQ(InitSubscribeInfo(), 0);
    EXPECT_EQ(g_enRestProtocol, 2);
    EXPECT_TRUE(memcmp(apszTables[0], strExpected.data(), 169664) == 0 &&
                memcmp(apszTables[1], strExpected.data(), 169664) == 0);

    // A record stays live through its expiry second. The sweep reads the clock once; a run that
    // straddles a second change is repeated, so the boundary is seen exactly.
    const long long aExpire[8] = {-1, 0, 1, 0, -5, INT_MIN, INT_MAX, -3600}; // relative to now up to 2, and 7
    time_t now = 0;
    for (int iTry = 0; iTry < 5 && (iTry == 0 || time(nullptr) != now); ++iTry) {
        now = time(nullptr);
        for (int j = 0; j < 16; ++j) { // the second table in reverse: each record is judged alone
            const int i = j % 8, k = j < 8 ? i : 7 - i;
            At<int32_t>(apszTables[j / 8], i, 32) = static_cast<int32_t>(aExpire[k] + (k < 3 || k == 7 ? now : 0));
            At<uint32_t>(apszTables[j / 8], i, 8) = 0xC0DE0000U + static_cast<uint32_t>(i);
        }
        UpdateSubscriberInfo();
    }
    ASSERT_EQ(time(nullptr), now);
    std::string strLive; // per record: 1 live, 0 swept, ? anything else (the slot number included)
    for (int j = 0; j < 16; ++j) {
        const uint32_t uiStatus = At<uint32_t>(apszTables[j / 8], j % 8, 8);
        const bool bSlot = At<uint64_t>(apszTables[j / 8], j % 8, 0) == static_cast<uint64_t>(j % 8) + 1;
        strLive += !bSlot ? '?' : uiStatus == 0xC0DE0000U + j % 8 ? '1' : uiStatus == 0 ? '0' : '?';
    }
    EXPECT_EQ(strLive, "0110001001000110");

    std::string strValid;
    for (const char* psz :
         {"192.168.0.1", "0.0.0.0",    "255.255.255.255", "01.02.03.04", "00.0.0.99", "199.249.250.100",
          "256.1.1.1",   "001.1.1.1",  "1.1.1",           "1.1.1.1 ",    " 1.1.1.1",  "",
          "1.1.1.1.1",   "1.1.1.256",  "1..1.1",          "a.b.c.d",     "1.1.1.1\n", "-1.1.1.1",
          "260.0.0.1",   "1.1.1.0255", "1,1,1,1",         "1a1.1.1"}) {
        strValid += std::to_string(CheckIpAddress(psz));
    }
    EXPECT_EQ(Outcome(strValid), "1111110000000000000000 ");
    EXPECT_EQ(Outcome(CheckIpAddress(nullptr)), "0 E common pointer is null !\n");
    EXPECT_EQ(Outcome(CreateJsonFilter(nullptr)), "0 ");
}

TEST_F(LibraryTest, BlocksMutexesAndRandomStrings)
{
    auto* puc = static_cast<unsigned char*>(memset(malloc(16), 0x11, 16));
    EXPECT_EQ(KxapiRealloc(puc, 16, 8), puc); // never shrinks
    EXPECT_EQ(KxapiRealloc(puc, INT_MAX - 16, INT_MAX - 16), puc);
    EXPECT_EQ(KxapiRealloc(puc, 16, INT_MAX - 15), nullptr);
    EXPECT_EQ(KxapiRealloc(puc, -5, 32), nullptr);
    EXPECT_EQ(Outcome(KxapiRealloc(nullptr, 16, 0) == nullptr),
              "1 E common KxapiRealloc fail, nNewSize:2147483632.\nE common KxapiRealloc fail, nOldSize:4294967291.\n"
              "E common KxapiRealloc fail, nNewSize:0.\n");
    puc = static_cast<unsigned char*>(KxapiRealloc(puc, 16, 24)); // the old block is freed
    EXPECT_EQ(std::string(reinterpret_cast<char*>(puc), 24), std::string(16, '\x11') + std::string(8, '\0'));
    VW_free(puc); // the same heap as VW_malloc

    EXPECT_EQ(VW_malloc(0), nullptr);
    EXPECT_EQ(VW_malloc(-5), nullptr);
    puc = static_cast<unsigned char*>(VW_malloc(1));
    ASSERT_NE(puc, nullptr);
    EXPECT_EQ(*puc, 0);
    VW_free(puc);
    puc = static_cast<unsigned char*>(VW_malloc(64));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(puc), 64), std::string(64, '\0'));
    VW_free(puc);
    EXPECT_EQ(DestroyMutex(nullptr), 2);
    EXPECT_EQ(MutexLock(nullptr), 2);
    EXPECT_EQ(MutexUnlock(nullptr), 2);
    g_bMutexInitFails = true;
    EXPECT_EQ(CreateMutex(), nullptr); // and its block freed: the leak checkers watch
    void* pMutex = CreateMutex();      // locked and unlocked as a list's own, in ListTest
    ASSERT_NE(pMutex, nullptr);
    EXPECT_EQ(DestroyMutex(pMutex), 0);

    // 8 random characters per 4 random bytes, (len + 1) / 2 bytes asked for; the rest is '0'. At 16
    // every byte asked for is used, so a group read from the wrong bytes shows in the last character.
    const std::tuple<unsigned long long, RANDOM_STR_TYPE, size_t> aCases[] = {
        {4, RANDOM_STR_TYPE_HEX, 0},      {6, RANDOM_STR_TYPE_HEX, 0},   {7, RANDOM_STR_TYPE_HEX, 7},
        {10, RANDOM_STR_TYPE_HEX, 8},     {16, RANDOM_STR_TYPE_HEX, 16}, {20, RANDOM_STR_TYPE_DEC, 16},
        {1023, RANDOM_STR_TYPE_HEX, 1023}};
    for (const auto& [ullLen, enKind, uRandom] : aCases) {
        int iLastDrawn = 0; // draws whose last random character is not the filler
        for (int iDraw = 0; iDraw < 50; ++iDraw) {
            std::string strOut(ullLen + 8, '#');
            ASSERT_EQ(GetDevRandomString(strOut.data(), ullLen, enKind), 0) << ullLen;
            EXPECT_EQ(strOut.substr(ullLen), std::string(1, '\0') + std::string(7, '#')) << "nothing after the NUL";
            EXPECT_EQ(strOut.find_first_not_of(enKind == RANDOM_STR_TYPE_HEX ? "0123456789abcdef" : "0123456789"),
                      ullLen);
            EXPECT_EQ(strOut.substr(uRandom, ullLen - uRandom), std::string(ullLen - uRandom, '0'));
            iLastDrawn += uRandom > 0 && strOut[uRandom - 1] != '0' ? 1 : 0;
        }
        EXPECT_EQ(iLastDrawn > 0, uRandom > 0) << "length " << ullLen;
    }
    char szOut[2048] = "#";
    EXPECT_EQ(GetDevRandomString(nullptr, 32, RANDOM_STR_TYPE_HEX), -1);
    EXPECT_EQ(GetDevRandomString(szOut, 3, RANDOM_STR_TYPE_HEX), -1);
    EXPECT_EQ(GetDevRandomString(szOut, 1024, RANDOM_STR_TYPE_HEX), -1);
    EXPECT_EQ(GetDevRandomString(szOut, 32, static_cast<RANDOM_STR_TYPE>(2)), -1);
    KxPlatformFailRandom(1);
    EXPECT_EQ(GetDevRandomString(szOut, 32, RANDOM_STR_TYPE_HEX), -1);
    EXPECT_EQ(szOut[0], '#') << "output untouched on failure";
    KxPlatformFailRandom(1);
    EXPECT_EQ(GetUrandomString(nullptr, 4), -1);
    EXPECT_EQ(GetUrandomString(szOut, 4), -1);
    EXPECT_EQ(GetUrandomString(szOut, 16), 0);
}

} // namespace

// The host's lock time, as a host defines it.
unsigned long long KxapiHttpGetUnLockTime(tagHTTP_CLIENT_S* pstClient)
{
    g_pstAskedFor = pstClient;
    return g_ullRemain;
}
