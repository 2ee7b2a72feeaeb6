// Asynchronous HBTP path end to end: a channel registered with a real event loop, a service
// answering through the stand-in, the reply routed by the descriptor it carries back.
#include "kxplatform.h"
#include "hbtp_service.h"
#include "kxapi_log.h"
#include "kxapicommon.h"
#include "log_capture.h"
#include "temp_dir.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <optional>

namespace {

const unsigned int kTableSize = 256;

struct HandlerLog {
    int iCalls = 0;
    int iFd = -1;
    unsigned int uiMask = 0;
    tagABS_EVENT_S* pstEvent = nullptr;
    unsigned short usUrl = 0;
    bool bKeep = false;
    hbtp_message* pstKept = nullptr;
};

HandlerLog* g_pstHandlerLog = nullptr;

// The host's own client event handler: sees the reply in the slot and keeps it or leaves it.
void ClientHandler(int iFd, unsigned int uiMask, tagABS_EVENT_S* pstEvent)
{
    HandlerLog* h = g_pstHandlerLog;
    auto* client = static_cast<tagHTTP_CLIENT_S*>(pstEvent->pArg);
    ++h->iCalls;
    h->iFd = iFd;
    h->uiMask = uiMask;
    h->pstEvent = pstEvent;
    auto* msg = static_cast<hbtp_message*>(client->pRecvMsg);
    h->usUrl = msg != nullptr ? msg->pstHeader->usUrl : 0xFFFF;
    if (h->bKeep) {
        h->pstKept = msg;
        client->pRecvMsg = nullptr;
    }
}

class HbtpAsyncTest : public LoggedTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(KxSrvfsSetRoot(m_dir.Path().c_str()), 0);
        m_iFds = CountOpenFds();
        g_pstHandlerLog = &m_handler;
        m_pstBase = AbsEvBaseNew(kTableSize);
        ASSERT_NE(m_pstBase, nullptr);
        m_server.pstEventBase = m_pstBase;
        m_client = std::make_unique<tagHTTP_CLIENT_S>();
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_aiConn), 0);
        m_client->iClientFd = m_aiConn[0];
        m_client->pstServerCtx = &m_server;
        m_client->iReqState = 7;
        m_pstClientEv = AbsEvNew(m_pstBase, m_aiConn[0], ABS_EV_READ, m_client.get(), ClientHandler);
        ASSERT_NE(m_pstClientEv, nullptr);
        m_service = std::make_unique<EmulatedService>("async.svc", [this](KxSrvfsRequest* pstReq, hbtp_message* req) {
            if (m_bCloseSilently) {
                pstReq->bClose = 1;
                return static_cast<hbtp_message*>(nullptr);
            }
            int iFd = 0;
            void* pValue = nullptr;
            unsigned short usLen = 0;
            if (hbtp_header_get(req, KXAPI_HBTP_EXT_CLIENT_FD, &pValue, &usLen) == 0) {
                memcpy(&iFd, pValue, 4);
            }
            if (m_optReplyFd) {
                iFd = *m_optReplyFd;
            }
            return MakeHbtp(200, 42, 2, "answer", m_bNoTag ? nullptr : &iFd);
        });
    }
    void TearDown() override
    {
        m_service.reset();
        AbsEvBaseFree(m_pstBase);
        close(m_aiConn[0]);
        close(m_aiConn[1]);
        EXPECT_EQ(CountOpenFds(), m_iFds);
        g_pstHandlerLog = nullptr;
        KxSrvfsSetRoot(nullptr);
    }
    // Opens a channel, registers it, sends the request; the channel descriptor.
    int Start()
    {
        int fd = open("/mnt/srvfs/async.svc", O_RDWR);
        EXPECT_GT(fd, 0);
        hbtp_message* msg = MakeHbtp(0, 5, 1, "ask");
        EXPECT_EQ(AddHbtpAsynEvent(m_client.get(), fd, msg), 0);
        EXPECT_EQ(m_client->bAsynPending, 1);
        EXPECT_EQ(m_client->iHbtpFd, fd);
        EXPECT_NE(m_pstBase->ppstEvents[fd], nullptr);
        EXPECT_EQ(hbtp_message_sendfd(msg, fd), 0);
        hbtp_message_put(msg);
        return fd;
    }
    // Runs the loop until the channel's event is gone (HbtpAsynRead ended it).
    void RunUntilChannelEnds(int fd)
    {
        for (int i = 0; i < 50 && m_pstBase->ppstEvents[fd] != nullptr; ++i) {
            ASSERT_GE(AbsEvBaseRunOnce(m_pstBase, 2000), 0);
        }
        ASSERT_EQ(m_pstBase->ppstEvents[fd], nullptr);
        EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "channel closed";
    }
    TempDir m_dir;
    int m_iFds = 0;
    HandlerLog m_handler;
    tagABS_EVENT_BASE_S* m_pstBase = nullptr;
    tagHTTP_SERVER_S m_server{};
    std::unique_ptr<tagHTTP_CLIENT_S> m_client;
    int m_aiConn[2] = {-1, -1};
    tagABS_EVENT_S* m_pstClientEv = nullptr;
    std::unique_ptr<EmulatedService> m_service;
    std::optional<int> m_optReplyFd;
    bool m_bNoTag = false;
    bool m_bCloseSilently = false;
};

TEST_F(HbtpAsyncTest, ReplyReachesTheWaitingClientsHandler)
{
    for (bool bKeep : {true, false}) {
        SCOPED_TRACE(bKeep ? "handler keeps the reply" : "handler leaves the reply");
        m_log.Clear();
        m_handler = HandlerLog{};
        m_handler.bKeep = bKeep;
        m_client->iReqState = 7;
        int fd = Start();
        RunUntilChannelEnds(fd);
        auto seen = m_service->Seen();
        ASSERT_FALSE(seen.empty());
        EXPECT_TRUE(seen.back().bHasClientFd);
        EXPECT_EQ(seen.back().iClientFd, m_aiConn[0]);
        EXPECT_EQ(m_handler.iCalls, 1);
        EXPECT_EQ(m_handler.iFd, m_aiConn[0]);
        EXPECT_EQ(m_handler.uiMask, ABS_EV_READ);
        EXPECT_EQ(m_handler.pstEvent, m_pstClientEv);
        EXPECT_EQ(m_handler.usUrl, 42);
        EXPECT_EQ(m_client->iReqState, 8);
        EXPECT_EQ(m_client->pRecvMsg, nullptr);
        if (bKeep) {
            ASSERT_NE(m_handler.pstKept, nullptr);
            void* pData = nullptr;
            unsigned int uiLen = 0;
            ASSERT_EQ(hbtp_content(m_handler.pstKept, &pData, &uiLen), 0);
            EXPECT_EQ(std::string(static_cast<char*>(pData), uiLen), "answer");
            hbtp_message_put(m_handler.pstKept);
        }
        auto texts = m_log.Texts();
        const std::vector<std::string> want = {"[KXAPI]:Handle unixBusinessAsynRead Function!",
                                               "[KXAPI]:Receive Unix Message! url = 42",
                                               "[KXAPI]:Handle unixBusinessAsynRead Function SUCCESS!"};
        EXPECT_EQ(texts, want);
        for (const auto& rec : m_log.Records()) {
            ExpectLogFrame(rec, KXAPI_LEVEL_DETAIL, kFileCommon);
        }
    }
}

TEST_F(HbtpAsyncTest, StateOtherThanWaitingIsLoggedAndTheReplyStillDelivered)
{
    m_client->iReqState = 5;
    int fd = Start();
    RunUntilChannelEnds(fd);
    EXPECT_EQ(m_handler.iCalls, 1);
    EXPECT_EQ(m_client->iReqState, 5);
    ExpectLogFrame(m_log.One("[KXAPI]:State[5] error"), KXAPI_LEVEL_ERROR, kFileCommon);
}

TEST_F(HbtpAsyncTest, InvalidRepliesEndTheChannelWithoutTellingTheClient)
{
    struct Case {
        std::optional<int> optFd;
        bool bNoTag;
        bool bClose;
        const char* pszLine;
    };
    const Case cases[] = {
        {0, false, false, "[KXAPI]:Invalid socket fd"},
        {-3, false, false, "[KXAPI]:Invalid socket fd"},
        {static_cast<int>(kTableSize), false, false, "[KXAPI]:Invalid socket fd"},
        {static_cast<int>(kTableSize) - 1, false, false, "[KXAPI]:Invalid event"},
        {std::nullopt, true, false, "[KXAPI]:get fd fail!"},
        {std::nullopt, false, true, "[KXAPI]:hbtp_message_recvfd fail"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszLine);
        m_log.Clear();
        m_optReplyFd = c.optFd;
        m_bNoTag = c.bNoTag;
        m_bCloseSilently = c.bClose;
        int fd = Start();
        RunUntilChannelEnds(fd);
        EXPECT_EQ(m_handler.iCalls, 0);
        EXPECT_EQ(m_client->iReqState, 7);
        EXPECT_EQ(m_client->pRecvMsg, nullptr);
        ExpectLogFrame(m_log.One(c.pszLine), KXAPI_LEVEL_ERROR, kFileCommon);
        EXPECT_EQ(m_log.Records().size(), 2U);
    }
}

TEST_F(HbtpAsyncTest, NegativeDescriptorLeavesEventAlone)
{
    HbtpAsynRead(-1, ABS_EV_READ, m_pstClientEv);
    ExpectLogFrame(m_log.One("[KXAPI]:Invalid nfd:[-1]"), KXAPI_LEVEL_ERROR, kFileCommon);
    EXPECT_EQ(m_pstBase->ppstEvents[m_aiConn[0]], m_pstClientEv);
}

TEST_F(HbtpAsyncTest, AddRefusesBadArgumentsAndReportsEventFailure)
{
    hbtp_message* msg = MakeHbtp(0, 5, 1, "");
    EXPECT_EQ(AddHbtpAsynEvent(m_client.get(), 0, msg), -1);
    EXPECT_EQ(AddHbtpAsynEvent(nullptr, 5, msg), -1);
    EXPECT_EQ(AddHbtpAsynEvent(m_client.get(), 5, nullptr), -1);
    EXPECT_EQ(m_client->bAsynPending, 0);
    EXPECT_EQ(m_client->iHbtpFd, 0);
    auto texts = m_log.Texts();
    ASSERT_EQ(texts.size(), 3U);
    EXPECT_EQ(texts[0].rfind("[KXAPI]:invalid param client[0x", 0), 0U) << texts[0];
    EXPECT_NE(texts[0].find("], fd[0], sendMsg[0x"), std::string::npos) << texts[0];

    // No room left for the tag: refused before the client is touched.
    hbtp_message* full = MakeHbtp(0, 5, 1, "");
    std::string filler(HBTP_FRAME_MAX_EXT - 4, 'f');
    ASSERT_EQ(hbtp_header_set(full, 1, filler.data(), static_cast<unsigned short>(filler.size())), 0);
    m_log.Clear();
    EXPECT_EQ(AddHbtpAsynEvent(m_client.get(), 5, full), -1);
    ExpectLogFrame(m_log.One("[KXAPI]:hbtp_header_set fail!"), KXAPI_LEVEL_ERROR, kFileBusiness);
    EXPECT_EQ(m_client->bAsynPending, 0);
    EXPECT_EQ(m_client->iHbtpFd, 0);
    hbtp_message_put(full);

    // The client's own descriptor already has its event: the channel event cannot be made.
    m_log.Clear();
    EXPECT_EQ(AddHbtpAsynEvent(m_client.get(), m_aiConn[0], msg), 18);
    EXPECT_EQ(m_client->bAsynPending, 1);
    EXPECT_EQ(m_client->iHbtpFd, m_aiConn[0]);
    ExpectLogFrame(m_log.One("[KXAPI]:AddHbtpAsynEvent malloc fail"), KXAPI_LEVEL_ERROR, kFileBusiness);
    void* pValue = nullptr;
    unsigned short usLen = 0;
    ASSERT_EQ(hbtp_header_get(msg, KXAPI_HBTP_EXT_CLIENT_FD, &pValue, &usLen), 0);
    EXPECT_EQ(usLen, 4);
    int iTag = 0;
    memcpy(&iTag, pValue, 4);
    EXPECT_EQ(iTag, m_aiConn[0]);
    hbtp_message_put(msg);
}

TEST_F(HbtpAsyncTest, DeleteDropsARegisteredChannel)
{
    int fd = Start();
    EXPECT_EQ(DeleteHbtpAsynEvent(m_client.get(), fd), 0);
    EXPECT_EQ(m_pstBase->ppstEvents[fd], nullptr);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(m_client->iHbtpFd, 0);

    // A descriptor beyond the table is still closed and forgotten, but the result is -1.
    int high = fcntl(m_aiConn[1], F_DUPFD_CLOEXEC, kTableSize + 10);
    ASSERT_GE(high, static_cast<int>(kTableSize));
    m_client->iHbtpFd = high;
    EXPECT_EQ(DeleteHbtpAsynEvent(m_client.get(), high), -1);
    EXPECT_EQ(fcntl(high, F_GETFD), -1);
    EXPECT_EQ(m_client->iHbtpFd, 0);
    ExpectLogFrame(m_log.One("[KXAPI]:Delete abs event fail"), KXAPI_LEVEL_ERROR, kFileBusiness);
    EXPECT_EQ(DeleteHbtpAsynEvent(m_client.get(), 0), -1);
    EXPECT_NE(m_log.Texts().back().find("], fd[0]"), std::string::npos);
}

} // namespace
