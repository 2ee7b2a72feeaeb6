// Every request path under failing allocations: the n-th allocation of the calling thread fails, for
// n = 1, 2, ... until the path runs through without reaching it. Each run must end with success or
// the path's own failure result, hand out nothing on failure (a block handed out is one left
// outstanding, as the paths free only what success hands them) and give back every descriptor.
// Where the host runs a path in a tight loop, its count of allocations is part of the contract.
#include "alloc_failure_hook.h"

#include "hbtp.h"
#include "hbtp_service.h"
#include "kxapicommon.h"
#include "kxdevhost.h"
#include "kxplatform.h"
#include "kxservices.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <functional>
#include <map>
#include <memory>

unsigned long long KxapiHttpGetUnLockTime(tagHTTP_CLIENT_S*)
{
    return 42;
}

namespace {

constexpr long long kWrong = LLONG_MIN; // a path's own check failed: never an allowed result

// The library's lines while armed, kept without allocating (the sink runs on the armed thread).
char g_aszLog[64][256];
int g_iLogCount = 0;

bool Logged(const char* pszPrefix)
{
    for (int k = g_iLogCount > 64 ? g_iLogCount - 64 : 0; k < g_iLogCount; ++k) {
        if (strncmp(g_aszLog[k % 64], pszPrefix, strlen(pszPrefix)) == 0) {
            return true;
        }
    }
    return false;
}

// The endpoint operations are the host's: a count of the library's own heap use leaves them out.
template <int (*PfnOp)(tagUNIX_SOCKET_S*, MSG_DATA*)>
int Uncounted(tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstMsg)
{
    allocfail::Pause(true);
    int iRet = PfnOp(pstSock, pstMsg);
    allocfail::Pause(false);
    return iRet;
}

// A response buffer that copies into fixed storage: the host's Copy2Buf runs while armed.
struct FixedBuf {
    tagHTTP_BUF_S stBuf; // first: the record pointer is the object pointer
    char szData[4096];
    int iCalls;
    static int Copy2Buf(tagHTTP_BUF_S* pstBuf, const char* pData, unsigned int uiLen)
    {
        auto* pstOut = reinterpret_cast<FixedBuf*>(pstBuf);
        ++pstOut->iCalls;
        snprintf(pstOut->szData, sizeof(pstOut->szData), "%.*s", static_cast<int>(uiLen), pData);
        return 0;
    }
};

// call runs armed and returns the path's result, or kWrong when what it handed out is not what
// that result promises; failCodes are the results a failed allocation may give besides success.
struct Path {
    const char* pszName;
    std::function<long long()> call;
    std::vector<long long> failCodes;
    int iAllocs = -1; // the exact count, when it is part of the contract
    std::function<void()> setup = [] {};
};

void Sweep(const Path& p)
{
    SCOPED_TRACE(p.pszName);
    const int iFds = CountOpenFds();
    p.setup(); // once unarmed: lazy statics of the platform and the runtime settle
    EXPECT_EQ(p.call(), 0);
    for (unsigned long n = 1; n <= 2000 && !testing::Test::HasFailure(); ++n) {
        p.setup();
        g_iLogCount = 0;
        long long llRet = kWrong;
        allocfail::Arm(n);
        try {
            llRet = p.call();
        } catch (const std::bad_alloc&) {
            ADD_FAILURE() << "std::bad_alloc left the library at allocation " << n;
        }
        bool bHit = allocfail::Disarm();
        EXPECT_EQ(allocfail::Outstanding(), 0U) << "blocks kept when allocation " << n << " failed";
        if (!bHit) {
            EXPECT_EQ(llRet, 0) << "without a failure";
            // The services close their ends of finished channels on their own threads.
            for (int i = 0; i < 200 && CountOpenFds() != iFds; ++i) {
                usleep(5000);
            }
            EXPECT_EQ(CountOpenFds(), iFds) << "descriptors left open";
            EXPECT_TRUE(p.iAllocs < 0 || n - 1 == static_cast<unsigned long>(p.iAllocs)) << n - 1 << " allocations";
            std::printf("[ alloc    ] %-34s %lu allocation(s), each failed once\n", p.pszName, n - 1);
            return;
        }
        bool bAllowed = llRet == 0;
        for (long long c : p.failCodes) {
            bAllowed = bAllowed || llRet == c;
        }
        EXPECT_TRUE(bAllowed) << "result " << llRet << " when allocation " << n << " failed";
    }
}

class AllocTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        KxPlatformSetLogSink([](void*, int, int, int, int, const char*, int, const char* pszText) {
            snprintf(g_aszLog[g_iLogCount++ % 64], sizeof(g_aszLog[0]), "%s", pszText);
        }, nullptr);
        ASSERT_EQ(KxUnixSetRunDir(m_dir.Path().c_str()) + KxSrvfsSetRoot(m_dir.Path().c_str()), 0);
        m_pstQuiet = KxUnixEndpointCreate("/tmp/q");
        m_pstAsynSock = KxUnixEndpointCreate(nullptr);
        ASSERT_TRUE(m_pstQuiet != nullptr && m_pstAsynSock != nullptr);
        m_pstQuiet->pfnSendMsg = Uncounted<KxUnixSendMsg>;
        m_pstQuiet->pfnRecvMsg = Uncounted<KxUnixRecvMsg>;
        m_client->pstUnixSock = m_pstQuiet;
        m_client->pstUnixAsynSock = m_pstAsynSock;
        m_client->iClientFd = 77;
        m_client->pstServerCtx = &m_server;
        SetRequest("GET");
        for (size_t i = 0; i < sizeof(m_body.aucData); ++i) {
            m_body.aucData[i] = static_cast<unsigned char>(i * 7 + 3);
        }
    }
    void TearDown() override
    {
        for (KXSERVICE* s : m_services) {
            KxServiceStop(s);
        }
        KxUnixEndpointDestroy(m_pstQuiet);
        KxUnixEndpointDestroy(m_pstAsynSock);
        KxSrvfsSetRoot(nullptr);
        KxPlatformSetLogSink(nullptr, nullptr);
    }
    void SetRequest(const char* pszMethod)
    {
        snprintf(m_header->szMethod, sizeof(m_header->szMethod), "%s", pszMethod);
        for (char* psz : {m_header->szUrl, m_client->stReqHeader.szUrl}) {
            snprintf(psz, sizeof(m_header->szUrl), "/LAPI/V1.0/System/DeviceInfo/Extended");
        }
    }
    // A fetch's result: on success the block holds the data (pWant, or anything when null) and is
    // freed here; on failure the field is as it was (pBefore) and a line says why.
    template <typename P>
    long long Fetched(long long llRet, P& rField, P pBefore, const void* pWant, const char* pszLine)
    {
        bool bOk = llRet == 0 ? rField != nullptr && (pWant == nullptr || memcmp(rField, pWant, VW_CMD_BODY_LEN) == 0)
                              : rField == pBefore && Logged(pszLine);
        if (llRet == 0) {
            free(rField);
        }
        rField = pBefore;
        return bOk ? llRet : kWrong;
    }

    TempDir m_dir;
    tagUNIX_SOCKET_S* m_pstQuiet = nullptr;
    tagUNIX_SOCKET_S* m_pstAsynSock = nullptr;
    std::vector<KXSERVICE*> m_services;
    std::unique_ptr<tagHTTP_HEADER_S> m_header = std::make_unique<tagHTTP_HEADER_S>();
    std::unique_ptr<tagHTTP_CLIENT_S> m_client = std::make_unique<tagHTTP_CLIENT_S>();
    tagHTTP_SERVER_S m_server{};
    vwCmdBody m_body{};
    tagHTTP_CNTENT_INTER_S m_stCt{};
};

TEST_F(AllocTest, RequestPaths)
{
    m_services.push_back(KxServiceStart("/tmp/A", nullptr, nullptr));
    void* pData = &m_server; // a fetch that fails must leave the caller's pointer alone
    auto pstRsp = std::make_unique<MSG_DATA>();
    const VW_CMD_TYPE enCmd = VW_CMD_SET_LONG_7013;
    const KXAPI_URI_TABLE astTable[] = {{"/LAPI/V1.0/System", VW_CMD_SET_LONG_7020},
                                        {"/LAPI/V1.0/System/DeviceInfo", VW_CMD_SET_LONG_7038}};
    const char* const pszGetLine = "[KXAPI]:GetCommon: malloc fail, response for req[GET ";
    const Path astPaths[] = {
        {"RestSendSynUnixMsg",
         [&] { return RestSendSynUnixMsg("/tmp/A", VW_MSG_TYPE_GET_REQ, enCmd, &m_body, m_pstQuiet, pstRsp.get(), 0); },
         {}, 0},
        {"GetCommon", [&] {
             return Fetched(GetCommon(m_header.get(), m_pstQuiet, enCmd, &m_body, &pData, 0, "/tmp/A"), pData, pData,
                            &m_body, pszGetLine);
         }, {VW_RESULT_NO_RESOURCE}, 1},
        {"SetCommon", [&] { return SetCommon(m_header.get(), m_body.aucData, 100, m_pstQuiet, enCmd, 0, "/tmp/A"); }, {}, 0},
        {"RunCommonGet", [&] {
             return Fetched(RunCommonGet(m_header.get(), m_client.get(), &m_stCt, astTable, 2), m_stCt.pRspBody,
                            static_cast<char*>(nullptr), nullptr, "[KXAPI]:");
         }, {VW_RESULT_NO_RESOURCE}, 1},
        {"RecvCommon", [&] {
             long long r = RecvCommon(m_header.get(), m_client.get(), &m_stCt);
             r = m_client->pRecvMsg == nullptr ? r : kWrong; // the reply is taken over on every path
             return Fetched(r, m_stCt.pRspBody, static_cast<char*>(nullptr), &m_body,
                            "[KXAPI]:RecvCommon: malloc fail, response for req[GET ");
         }, {VW_RESULT_NO_RESOURCE}, -1, [&] {
             auto* pstMsg = static_cast<MSG_DATA*>(calloc(1, sizeof(MSG_DATA)));
             pstMsg->enMsgType = VW_MSG_TYPE_GET_RSP;
             memcpy(pstMsg->aucData, m_body.aucData, VW_CMD_BODY_LEN);
             m_client->pRecvMsg = pstMsg;
         }},
    };
    for (const Path& p : astPaths) {
        Sweep(p);
    }

    // A failed send sends nothing; a sent one comes back with the cookie, which the reader frees.
    unsigned int uiSeen = 0;
    auto setup = [&] {
        uiSeen = KxServiceRequestCount(m_services[0]);
        m_client->bAsynPending = 0;
    };
    auto sent = [&](long long r) {
        allocfail::Pause(true);
        pollfd stPoll{m_pstAsynSock->iFd, POLLIN, 0};
        auto pstReply = std::make_unique<MSG_DATA>();
        bool bBack = r == 0 && poll(&stPoll, 1, 5000) == 1 && KxUnixRecvMsg(m_pstAsynSock, pstReply.get()) == 0 &&
                     pstReply->pUserData != nullptr && *static_cast<int*>(pstReply->pUserData) == 77;
        free(pstReply->pUserData);
        pstReply.reset();
        allocfail::Pause(false);
        return bBack || (r != 0 && KxServiceRequestCount(m_services[0]) == uiSeen) ? r : kWrong;
    };
    Sweep({"GetCommonAsyn", [&] {
               long long r = GetCommonAsyn(m_header.get(), m_client.get(), enCmd, &m_body, 0);
               return m_client->bAsynPending == 1 ? sent(r) : kWrong;
           }, {VW_RESULT_COMMON_ERROR}, -1, setup});
}

TEST_F(AllocTest, ResponsesQueriesHbtpAndSmallServices)
{
    // A body goes out whole or not at all; a member whose node could not be made prints as null.
    FixedBuf stOut{};
    stOut.stBuf.Copy2Buf = FixedBuf::Copy2Buf;
    auto sent = [&](long long r, const char* pszNeedle) {
        bool bWhole = strstr(stOut.szData, pszNeedle) != nullptr || strstr(stOut.szData, ": null") != nullptr;
        bool bOk = r == 0 ? stOut.iCalls == 1 && bWhole : stOut.iCalls == 0;
        stOut.iCalls = 0;
        stOut.szData[0] = '\0';
        return bOk ? r : kWrong;
    };
    tagHTTP_BUF_S* pstBuf = &stOut.stBuf;
    std::ofstream(m_dir.File("clip.bin")) << std::string(1000, 'v');
    const std::string strClip = m_dir.File("clip.bin");
    KXAPI_DOWNLOAD_FILE_INFO_S stInfo{};
    // Keys and values longer than a short string's inline room, so every copy allocates.
    snprintf(m_header->szQuery, sizeof(m_header->szQuery), "long_key_number_one=a%%20rather%%20long%%20value&"
             "second_long_key_name=another+long+value+text&number_with_a_long_key=00000000000012345&x=1");
    const std::map<std::string, std::string> mapAll = {{"long_key_number_one", "a rather long value"},
        {"second_long_key_name", "another+long+value+text"}, {"number_with_a_long_key", "00000000000012345"}, {"x", "1"}};
    char szRandom[40] = "";
    const std::string strReply(300, 'r');
    EmulatedService svc("conf.svc", [&](KxSrvfsRequest*, hbtp_message*) { return MakeHbtp(200, 9, 1, strReply); });
    char szSend[] = "request body";
    char szRecv[512];
    REST_HBTP_MSG stSend{szSend, sizeof(szSend)};
    REST_HBTP_MSG stRecv{szRecv, sizeof(szRecv)};
    const Path astPaths[] = {
        {"FormatCommonResponse<char*> status", [&] {
             return sent(FormatCommonResponse<char*>(m_header.get(), VW_RESULT_NO_RESOURCE, &m_stCt, pstBuf), "\": 18,");
         }, {-1}},
        {"KxapiHttpAuthLockRsptContent",
         [&] { return sent(KxapiHttpAuthLockRsptContent(m_client.get(), pstBuf), "\"remainTime\": 42 }"); }, {-1}},
        // A failure keeps the pairs before the one it stopped at, and only those.
        {"URIQueryParamParse", [&] {
             long long r = URIQueryParamParse(m_header.get());
             size_t uKept = m_header->mapQueryParam.size();
             bool bOk = r == 0 ? uKept == 4 : uKept < 4;
             for (const auto& kv : m_header->mapQueryParam) {
                 bOk = bOk && kv.second == mapAll.at(kv.first);
             }
             m_header->mapQueryParam.clear();
             return bOk ? r : kWrong;
         }, {1}},
        // Without a random boundary (its source failed) the file is still described.
        {"FillDownloadInfo", [&] {
             long long r = FillDownloadInfo(&stInfo, strClip.c_str(), "application/octet-stream", "clip.bin", 5);
             return stInfo.bValid == (r == 0) && (r != 0 || stInfo.ullBodyLen == 1141 + 2 * strlen(stInfo.szBoundary))
                        ? r : kWrong;
         }, {VW_RESULT_FAILURE, VW_RESULT_INCORRECT_PARAMETER}, -1, [&] { stInfo = {}; }},
        // Init, adds, every removal form, destroy; a failed add leaves the list as it was.
        {"OCL_* list operations", [&] {
             OCLIST* pstList = OCL_Init(sizeof(int));
             long long r = pstList == nullptr ? -1 : 0;
             for (int v = 0; pstList != nullptr && v < 4; ++v) {
                 unsigned long long ullBefore = pstList->ullNodeCount;
                 bool bAdded = OCL_AddToTail(pstList, &v) == 0;
                 r = pstList->ullNodeCount == ullBefore + (bAdded ? 1 : 0) ? (bAdded ? r : -1) : kWrong;
             }
             if (pstList != nullptr) {
                 OCL_Sort(pstList, [](void* a, void* b) { return *static_cast<int*>(a) > *static_cast<int*>(b) ? 1 : 0; });
                 (void)OCL_DeleteForNode(pstList, pstList, [](void*, void*) { return 1; }, nullptr, 0);
                 (void)OCL_DeleteFirstNode(pstList, nullptr);
                 OCL_Clear(pstList, nullptr);
             }
             OCL_Destroy(pstList, nullptr);
             return r;
         }, {-1}},
        {"GetDevRandomString", [&] {
             long long r = GetDevRandomString(szRandom, 32, RANDOM_STR_TYPE_DEC);
             return strlen(szRandom) == (r == 0 ? 32U : 0U) ? r : kWrong; // written only on success
         }, {-1}, -1, [&] { szRandom[0] = '\0'; }},
        {"HbtpCommon", [&] {
             long long r = HbtpCommon(m_header.get(), "/mnt/srvfs/conf.svc", 9, 1, &stSend, &stRecv, 3);
             return r != 0 || memcmp(szRecv, strReply.data(), 300) == 0 ? r : kWrong;
         }, {1}},
    };
    for (const Path& p : astPaths) {
        Sweep(p);
    }
}

} // namespace
