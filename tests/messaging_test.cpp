// The command message on real Unix datagram sockets: wire bytes, retry, drain, reply checks,
// cookies, and the handlers built on the exchange. Services are emulated on their own threads.
#include "kxapi_unix_timeout.h"
#include "kxapicommon.h"
#include "kxdevhost.h"
#include "kxservices.h"
#include "log_capture.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <memory>
#include <string>

namespace {

VW_CMD_TYPE Cmd(int i)
{
    return static_cast<VW_CMD_TYPE>(i);
}

// What the emulated service answers: every field left at its default gives the usual answer.
struct Script {
    int iCopies = 1;
    int iType = -1; // reply type override
    int iCmd = -1;  // reply command override
    int iResult = 0;
    unsigned char ucMarker = 0x5A; // first data byte of every reply
    unsigned int uiDelaySetMs = 0;
};

int g_iFailSends = 0;
int g_iSendCalls = 0;

class MessagingTest : public LoggedTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(KxUnixSetRunDir(m_dir.Path().c_str()), 0);
        m_pstSock = KxUnixEndpointCreate(nullptr);
        m_pstService = KxServiceStart("/tmp/A", [](void* pUser, const MSG_DATA* pstReq, MSG_DATA* pstReply,
                                                   unsigned int* puiDelayMs) {
            const Script* s = static_cast<const Script*>(pUser);
            pstReply->enMsgType = s->iType >= 0 ? static_cast<VW_MSG_TYPE>(s->iType) : pstReply->enMsgType;
            pstReply->enCmdType = s->iCmd >= 0 ? Cmd(s->iCmd) : pstReply->enCmdType;
            pstReply->enResult = static_cast<VW_RESULT_TYPE>(s->iResult);
            pstReply->aucData[0] = s->ucMarker;
            *puiDelayMs = pstReq->enMsgType == VW_MSG_TYPE_SET_REQ ? s->uiDelaySetMs : 0;
            return s->iCopies;
        }, &m_script);
        ASSERT_TRUE(m_pstSock != nullptr && m_pstService != nullptr);
        g_iFailSends = g_iSendCalls = 0;
    }
    void TearDown() override
    {
        KxServiceStop(m_pstService);
        KxUnixEndpointDestroy(m_pstSock);
        EXPECT_EQ(CountOpenFds(), m_iFdsBefore) << "descriptors leaked";
    }
    MSG_DATA LastRequest()
    {
        MSG_DATA stReq{};
        KxServiceLastRequest(m_pstService, &stReq);
        return stReq;
    }
    long long Syn(int iCmd, VW_MSG_TYPE enType = VW_MSG_TYPE_GET_REQ)
    {
        memset(m_pstRsp.get(), 0, sizeof(MSG_DATA));
        return RestSendSynUnixMsg("/tmp/A", enType, Cmd(iCmd), nullptr, m_pstSock, m_pstRsp.get(), 0);
    }
    void SetRequest(const char* pszMethod, const char* pszUrl)
    {
        snprintf(m_pstHeader->szMethod, sizeof(m_pstHeader->szMethod), "%s", pszMethod);
        snprintf(m_pstHeader->szUrl, sizeof(m_pstHeader->szUrl), "%s", pszUrl);
    }

    int m_iFdsBefore = CountOpenFds();
    TempDir m_dir;
    tagUNIX_SOCKET_S* m_pstSock = nullptr;
    KXSERVICE* m_pstService = nullptr;
    Script m_script;
    std::unique_ptr<MSG_DATA> m_pstRsp = std::make_unique<MSG_DATA>();
    std::unique_ptr<tagHTTP_HEADER_S> m_pstHeader = std::make_unique<tagHTTP_HEADER_S>();
};

// True once something is queued on the descriptor (nothing is read).
bool WaitQueued(int iFd, int iMs = 5000)
{
    pollfd stPoll{iFd, POLLIN, 0};
    return poll(&stPoll, 1, iMs) == 1;
}

TEST(ReplyWait, SelectionTable)
{
    const int aiCases[][4] = {// type, command, seconds, reply type
                              {0, 7013, 30, 2},  {0, 1, 30, 2},     {1, 22026, 60, 3}, {1, 7020, 120, 3}, {1, 7038, 180, 3},
                              {1, 7039, 180, 3}, {1, 7013, 360, 3}, {1, 7037, 15, 3},  {1, 7014, 15, 3},  {1, 0, 15, 3},
                              {2, 7013, 15, 3},  {3, 22026, 15, 3}, {-1, 7020, 15, 3}, {99, 0, 15, 3}};
    for (const auto& c : aiCases) {
        KxapiReplyWait stWait = KxapiSelectReplyWait(static_cast<VW_MSG_TYPE>(c[0]), Cmd(c[1]));
        EXPECT_EQ(std::to_string(stWait.iTimeoutSec) + "/" + std::to_string(stWait.enReplyType),
                  std::to_string(c[2]) + "/" + std::to_string(c[3])) << c[0] << "/" << c[1];
    }
}

TEST_F(MessagingTest, WireBytesRefusalsAndRetry)
{
    auto pstExpected = std::make_unique<MSG_DATA>(); // the name, the padding and the cookie stay zero
    pstExpected->enMsgType = VW_MSG_TYPE_SET_REQ;
    pstExpected->enCmdType = Cmd(42);
    pstExpected->ullMsgNum = 1;
    pstExpected->ullDataLen = 21208;
    pstExpected->ullExtParam = 0x1122334455667788ULL;
    for (size_t i = 0; i < VW_CMD_BODY_LEN; ++i) {
        pstExpected->aucData[i] = static_cast<unsigned char>(i * 7 + 1);
    }
    ASSERT_EQ(RestSendSynUnixMsg("/tmp/A", VW_MSG_TYPE_SET_REQ, Cmd(42), reinterpret_cast<vwCmdBody*>(pstExpected->aucData),
                                 m_pstSock, m_pstRsp.get(), 0x1122334455667788ULL),
              0);
    MSG_DATA stReq = LastRequest();
    EXPECT_EQ(memcmp(&stReq, pstExpected.get(), sizeof(MSG_DATA)), 0);
    EXPECT_EQ(std::string(m_pstSock->szSrcName) + m_pstSock->szDstName, "/tmp/re/tmp/A");
    ExpectLogFrame(m_log.One("[KXAPI]:RestSendUnixMsg, szClientUserName[]"), 0, kFileCommon);
    ASSERT_EQ(Syn(43), 0); // no body: length 0 and an all-zero data block
    stReq = LastRequest();
    EXPECT_EQ(stReq.ullDataLen + stReq.ullExtParam + stReq.aucData[0] + stReq.aucData[VW_CMD_BODY_LEN - 1], 0U);

    // Refused before anything is sent, each with its line; seven characters are the longest name.
    unsigned int uiSent = KxServiceRequestCount(m_pstService);
    memcpy(m_pstSock->szDstName, "old", 4);
    m_log.Clear();
    MSG_DATA* r = m_pstRsp.get();
    tagUNIX_SOCKET_S* s = m_pstSock;
    const VW_MSG_TYPE t = VW_MSG_TYPE_GET_REQ;
    const std::pair<long long, const char*> aRefusals[] = {
        {RestSendUnixMsg(s, "/tmp/ABC", "/tmp/re", t, Cmd(1), nullptr, 0), "[KXAPI]:length 8 of msg dst is invalid"},
        {RestSendUnixSeqMsg(s, 3, "/tmp/A", "/tmp/Re1", t, Cmd(1), nullptr, 0), "[KXAPI]:length 8 of msg src is invalid"},
        {RestSendUnixMsg(nullptr, "/tmp/A", "/tmp/re", t, Cmd(1), nullptr, 0), "[KXAPI]:null pointer!"},
        {RestSendUnixMsg(s, nullptr, "/tmp/re", t, Cmd(1), nullptr, 0), "[KXAPI]:null pointer!"},
        {RestSendUnixSeqMsg(s, 3, "/tmp/A", nullptr, t, Cmd(1), nullptr, 0), "[KXAPI]:null pointer!"},
        {RestSendSynUnixMsg(nullptr, t, Cmd(1), nullptr, s, r, 0), "[KXAPI]:null pointer"},
        {RestSendSynUnixMsg("/tmp/A", t, Cmd(1), nullptr, nullptr, r, 0), "[KXAPI]:null pointer"},
        {RestSendSynUnixMsg("/tmp/A", t, Cmd(1), nullptr, s, nullptr, 0), "[KXAPI]:null pointer"},
        {RestSendAsynUnixMsg("/tmp/A", 1, t, Cmd(1), nullptr, nullptr, 0), "[KXAPI]:null pointer"},
    };
    for (size_t i = 0; i < std::size(aRefusals); ++i) {
        EXPECT_EQ(aRefusals[i].first, -1) << aRefusals[i].second;
        EXPECT_EQ(m_log.Texts().at(i), aRefusals[i].second);
    }
    EXPECT_EQ(std::string(m_pstSock->szDstName), "old");
    EXPECT_EQ(KxServiceRequestCount(m_pstService), uiSent);

    // One retry, then the failure; a failed send leaves the reply buffer alone.
    m_pstSock->pfnSendMsg = [](tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstMsg) {
        ++g_iSendCalls;
        return g_iFailSends-- > 0 ? -1 : KxUnixSendMsg(pstSock, pstMsg);
    };
    g_iFailSends = 1;
    EXPECT_EQ(RestSendUnixMsg(m_pstSock, "/tmp/A", "/tmp/re", t, Cmd(1), nullptr, 0), 0);
    g_iFailSends = 5;
    m_pstRsp->enResult = static_cast<VW_RESULT_TYPE>(33);
    EXPECT_EQ(RestSendSynUnixMsg("/tmp/A", t, Cmd(1), nullptr, m_pstSock, m_pstRsp.get(), 0), -1);
    EXPECT_EQ(g_iSendCalls * 100 + m_pstRsp->enResult, 433);
    ExpectLogFrame(m_log.One("[KXAPI]:fail to send unix msg"), 3, kFileCommon);
    ExpectLogFrame(m_log.One("[KXAPI]:send unix message to /tmp/A fail"), 3, kFileCommon);
}

// Late replies queued before an exchange are drained; a reply of the wrong type or command fails
// the exchange, while a matching reply's result is the caller's to read.
TEST_F(MessagingTest, DrainAndReplyChecks)
{
    int iFd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un stTo{AF_UNIX, {}};
    for (int i = 0; i < 3; ++i) { // the round after the one answered twice starts with its copy queued
        ASSERT_TRUE(i > 0 || Syn(1) == 0); // binds /tmp/re
        auto pstStale = std::make_unique<MSG_DATA>(); // what a late reply to an earlier GET looks like
        pstStale->enMsgType = VW_MSG_TYPE_GET_RSP;
        pstStale->enCmdType = Cmd(2);
        snprintf(stTo.sun_path, sizeof(stTo.sun_path), "%s", KxUnixPathOf("/tmp/re").c_str());
        for (int k = 0; k < 3 - i; ++k) {
            ASSERT_EQ(sendto(iFd, pstStale.get(), sizeof(MSG_DATA), 0, reinterpret_cast<sockaddr*>(&stTo), sizeof(stTo)),
                      static_cast<ssize_t>(sizeof(MSG_DATA)));
        }
        m_script.ucMarker = static_cast<unsigned char>(0x20 + i);
        m_script.iCopies = i == 1 ? 2 : 1; // the second copy stays queued for the next round
        ASSERT_EQ(Syn(2), 0);
        EXPECT_EQ(m_pstRsp->aucData[0] + m_pstRsp->enCmdType * 256, 0x20 + i + 512);
        ASSERT_TRUE(i != 1 || WaitQueued(m_pstSock->iFd)) << "second copy never came";
    }
    close(iFd);

    m_script = Script{};
    m_script.iType = VW_MSG_TYPE_SET_RSP; // a GET answered as a SET
    EXPECT_EQ(Syn(5), -1);
    ExpectLogFrame(m_log.One("[KXAPI]:msg type 3 is not match to 2"), 3, kFileCommon);
    ExpectLogFrame(m_log.One("[KXAPI]:receive unix message from /tmp/A fail"), 3, kFileCommon);
    EXPECT_EQ(m_pstRsp->enResult, 0);
    m_script = Script{1, -1, 6, 9};
    EXPECT_EQ(Syn(5), 9);
    EXPECT_EQ(m_log.Count("[KXAPI]:Rsp cmd type 6 is not match to 5"), 1u);
    m_script.iCmd = -1;
    EXPECT_EQ(Syn(5) * 10 + m_pstRsp->enResult, 9);

    // The handlers: a service result comes back unchanged and nothing is handed out.
    void* pData = &m_script;
    m_script.iResult = 5;
    EXPECT_EQ(GetCommon(m_pstHeader.get(), m_pstSock, Cmd(5), nullptr, &pData, 0, "/tmp/A"), 5);
    m_script = Script{1, -1, 6};
    EXPECT_EQ(GetCommon(m_pstHeader.get(), m_pstSock, Cmd(5), nullptr, &pData, 0, "/tmp/A"), 1);
    EXPECT_EQ(m_log.Count("[KXAPI]:Send SynUnixMsg for Getting cmd[5] failed"), 1u);
    EXPECT_EQ(pData, &m_script);
}

TEST_F(MessagingTest, GetSetAndGat1400Handlers)
{
    SetRequest("GET", "/v/1");
    void* pData = nullptr;
    ASSERT_EQ(GetCommon(m_pstHeader.get(), m_pstSock, Cmd(8), nullptr, &pData, 0, "/tmp/A"), 0);
    EXPECT_EQ(static_cast<unsigned char*>(pData)[0], 0x5A);
    free(pData);
    ExpectLogFrame(m_log.One("[KXAPI]:GetCommon: httpReq[GET /v/1] sendCmd[8] recvMsg[2] Result[0]"), 0, kFileBusiness);
    EXPECT_EQ(GetCommon(nullptr, m_pstSock, Cmd(8), nullptr, &pData, 0, "/tmp/A"), -1);

    EXPECT_EQ(SetCommon(m_pstHeader.get(), const_cast<char*>("abc"), 3, m_pstSock, Cmd(9), 7, "/tmp/A"), 0);
    MSG_DATA stReq = LastRequest();
    EXPECT_EQ(stReq.ullDataLen * 10 + stReq.ullExtParam, 212087u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(stReq.aucData), VW_CMD_BODY_LEN),
              "abc" + std::string(VW_CMD_BODY_LEN - 3, '\0'));
    ExpectLogFrame(m_log.One("[KXAPI]:SetCommon: httpReq[GET /v/1] sendCmd[9] recvMsg[9] Result[0]"), 1, kFileBusiness);
    m_script.iResult = 12;
    auto pstFull = std::make_unique<vwCmdBody>();
    EXPECT_EQ(SetCommon(m_pstHeader.get(), pstFull.get(), 21208, m_pstSock, Cmd(9), 0, "/tmp/A"), 12);
    unsigned int uiSent = KxServiceRequestCount(m_pstService);
    EXPECT_EQ(SetCommon(m_pstHeader.get(), pstFull.get(), 21209, m_pstSock, Cmd(9), 0, "/tmp/A") +
                  SetCommon(m_pstHeader.get(), nullptr, 0, m_pstSock, Cmd(9), 0, "/tmp/A"), -2);
    EXPECT_NE(m_log.Texts().at(m_log.Records().size() - 2).find("length[21209]"), std::string::npos);
    EXPECT_EQ(KxServiceRequestCount(m_pstService), uiSent);
    EXPECT_EQ(SetCommon(m_pstHeader.get(), pstFull.get(), 3, m_pstSock, Cmd(9), 0, nullptr), 1);
    EXPECT_EQ(m_log.Count("[KXAPI]:SetCommon: Send SynUnixMsg for set cmd[9] failed"), 1u);

    // No service behind "/tmp/GA": the GAT/1400 read reports the failure in the block it hands out.
    m_log.Clear();
    SetRequest("", "");
    ASSERT_EQ(GetCommonGat1400(m_pstHeader.get(), m_pstSock, Cmd(3), nullptr, &pData, 0), 0);
    EXPECT_EQ(std::string(static_cast<char*>(pData), VW_CMD_BODY_LEN), "\1" + std::string(VW_CMD_BODY_LEN - 1, '\0'));
    free(pData);
    EXPECT_EQ(m_log.Count("[KXAPI]:GetCommonGat1400: httpReq[ ] sendCmd[3] recvMsg[0] Result[0]"), 1u);
    pData = nullptr;
    EXPECT_EQ(GetCommon(m_pstHeader.get(), m_pstSock, Cmd(3), nullptr, &pData, 0, "/tmp/GA") * 10 + (pData != nullptr), 10);
}

TEST_F(MessagingTest, AsynchronousSendsHandTheCookieToTheReader)
{
    tagUNIX_SOCKET_S* pstAsyn = KxUnixEndpointCreate(nullptr);
    auto pstClient = std::make_unique<tagHTTP_CLIENT_S>();
    pstClient->iClientFd = 321;
    pstClient->pstUnixAsynSock = pstAsyn;
    SetRequest("PUT", "/s");
    ASSERT_EQ(SetCommonAsyn(m_pstHeader.get(), pstClient.get(), Cmd(4), nullptr, 0), 0);
    EXPECT_EQ(std::to_string(pstClient->bAsynPending) + pstAsyn->szSrcName, "1/tmp/Re");
    ExpectLogFrame(m_log.One("[KXAPI]:SetCommonAsyn: httpReq[PUT /s] sendCmd[4] "), 0, kFileBusiness);
    // The host's part: read the reply, take the value out of the cookie, release it.
    auto pstReply = std::make_unique<MSG_DATA>();
    ASSERT_TRUE(WaitQueued(pstAsyn->iFd) && KxUnixRecvMsg(pstAsyn, pstReply.get()) == 0 && pstReply->pUserData != nullptr);
    EXPECT_EQ(*static_cast<int*>(pstReply->pUserData) * 10 + pstReply->enMsgType + LastRequest().enMsgType * 100, 3313);
    free(pstReply->pUserData);

    // A failed send frees its own cookie (the leak checkers watch); the request is pending all the same.
    KxServiceStop(m_pstService);
    m_pstService = nullptr;
    pstClient->bAsynPending = 0;
    EXPECT_EQ(GetCommonAsyn(m_pstHeader.get(), pstClient.get(), Cmd(4), nullptr, 0) * 10 + pstClient->bAsynPending, 11);
    EXPECT_EQ(m_log.Count("[KXAPI]:Send SynUnixMsg for Getting cmd[4] failed"), 1u);
    pstClient->pstUnixAsynSock = nullptr;
    EXPECT_EQ(GetCommonAsyn(m_pstHeader.get(), pstClient.get(), Cmd(4), nullptr, 0), 1);
    EXPECT_EQ(GetCommonAsyn(m_pstHeader.get(), nullptr, Cmd(4), nullptr, 0), -1);
    char szLine[128];
    snprintf(szLine, sizeof(szLine), "[KXAPI]:GetCommonAsyn: invalid param, header[%p] client[%p]",
             static_cast<void*>(m_pstHeader.get()), static_cast<void*>(nullptr));
    ExpectLogFrame(m_log.One(szLine), 3, kFileBusiness);
    KxUnixEndpointDestroy(pstAsyn);
}

TEST_F(MessagingTest, TableDrivenHandlersAndReplyTaking)
{
    const KXAPI_URI_TABLE astTable[] = {{"/LAPI/V1.0/Channels", Cmd(100)}, {"/LAPI/V1.0/Channels/0/Media", Cmd(101)}};
    auto pstClient = std::make_unique<tagHTTP_CLIENT_S>();
    pstClient->pstUnixSock = m_pstSock;
    tagHTTP_CNTENT_INTER_S stCt{};
    SetRequest("GET", "/LAPI/V1.0/Unknown");
    EXPECT_EQ(RunCommonGet(m_pstHeader.get(), pstClient.get(), &stCt, astTable, 2), 3);
    EXPECT_EQ(KxServiceRequestCount(m_pstService), 0u);
    ExpectLogFrame(m_log.One("[KXAPI]:RunCommonGet: get inner cmd for ReqUrl[/LAPI/V1.0/Unknown] failed"), 3, kFileBusiness);
    SetRequest("GET", "/LAPI/V1.0/Channels/0/Media/Video");
    ASSERT_EQ(RunCommonGet(m_pstHeader.get(), pstClient.get(), &stCt, astTable, 2), 0);
    ASSERT_NE(stCt.pRspBody, nullptr);
    EXPECT_EQ(LastRequest().enCmdType, 101);
    free(stCt.pRspBody);
    stCt.pRspBody = nullptr;
    EXPECT_EQ(PreCommonGet(m_pstHeader.get(), m_pstSock, &stCt, astTable, 2), 0); // GET: nothing to do
    EXPECT_EQ(KxServiceRequestCount(m_pstService), 1u);
    for (const char* pszMethod : {"PUT", "P", ""}) {
        snprintf(m_pstHeader->szMethod, sizeof(m_pstHeader->szMethod), "%s", pszMethod);
        ASSERT_EQ(PreCommonGet(m_pstHeader.get(), m_pstSock, &stCt, astTable, 2), 0) << pszMethod;
        EXPECT_TRUE(stCt.pPreData != nullptr && stCt.pRspBody == nullptr);
        free(stCt.pPreData);
        stCt.pPreData = nullptr;
    }
    pstClient->pstUnixSock = nullptr;
    EXPECT_EQ(RunCommonGet(m_pstHeader.get(), pstClient.get(), &stCt, astTable, 2) +
                  RunCommonGet(m_pstHeader.get(), nullptr, &stCt, astTable, 2), -2);

    // Stored replies are consumed on every path once the arguments are valid; an empty slot reads
    // as an all-zero GET reply, after the failed copy's line.
    const int aiStored[][4] = {{3, 0, 0, 0}, {2, 11, 11, 0}, {2, 0, 0, 1}, {0, 0, 0, 1}, {-1, 0, 0, 1}};
    for (const auto& c : aiStored) { // type (-1: empty slot), result, return, body handed out
        m_log.Clear();
        auto* pstStored = c[0] < 0 ? nullptr : static_cast<MSG_DATA*>(calloc(1, sizeof(MSG_DATA)));
        if (pstStored != nullptr) {
            pstStored->enMsgType = static_cast<VW_MSG_TYPE>(c[0]);
            pstStored->enResult = static_cast<VW_RESULT_TYPE>(c[1]);
            pstStored->aucData[0] = 0x77;
        }
        pstClient->pRecvMsg = pstStored;
        EXPECT_EQ(RecvCommon(m_pstHeader.get(), pstClient.get(), &stCt), c[2]);
        EXPECT_EQ(pstClient->pRecvMsg, nullptr);
        ASSERT_EQ(stCt.pRspBody != nullptr, c[3] == 1);
        EXPECT_EQ(c[3] == 1 ? stCt.pRspBody[0] : 0, pstStored != nullptr && c[3] == 1 ? 0x77 : 0);
        free(stCt.pRspBody);
        stCt.pRspBody = nullptr;
        EXPECT_EQ(m_log.Count("[KXAPI]:RecvCommon recv cmd[0] result[" + std::to_string(c[1]) + "]"), 1u);
    }
    ExpectLogFrame(m_log.Records()[0], 3, kFileBusiness);
    EXPECT_EQ(m_log.Records()[0].strText.rfind("[KXAPI]:[memcpy_s] expect Ret 0, actual Ret ", 0), 0u);
    EXPECT_EQ(RecvCommon(nullptr, pstClient.get(), &stCt), -1);
}

// The one real wait: a SET of an ordinary command times out after 15 s; its reply, arriving late,
// is then discarded by the next exchange on the endpoint.
TEST_F(MessagingTest, RealTimeout15sAndLateReplyDiscarded)
{
    m_script.uiDelaySetMs = 15500;
    m_script.ucMarker = 0x33;
    EXPECT_EQ(Syn(7037, VW_MSG_TYPE_SET_REQ) * 10 + m_pstRsp->enResult, -11);
    ExpectLogFrame(m_log.One("[KXAPI]:select timeout"), 3, kFileCommon);
    ASSERT_TRUE(WaitQueued(m_pstSock->iFd)) << "late reply never came";
    m_script.ucMarker = 0x44;
    ASSERT_EQ(Syn(7037), 0);
    EXPECT_EQ(m_pstRsp->enMsgType * 1000 + m_pstRsp->aucData[0], 2000 + 0x44);
}

} // namespace
