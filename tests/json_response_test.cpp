// The status body as clients receive it, byte for byte, and who owns which body when.
#include "fake_response_buffer.h"
#include "kxapicommon.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

// json-c's default escaping of the texts used here: a slash becomes a backslash and a slash.
std::string JsonText(const std::string& str)
{
    std::string out;
    for (char c : str) {
        EXPECT_TRUE(c >= 0x20 && c != '"' && c != '\\') << "text needs more escaping than this helper does";
        if (c == '/') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

std::string StatusBody(const std::string& strUrl, long long llCode, const std::string& strText)
{
    return "{ \"ResponseStatus\": { \"RequestURL\": \"" + JsonText(strUrl) + "\", \"StatusCode\": " +
           std::to_string(llCode) + ", \"StatusString\": \"" + JsonText(strText) + "\" } }";
}

char* MallocText(const std::string& str)
{
    char* p = static_cast<char*>(malloc(str.size() + 1));
    memcpy(p, str.c_str(), str.size() + 1);
    return p;
}

class JsonResponseTest : public LoggedTest {
protected:
    void SetUrl(const std::string& strUrl)
    {
        ASSERT_LT(strUrl.size(), sizeof(m_pstHeader->szUrl));
        memset(m_pstHeader->szUrl, 0, sizeof(m_pstHeader->szUrl));
        memcpy(m_pstHeader->szUrl, strUrl.data(), strUrl.size());
    }

    std::unique_ptr<tagHTTP_HEADER_S> m_pstHeader = std::make_unique<tagHTTP_HEADER_S>();
    tagHTTP_CNTENT_INTER_S m_stCtInt{};
};

TEST_F(JsonResponseTest, StatusBodies)
{
    SetUrl("/LAPI/V1.0");
    const struct {
        int iResult;
        const char* pszText;
    } cases[] = {
        {0, "OK"},
        {-1, "Failure"},
        {4, "Incorrect parameter"},
        {108, "The user is locked"},
        {25, "common error status code."}, // held by no slot
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.iResult);
        FakeResponseBuffer buf;
        EXPECT_EQ(FormatCommonResponse<char*>(m_pstHeader.get(), static_cast<VW_RESULT_TYPE>(c.iResult),
                                              &m_stCtInt, buf.Buf()),
                  0);
        EXPECT_EQ(buf.Calls(), 1);
        EXPECT_EQ(buf.Data(), StatusBody("/LAPI/V1.0", c.iResult, c.pszText));
        EXPECT_EQ(buf.LastLen(), buf.Data().size()); // the NUL is not counted
        EXPECT_TRUE(buf.LastTerminated());
    }
    ExpectLogFrame(m_log.One("[KXAPI]:common error status code[25]"), 3, kFileCommon);
}

TEST_F(JsonResponseTest, ExactTextOfASimpleBody)
{
    SetUrl("/a/b");
    FakeResponseBuffer buf;
    ASSERT_EQ(FormatCommonStatus(m_pstHeader.get(), VW_RESULT_OK, &m_stCtInt, buf.Buf()), 0);
    EXPECT_EQ(buf.Data(),
              "{ \"ResponseStatus\": { \"RequestURL\": \"\\/a\\/b\", \"StatusCode\": 0, \"StatusString\": \"OK\" } }");
}

TEST_F(JsonResponseTest, LongStatusTextsAreCutAt127)
{
    SetUrl("/x");
    for (int iCode : {175, 2200, 2203, 3258, 3260}) {
        SCOPED_TRACE(iCode);
        std::string strFull = GetStatusString(iCode);
        ASSERT_GT(strFull.size(), 127U);
        KXAPI_RESPONSE stRsp = FillResponseStatusParam(m_pstHeader.get(), static_cast<VW_RESULT_TYPE>(iCode));
        EXPECT_EQ(std::string(stRsp.ResponseStatus.StatusString), strFull.substr(0, 127));
        FakeResponseBuffer buf;
        ASSERT_EQ(FormatCommonStatus(m_pstHeader.get(), static_cast<VW_RESULT_TYPE>(iCode), &m_stCtInt, buf.Buf()),
                  0);
        EXPECT_EQ(buf.Data(), StatusBody("/x", iCode, strFull.substr(0, 127)));
    }
    EXPECT_TRUE(m_log.Records().empty()); // cutting is not a failed copy
}

TEST_F(JsonResponseTest, LongUrlIsCutAt255)
{
    std::string strUrl = "/";
    while (strUrl.size() < 300) {
        strUrl += "seg/";
    }
    strUrl.resize(300);
    SetUrl(strUrl);
    KXAPI_RESPONSE stRsp = FillResponseStatusParam(m_pstHeader.get(), VW_RESULT_OK);
    EXPECT_EQ(std::string(stRsp.ResponseStatus.RequestURL), strUrl.substr(0, 255));
    EXPECT_EQ(stRsp.ResponseStatus.StatusCode, 0);
    FakeResponseBuffer buf;
    ASSERT_EQ(FormatCommonStatus(m_pstHeader.get(), VW_RESULT_OK, &m_stCtInt, buf.Buf()), 0);
    EXPECT_EQ(buf.Data(), StatusBody(strUrl.substr(0, 255), 0, "OK"));
    EXPECT_TRUE(m_log.Records().empty());
}

TEST_F(JsonResponseTest, FillWithoutHeaderLeavesTheUrlEmpty)
{
    KXAPI_RESPONSE stRsp = FillResponseStatusParam(nullptr, VW_RESULT_FAILURE);
    EXPECT_STREQ(stRsp.ResponseStatus.RequestURL, "");
    EXPECT_EQ(stRsp.ResponseStatus.StatusCode, -1);
    EXPECT_STREQ(stRsp.ResponseStatus.StatusString, "Failure");
    auto recs = m_log.Records();
    ASSERT_EQ(recs.size(), 1U);
    EXPECT_EQ(recs[0].strText.rfind("[KXAPI]:[strncpy_s] expect Ret 0, actual Ret ", 0), 0U) << recs[0].strText;
    ExpectLogFrame(recs[0], 3, kFileCommon);
}

TEST_F(JsonResponseTest, PendingBodyIsSentAndFreedByFormatCommonResponse)
{
    SetUrl("/a");
    const std::string strBody = "{\"Data\":1}";
    m_stCtInt.pRspBody = MallocText(strBody);
    FakeResponseBuffer buf;
    // The result only matters when nothing is pending.
    EXPECT_EQ(FormatCommonResponse<char*>(m_pstHeader.get(), static_cast<VW_RESULT_TYPE>(17), &m_stCtInt,
                                          buf.Buf()),
              0);
    EXPECT_EQ(buf.Data(), strBody);
    EXPECT_EQ(buf.LastLen(), strBody.size());
    EXPECT_EQ(m_stCtInt.pRspBody, nullptr); // freed by the call; ASan reports a leak otherwise
}

TEST_F(JsonResponseTest, PendingBodyStaysWithFormatCommonStatus)
{
    SetUrl("/a");
    char* pszPending = MallocText("pending");
    m_stCtInt.pRspBody = pszPending;
    FakeResponseBuffer buf;
    EXPECT_EQ(FormatCommonStatus(m_pstHeader.get(), VW_RESULT_COMMON_ERROR, &m_stCtInt, buf.Buf()), 0);
    EXPECT_EQ(buf.Data(), StatusBody("/a", 1, "Common error"));
    EXPECT_EQ(m_stCtInt.pRspBody, pszPending);
    EXPECT_STREQ(m_stCtInt.pRspBody, "pending");
    free(m_stCtInt.pRspBody);
}

TEST_F(JsonResponseTest, OnlyMinusOneFromCopy2BufIsAFailure)
{
    SetUrl("/a");
    const std::string strBody = StatusBody("/a", 0, "OK");
    const std::string strLine =
        "[KXAPI]:FormatCommonResponse<char*>: Copy2Buf fail, dataLen[" + std::to_string(strBody.size()) + "]";
    for (int iAnswer : {-1, -2, 5}) {
        SCOPED_TRACE(iAnswer);
        m_log.Clear();
        FakeResponseBuffer buf(iAnswer);
        int iRet = FormatCommonResponse<char*>(m_pstHeader.get(), VW_RESULT_OK, &m_stCtInt, buf.Buf());
        EXPECT_EQ(iRet, iAnswer == -1 ? -1 : 0);
        EXPECT_EQ(buf.Data(), strBody);
        EXPECT_EQ(m_log.Count(strLine), iAnswer == -1 ? 1U : 0U);
        if (iAnswer == -1) {
            ExpectLogFrame(m_log.One(strLine), 3, kFileBusiness);
        }
    }
}

TEST_F(JsonResponseTest, FailingCopy2BufStillTakesThePendingBody)
{
    const std::string strBody(5000, 'b');
    m_stCtInt.pRspBody = MallocText(strBody);
    FakeResponseBuffer buf(-1);
    EXPECT_EQ(FormatCommonResponse<char*>(m_pstHeader.get(), VW_RESULT_OK, &m_stCtInt, buf.Buf()), -1);
    EXPECT_EQ(m_stCtInt.pRspBody, nullptr);
    ExpectLogFrame(m_log.One("[KXAPI]:FormatCommonResponse<char*>: Copy2Buf fail, dataLen[5000]"), 3, kFileBusiness);

    m_log.Clear();
    FakeResponseBuffer buf2(-1);
    EXPECT_EQ(FormatCommonStatus(m_pstHeader.get(), VW_RESULT_OK, &m_stCtInt, buf2.Buf()), -1);
    EXPECT_EQ(m_log.Count("[KXAPI]:FormatCommonStatus: Copy2Buf fail, dataLen[" +
                          std::to_string(StatusBody("", 0, "OK").size()) + "]"),
              1U);
}

TEST_F(JsonResponseTest, NullArgumentsChangeNothing)
{
    FakeResponseBuffer buf;
    char* pszPending = MallocText("pending");
    m_stCtInt.pRspBody = pszPending;
    tagHTTP_HEADER_S* h = m_pstHeader.get();
    struct {
        tagHTTP_HEADER_S* pstHeader;
        tagHTTP_CNTENT_INTER_S* pstCtInt;
        tagHTTP_BUF_S* pstBuf;
    } cases[] = {{nullptr, &m_stCtInt, buf.Buf()}, {h, nullptr, buf.Buf()}, {h, &m_stCtInt, nullptr}};
    for (const auto& c : cases) {
        m_log.Clear();
        EXPECT_EQ(FormatCommonResponse<char*>(c.pstHeader, VW_RESULT_OK, c.pstCtInt, c.pstBuf), -1);
        EXPECT_EQ(FormatCommonStatus(c.pstHeader, VW_RESULT_OK, c.pstCtInt, c.pstBuf), -1);
        auto recs = m_log.Records();
        ASSERT_EQ(recs.size(), 2U);
        char szExpect[256];
        for (int i = 0; i < 2; ++i) {
            snprintf(szExpect, sizeof(szExpect), "[KXAPI]:%s: invalid param, pstHeader[%p] pstCtInt[%p] pstBuf[%p]",
                     i == 0 ? "FormatCommonResponse<char*>" : "FormatCommonStatus", static_cast<void*>(c.pstHeader),
                     static_cast<void*>(c.pstCtInt), static_cast<void*>(c.pstBuf));
            EXPECT_EQ(recs[i].strText, szExpect);
            ExpectLogFrame(recs[i], 3, i == 0 ? kFileBusiness : kFileCommon);
        }
    }
    EXPECT_EQ(buf.Calls(), 0);
    EXPECT_EQ(m_stCtInt.pRspBody, pszPending);
    free(pszPending);
}

TEST_F(JsonResponseTest, EncodedTextIsAnExactHeapBlock)
{
    SetUrl("/a/b");
    KXAPI_RESPONSE stRsp = FillResponseStatusParam(m_pstHeader.get(), VW_RESULT_OK);
    char* pszText = json_encode(stRsp);
    ASSERT_NE(pszText, nullptr);
    EXPECT_EQ(std::string(pszText), StatusBody("/a/b", 0, "OK"));
    free(pszText);
}

} // namespace
