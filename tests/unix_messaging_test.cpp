// The command message on real Unix datagram sockets: wire bytes, retry, drain, reply checks,
// cookies, and the handlers built on the exchange. Services are emulated on their own threads.
#include "kxapi_unix_timeout.h"
#include "kxapicommon.h"
#include "kxdevhost.h"
#include "kxservices.h"
#include "log_capture.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

VW_CMD_TYPE Cmd(int i)
{
    return static_cast<VW_CMD_TYPE>(i);
}

// A script for the emulated service: every field left at its default gives the usual answer.
struct Script {
    int iCopies = 1;
    int iType = -1;  // reply type override
    int iCmd = -1;   // reply command override
    int iResult = 0;
    unsigned char ucMarker = 0x5A; // first data byte of every reply
    unsigned int uiDelayMs = 0;
    unsigned int uiDelaySetMs = 0; // delay for SET requests only
};

int ScriptedHandler(void* pUser, const MSG_DATA* pstReq, MSG_DATA* pstReply, unsigned int* puiDelayMs)
{
    const Script* pstScript = static_cast<const Script*>(pUser);
    if (pstScript->iType >= 0) {
        pstReply->enMsgType = static_cast<VW_MSG_TYPE>(pstScript->iType);
    }
    if (pstScript->iCmd >= 0) {
        pstReply->enCmdType = Cmd(pstScript->iCmd);
    }
    pstReply->enResult = static_cast<VW_RESULT_TYPE>(pstScript->iResult);
    pstReply->aucData[0] = pstScript->ucMarker;
    *puiDelayMs = pstReq->enMsgType == VW_MSG_TYPE_SET_REQ ? pstScript->uiDelaySetMs : pstScript->uiDelayMs;
    return pstScript->iCopies;
}

int g_iFailSends = 0;
int g_iSendCalls = 0;
int FlakySend(tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstMsg)
{
    ++g_iSendCalls;
    if (g_iFailSends > 0) {
        --g_iFailSends;
        return -1;
    }
    return KxUnixSendMsg(pstSock, pstMsg);
}

class UnixMessagingTest : public LoggedTest {
protected:
    void SetUp() override
    {
        m_iFdsBefore = CountOpenFds();
        ASSERT_EQ(KxUnixSetRunDir(m_dir.Path().c_str()), 0);
        m_pstSock = KxUnixEndpointCreate(nullptr);
        ASSERT_NE(m_pstSock, nullptr);
        g_iFailSends = 0;
        g_iSendCalls = 0;
    }
    void TearDown() override
    {
        StopService();
        KxUnixEndpointDestroy(m_pstSock);
        EXPECT_EQ(CountOpenFds(), m_iFdsBefore) << "descriptors leaked";
    }
    void StartService(const char* pszName = "/tmp/A")
    {
        m_pstService = KxServiceStart(pszName, ScriptedHandler, &m_script);
        ASSERT_NE(m_pstService, nullptr);
    }
    void StopService()
    {
        KxServiceStop(m_pstService);
        m_pstService = nullptr;
    }
    MSG_DATA LastRequest()
    {
        MSG_DATA stReq;
        EXPECT_EQ(KxServiceLastRequest(m_pstService, &stReq), 0);
        return stReq;
    }
    // Queues a datagram on the endpoint's "/tmp/re" name from a socket of its own.
    void QueueStale(VW_MSG_TYPE enType, int iCmd)
    {
        int iFd = socket(AF_UNIX, SOCK_DGRAM, 0);
        ASSERT_GE(iFd, 0);
        auto pstMsg = std::make_unique<MSG_DATA>();
        memset(pstMsg.get(), 0, sizeof(MSG_DATA));
        pstMsg->enMsgType = enType;
        pstMsg->enCmdType = Cmd(iCmd);
        pstMsg->aucData[0] = 0xEE;
        sockaddr_un stTo{};
        stTo.sun_family = AF_UNIX;
        std::string strPath = KxUnixPathOf("/tmp/re");
        memcpy(stTo.sun_path, strPath.c_str(), strPath.size() + 1);
        EXPECT_EQ(sendto(iFd, pstMsg.get(), sizeof(MSG_DATA), 0, reinterpret_cast<sockaddr*>(&stTo), sizeof(stTo)),
                  static_cast<ssize_t>(sizeof(MSG_DATA)));
        close(iFd);
    }
    // True once something is queued on the endpoint (nothing is read).
    bool WaitQueued()
    {
        fd_set stSet;
        FD_ZERO(&stSet);
        FD_SET(m_pstSock->iFd, &stSet);
        timeval stWait = {5, 0};
        return select(m_pstSock->iFd + 1, &stSet, nullptr, nullptr, &stWait) == 1;
    }
    long long SynGet(int iCmd, MSG_DATA* pstRsp, const char* pszDst = "/tmp/A")
    {
        memset(pstRsp, 0, sizeof(*pstRsp));
        return RestSendSynUnixMsg(pszDst, VW_MSG_TYPE_GET_REQ, Cmd(iCmd), nullptr, m_pstSock, pstRsp, 0);
    }

    TempDir m_dir;
    int m_iFdsBefore = 0;
    tagUNIX_SOCKET_S* m_pstSock = nullptr;
    KXSERVICE* m_pstService = nullptr;
    Script m_script;
    std::unique_ptr<MSG_DATA> m_pstRsp = std::make_unique<MSG_DATA>();
    std::unique_ptr<tagHTTP_HEADER_S> m_pstHeader = std::make_unique<tagHTTP_HEADER_S>();
};

TEST(UnixReplyWait, SelectionTable)
{
    const struct {
        int iType;
        int iCmd;
        int iSec;
        int iReply;
    } astCases[] = {
        {0, 7013, 30, 2}, {0, 1, 30, 2},      {1, 22026, 60, 3}, {1, 7020, 120, 3}, {1, 7038, 180, 3},
        {1, 7039, 180, 3}, {1, 7013, 360, 3}, {1, 7037, 15, 3},  {1, 7014, 15, 3},  {1, 0, 15, 3},
        {2, 7013, 15, 3}, {3, 22026, 15, 3},  {-1, 7020, 15, 3}, {99, 0, 15, 3},
    };
    for (const auto& c : astCases) {
        KxapiReplyWait stWait = KxapiSelectReplyWait(static_cast<VW_MSG_TYPE>(c.iType), Cmd(c.iCmd));
        EXPECT_EQ(stWait.iTimeoutSec, c.iSec) << c.iType << "/" << c.iCmd;
        EXPECT_EQ(stWait.enReplyType, c.iReply) << c.iType << "/" << c.iCmd;
    }
}

TEST_F(UnixMessagingTest, WireBytesOfBuiltMessages)
{
    StartService();
    auto pstBody = std::make_unique<vwCmdBody>();
    for (size_t i = 0; i < sizeof(vwCmdBody); ++i) {
        pstBody->aucData[i] = static_cast<unsigned char>(i * 7 + 1);
    }
    ASSERT_EQ(RestSendSynUnixMsg("/tmp/A", VW_MSG_TYPE_SET_REQ, Cmd(42), pstBody.get(), m_pstSock, m_pstRsp.get(),
                                 0x1122334455667788ULL),
              0);
    MSG_DATA stReq = LastRequest();
    const unsigned char* puc = reinterpret_cast<const unsigned char*>(&stReq);
    // On the camera (ILP32) the fields sit at 160, 164, 168, 176, 180, 184, 192 and 200.
#if KXAPI_TARGET_ABI
    static_assert(offsetof(MSG_DATA, ullDataLen) == 184 && sizeof(MSG_DATA) == 21408, "camera layout");
#endif
    for (size_t i = 0; i < offsetof(MSG_DATA, enMsgType); ++i) {
        ASSERT_EQ(puc[i], 0) << "byte " << i;
    }
    EXPECT_EQ(stReq.enMsgType, VW_MSG_TYPE_SET_REQ);
    EXPECT_EQ(stReq.enCmdType, 42);
    EXPECT_EQ(stReq.ullMsgNum, 1u);
    EXPECT_EQ(stReq.enResult, 0);
    EXPECT_EQ(stReq.pUserData, nullptr);
    EXPECT_EQ(stReq.ullDataLen, 21208u);
    EXPECT_EQ(stReq.ullExtParam, 0x1122334455667788ULL);
    EXPECT_EQ(puc[offsetof(MSG_DATA, ullExtParam)], 0x88); // little-endian on the wire
    EXPECT_EQ(memcmp(stReq.aucData, pstBody.get(), sizeof(vwCmdBody)), 0);
    EXPECT_EQ(std::string(m_pstSock->szSrcName), "/tmp/re");
    EXPECT_EQ(std::string(m_pstSock->szDstName), "/tmp/A");
    ExpectLogFrame(m_log.One("[KXAPI]:RestSendUnixMsg, szClientUserName[]"), 0, kFileCommon);

    // No body: length 0, an all-zero data block, padding bytes zero.
    ASSERT_EQ(SynGet(43, m_pstRsp.get()), 0);
    stReq = LastRequest();
    EXPECT_EQ(stReq.ullDataLen, 0u);
    EXPECT_EQ(stReq.ullExtParam, 0u);
    MSG_DATA stZero;
    memset(&stZero, 0, sizeof(stZero));
    stZero.enMsgType = VW_MSG_TYPE_GET_REQ;
    stZero.enCmdType = Cmd(43);
    stZero.ullMsgNum = 1;
    EXPECT_EQ(memcmp(&stReq, &stZero, sizeof(stZero)), 0);
}

TEST_F(UnixMessagingTest, OneRetryThenFailure)
{
    StartService();
    m_pstSock->pfnSendMsg = FlakySend;
    g_iFailSends = 1;
    EXPECT_EQ(RestSendUnixMsg(m_pstSock, "/tmp/A", "/tmp/re", VW_MSG_TYPE_GET_REQ, Cmd(1), nullptr, 0), 0);
    EXPECT_EQ(g_iSendCalls, 2);
    g_iSendCalls = 0;
    g_iFailSends = 5;
    m_pstRsp->enResult = static_cast<VW_RESULT_TYPE>(33);
    EXPECT_EQ(RestSendSynUnixMsg("/tmp/A", VW_MSG_TYPE_GET_REQ, Cmd(1), nullptr, m_pstSock, m_pstRsp.get(), 0), -1);
    EXPECT_EQ(g_iSendCalls, 2);
    EXPECT_EQ(m_pstRsp->enResult, 33); // a failed send leaves the reply buffer alone
    ExpectLogFrame(m_log.One("[KXAPI]:fail to send unix msg"), 3, kFileCommon);
    ExpectLogFrame(m_log.One("[KXAPI]:send unix message to /tmp/A fail"), 3, kFileCommon);
}

TEST_F(UnixMessagingTest, BadArgumentsAreRefusedBeforeSending)
{
    StartService();
    memcpy(m_pstSock->szDstName, "old", 4);
    EXPECT_EQ(RestSendUnixMsg(m_pstSock, "/tmp/ABC", "/tmp/re", VW_MSG_TYPE_GET_REQ, Cmd(1), nullptr, 0), -1);
    ExpectLogFrame(m_log.One("[KXAPI]:length 8 of msg dst is invalid"), 3, kFileCommon);
    EXPECT_EQ(RestSendUnixSeqMsg(m_pstSock, 3, "/tmp/A", "/tmp/Re1", VW_MSG_TYPE_GET_REQ, Cmd(1), nullptr, 0), -1);
    EXPECT_EQ(m_log.Count("[KXAPI]:length 8 of msg src is invalid"), 1u);
    EXPECT_EQ(RestSendUnixMsg(nullptr, "/tmp/A", "/tmp/re", VW_MSG_TYPE_GET_REQ, Cmd(1), nullptr, 0), -1);
    EXPECT_EQ(RestSendUnixMsg(m_pstSock, nullptr, "/tmp/re", VW_MSG_TYPE_GET_REQ, Cmd(1), nullptr, 0), -1);
    EXPECT_EQ(RestSendUnixSeqMsg(m_pstSock, 3, "/tmp/A", nullptr, VW_MSG_TYPE_GET_REQ, Cmd(1), nullptr, 0), -1);
    EXPECT_EQ(m_log.Count("[KXAPI]:null pointer!"), 3u);
    EXPECT_EQ(std::string(m_pstSock->szDstName), "old");
    EXPECT_EQ(RestSendSynUnixMsg(nullptr, VW_MSG_TYPE_GET_REQ, Cmd(1), nullptr, m_pstSock, m_pstRsp.get(), 0), -1);
    EXPECT_EQ(RestSendSynUnixMsg("/tmp/A", VW_MSG_TYPE_GET_REQ, Cmd(1), nullptr, nullptr, m_pstRsp.get(), 0), -1);
    EXPECT_EQ(RestSendSynUnixMsg("/tmp/A", VW_MSG_TYPE_GET_REQ, Cmd(1), nullptr, m_pstSock, nullptr, 0), -1);
    EXPECT_EQ(RestSendAsynUnixMsg("/tmp/A", 1, VW_MSG_TYPE_GET_REQ, Cmd(1), nullptr, nullptr, 0), -1);
    EXPECT_EQ(m_log.Count("[KXAPI]:null pointer"), 4u);
    EXPECT_EQ(KxServiceRequestCount(m_pstService), 0u);
    // Seven characters pass.
    EXPECT_EQ(RestSendUnixMsg(m_pstSock, "/tmp/A", "/tmp/re", VW_MSG_TYPE_GET_REQ, Cmd(1), nullptr, 0), 0);
    EXPECT_EQ(std::string(m_pstSock->szSrcName), "/tmp/re");
    EXPECT_EQ(m_log.Count("[KXAPI]:length 7 of msg src is invalid"), 0u);
}

TEST_F(UnixMessagingTest, QueuedDatagramsAreNeverTakenForTheReply)
{
    StartService();
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(SynGet(1, m_pstRsp.get()), 0); // binds /tmp/re on the first round
        if (i == 0) {
            for (int k = 0; k < 4; ++k) {
                QueueStale(VW_MSG_TYPE_GET_RSP, 2); // what a late reply to an earlier GET looks like
            }
        }
    }
    m_script.iCopies = 2; // the second copy stays queued
    m_script.ucMarker = 0x11;
    ASSERT_EQ(SynGet(2, m_pstRsp.get()), 0);
    ASSERT_TRUE(WaitQueued()) << "second copy never came";
    m_script.iCopies = 1;
    m_script.ucMarker = 0x22;
    QueueStale(VW_MSG_TYPE_GET_RSP, 2);
    ASSERT_EQ(SynGet(2, m_pstRsp.get()), 0);
    EXPECT_EQ(m_pstRsp->aucData[0], 0x22);
    EXPECT_EQ(m_pstRsp->enCmdType, 2);
}

TEST_F(UnixMessagingTest, MismatchedRepliesFailAndResultsPassOn)
{
    StartService();
    m_script.iType = VW_MSG_TYPE_SET_RSP; // a GET answered as a SET
    EXPECT_EQ(SynGet(5, m_pstRsp.get()), -1);
    ExpectLogFrame(m_log.One("[KXAPI]:msg type 3 is not match to 2"), 3, kFileCommon);
    ExpectLogFrame(m_log.One("[KXAPI]:receive unix message from /tmp/A fail"), 3, kFileCommon);
    EXPECT_EQ(m_pstRsp->enResult, 0); // a received reply keeps its own result
    m_script.iType = -1;
    m_script.iCmd = 6;
    m_script.iResult = 9;
    EXPECT_EQ(SynGet(5, m_pstRsp.get()), 9);
    EXPECT_EQ(m_log.Count("[KXAPI]:Rsp cmd type 6 is not match to 5"), 1u);
    m_script.iCmd = -1;
    EXPECT_EQ(SynGet(5, m_pstRsp.get()), 0); // a matching reply: its result is the caller's to read
    EXPECT_EQ(m_pstRsp->enResult, 9);
    m_script.iResult = 0;
    EXPECT_EQ(RestSendSynUnixMsg("/tmp/A", VW_MSG_TYPE_SET_REQ, Cmd(5), nullptr, m_pstSock, m_pstRsp.get(), 0), 0);
    EXPECT_EQ(m_pstRsp->enMsgType, VW_MSG_TYPE_SET_RSP);

    // The handlers: a service result comes back unchanged and nothing is handed out.
    void* pData = &m_script;
    m_script.iResult = 5;
    EXPECT_EQ(GetCommon(m_pstHeader.get(), m_pstSock, Cmd(5), nullptr, &pData, 0, "/tmp/A"), 5);
    EXPECT_EQ(pData, &m_script);
    m_script.iCmd = 6;
    m_script.iResult = 0;
    EXPECT_EQ(GetCommon(m_pstHeader.get(), m_pstSock, Cmd(5), nullptr, &pData, 0, "/tmp/A"), 1);
    EXPECT_EQ(m_log.Count("[KXAPI]:Send SynUnixMsg for Getting cmd[5] failed"), 1u);
    EXPECT_EQ(pData, &m_script);
}

TEST_F(UnixMessagingTest, GetAndSetHandlers)
{
    StartService();
    memcpy(m_pstHeader->szMethod, "GET", 4);
    memcpy(m_pstHeader->szUrl, "/v/1", 5);
    void* pData = nullptr;
    ASSERT_EQ(GetCommon(m_pstHeader.get(), m_pstSock, Cmd(8), nullptr, &pData, 0, "/tmp/A"), 0);
    ASSERT_NE(pData, nullptr);
    EXPECT_EQ(static_cast<unsigned char*>(pData)[0], 0x5A);
    free(pData);
    ExpectLogFrame(m_log.One("[KXAPI]:GetCommon: httpReq[GET /v/1] sendCmd[8] recvMsg[2] Result[0]"), 0,
                   kFileBusiness);

    std::string strBody = "abc";
    EXPECT_EQ(SetCommon(m_pstHeader.get(), strBody.data(), 3, m_pstSock, Cmd(9), 7, "/tmp/A"), 0);
    MSG_DATA stReq = LastRequest();
    EXPECT_EQ(stReq.ullDataLen, 21208u);
    EXPECT_EQ(stReq.ullExtParam, 7u);
    EXPECT_EQ(memcmp(stReq.aucData, "abc", 3), 0);
    for (size_t i = 3; i < sizeof(stReq.aucData); ++i) {
        ASSERT_EQ(stReq.aucData[i], 0);
    }
    ExpectLogFrame(m_log.One("[KXAPI]:SetCommon: httpReq[GET /v/1] sendCmd[9] recvMsg[9] Result[0]"), 1,
                   kFileBusiness);
    m_script.iResult = 12;
    auto pstFull = std::make_unique<vwCmdBody>();
    EXPECT_EQ(SetCommon(m_pstHeader.get(), pstFull.get(), 21208, m_pstSock, Cmd(9), 0, "/tmp/A"), 12);
    unsigned int uiSent = KxServiceRequestCount(m_pstService);
    EXPECT_EQ(SetCommon(m_pstHeader.get(), pstFull.get(), 21209, m_pstSock, Cmd(9), 0, "/tmp/A"), -1);
    EXPECT_EQ(SetCommon(m_pstHeader.get(), nullptr, 0, m_pstSock, Cmd(9), 0, "/tmp/A"), -1);
    EXPECT_EQ(KxServiceRequestCount(m_pstService), uiSent);
    EXPECT_EQ(m_log.Records().back().iLevel, 3);
    EXPECT_NE(m_log.Texts()[m_log.Texts().size() - 2].find("length[21209]"), std::string::npos);
    EXPECT_EQ(SetCommon(m_pstHeader.get(), strBody.data(), 3, m_pstSock, Cmd(9), 0, nullptr), 1);
    EXPECT_EQ(m_log.Count("[KXAPI]:SetCommon: Send SynUnixMsg for set cmd[9] failed"), 1u);
    EXPECT_EQ(GetCommon(nullptr, m_pstSock, Cmd(8), nullptr, &pData, 0, "/tmp/A"), -1);
}

TEST_F(UnixMessagingTest, Gat1400ReportsTransportFailureInBand)
{
    // No service behind "/tmp/GA": the send fails, nothing is received.
    void* pData = nullptr;
    ASSERT_EQ(GetCommonGat1400(m_pstHeader.get(), m_pstSock, Cmd(3), nullptr, &pData, 0), 0);
    ASSERT_NE(pData, nullptr);
    int32_t iFirst = 0;
    memcpy(&iFirst, pData, 4);
    EXPECT_EQ(iFirst, 1);
    for (size_t i = 4; i < VW_CMD_BODY_LEN; ++i) {
        ASSERT_EQ(static_cast<unsigned char*>(pData)[i], 0);
    }
    free(pData);
    EXPECT_EQ(m_log.Count("[KXAPI]:GetCommonGat1400: httpReq[ ] sendCmd[3] recvMsg[0] Result[0]"), 1u);
    pData = nullptr;
    StartService("/tmp/G2");
    ASSERT_EQ(GetCommonGat1400_2(m_pstHeader.get(), m_pstSock, Cmd(3), nullptr, &pData, 0), 0);
    EXPECT_EQ(static_cast<unsigned char*>(pData)[0], 0x5A);
    free(pData);
    pData = nullptr;
    EXPECT_EQ(GetCommon(m_pstHeader.get(), m_pstSock, Cmd(3), nullptr, &pData, 0, "/tmp/GA"), 1);
    EXPECT_EQ(pData, nullptr);
}

TEST_F(UnixMessagingTest, AsynchronousSendsHandTheCookieToTheReader)
{
    StartService();
    tagUNIX_SOCKET_S* pstAsyn = KxUnixEndpointCreate(nullptr);
    auto pstClient = std::make_unique<tagHTTP_CLIENT_S>();
    pstClient->iClientFd = 321;
    pstClient->pstUnixAsynSock = pstAsyn;
    memcpy(m_pstHeader->szMethod, "PUT", 4);
    memcpy(m_pstHeader->szUrl, "/s", 3);
    ASSERT_EQ(SetCommonAsyn(m_pstHeader.get(), pstClient.get(), Cmd(4), nullptr, 0), 0);
    EXPECT_EQ(pstClient->bAsynPending, 1);
    EXPECT_EQ(std::string(pstAsyn->szSrcName), "/tmp/Re");
    ExpectLogFrame(m_log.One("[KXAPI]:SetCommonAsyn: httpReq[PUT /s] sendCmd[4] "), 0, kFileBusiness);
    // The host's part: read the reply, take the value out of the cookie, release it.
    fd_set stSet;
    FD_ZERO(&stSet);
    FD_SET(pstAsyn->iFd, &stSet);
    timeval stWait = {10, 0};
    ASSERT_EQ(select(pstAsyn->iFd + 1, &stSet, nullptr, nullptr, &stWait), 1);
    auto pstReply = std::make_unique<MSG_DATA>();
    ASSERT_EQ(KxUnixRecvMsg(pstAsyn, pstReply.get()), 0);
    EXPECT_EQ(pstReply->enMsgType, VW_MSG_TYPE_SET_RSP);
    ASSERT_NE(pstReply->pUserData, nullptr);
    EXPECT_EQ(*static_cast<int*>(pstReply->pUserData), 321);
    free(pstReply->pUserData);
    EXPECT_EQ(LastRequest().enMsgType, VW_MSG_TYPE_SET_REQ);

    // A failed send frees its own cookie (the leak checker of the sanitizer build watches).
    StopService();
    pstClient->bAsynPending = 0;
    EXPECT_EQ(GetCommonAsyn(m_pstHeader.get(), pstClient.get(), Cmd(4), nullptr, 0), 1);
    EXPECT_EQ(pstClient->bAsynPending, 1);
    EXPECT_EQ(m_log.Count("[KXAPI]:fail to send unix msg"), 1u);
    EXPECT_EQ(m_log.Count("[KXAPI]:Send SynUnixMsg for Getting cmd[4] failed"), 1u);
    pstClient->pstUnixAsynSock = nullptr;
    EXPECT_EQ(GetCommonAsyn(m_pstHeader.get(), pstClient.get(), Cmd(4), nullptr, 0), 1);
    pstClient->bAsynPending = 0;
    EXPECT_EQ(GetCommonAsyn(m_pstHeader.get(), nullptr, Cmd(4), nullptr, 0), -1);
    char szLine[128];
    snprintf(szLine, sizeof(szLine), "[KXAPI]:GetCommonAsyn: invalid param, header[%p] client[%p]",
             static_cast<void*>(m_pstHeader.get()), static_cast<void*>(nullptr));
    ExpectLogFrame(m_log.One(szLine), 3, kFileBusiness);
    KxUnixEndpointDestroy(pstAsyn);
}

TEST_F(UnixMessagingTest, TableDrivenHandlersAndReplyTaking)
{
    StartService();
    const KXAPI_URI_TABLE astTable[] = {{"/LAPI/V1.0/Channels", Cmd(100)}, {"/LAPI/V1.0/Channels/0/Media", Cmd(101)}};
    auto pstClient = std::make_unique<tagHTTP_CLIENT_S>();
    pstClient->pstUnixSock = m_pstSock;
    tagHTTP_CNTENT_INTER_S stCt{};
    memcpy(m_pstHeader->szMethod, "GET", 4);
    strcpy(m_pstHeader->szUrl, "/LAPI/V1.0/Unknown");
    EXPECT_EQ(RunCommonGet(m_pstHeader.get(), pstClient.get(), &stCt, astTable, 2), 3);
    EXPECT_EQ(stCt.pRspBody, nullptr);
    EXPECT_EQ(KxServiceRequestCount(m_pstService), 0u);
    ExpectLogFrame(m_log.One("[KXAPI]:RunCommonGet: get inner cmd for ReqUrl[/LAPI/V1.0/Unknown] failed"), 3,
                   kFileBusiness);

    strcpy(m_pstHeader->szUrl, "/LAPI/V1.0/Channels/0/Media/Video");
    ASSERT_EQ(RunCommonGet(m_pstHeader.get(), pstClient.get(), &stCt, astTable, 2), 0);
    ASSERT_NE(stCt.pRspBody, nullptr);
    EXPECT_EQ(LastRequest().enCmdType, 101);
    EXPECT_EQ(std::string(m_pstSock->szDstName), "/tmp/A");
    free(stCt.pRspBody);
    stCt.pRspBody = nullptr;

    unsigned int uiSent = KxServiceRequestCount(m_pstService);
    EXPECT_EQ(PreCommonGet(m_pstHeader.get(), m_pstSock, &stCt, astTable, 2), 0); // GET: nothing to do
    EXPECT_EQ(KxServiceRequestCount(m_pstService), uiSent);
    for (const char* pszMethod : {"PUT", "P", ""}) {
        strcpy(m_pstHeader->szMethod, pszMethod);
        ASSERT_EQ(PreCommonGet(m_pstHeader.get(), m_pstSock, &stCt, astTable, 2), 0) << pszMethod;
        ASSERT_NE(stCt.pPreData, nullptr);
        EXPECT_EQ(stCt.pRspBody, nullptr);
        free(stCt.pPreData);
        stCt.pPreData = nullptr;
    }
    EXPECT_EQ(RunCommonGet(m_pstHeader.get(), nullptr, &stCt, astTable, 2), -1);
    pstClient->pstUnixSock = nullptr;
    EXPECT_EQ(RunCommonGet(m_pstHeader.get(), pstClient.get(), &stCt, astTable, 2), -1);

    // Stored replies: consumed on every path once the arguments are valid.
    const struct {
        int iType;
        int iResult;
        int iRet;
        bool bBody;
    } astStored[] = {{3, 0, 0, false}, {2, 11, 11, false}, {2, 0, 0, true}, {0, 0, 0, true}};
    for (const auto& c : astStored) {
        MSG_DATA* pstStored = static_cast<MSG_DATA*>(calloc(1, sizeof(MSG_DATA)));
        pstStored->enMsgType = static_cast<VW_MSG_TYPE>(c.iType);
        pstStored->enResult = static_cast<VW_RESULT_TYPE>(c.iResult);
        pstStored->aucData[0] = 0x77;
        pstClient->pRecvMsg = pstStored;
        EXPECT_EQ(RecvCommon(m_pstHeader.get(), pstClient.get(), &stCt), c.iRet);
        EXPECT_EQ(pstClient->pRecvMsg, nullptr);
        EXPECT_EQ(stCt.pRspBody != nullptr, c.bBody);
        if (stCt.pRspBody != nullptr) {
            EXPECT_EQ(static_cast<unsigned char>(stCt.pRspBody[0]), 0x77);
        }
        free(stCt.pRspBody);
        stCt.pRspBody = nullptr;
    }
    EXPECT_EQ(m_log.Count("[KXAPI]:RecvCommon recv cmd[0] result[11]"), 1u);
    // An empty slot reads as an all-zero GET reply, after the failed copy's line.
    m_log.Clear();
    ASSERT_EQ(RecvCommon(m_pstHeader.get(), pstClient.get(), &stCt), 0);
    ASSERT_NE(stCt.pRspBody, nullptr);
    EXPECT_EQ(stCt.pRspBody[0], 0);
    free(stCt.pRspBody);
    ASSERT_FALSE(m_log.Records().empty());
    EXPECT_EQ(m_log.Records()[0].strText.rfind("[KXAPI]:[memcpy_s] expect Ret 0, actual Ret ", 0), 0u);
    ExpectLogFrame(m_log.Records()[0], 3, kFileBusiness);
    EXPECT_EQ(m_log.Count("[KXAPI]:RecvCommon recv cmd[0] result[0]"), 1u);
    EXPECT_EQ(RecvCommon(nullptr, pstClient.get(), &stCt), -1);
}

// The one real wait: a SET of an ordinary command times out after 15 s; its reply, arriving late,
// is then discarded by the next exchange on the endpoint.
TEST_F(UnixMessagingTest, RealTimeout15sAndLateReplyDiscarded)
{
    StartService();
    m_script.uiDelaySetMs = 15500;
    m_script.ucMarker = 0x33;
    m_pstRsp->enResult = VW_RESULT_OK;
    EXPECT_EQ(RestSendSynUnixMsg("/tmp/A", VW_MSG_TYPE_SET_REQ, Cmd(7037), nullptr, m_pstSock, m_pstRsp.get(), 0),
              -1);
    EXPECT_EQ(m_pstRsp->enResult, -1);
    ExpectLogFrame(m_log.One("[KXAPI]:select timeout"), 3, kFileCommon);
    ASSERT_TRUE(WaitQueued()) << "late reply never came";
    m_script.ucMarker = 0x44;
    ASSERT_EQ(SynGet(7037, m_pstRsp.get()), 0);
    EXPECT_EQ(m_pstRsp->enMsgType, VW_MSG_TYPE_GET_RSP);
    EXPECT_EQ(m_pstRsp->aucData[0], 0x44);
}

} // namespace
