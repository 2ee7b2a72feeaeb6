// The user list from an emulated authentication service through the service file system.
#include "hbtp_service.h"
#include "kxapi_log.h"
#include "kxapicommon.h"
#include "log_capture.h"
#include "temp_dir.h"

#include <cerrno>
#include <pthread.h>

#include <cstring>
#include <memory>

namespace {

class UserListTest : public LoggedTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(KxSrvfsSetRoot(m_dir.Path().c_str()), 0);
        m_iFds = CountOpenFds();
        m_msg = std::make_unique<MSG_DATA>();
        memset(m_msg.get(), 0x5A, sizeof(MSG_DATA));
    }
    void TearDown() override
    {
        m_service.reset();
        EXPECT_EQ(CountOpenFds(), m_iFds);
        KxSrvfsSetRoot(nullptr);
    }
    // An authentication service answering with the given fields and body.
    void Serve(unsigned short usCode, unsigned short usUrl, unsigned char ucType, std::string strBody)
    {
        m_service.reset();
        m_service = std::make_unique<EmulatedService>("auth.paas.opx", [=](KxSrvfsRequest*, hbtp_message*) {
            return MakeHbtp(usCode, usUrl, ucType, strBody);
        });
    }
    TempDir m_dir;
    int m_iFds = 0;
    std::unique_ptr<MSG_DATA> m_msg;
    std::unique_ptr<EmulatedService> m_service;
};

std::string Pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>('A' + i % 23);
    }
    return s;
}

// Bodies of the replies the library releases on this thread (the service has its own thread).
struct Released {
    pthread_t thread;
    std::vector<std::string> bodies;
};
void RecordRelease(void* pUser, hbtp_message* pstMsg)
{
    auto* r = static_cast<Released*>(pUser);
    void* pData = nullptr;
    unsigned int uiLen = 0;
    if (pthread_equal(pthread_self(), r->thread) && pstMsg->pstHeader->usCode == 200 &&
        hbtp_content(pstMsg, &pData, &uiLen) == 0) {
        r->bodies.emplace_back(static_cast<char*>(pData), uiLen);
    }
}

TEST_F(UserListTest, ListCopiedIntoTheDataBlock)
{
    const std::string list = Pattern(KXAPI_USER_LIST_LEN + 10);
    Serve(200, 0, 2, list);
    Released released{pthread_self(), {}};
    KxHbtpSetReleaseHook(RecordRelease, &released);
    int iRet = HbtpGetUserList(m_msg.get());
    KxHbtpSetReleaseHook(nullptr, nullptr);
    ASSERT_EQ(iRet, 0);
    ASSERT_EQ(released.bodies.size(), 1U);
    EXPECT_EQ(released.bodies[0], std::string(KXAPI_USER_LIST_LEN, '\0') + list.substr(KXAPI_USER_LIST_LEN))
        << "the list is wiped from the reply before release";
    EXPECT_EQ(memcmp(m_msg->aucData, list.data(), KXAPI_USER_LIST_LEN), 0);
    EXPECT_EQ(m_msg->aucData[KXAPI_USER_LIST_LEN], 0x5A); // the rest left as it was
    EXPECT_EQ(m_msg->aucLead[0], 0x5A);
    auto seen = m_service->Seen();
    ASSERT_EQ(seen.size(), 1U);
    EXPECT_EQ(seen[0].aucHeader[2], 0);
    EXPECT_EQ(seen[0].aucHeader[3], 2);
    EXPECT_EQ(seen[0].aucHeader[4] | seen[0].aucHeader[5], 0);
    EXPECT_EQ(seen[0].strBody, "");
    EXPECT_FALSE(seen[0].bHasClientFd);
    EXPECT_FALSE(seen[0].bOptionSet);
    ExpectLogFrame(m_log.One("[KXAPI]:Recv hbtp_code: 200\n"), KXAPI_LEVEL_DETAIL, kFileCommon);
    EXPECT_EQ(m_log.Records().size(), 1U);
}

TEST_F(UserListTest, UnacceptableRepliesAreRefused)
{
    struct Case {
        unsigned short usCode, usUrl;
        unsigned char ucType;
        size_t uiBody;
        const char* pszLine; // the error line, or null for none
    };
    const Case cases[] = {
        {200, 0, 3, KXAPI_USER_LIST_LEN, nullptr},
        {200, 1, 2, KXAPI_USER_LIST_LEN, nullptr},
        {404, 0, 2, KXAPI_USER_LIST_LEN, nullptr},
        {200, 0, 2, 0, "[KXAPI]:HbtpGetUserList: pRecvContent NULL"},
        {200, 0, 2, KXAPI_USER_LIST_LEN - 1, "[KXAPI]:HbtpGetUserList: pRecvContent len:2327 short"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.uiBody);
        m_log.Clear();
        Serve(c.usCode, c.usUrl, c.ucType, Pattern(c.uiBody));
        EXPECT_EQ(HbtpGetUserList(m_msg.get()), -1);
        EXPECT_EQ(m_msg->aucData[0], 0x5A);
        EXPECT_TRUE(m_log.Contains("[KXAPI]:Recv hbtp_code: " + std::to_string(c.usCode) + "\n"));
        EXPECT_EQ(m_log.Records().size(), c.pszLine != nullptr ? 2U : 1U);
        if (c.pszLine != nullptr) {
            ExpectLogFrame(m_log.One(c.pszLine), KXAPI_LEVEL_ERROR, kFileCommon);
        }
    }
}

TEST_F(UserListTest, MissingServiceNamesPathAndError)
{
    EXPECT_EQ(HbtpGetUserList(m_msg.get()), -1);
    std::string want = "[KXAPI]:open /mnt/srvfs/auth.paas.opx srv fail, Error: " + std::to_string(ENOENT) + ", " +
                       strerror(ENOENT) + "\n";
    ExpectLogFrame(m_log.One(want), KXAPI_LEVEL_ERROR, kFileCommon);
    EXPECT_EQ(HbtpGetUserList(nullptr), -1);
}

TEST_F(UserListTest, ServiceGoneBeforeReplyIsRefusedByTheFreshHeader)
{
    m_service = std::make_unique<EmulatedService>("auth.paas.opx", [](KxSrvfsRequest* pstReq, hbtp_message*) {
        pstReq->bClose = 1;
        return static_cast<hbtp_message*>(nullptr);
    });
    EXPECT_EQ(HbtpGetUserList(m_msg.get()), -1);
    EXPECT_TRUE(m_log.Contains("[KXAPI]:Recv hbtp_code: 0\n"));
}

} // namespace
