// The command message on real Unix datagram sockets: wire bytes, retry, drain, reply checks,
// cookies, and the handlers built on the exchange; then every request path under failing
// allocations: the n-th allocation of the calling thread fails, for n = 1, 2, ... until the path
// runs through without reaching it. Each run must end with success or the path's own failure
// result, hand out nothing on failure (a block handed out is one left outstanding, as the paths
// free only what success hands them) and give back every descriptor. Where the host runs a path
// in a tight loop, its count of allocations is part of the contract. Services are emulated on
// threads of their own and never see a failure.
#include "alloc_failure_hook.h"

#include "hbtp_service.h"
#include "kxapicommon.h"
#include "kxdevhost.h"
#include "kxplatform.h"
#include "kxservices.h"
#include "log_capture.h"
#include "response_buffer.h"
#include "temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <string>

unsigned long long KxapiHttpGetUnLockTime(tagHTTP_CLIENT_S*)
{
    return 42;
}

namespace {

const auto Cmd = [](int i) { return static_cast<VW_CMD_TYPE>(i); };

const std::string kSent = "I common RestSendUnixMsg, szClientUserName[]\n"; // each send through RestSendUnixMsg

// What the emulated service answers: every field left at its default gives the usual answer.
struct Script {
    int iCopies = 1, iType = -1, iCmd = -1, iResult = 0; // copies to send, overrides of type and command
    unsigned char ucMarker = 0x5A;                       // first data byte of every reply
    bool bFull = false;                                  // every data byte the marker, no NUL in the block
    unsigned int uiDelaySetMs = 0;
};

int g_iFailUntil = 0, g_iSendCalls = 0; // sends fail while they are counted up to g_iFailUntil

// A service "/tmp/A" run by m_script, and a client with a synchronous and an asynchronous endpoint.
class MessagingTest : public LoggedTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(KxUnixSetRunDir(m_dir.Path().c_str()), 0);
        ASSERT_EQ(KxSrvfsSetRoot(m_dir.Path().c_str()), 0);
        m_client->pstUnixSock = m_pstSock = KxUnixEndpointCreate(nullptr);
        m_client->pstUnixAsynSock = m_pstAsynSock = KxUnixEndpointCreate(nullptr);
        m_pstService = KxServiceStart("/tmp/A", Answer, &m_script);
        ASSERT_TRUE(m_pstSock != nullptr && m_pstAsynSock != nullptr && m_pstService != nullptr);
        m_client->iClientFd = 77;
        g_iFailUntil = g_iSendCalls = 0;
        // The first byte is what the service writes into every reply.
        std::iota(std::begin(m_body.aucData), std::end(m_body.aucData), 0x5A);
    }
    // The service's handler, run by the Script pUser points to.
    static int Answer(void* pUser, const MSG_DATA* pstReq, MSG_DATA* pstReply, unsigned int* puiDelayMs)
    {
        const Script* s = static_cast<const Script*>(pUser);
        pstReply->enMsgType = s->iType >= 0 ? static_cast<VW_MSG_TYPE>(s->iType) : pstReply->enMsgType;
        pstReply->enCmdType = s->iCmd >= 0 ? Cmd(s->iCmd) : pstReply->enCmdType;
        pstReply->enResult = static_cast<VW_RESULT_TYPE>(s->iResult);
        memset(pstReply->aucData, s->ucMarker, s->bFull ? sizeof(pstReply->aucData) : 1);
        *puiDelayMs = pstReq->enMsgType == VW_MSG_TYPE_SET_REQ ? s->uiDelaySetMs : 0;
        return s->iCopies;
    }
    void TearDown() override
    {
        KxSrvfsSetRoot(nullptr);
        KxServiceStop(m_pstService);
        KxUnixEndpointDestroy(m_pstAsynSock);
        KxUnixEndpointDestroy(m_pstSock);
    }
    // The last request "/tmp/A" saw, in the reply buffer.
    MSG_DATA* LastRequest() { return KxServiceLastRequest(m_pstService, m_pstRsp.get()), m_pstRsp.get(); }
    // A reply as the host's reader stores it in a client's slot: type, result and the first uLen data bytes.
    static MSG_DATA* StoredReply(int iType, int iResult, const void* pData, size_t uLen)
    {
        auto* pstMsg = static_cast<MSG_DATA*>(calloc(1, sizeof(MSG_DATA)));
        pstMsg->enMsgType = static_cast<VW_MSG_TYPE>(iType);
        pstMsg->enResult = static_cast<VW_RESULT_TYPE>(iResult);
        memcpy(pstMsg->aucData, pData, uLen);
        return pstMsg;
    }
    // An exchange with "/tmp/A": its result, and the reply's result, type/command and first data byte.
    std::string Syn(int iCmd, VW_MSG_TYPE enType = VW_MSG_TYPE_GET_REQ)
    {
        memset(m_pstRsp.get(), 0, sizeof(MSG_DATA));
        long long llRet = RestSendSynUnixMsg("/tmp/A", enType, Cmd(iCmd), nullptr, m_pstSock, m_pstRsp.get(), 0);
        return std::to_string(llRet) + " " + std::to_string(m_pstRsp->enResult) + " " +
               std::to_string(m_pstRsp->enMsgType) + "/" + std::to_string(m_pstRsp->enCmdType) + " " +
               std::to_string(m_pstRsp->aucData[0]);
    }
    void SetRequest(const char* pszMethod, const char* pszUrl)
    {
        snprintf(m_pstHeader->szMethod, sizeof(m_pstHeader->szMethod), "%s", pszMethod);
        snprintf(m_pstHeader->szUrl, sizeof(m_pstHeader->szUrl), "%s", pszUrl);
    }

    TempDir m_dir;
    tagUNIX_SOCKET_S *m_pstSock = nullptr, *m_pstAsynSock = nullptr;
    KXSERVICE* m_pstService = nullptr;
    Script m_script;
    std::unique_ptr<MSG_DATA> m_pstRsp = std::make_unique<MSG_DATA>();
    std::unique_ptr<tagHTTP_HEADER_S> m_pstHeader = std::make_unique<tagHTTP_HEADER_S>();
    std::unique_ptr<tagHTTP_CLIENT_S> m_client = std::make_unique<tagHTTP_CLIENT_S>();
    tagHTTP_CNTENT_INTER_S m_stCt{};
    vwCmdBody m_body{};
};

// True once something is queued on the descriptor (nothing is read).
const auto WaitQueued = [](int iFd) { return poll(std::array<pollfd, 1>{{{iFd, POLLIN, 0}}}.data(), 1, 5000) == 1; };

TEST_F(MessagingTest, WireBytesRefusalsAndRetry)
{
    // The name, the padding and the cookie stay zero.
    auto pstExpected = std::make_unique<MSG_DATA>(
        MSG_DATA{{}, {}, VW_MSG_TYPE_SET_REQ, Cmd(42), 1, VW_RESULT_OK, nullptr, 21208, 0x1122334455667788ULL, {}});
    memcpy(pstExpected->aucData, &m_body, VW_CMD_BODY_LEN);
    EXPECT_EQ(Outcome(RestSendSynUnixMsg("/tmp/A", VW_MSG_TYPE_SET_REQ, Cmd(42), &m_body, m_pstSock, m_pstRsp.get(),
                                         0x1122334455667788ULL)),
              "0 " + kSent);
    EXPECT_EQ(memcmp(LastRequest(), pstExpected.get(), sizeof(MSG_DATA)), 0);
    EXPECT_EQ(std::string(m_pstSock->szSrcName) + m_pstSock->szDstName, "/tmp/re/tmp/A");

    // Refused before anything is sent, each with its line; seven characters are the longest name.
    memcpy(m_pstSock->szDstName, "old", 4);
    const VW_MSG_TYPE t = VW_MSG_TYPE_GET_REQ;
    const std::pair<long long, std::string> aRefusals[] = {
        {RestSendUnixMsg(m_pstSock, "/tmp/ABC", "/tmp/re", t, Cmd(1), nullptr, 0), "length 8 of msg dst is invalid"},
        {RestSendUnixSeqMsg(m_pstSock, 3, "/A", "/tmp/Re1", t, Cmd(1), nullptr, 0), "length 8 of msg src is invalid"},
        {RestSendUnixMsg(nullptr, "/tmp/A", "/tmp/re", t, Cmd(1), nullptr, 0), "null pointer!"},
        {RestSendUnixMsg(m_pstSock, nullptr, "/tmp/re", t, Cmd(1), nullptr, 0), "null pointer!"},
        {RestSendUnixSeqMsg(m_pstSock, 3, "/tmp/A", nullptr, t, Cmd(1), nullptr, 0), "null pointer!"},
        {RestSendSynUnixMsg(nullptr, t, Cmd(1), nullptr, m_pstSock, m_pstRsp.get(), 0), "null pointer"},
        {RestSendSynUnixMsg("/tmp/A", t, Cmd(1), nullptr, nullptr, m_pstRsp.get(), 0), "null pointer"},
        {RestSendSynUnixMsg("/tmp/A", t, Cmd(1), nullptr, m_pstSock, nullptr, 0), "null pointer"},
        {RestSendAsynUnixMsg("/tmp/A", 1, t, Cmd(1), nullptr, nullptr, 0), "null pointer"},
    };
    std::string strLines;
    for (const auto& [llRet, strLine] : aRefusals) {
        EXPECT_EQ(llRet, -1) << strLine;
        strLines += "E common " + strLine + "\n";
    }
    EXPECT_EQ(m_pstSock->szDstName + std::to_string(KxServiceRequestCount(m_pstService)), "old1"); // name, requests

    // One retry, then the failure; a failed send leaves the reply buffer alone.
    m_pstSock->pfnSendMsg = [](tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstMsg) {
        return ++g_iSendCalls <= g_iFailUntil ? -1 : KxUnixSendMsg(pstSock, pstMsg);
    };
    g_iFailUntil = 1;
    EXPECT_EQ(RestSendUnixMsg(m_pstSock, "/tmp/A", "/tmp/re", t, Cmd(1), nullptr, 0), 0);
    g_iFailUntil = 9;
    m_pstRsp->enResult = static_cast<VW_RESULT_TYPE>(33);
    EXPECT_EQ(RestSendSynUnixMsg("/tmp/A", t, Cmd(1), nullptr, m_pstSock, m_pstRsp.get(), 0), -1);
    EXPECT_EQ(g_iSendCalls, 4);
    EXPECT_EQ(m_pstRsp->enResult, 33);
    EXPECT_EQ(m_log.Lines(),
              strLines + kSent + kSent + "E common fail to send unix msg\nE common send unix message to /tmp/A fail\n");
}

// Late replies queued before an exchange are drained; a reply of the wrong type or command fails
// the exchange, while a matching reply's result is the caller's to read.
TEST_F(MessagingTest, DrainAndReplyChecks)
{
    // Sends what late replies to an earlier GET look like; the first exchange binds /tmp/re for them.
    tagUNIX_SOCKET_S* pstLate = KxUnixEndpointCreate(nullptr);
    ASSERT_EQ(Syn(1), "0 0 2/1 90");
    for (int i = 0; i < 3; ++i) { // the round after the one answered twice starts with its copy queued
        for (int k = 0; k < 3 - i; ++k) {
            ASSERT_EQ(RestSendUnixMsg(pstLate, "/tmp/re", "/tmp/L", VW_MSG_TYPE_GET_RSP, Cmd(2), nullptr, 0), 0);
        }
        // The second copy of round 1 stays queued for the next round.
        m_script = Script{i == 1 ? 2 : 1, -1, -1, 0, static_cast<unsigned char>(0x20 + i)};
        ASSERT_EQ(Syn(2), "0 0 2/2 " + std::to_string(0x20 + i));
        ASSERT_TRUE(i != 1 || WaitQueued(m_pstSock->iFd)) << "second copy never came";
    }
    KxUnixEndpointDestroy(pstLate);

    m_log.Clear();
    const std::string strFailed = "E common receive unix message from /tmp/A fail\n";
    m_script = Script{1, VW_MSG_TYPE_SET_RSP}; // a GET answered as a SET
    EXPECT_EQ(Outcome(Syn(5)), "-1 0 3/5 90 " + kSent + "E common msg type 3 is not match to 2\n" + strFailed);
    m_script = Script{1, -1, 6, 9};
    EXPECT_EQ(Outcome(Syn(5)), "9 9 2/6 90 " + kSent + "E common Rsp cmd type 6 is not match to 5\n" + strFailed);
    // A reply that came but cannot be read fails the exchange as one that never came.
    for (auto pfnRecv : {+[](tagUNIX_SOCKET_S*, MSG_DATA*) { return -1; }, decltype(&KxUnixRecvMsg){}}) {
        m_pstSock->pfnRecvMsg = pfnRecv;
        EXPECT_EQ(Outcome(Syn(5)), "-1 -1 0/0 0 " + kSent + "E common recvMsg Failed\n" + strFailed);
    }
    m_pstSock->pfnRecvMsg = KxUnixRecvMsg;
    // select() cannot watch a descriptor past its set: an endpoint there fails the wait without
    // writing past the set (the sanitizer run sees that), and is not drained either.
    rlimit stFiles{};
    getrlimit(RLIMIT_NOFILE, &stFiles);
    stFiles.rlim_cur = std::max<rlim_t>(stFiles.rlim_cur, std::min<rlim_t>(stFiles.rlim_max, FD_SETSIZE + 2));
    setrlimit(RLIMIT_NOFILE, &stFiles);
    const int iFd = std::exchange(m_pstSock->iFd, dup2(m_pstSock->iFd, FD_SETSIZE + 1));
    ASSERT_EQ(m_pstSock->iFd, FD_SETSIZE + 1) << "the descriptor limit is too low for this check";
    EXPECT_EQ(Outcome(Syn(5)), "-1 -1 0/0 0 " + kSent + "E common select error\n" + strFailed);
    close(std::exchange(m_pstSock->iFd, iFd));

    // The handlers: a service result of a matching reply comes back unchanged and nothing is handed out.
    void* pData = &m_script;
    m_script = Script{1, -1, -1, 5};
    EXPECT_EQ(Outcome(GetCommon(m_pstHeader.get(), m_pstSock, Cmd(5), nullptr, &pData, 0, "/tmp/A")),
              "5 " + kSent + "I business GetCommon: httpReq[ ] sendCmd[5] recvMsg[2] Result[5]\n");
    m_script = Script{1, -1, 6};
    EXPECT_EQ(Outcome(GetCommon(m_pstHeader.get(), m_pstSock, Cmd(5), nullptr, &pData, 0, "/tmp/A")),
              "1 " + kSent + "E common Rsp cmd type 6 is not match to 5\n" + strFailed +
                  "E business Send SynUnixMsg for Getting cmd[5] failed\n");
    EXPECT_EQ(pData, &m_script);
}

// A host reader that takes a shorter datagram as a reply: only the header and the first data byte
// (the service's marker) land, and the rest of the buffer keeps what the exchange left there.
int ShortReplyReader(tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstMsg)
{
    auto pstWhole = std::make_unique<MSG_DATA>();
    int iRet = KxUnixRecvMsg(pstSock, pstWhole.get());
    memcpy(pstMsg, pstWhole.get(), offsetof(MSG_DATA, aucData) + 1);
    return iRet;
}

// A handler's reply buffer is where the drain discards late replies and where the request is
// built. Neither a late reply nor the request's own bytes may show: not on the wire, and not in what
// a reply that fills only part of the buffer leaves the caller.
TEST_F(MessagingTest, DrainedAndSentBytesNeverShowInRequestOrReply)
{
    ASSERT_EQ(Syn(1), "0 0 2/1 90"); // binds /tmp/re for the late replies
    tagUNIX_SOCKET_S* pstLate = KxUnixEndpointCreate(nullptr);
    auto pstLateBody = std::make_unique<vwCmdBody>();
    memset(pstLateBody->aucData, 0x77, sizeof(pstLateBody->aucData));
    m_pstSock->pfnRecvMsg = ShortReplyReader;
    const std::string strBody(reinterpret_cast<const char*>(m_body.aucData), VW_CMD_BODY_LEN);
    const std::string strZeros(VW_CMD_BODY_LEN, '\0');
    const std::string strAnswer = "\x5A" + strZeros.substr(1); // the marker, then what the handler zeroed
    void* pData = nullptr;
    const struct {
        const char* pszName;
        std::function<long long()> call;
        std::string strWire, strHandedOut; // the request's data block; the block handed out (none: empty)
    } aCases[] = {
        {"exchange, no body",
         [&] {
             return RestSendSynUnixMsg("/tmp/A", VW_MSG_TYPE_GET_REQ, Cmd(3), nullptr, m_pstSock, m_pstRsp.get(), 0);
         },
         strZeros, ""},
        {"SetCommon, 3 bytes",
         [&] { return SetCommon(m_pstHeader.get(), const_cast<char*>("abc"), 3, m_pstSock, Cmd(3), 0, "/tmp/A"); },
         "abc" + strZeros.substr(3), ""},
        {"GetCommon, no body",
         [&] { return GetCommon(m_pstHeader.get(), m_pstSock, Cmd(3), nullptr, &pData, 0, "/tmp/A"); }, strZeros,
         strAnswer},
        {"GetCommon, whole body",
         [&] { return GetCommon(m_pstHeader.get(), m_pstSock, Cmd(3), &m_body, &pData, 0, "/tmp/A"); }, strBody,
         strAnswer},
    };
    for (const auto& c : aCases) {
        ASSERT_EQ(RestSendUnixMsg(pstLate, "/tmp/re", "/tmp/L", VW_MSG_TYPE_GET_RSP, Cmd(3), pstLateBody.get(), 0), 0);
        ASSERT_TRUE(WaitQueued(m_pstSock->iFd)) << c.pszName;
        EXPECT_EQ(c.call(), 0) << c.pszName;
        EXPECT_TRUE(std::string(reinterpret_cast<char*>(LastRequest()->aucData), VW_CMD_BODY_LEN) == c.strWire)
            << c.pszName;
        const std::string strGot = pData == nullptr ? "" : std::string(static_cast<char*>(pData), VW_CMD_BODY_LEN);
        EXPECT_TRUE(strGot == c.strHandedOut) << c.pszName;
        free(std::exchange(pData, nullptr));
    }
    KxUnixEndpointDestroy(pstLate);
}

TEST_F(MessagingTest, GetSetAndGat1400Handlers)
{
    SetRequest("GET", "/v/1");
    void* pData = nullptr;
    EXPECT_EQ(GetCommon(nullptr, m_pstSock, Cmd(8), nullptr, &pData, 0, "/tmp/A"), -1);
    m_log.Clear();
    EXPECT_EQ(Outcome(SetCommon(m_pstHeader.get(), const_cast<char*>("abc"), 3, m_pstSock, Cmd(9), 7, "/tmp/A")),
              "0 " + kSent + "D business SetCommon: httpReq[GET /v/1] sendCmd[9] recvMsg[9] Result[0]\n");
    MSG_DATA* pstReq = LastRequest();
    EXPECT_EQ(pstReq->ullDataLen, 21208u);
    EXPECT_EQ(pstReq->ullExtParam, 7u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pstReq->aucData), VW_CMD_BODY_LEN),
              "abc" + std::string(VW_CMD_BODY_LEN - 3, '\0'));
    m_script.iResult = 12;
    EXPECT_EQ(SetCommon(m_pstHeader.get(), &m_body, 21208, m_pstSock, Cmd(9), 0, "/tmp/A"), 12);
    EXPECT_EQ(SetCommon(m_pstHeader.get(), &m_body, 21209, m_pstSock, Cmd(9), 0, "/tmp/A"), -1);
    EXPECT_NE(m_log.Records().back().strText.find("length[21209]"), std::string::npos);
    EXPECT_EQ(SetCommon(m_pstHeader.get(), nullptr, 0, m_pstSock, Cmd(9), 0, "/tmp/A"), -1);
    EXPECT_EQ(KxServiceRequestCount(m_pstService), 2u); // the two refused never went out
    EXPECT_EQ(SetCommon(m_pstHeader.get(), &m_body, 3, m_pstSock, Cmd(9), 0, nullptr), 1);

    // No service behind "/tmp/GA" or "/tmp/G2": the GAT/1400 reads report the failure in the block they hand out.
    for (auto pfnGat : {GetCommonGat1400, GetCommonGat1400_2}) {
        ASSERT_EQ(pfnGat(m_pstHeader.get(), m_pstSock, Cmd(3), nullptr, &pData, 0), 0);
        EXPECT_EQ(std::string(static_cast<char*>(pData), VW_CMD_BODY_LEN),
                  "\1" + std::string(VW_CMD_BODY_LEN - 1, '\0'));
        free(std::exchange(pData, nullptr));
    }
    EXPECT_EQ(GetCommon(m_pstHeader.get(), m_pstSock, Cmd(3), nullptr, &pData, 0, "/tmp/GA"), 1);
}

TEST_F(MessagingTest, AsynchronousSendsHandTheCookieToTheReader)
{
    SetRequest("PUT", "/s");
    EXPECT_EQ(Outcome(SetCommonAsyn(m_pstHeader.get(), m_client.get(), Cmd(4), nullptr, 0)),
              "0 I business SetCommonAsyn: httpReq[PUT /s] sendCmd[4] \n");
    EXPECT_EQ(std::to_string(m_client->bAsynPending) + m_pstAsynSock->szSrcName, "1/tmp/Re");
    // The reply carries the cookie back to the host's reader, which releases it (as in the sweep below).
    ASSERT_TRUE(WaitQueued(m_pstAsynSock->iFd) && KxUnixRecvMsg(m_pstAsynSock, m_pstRsp.get()) == 0);
    free(m_pstRsp->pUserData);

    // A failed send frees its own cookie (the leak checkers watch); that the request is pending all the
    // same, the sweep below sees.
    KxServiceStop(std::exchange(m_pstService, nullptr));
    EXPECT_EQ(GetCommonAsyn(m_pstHeader.get(), m_client.get(), Cmd(4), nullptr, 0), 1);
    EXPECT_EQ(GetCommonAsyn(m_pstHeader.get(), nullptr, Cmd(4), nullptr, 0), -1);
}

TEST_F(MessagingTest, TableDrivenHandlersAndReplyTaking)
{
    const KXAPI_URI_TABLE astTable[] = {{"/LAPI/V1.0/Channels", Cmd(100)}, {"/LAPI/V1.0/Channels/0/Media", Cmd(101)}};
    SetRequest("GET", "/LAPI/V1.0/Unknown");
    EXPECT_EQ(Outcome(RunCommonGet(m_pstHeader.get(), m_client.get(), &m_stCt, astTable, 2)),
              "3 E business Unsupported Request URL[/LAPI/V1.0/Unknown]\n"
              "E business RunCommonGet: get inner cmd for ReqUrl[/LAPI/V1.0/Unknown] failed\n");
    SetRequest("GET", "/LAPI/V1.0/Channels/0/Media/Video");
    ASSERT_EQ(RunCommonGet(m_pstHeader.get(), m_client.get(), &m_stCt, astTable, 2), 0);
    EXPECT_EQ(LastRequest()->enCmdType, 101);
    free(std::exchange(m_stCt.pRspBody, nullptr));
    // Nothing to fetch first for a GET; an unsupported URL sent nothing either: one request so far.
    EXPECT_EQ(PreCommonGet(m_pstHeader.get(), m_pstSock, &m_stCt, astTable, 2), 0);
    EXPECT_EQ(KxServiceRequestCount(m_pstService), 1u);
    for (const char* pszMethod : {"PUT", "P", ""}) {
        snprintf(m_pstHeader->szMethod, sizeof(m_pstHeader->szMethod), "%s", pszMethod);
        ASSERT_EQ(PreCommonGet(m_pstHeader.get(), m_pstSock, &m_stCt, astTable, 2), 0) << pszMethod;
        EXPECT_TRUE(m_stCt.pPreData != nullptr && m_stCt.pRspBody == nullptr);
        free(std::exchange(m_stCt.pPreData, nullptr));
    }
    m_client->pstUnixSock = nullptr;
    m_log.Clear();
    // GetCommon refuses the missing endpoint and shows where the body would have gone: the field.
    EXPECT_EQ(Outcome(RunCommonGet(m_pstHeader.get(), m_client.get(), &m_stCt, astTable, 2)),
              "-1 E business GetCommon: invalid param, pstHeader[" + Ptr(m_pstHeader.get()) +
                  "] pstClient[(nil)] pstCtIn[" + Ptr(&m_stCt.pRspBody) + "]\n");
    EXPECT_EQ(Outcome(RunCommonGet(m_pstHeader.get(), nullptr, &m_stCt, astTable, 2)),
              "-1 E business RunCommonGet: invalid param, pstHeader[" + Ptr(m_pstHeader.get()) +
                  "] pstClient[(nil)] pstCtIn[" + Ptr(&m_stCt) + "]\n");

    // Stored replies are consumed on every path once the arguments are valid; an empty slot reads
    // as an all-zero GET reply, after the failed copy's line.
    // Type (-1: empty slot), result, return, first byte of the body handed out (-1: none).
    const int aiStored[][4] = {{3, 0, 0, -1}, {2, 11, 11, -1}, {2, 0, 0, 0x77}, {0, 0, 0, 0x77}, {-1, 0, 0, 0}};
    for (const auto& c : aiStored) {
        m_client->pRecvMsg = c[0] < 0 ? nullptr : StoredReply(c[0], c[1], "\x77", 1);
        const int iGot = RecvCommon(m_pstHeader.get(), m_client.get(), &m_stCt);
        const int iBody = m_stCt.pRspBody == nullptr ? -1 : *m_stCt.pRspBody;
        EXPECT_EQ(Outcome(std::to_string(iGot) + " " + std::to_string(iBody) + (m_client->pRecvMsg ? " kept" : "")),
                  std::to_string(c[2]) + " " + std::to_string(c[3]) +
                      (c[0] < 0 ? " E business [memcpy_s] expect Ret 0, actual Ret 150.\n" : " ") +
                      "I business RecvCommon recv cmd[0] result[" + std::to_string(c[1]) + "]\n")
            << "type " << c[0] << ", result " << c[1];
        free(std::exchange(m_stCt.pRspBody, nullptr));
    }
    EXPECT_EQ(RecvCommon(nullptr, m_client.get(), &m_stCt), -1);
}

// A service may fill its whole data block without a NUL. Every block made from reply data still
// ends within itself, so each way of making a pending body sends exactly the 21208 data bytes (the
// sanitizer run sees any read past a block), and data fetched before a change reads as that text.
TEST_F(MessagingTest, FullDataBlocksGoOutAsExactly21208Bytes)
{
    m_script.bFull = true;
    const KXAPI_URI_TABLE astTable[] = {{"/full", Cmd(7)}};
    const std::string strFull(VW_CMD_BODY_LEN, '\x5A');
    SetRequest("PUT", "/full");
    ASSERT_EQ(PreCommonGet(m_pstHeader.get(), m_pstSock, &m_stCt, astTable, 1), 0);
    EXPECT_EQ(strlen(static_cast<char*>(m_stCt.pPreData)), VW_CMD_BODY_LEN);
    free(m_stCt.pPreData);
    static std::string s_strSent;
    tagHTTP_BUF_S stBuf{
        {}, [](tagHTTP_BUF_S*, const char* pData, unsigned int uiLen) { return s_strSent.assign(pData, uiLen), 0; }};
    void** ppBody = reinterpret_cast<void**>(&m_stCt.pRspBody);
    const std::function<int()> pendingBodies[] = {
        [&] { return RunCommonGet(m_pstHeader.get(), m_client.get(), &m_stCt, astTable, 1); },
        [&] { return GetCommon(m_pstHeader.get(), m_pstSock, Cmd(7), nullptr, ppBody, 0, "/tmp/A"); },
        [&] {
            m_client->pRecvMsg = StoredReply(VW_MSG_TYPE_GET_RSP, VW_RESULT_OK, strFull.data(), VW_CMD_BODY_LEN);
            return RecvCommon(m_pstHeader.get(), m_client.get(), &m_stCt);
        },
    };
    for (size_t i = 0; i < std::size(pendingBodies); ++i) {
        s_strSent.clear();
        ASSERT_EQ(pendingBodies[i](), 0) << i;
        EXPECT_EQ(FormatCommonResponse<char*>(m_pstHeader.get(), VW_RESULT_OK, &m_stCt, &stBuf), 0) << i;
        EXPECT_TRUE(s_strSent == strFull) << i << ": " << s_strSent.size() << " bytes, not all 0x5A";
    }
}

// The one real wait: a SET of an ordinary command times out after 15 s; its reply, arriving late,
// is then discarded by the next exchange on the endpoint.
TEST_F(MessagingTest, RealTimeout15sAndLateReplyDiscarded)
{
    m_script = Script{1, -1, -1, 0, 0x33, false, 15500};
    EXPECT_EQ(Outcome(Syn(7037, VW_MSG_TYPE_SET_REQ)),
              "-1 -1 0/0 0 " + kSent + "E common select timeout\nE common receive unix message from /tmp/A fail\n");
    ASSERT_TRUE(WaitQueued(m_pstSock->iFd)) << "late reply never came";
    m_script.ucMarker = 0x44;
    EXPECT_EQ(Syn(7037), "0 0 2/7037 68");
}

constexpr long long kWrong = LLONG_MIN; // a path's own check failed: never an allowed result

// The endpoint operations are the host's: a count of the library's own heap use leaves them out.
template <int (*PfnOp)(tagUNIX_SOCKET_S*, MSG_DATA*)>
int Uncounted(tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstMsg)
{
    allocfail::Pause(true);
    int iRet = PfnOp(pstSock, pstMsg);
    allocfail::Pause(false);
    return iRet;
}

// call runs armed and returns the path's result, or kWrong when what it handed out is not what
// that result promises; llFailCode is the result a failed allocation may give besides success;
// iAllocs is the exact count of allocations, when it is part of the contract.
struct Path {
    const char* pszName;
    long long iAllocs, llFailCode;
    std::function<long long()> call;
    std::function<void()> setup = [] {};
};

// The sweep runs against the same service, with the library's lines in m_log (what the capture
// itself takes is neither counted nor failed: the sink runs on the armed thread) and the endpoint
// operations, the host's, left out of the counts.
class AllocTest : public MessagingTest {
protected:
    void SetUp() override
    {
        MessagingTest::SetUp();
        KxPlatformSetLogSink(
            [](auto... args) {
                const bool bPaused = allocfail::g_st.bPaused;
                allocfail::Pause(true);
                LogCapture::Sink(args...);
                allocfail::Pause(bPaused);
            },
            &m_log);
        m_pstSock->pfnSendMsg = Uncounted<KxUnixSendMsg>;
        m_pstSock->pfnRecvMsg = Uncounted<KxUnixRecvMsg>;
        m_client->pstServerCtx = &m_server;
        SetRequest("GET", "/LAPI/V1.0/System/DeviceInfo/Extended");
        snprintf(m_client->stReqHeader.szUrl, sizeof(m_client->stReqHeader.szUrl), "%s", m_pstHeader->szUrl);
    }
    // A fetch's result: on success the block holds the data (pWant, or anything when null) and is
    // freed here; on failure the field is as it was (pBefore) and pszFunc's line says why.
    template <typename P>
    long long Fetched(long long llRet, P& rField, std::decay_t<P> pBefore, const void* pWant, const char* pszFunc)
    {
        allocfail::Pause(true); // the check's own heap use is not the path's
        const std::string strLine = std::string("E business ") + pszFunc + ": malloc fail, response for req[GET ";
        bool bOk = llRet == 0 ? rField != nullptr && (pWant == nullptr || memcmp(rField, pWant, VW_CMD_BODY_LEN) == 0)
                              : rField == pBefore && m_log.Lines().find(strLine) != std::string::npos;
        allocfail::Pause(false);
        free(llRet == 0 ? rField : nullptr);
        rField = pBefore;
        return bOk ? llRet : kWrong;
    }
    tagHTTP_SERVER_S m_server{};
};

TEST_F(AllocTest, RequestAndResponsePaths)
{
    void* pData = &m_server; // a fetch that fails must leave the caller's pointer alone
    tagHTTP_HEADER_S* const pstHdr = m_pstHeader.get();
    const VW_CMD_TYPE enCmd = VW_CMD_SET_LONG_7013;
    const KXAPI_URI_TABLE astTable[] = {{"/LAPI/V1.0/System", VW_CMD_SET_LONG_7020},
                                        {"/LAPI/V1.0/System/DeviceInfo", VW_CMD_SET_LONG_7038}};
    MSG_DATA* const pstRsp = m_pstRsp.get();
    ResponseBuffer stOut;
    char szRandom[40] = "";
    const std::string strReply(300, 'r');
    std::string strValue = "before";
    EmulatedService svc("conf.svc", [&](KxSrvfsRequest*, hbtp_message*) { return MakeHbtp(200, 9, 1, strReply); });
    REST_HBTP_MSG stSend{const_cast<char*>("request body"), 13}; // only read
    REST_HBTP_MSG stRecv{reinterpret_cast<char*>(pstRsp->aucData), 512};
    const Path astPaths[] = {
        {"RestSendSynUnixMsg", 0, 0,
         [&] { return RestSendSynUnixMsg("/tmp/A", VW_MSG_TYPE_GET_REQ, enCmd, &m_body, m_pstSock, pstRsp, 0); }},
        {"GetCommon", 1, VW_RESULT_NO_RESOURCE,
         [&] {
             return Fetched(GetCommon(pstHdr, m_pstSock, enCmd, &m_body, &pData, 0, "/tmp/A"), pData, pData, &m_body,
                            "GetCommon");
         }},
        {"SetCommon", 0, 0, [&] { return SetCommon(pstHdr, m_body.aucData, 100, m_pstSock, enCmd, 0, "/tmp/A"); }},
        {"RunCommonGet", 1, VW_RESULT_NO_RESOURCE,
         [&] {
             return Fetched(RunCommonGet(pstHdr, m_client.get(), &m_stCt, astTable, 2), m_stCt.pRspBody, nullptr,
                            nullptr, "GetCommon");
         }},
        {"RecvCommon", -1, VW_RESULT_NO_RESOURCE,
         [&] {
             long long r = RecvCommon(pstHdr, m_client.get(), &m_stCt);
             r = m_client->pRecvMsg == nullptr ? r : kWrong; // the reply is taken over on every path
             return Fetched(r, m_stCt.pRspBody, nullptr, &m_body, "RecvCommon");
         },
         [&] { m_client->pRecvMsg = StoredReply(VW_MSG_TYPE_GET_RSP, VW_RESULT_OK, &m_body, VW_CMD_BODY_LEN); }},
        // A failed send sends nothing; a sent one comes back with the cookie, which the reader frees.
        {"GetCommonAsyn", -1, VW_RESULT_COMMON_ERROR,
         [&] {
             m_client->bAsynPending = 0;
             const unsigned int uiSeen = KxServiceRequestCount(m_pstService);
             long long r = GetCommonAsyn(pstHdr, m_client.get(), enCmd, &m_body, 0);
             allocfail::Pause(true);
             pstRsp->pUserData = nullptr;
             bool bOk = r == 0 && WaitQueued(m_pstAsynSock->iFd) && KxUnixRecvMsg(m_pstAsynSock, pstRsp) == 0 &&
                        pstRsp->pUserData != nullptr && *static_cast<int*>(pstRsp->pUserData) == 77;
             free(pstRsp->pUserData);
             allocfail::Pause(false);
             bOk = bOk || (r != 0 && KxServiceRequestCount(m_pstService) == uiSeen);
             return m_client->bAsynPending == 1 && bOk ? r : kWrong;
         }},
        // A body goes out whole or not at all; a member whose node could not be made prints as null.
        {"FormatCommonResponse<char*> status", -1, -1,
         [&] {
             long long r = FormatCommonResponse<char*>(pstHdr, VW_RESULT_NO_RESOURCE, &m_stCt, &stOut.stBuf);
             bool bWhole = strstr(stOut.szData, "\": 18,") != nullptr || strstr(stOut.szData, ": null") != nullptr;
             return (r == 0 ? stOut.iCalls == 1 && bWhole : stOut.iCalls == 0) ? r : kWrong;
         },
         [&] { stOut = ResponseBuffer(); }},
        // Init, adds, every removal form, destroy; a failed add leaves the list as it was, and a list
        // that could not be made is refused by all.
        {"OCL_* list operations", -1, -1,
         [&] {
             OCLIST* pstList = OCL_Init(sizeof(int));
             long long r = pstList == nullptr ? -1 : 0;
             for (int v = 0; pstList != nullptr && v < 4; ++v) {
                 unsigned long long ullBefore = pstList->ullNodeCount;
                 bool bAdded = OCL_AddToTail(pstList, &v) == 0;
                 r = pstList->ullNodeCount == ullBefore + (bAdded ? 1 : 0) ? (bAdded ? r : -1) : kWrong;
             }
             OCL_Sort(pstList, [](void* a, void* b) { return *static_cast<int*>(a) > *static_cast<int*>(b) ? 1 : 0; });
             (void)OCL_DeleteForNode(
                 pstList, pstList, [](void*, void*) { return 1; }, nullptr, 0);
             (void)OCL_DeleteFirstNode(pstList, nullptr);
             OCL_Clear(pstList, nullptr);
             OCL_Destroy(pstList, nullptr);
             return r;
         }},
        // A value that cannot be copied cannot be had: the caller's text is emptied, not left as it was.
        {"GetURIQueryParam", -1, 1,
         [&] {
             long long r = GetURIQueryParam(pstHdr, "k", strValue);
             bool bOk = r == 0 ? strValue == strReply : strValue.empty();
             std::string("before").swap(strValue); // the copy is the caller's, freed here
             return bOk ? r : kWrong;
         },
         [&] {
             pstHdr->mapQueryParam = {{"k", strReply}};
         }},
        {"GetDevRandomString", -1, -1,
         [&] {
             long long r = GetDevRandomString(szRandom, 32, RANDOM_STR_TYPE_DEC);
             return strlen(szRandom) == (r == 0 ? 32U : 0U) ? r : kWrong; // written only on success
         },
         [&] { szRandom[0] = '\0'; }},
        {"HbtpCommon", -1, 1,
         [&] {
             long long r = HbtpCommon(pstHdr, "/mnt/srvfs/conf.svc", 9, 1, &stSend, &stRecv, 3);
             return r != 0 || memcmp(pstRsp->aucData, strReply.data(), 300) == 0 ? r : kWrong;
         }},
        // The exchange alone, on a channel the host opened (not counted): -1 where HbtpCommon says 1.
        {"SendSynHbtpMsg", -1, -1,
         [&] {
             allocfail::Pause(true);
             const int iFd = open("/mnt/srvfs/conf.svc", O_RDWR);
             allocfail::Pause(false);
             long long r = SendSynHbtpMsg(iFd, 9, 1, &stSend, &stRecv);
             allocfail::Pause(true);
             close(iFd);
             allocfail::Pause(false);
             return r != 0 || memcmp(pstRsp->aucData, strReply.data(), 300) == 0 ? r : kWrong;
         }},
    };
    for (const Path& p : astPaths) {
        SCOPED_TRACE(p.pszName);
        const int iFds = CountOpenFds();
        p.setup(); // once unarmed: lazy statics of the platform and the runtime settle
        EXPECT_EQ(p.call(), 0);
        for (unsigned long n = 1; n <= 2000 && !HasFailure(); ++n) {
            p.setup();
            m_log.Clear();
            long long llRet = kWrong;
            allocfail::Arm(n);
            try {
                llRet = p.call();
            } catch (const std::bad_alloc&) {
                ADD_FAILURE() << "std::bad_alloc left the library at allocation " << n;
            }
            bool bHit = allocfail::Disarm();
            EXPECT_EQ(allocfail::Outstanding(), 0U) << "blocks kept when allocation " << n << " failed";
            EXPECT_TRUE(llRet == 0 || (bHit && llRet == p.llFailCode))
                << "result " << llRet << (bHit ? " when allocation " : " without a failure, after allocation ") << n;
            if (!bHit) {
                // The services close their ends of finished channels on their own threads.
                for (int i = 0; i < 200 && CountOpenFds() != iFds; ++i) {
                    usleep(5000);
                }
                EXPECT_EQ(CountOpenFds(), iFds) << "descriptors left open";
                EXPECT_TRUE(p.iAllocs < 0 || n - 1 == static_cast<unsigned long>(p.iAllocs)) << n - 1 << " allocations";
                std::printf("[ alloc    ] %-34s %lu allocation(s), each failed once\n", p.pszName, n - 1);
                break;
            }
        }
    }
}

// A response step shared by entry points of two files logs at the entry point's call to it: each
// failure line (refused arguments, no encoder node, a failed hand-over) names the entry point's
// file and a line no other entry point names, as a line inside the shared step would be.
TEST_F(AllocTest, ResponseFailureLinesNameTheEntryPoint)
{
    ResponseBuffer stOut(-1);
    const std::tuple<std::string, std::string, std::function<int(tagHTTP_BUF_S*)>> astEntries[] = {
        {"FormatCommonStatus", "kxapi_common",
         [&](tagHTTP_BUF_S* b) { return FormatCommonStatus(m_pstHeader.get(), VW_RESULT_OK, &m_stCt, b); }},
        {"FormatCommonResponse<char*>", "kxapi_business_common",
         [&](tagHTTP_BUF_S* b) { return FormatCommonResponse<char*>(m_pstHeader.get(), VW_RESULT_OK, &m_stCt, b); }},
        {"KxapiHttpAuthLockRsptContent", "kxapi_common",
         [&](tagHTTP_BUF_S* b) { return KxapiHttpAuthLockRsptContent(m_client.get(), b); }},
    };
    std::map<std::string, std::string> mapNamedBy; // "file:line" and the entry point that named it first
    for (const auto& [strFunc, strSource, call] : astEntries) {
        m_log.Clear();
        std::string strGot = std::to_string(call(nullptr));
        allocfail::Arm(1); // the encoder's first node cannot be had
        strGot += std::to_string(call(&stOut.stBuf));
        strGot += std::to_string(allocfail::Disarm());
        strGot += std::to_string(call(&stOut.stBuf)) + "\n";
        for (const LogRecord& r : m_log.Records()) { // the text up to its details
            const std::string& strOwner =
                mapNamedBy.emplace(r.strFile + ":" + std::to_string(r.iLine), strFunc).first->second;
            strGot += r.strText.substr(0, r.strText.find(',')) + " " + r.strFile +
                      (strOwner == strFunc ? "\n" : " where " + strOwner + " logs\n");
        }
        const std::string strLine = "[KXAPI]:" + strFunc + ": ", strFile = " access_server/kxapi/common/" + strSource;
        EXPECT_EQ(strGot, "-1-11-1\n" + strLine + "invalid param" + strFile + "\n" + strLine + "json_encode fail" +
                              strFile + "\n" + strLine + "Copy2Buf fail" + strFile + "\n");
    }
}

} // namespace
