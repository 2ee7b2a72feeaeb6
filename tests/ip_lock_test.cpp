// The body a locked-out client receives, with the remaining time the host reports.
#include "fake_response_buffer.h"
#include "kxapicommon.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {
unsigned long long g_ullRemain = 0;
int g_iUnlockCalls = 0;
tagHTTP_CLIENT_S* g_pstAskedFor = nullptr;
} // namespace

// The host's lock time, as a host defines it.
unsigned long long KxapiHttpGetUnLockTime(tagHTTP_CLIENT_S* pstClient)
{
    ++g_iUnlockCalls;
    g_pstAskedFor = pstClient;
    return g_ullRemain;
}

namespace {

std::string LockBody(const std::string& strEscapedUrl, const std::string& strRemain)
{
    return "{ \"IpLockStatus\": { \"ResponseStatus\": { \"RequestURL\": \"" + strEscapedUrl +
           "\", \"StatusCode\": 108, \"StatusString\": \"The user is locked\" } }, \"remainTime\": " + strRemain +
           " }";
}

class IpLockTest : public LoggedTest {
protected:
    void SetUp() override
    {
        g_iUnlockCalls = 0;
        g_pstAskedFor = nullptr;
        strcpy(m_pstClient->stReqHeader.szUrl, "/LAPI/V1.0/System/Login");
    }

    std::unique_ptr<tagHTTP_CLIENT_S> m_pstClient = std::make_unique<tagHTTP_CLIENT_S>();
};

TEST_F(IpLockTest, BodyCarriesStatus108AndTheRemainingTime)
{
    const struct {
        unsigned long long ullRemain;
        const char* pszJson;
    } cases[] = {
        {300, "300"},
        {0, "0"},
        {1ULL << 63, "-9223372036854775808"}, // printed as a signed 64-bit number
        {~0ULL, "-1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszJson);
        g_ullRemain = c.ullRemain;
        FakeResponseBuffer buf;
        EXPECT_EQ(KxapiHttpAuthLockRsptContent(m_pstClient.get(), buf.Buf()), 0);
        EXPECT_EQ(g_pstAskedFor, m_pstClient.get());
        EXPECT_EQ(buf.Calls(), 1);
        EXPECT_EQ(buf.Data(), LockBody("\\/LAPI\\/V1.0\\/System\\/Login", c.pszJson));
        EXPECT_EQ(buf.LastLen(), buf.Data().size());
        EXPECT_TRUE(buf.LastTerminated());
    }
    EXPECT_TRUE(m_log.Records().empty());
}

TEST_F(IpLockTest, EncoderForTheLockRecord)
{
    KXAPI_HTTP_IP_LOCK_STATUS stLock;
    memset(&stLock, 0, sizeof(stLock));
    stLock.IpLockStatus = FillResponseStatusParam(&m_pstClient->stReqHeader, static_cast<VW_RESULT_TYPE>(108));
    stLock.remainTime = 42;
    char* pszText = json_encode(stLock);
    ASSERT_NE(pszText, nullptr);
    EXPECT_EQ(std::string(pszText), LockBody("\\/LAPI\\/V1.0\\/System\\/Login", "42"));
    free(pszText);
}

TEST_F(IpLockTest, NullArgumentsDoNotAskTheHost)
{
    FakeResponseBuffer buf;
    tagHTTP_CLIENT_S* c = m_pstClient.get();
    for (auto args : {std::make_pair(static_cast<tagHTTP_CLIENT_S*>(nullptr), buf.Buf()),
                      std::make_pair(c, static_cast<tagHTTP_BUF_S*>(nullptr))}) {
        m_log.Clear();
        EXPECT_EQ(KxapiHttpAuthLockRsptContent(args.first, args.second), -1);
        char szExpect[160];
        snprintf(szExpect, sizeof(szExpect), "[KXAPI]:KxapiHttpAuthLockRsptContent: invalid param, pstClient[%p] pstBuf[%p]",
                 static_cast<void*>(args.first), static_cast<void*>(args.second));
        ExpectLogFrame(m_log.One(szExpect), 3, kFileCommon);
        EXPECT_EQ(m_log.Records().size(), 1U);
    }
    EXPECT_EQ(g_iUnlockCalls, 0);
    EXPECT_EQ(buf.Calls(), 0);
}

TEST_F(IpLockTest, FailingCopy2BufIsReportedWithTheLength)
{
    g_ullRemain = 300;
    const std::string strBody = LockBody("\\/LAPI\\/V1.0\\/System\\/Login", "300");
    for (int iAnswer : {-1, -2, 5}) {
        SCOPED_TRACE(iAnswer);
        m_log.Clear();
        FakeResponseBuffer buf(iAnswer);
        EXPECT_EQ(KxapiHttpAuthLockRsptContent(m_pstClient.get(), buf.Buf()), iAnswer == -1 ? -1 : 0);
        EXPECT_EQ(buf.Data(), strBody);
        const std::string strLine = "[KXAPI]:KxapiHttpAuthLockRsptContent: Copy2Buf fail, dataLen[" +
                                    std::to_string(strBody.size()) + "]";
        EXPECT_EQ(m_log.Count(strLine), iAnswer == -1 ? 1U : 0U);
    }
}

} // namespace
