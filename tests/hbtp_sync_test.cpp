// Synchronous HBTP exchange against emulated services on the stand-in's service file system.
#include "hbtp_service.h"
#include "kxapi_log.h"
#include "kxapicommon.h"
#include "log_capture.h"
#include "temp_dir.h"

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

const char kPath[] = "/mnt/srvfs/demo.svc";

class HbtpSyncTest : public LoggedTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(KxSrvfsSetRoot(m_dir.Path().c_str()), 0);
        m_header = std::make_unique<tagHTTP_HEADER_S>();
        strcpy(m_header->szMethod, "PUT");
        strcpy(m_header->szUrl, "/LAPI/V1.0/Demo");
        m_iFds = CountOpenFds();
    }
    void TearDown() override
    {
        m_service.reset();
        EXPECT_EQ(CountOpenFds(), m_iFds);
        KxSrvfsSetRoot(nullptr);
    }
    // A service answering every request with code, URL 9, type 3 and body.
    void Serve(unsigned short usCode, const std::string& strBody)
    {
        m_service = std::make_unique<EmulatedService>("demo.svc", [=](KxSrvfsRequest*, hbtp_message*) {
            return MakeHbtp(usCode, 9, 3, strBody);
        });
    }
    int Common(REST_HBTP_MSG* pSend, REST_HBTP_MSG* pRecv, unsigned int uiOption = 0x11223344u)
    {
        return HbtpCommon(m_header.get(), kPath, 0x1234, 0xC5, pSend, pRecv, uiOption);
    }
    TempDir m_dir;
    std::unique_ptr<tagHTTP_HEADER_S> m_header;
    std::unique_ptr<EmulatedService> m_service;
    int m_iFds = 0;
};

TEST_F(HbtpSyncTest, RequestFieldsBodyAndOptionReachTheService)
{
    Serve(200, "reply");
    char body[] = "request-body";
    REST_HBTP_MSG send{body, 12};
    ASSERT_EQ(Common(&send, nullptr), 0);
    auto seen = m_service->Seen();
    ASSERT_EQ(seen.size(), 1U);
    EXPECT_EQ(seen[0].aucHeader[2], 0);
    EXPECT_EQ(seen[0].aucHeader[3], 0x45); // low 7 bits of the type; a fresh message's top bit is clear
    EXPECT_EQ(seen[0].aucHeader[4] | (seen[0].aucHeader[5] << 8), 0x1234);
    EXPECT_EQ(seen[0].aucHeader[6] | (seen[0].aucHeader[7] << 8), 0); // code untouched
    EXPECT_EQ(seen[0].strBody, "request-body");
    EXPECT_TRUE(seen[0].bOptionSet);
    EXPECT_EQ(seen[0].uiOption, 0x11223344u);
    EXPECT_FALSE(seen[0].bHasClientFd);
    LogRecord rec = m_log.One("[KXAPI]:pServPath[/mnt/srvfs/demo.svc] httpReq[PUT /LAPI/V1.0/Demo].");
    ExpectLogFrame(rec, KXAPI_LEVEL_INFO, kFileBusiness);

    // A second call is a second channel; a large option value arrives unchanged.
    REST_HBTP_MSG empty{nullptr, 5};
    ASSERT_EQ(Common(&empty, nullptr, 0x7FFF0001u), 0);
    seen = m_service->Seen();
    ASSERT_EQ(seen.size(), 2U);
    EXPECT_EQ(seen[1].uiChannel, 2U);
    EXPECT_EQ(seen[1].uiOption, 0x7FFF0001u);
    EXPECT_EQ(seen[1].strBody, ""); // null data: no body
    EXPECT_EQ(m_service->Channels(), 2U);
}

TEST_F(HbtpSyncTest, ReplyBodyCopiedWhenItFits)
{
    struct Case {
        unsigned int uiCap;
        int iResult;
        const char* pszLine;
    };
    const Case cases[] = {
        {5, 0, nullptr},
        {8, 0, nullptr},
        {4, 1, "[KXAPI]:nSRet:162, dstlen:4, srclen:5."},
    };
    Serve(200, "hello");
    for (const Case& c : cases) {
        m_log.Clear();
        char buf[16];
        memset(buf, 'x', sizeof(buf));
        char out[] = "q";
        REST_HBTP_MSG send{out, 1};
        REST_HBTP_MSG recv{buf, c.uiCap};
        EXPECT_EQ(Common(&send, &recv), c.iResult) << c.uiCap;
        if (c.iResult == 0) {
            EXPECT_EQ(std::string(buf, 5), "hello");
            EXPECT_EQ(buf[5], 'x');
        } else {
            EXPECT_EQ(std::string(buf, 4), std::string(4, '\0')) << "buffer cleared";
            EXPECT_EQ(buf[4], 'x');
            ExpectLogFrame(m_log.One(c.pszLine), KXAPI_LEVEL_ERROR, kFileBusiness);
            ExpectLogFrame(m_log.One("[KXAPI]:SendSynHbtpMsg pServPath[/mnt/srvfs/demo.svc] httpReq[PUT "
                                     "/LAPI/V1.0/Demo] fail."),
                           KXAPI_LEVEL_ERROR, kFileBusiness);
        }
    }
}

TEST_F(HbtpSyncTest, NullOrEmptyReceiveRecordSucceedsWithoutCopy)
{
    Serve(200, "hello");
    char out[] = "q";
    REST_HBTP_MSG send{out, 1};
    char buf[4] = {'a', 'b', 'c', 'd'};
    REST_HBTP_MSG noData{nullptr, 4};
    REST_HBTP_MSG noLen{buf, 0};
    EXPECT_EQ(Common(&send, nullptr), 0);
    EXPECT_EQ(Common(&send, &noData), 0);
    EXPECT_EQ(Common(&send, &noLen), 0);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_TRUE(m_log.Count("[KXAPI]:SendSynHbtpMsg pServPath[/mnt/srvfs/demo.svc] httpReq[PUT /LAPI/V1.0/Demo] "
                            "fail.") == 0);
}

TEST_F(HbtpSyncTest, NotFoundReplyFailsWithoutCopy)
{
    Serve(404, "body");
    char out[] = "q";
    char buf[8] = "unset";
    REST_HBTP_MSG send{out, 1};
    REST_HBTP_MSG recv{buf, sizeof(buf)};
    EXPECT_EQ(Common(&send, &recv), 1);
    EXPECT_STREQ(buf, "unset");
    ExpectLogFrame(m_log.One("[KXAPI]:Recv hbtp_code: 404."), KXAPI_LEVEL_ERROR, kFileBusiness);
}

TEST_F(HbtpSyncTest, ServiceClosingWithoutReplyFailsTheExchange)
{
    m_service = std::make_unique<EmulatedService>("demo.svc", [](KxSrvfsRequest* pstReq, hbtp_message*) {
        pstReq->bClose = 1;
        return static_cast<hbtp_message*>(nullptr);
    });
    char out[] = "q";
    REST_HBTP_MSG send{out, 1};
    EXPECT_EQ(Common(&send, nullptr), 1);
    ExpectLogFrame(m_log.One("[KXAPI]:hbtp_message_recvfd ret:-1, errno:" + std::to_string(ECONNRESET) + "."),
                   KXAPI_LEVEL_ERROR, kFileBusiness);
}

TEST_F(HbtpSyncTest, NullSendOpensSetsOptionAndFails)
{
    Serve(200, "");
    EXPECT_EQ(Common(nullptr, nullptr), 1);
    auto texts = m_log.Texts();
    ASSERT_EQ(texts.size(), 3U);
    EXPECT_EQ(texts[1].rfind("[KXAPI]:invalid param pSend[(nil)] pRecv[", 0), 0U) << texts[1];
    EXPECT_EQ(texts[2], "[KXAPI]:SendSynHbtpMsg pServPath[/mnt/srvfs/demo.svc] httpReq[PUT /LAPI/V1.0/Demo] fail.");
    m_service.reset(); // joins the service: the option frame has been read by then
}

TEST_F(HbtpSyncTest, UnopenablePathsAndNullArguments)
{
    char out[] = "q";
    REST_HBTP_MSG send{out, 1};
    // No service listens: the open fails with ENOENT and nothing is sent.
    EXPECT_EQ(Common(&send, nullptr), 1);
    ExpectLogFrame(m_log.One("[KXAPI]:open /mnt/srvfs/demo.svc srv fail:" + std::to_string(ENOENT) + " ."),
                   KXAPI_LEVEL_ERROR, kFileBusiness);
    EXPECT_EQ(HbtpCommon(m_header.get(), "/mnt/srvfs/a/b", 1, 1, &send, nullptr, 0), 1);
    EXPECT_TRUE(m_log.Contains("[KXAPI]:open /mnt/srvfs/a/b srv fail:" + std::to_string(ENOENT) + " ."));

    m_log.Clear();
    EXPECT_EQ(HbtpCommon(nullptr, kPath, 1, 1, &send, nullptr, 0), -1);
    EXPECT_EQ(HbtpCommon(m_header.get(), nullptr, 1, 1, &send, nullptr, 0), -1);
    auto texts = m_log.Texts();
    ASSERT_EQ(texts.size(), 2U);
    EXPECT_EQ(texts[0].rfind("[KXAPI]:invalid param, pstHeader[(nil)] pServPath[0x", 0), 0U) << texts[0];
    EXPECT_EQ(texts[1].find("] pServPath[(nil)]."), texts[1].size() - 19) << texts[1];
}

} // namespace
