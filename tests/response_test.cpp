// What a client receives, byte for byte: status texts, status bodies, the lock body, and who owns
// a pending body when. Also the thin JSON layer the host's own encoders use.
#include "fake_response_buffer.h"
#include "kxapicommon.h"
#include "log_capture.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <memory>
#include <regex>
#include <tuple>
#include <string>

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

// json-c escapes a slash as backslash-slash; the texts used here need nothing else.
std::string StatusBody(const std::string& strUrl, long long llCode, const std::string& strText)
{
    return std::regex_replace("{ \"ResponseStatus\": { \"RequestURL\": \"" + strUrl + "\", \"StatusCode\": " +
                                  std::to_string(llCode) + ", \"StatusString\": \"" + strText + "\" } }",
                              std::regex("/"), "\\/");
}

std::string Ptr(const void* p)
{
    char sz[32];
    snprintf(sz, sizeof(sz), "%p", p);
    return sz;
}

class ResponseTest : public LoggedTest {
protected:
    void SetUrl(const std::string& strUrl)
    {
        snprintf(m_pstHeader->szUrl, sizeof(m_pstHeader->szUrl), "%s", strUrl.c_str());
        snprintf(m_pstClient->stReqHeader.szUrl, sizeof(m_pstHeader->szUrl), "%s", strUrl.c_str());
    }
    std::unique_ptr<tagHTTP_HEADER_S> m_pstHeader = std::make_unique<tagHTTP_HEADER_S>();
    std::unique_ptr<tagHTTP_CLIENT_S> m_pstClient = std::make_unique<tagHTTP_CLIENT_S>();
    tagHTTP_CNTENT_INTER_S m_stCt{};
};

TEST_F(ResponseTest, StatusTextsAndBodies)
{
    EXPECT_EQ(std::string(GetStatusString(0)) + "|" + GetStatusString(-1) + "|" + GetStatusString(18) + "|" +
                  GetStatusString(2115),
              "OK|Failure|Failed to allocate resource|Face algorithm disable ");
    EXPECT_TRUE(m_log.Records().empty());
    for (long long llCode : {25LL, -2LL, 4294967296LL, -4294967296LL, 9223372036854775807LL}) {
        m_log.Clear();
        EXPECT_STREQ(GetStatusString(llCode), "common error status code.") << llCode;
        EXPECT_EQ(m_log.Texts(), std::vector<std::string>{"[KXAPI]:common error status code[" + std::to_string(llCode) + "]"});
        ExpectLogFrame(m_log.Records()[0], 3, kFileCommon);
    }
    const char* pszSaved = g_pszCommonErrorMsg; // the host's to replace, read at every miss
    g_pszCommonErrorMsg = "host fallback";
    EXPECT_STREQ(GetStatusString(25), "host fallback");
    g_pszCommonErrorMsg = pszSaved;

    // Both forms send the same body: URL cut at 255, status text at 127, the NUL not counted.
    const std::string strLongUrl(300, 'u');
    const std::pair<std::string, int> aCases[] = {{"/LAPI/V1.0", 0}, {"/a", 108}, {"/a", 25}, {"/x", 2200}, {strLongUrl, 4}};
    for (const auto& [strUrl, iCode] : aCases) {
        SetUrl(strUrl);
        m_log.Clear();
        const std::string strBody = StatusBody(strUrl.substr(0, 255), iCode, std::string(GetStatusString(iCode)).substr(0, 127));
        char* pszText = json_encode(FillResponseStatusParam(m_pstHeader.get(), static_cast<VW_RESULT_TYPE>(iCode)));
        EXPECT_EQ(pszText, strBody); // a heap block of exactly the body
        free(pszText);
        FakeResponseBuffer buf;
        EXPECT_EQ(FormatCommonResponse<char*>(m_pstHeader.get(), static_cast<VW_RESULT_TYPE>(iCode), &m_stCt, buf.Buf()) +
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
TEST_F(ResponseTest, PendingBodiesCopyResultsAndRefusals)
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
        EXPECT_EQ(buf.Lengths(), std::to_string(strStatus.size()) + "+NUL 10+NUL " + std::to_string(strStatus.size()) + "+NUL ");
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
        EXPECT_EQ(FormatCommonResponse<char*>(pstHeader, VW_RESULT_OK, pstCt, pstBuf) +
                      FormatCommonStatus(pstHeader, VW_RESULT_OK, pstCt, pstBuf),
                  -2);
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

TEST_F(ResponseTest, LockBodyCarriesStatus108AndTheRemainingTime)
{
    SetUrl("/LAPI/V1.0/System/Login");
    const std::pair<unsigned long long, const char*> aCases[] = {
        {300, "300"}, {0, "0"}, {1ULL << 63, "-9223372036854775808"}, {~0ULL, "-1"}}; // a signed 64-bit number
    for (const auto& [ullRemain, pszShown] : aCases) {
        for (int iAnswer : {0, -1}) {
            g_ullRemain = ullRemain;
            m_log.Clear();
            FakeResponseBuffer buf(iAnswer);
            EXPECT_EQ(KxapiHttpAuthLockRsptContent(m_pstClient.get(), buf.Buf()), iAnswer == -1 ? -1 : 0);
            EXPECT_EQ(g_pstAskedFor, m_pstClient.get());
            const std::string strBody = "{ \"IpLockStatus\": " + StatusBody("/LAPI/V1.0/System/Login", 108, "The user is locked") +
                                        ", \"remainTime\": " + pszShown + " }";
            EXPECT_EQ(buf.Data() + "|" + buf.Lengths(), strBody + "|" + std::to_string(strBody.size()) + "+NUL ");
            EXPECT_EQ(m_log.Count("[KXAPI]:KxapiHttpAuthLockRsptContent: Copy2Buf fail, dataLen[" +
                                  std::to_string(strBody.size()) + "]"),
                      iAnswer == -1 ? 1U : 0U);
        }
    }
    g_pstAskedFor = nullptr;
    FakeResponseBuffer buf;
    for (auto [pstClient, pstBuf] : {std::make_pair(static_cast<tagHTTP_CLIENT_S*>(nullptr), buf.Buf()),
                                     std::make_pair(m_pstClient.get(), static_cast<tagHTTP_BUF_S*>(nullptr))}) {
        m_log.Clear();
        EXPECT_EQ(KxapiHttpAuthLockRsptContent(pstClient, pstBuf), -1);
        ExpectLogFrame(m_log.One("[KXAPI]:KxapiHttpAuthLockRsptContent: invalid param, pstClient[" + Ptr(pstClient) +
                                 "] pstBuf[" + Ptr(pstBuf) + "]"),
                       3, kFileCommon);
    }
    EXPECT_EQ(g_pstAskedFor, nullptr) << "the host was asked for a refused request";
    EXPECT_EQ(buf.Calls(), 0);
}

// The JSON layer hands json-c's nodes through; a null key or object leaves the item with the caller.
TEST(JsonLayer, NumbersObjectsAndArrays)
{
    json_object* pstRoot = cJSON_CreateObject();
    json_object* pstArr = cJSON_CreateArray();
    for (json_object* pstItem : {cJSON_CreateString("a/b"), cJSON_CreateNumber(0.1f), cJSON_CreateNumber(4294967295u),
                                 cJSON_CreateNumber(4294967295ul), cJSON_CreateNumber(9223372036854775808ULL), cJSON_CreateNull()}) {
        cJSON_AddItemToArray(pstArr, pstItem);
    }
    cJSON_AddItemToObject(pstRoot, "list", pstArr);
    cJSON_AddItemToObject(pstRoot, nullptr, pstArr);
    cJSON_AddItemToObject(nullptr, "k", pstArr);
    EXPECT_STREQ(cJSON_Print(pstRoot), "{ \"list\": [ \"a\\/b\", 0.100000, -1, 4294967295, -9223372036854775808, null ] }");
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(pstRoot, "list")) * 10 + (cJSON_GetArrayItem(pstArr, 6) == nullptr), 61);
    cJSON_Delete(pstRoot);
    EXPECT_EQ(cJSON_Parse("{\"a\": "), nullptr);
}

} // namespace
