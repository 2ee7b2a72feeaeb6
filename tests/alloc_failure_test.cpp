// Every request path under failing allocations: the n-th allocation of the calling thread fails,
// for n = 1, 2, ... until the path runs through without reaching it. Each run must end with the
// path's own failure result (or with success, when the failed allocation was the platform's and
// the library is allowed to go on without it), hand out nothing on failure, and give back every
// block it took. The emulated services run on threads of their own and never see a failure.
#include "alloc_failure_hook.h"

#include "abs_event.h"
#include "hbtp.h"
#include "hbtp_service.h"
#include "kxapicommon.h"
#include "kxplatform.h"
#include "kxdevhost.h"
#include "kxservices.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

unsigned long long KxapiHttpGetUnLockTime(tagHTTP_CLIENT_S* /* pstClient */)
{
    return 42;
}

namespace {

// The library's error lines while armed, kept without allocating (the sink runs on the armed thread).
struct LogRing {
    static constexpr int kSlots = 64;
    char aszText[kSlots][256];
    int aiLevel[kSlots];
    int iCount;
};
LogRing g_stLog;

void RingSink(void*, int, int iLevel, int, int, const char*, int, const char* pszText)
{
    int i = g_stLog.iCount % LogRing::kSlots;
    strncpy(g_stLog.aszText[i], pszText, sizeof(g_stLog.aszText[i]) - 1);
    g_stLog.aszText[i][sizeof(g_stLog.aszText[i]) - 1] = '\0';
    g_stLog.aiLevel[i] = iLevel;
    ++g_stLog.iCount;
}

bool Logged(const char* pszPrefix)
{
    int iFirst = g_stLog.iCount > LogRing::kSlots ? g_stLog.iCount - LogRing::kSlots : 0;
    for (int k = iFirst; k < g_stLog.iCount; ++k) {
        if (strncmp(g_stLog.aszText[k % LogRing::kSlots], pszPrefix, strlen(pszPrefix)) == 0) {
            return true;
        }
    }
    return false;
}

// A response buffer that copies into fixed storage: the host's Copy2Buf runs while armed.
struct FixedBuf {
    tagHTTP_BUF_S stBuf; // first: the record pointer is the object pointer
    char szData[4096];
    unsigned int uiLen;
    int iCalls;
    static int Copy2Buf(tagHTTP_BUF_S* pstBuf, const char* pData, unsigned int uiLen)
    {
        auto* self = reinterpret_cast<FixedBuf*>(pstBuf);
        ++self->iCalls;
        self->uiLen = uiLen < sizeof(self->szData) - 1 ? uiLen : static_cast<unsigned int>(sizeof(self->szData) - 1);
        memcpy(self->szData, pData, self->uiLen);
        self->szData[self->uiLen] = '\0';
        return 0;
    }
    tagHTTP_BUF_S* Buf() { return &stBuf; }
    void Reset()
    {
        memset(this, 0, sizeof(*this));
        stBuf.Copy2Buf = &FixedBuf::Copy2Buf;
    }
};

// One path: setup and finish run unarmed, call runs armed and must not allocate on its own.
struct Path {
    const char* pszName;
    std::function<void()> setup;
    std::function<long long()> call;
    std::function<void(long long llRet, bool bHit)> finish;
    std::vector<long long> failCodes; // results a failed allocation may give besides llOk
    long long llOk = 0;
};

constexpr unsigned long kMaxInjections = 2000;

// Runs the path once unarmed (lazy statics of the platform and the runtime settle), then with
// every allocation in turn failing. The number of allocations the path makes.
unsigned long Sweep(const Path& p)
{
    SCOPED_TRACE(p.pszName);
    const int iFds = CountOpenFds();
    p.setup();
    p.finish(p.call(), false);
    for (unsigned long n = 1; n <= kMaxInjections; ++n) {
        p.setup();
        allocfail::Forget();
        g_stLog.iCount = 0;
        long long llRet = 0;
        bool bThrew = false;
        allocfail::Arm(n);
        try {
            llRet = p.call();
        } catch (const std::bad_alloc&) {
            bThrew = true;
        }
        bool bHit = allocfail::Disarm();
        if (bThrew) {
            ADD_FAILURE() << p.pszName << ": std::bad_alloc left the library at allocation " << n;
            p.finish(LLONG_MIN, bHit); // for the clean-up; its checks do not matter any more
            allocfail::Forget();
            return n;
        }
        p.finish(llRet, bHit);
        for (size_t i = 0; i < allocfail::Outstanding(); ++i) {
            Dl_info stInfo{};
            void* pCaller = allocfail::OutstandingCaller(i);
            bool bNamed = dladdr(pCaller, &stInfo) != 0;
            ADD_FAILURE() << p.pszName << ": block kept after failing allocation " << n << ", asked for at "
                          << pCaller << " (" << (bNamed && stInfo.dli_sname ? stInfo.dli_sname : "?") << " in "
                          << (bNamed && stInfo.dli_fname ? stInfo.dli_fname : "?") << ")";
        }
        allocfail::Forget();
        if (!bHit) {
            EXPECT_EQ(llRet, p.llOk) << p.pszName << " without a failure";
            // The services close their ends of finished channels on their own threads.
            for (int i = 0; i < 200 && CountOpenFds() != iFds; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            EXPECT_EQ(CountOpenFds(), iFds) << p.pszName << ": descriptors left open";
            std::printf("[ alloc    ] %-34s %lu allocation(s), each failed once\n", p.pszName, n - 1);
            return n - 1;
        }
        bool bAllowed = llRet == p.llOk;
        for (long long c : p.failCodes) {
            bAllowed = bAllowed || llRet == c;
        }
        EXPECT_TRUE(bAllowed) << p.pszName << ": result " << llRet << " when allocation " << n << " failed";
        if (testing::Test::HasFailure()) {
            return n;
        }
    }
    ADD_FAILURE() << p.pszName << ": still allocating after " << kMaxInjections << " injections";
    return kMaxInjections;
}

class AllocFailureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        KxPlatformSetLogSink(RingSink, nullptr);
        ASSERT_EQ(KxUnixSetRunDir(m_dir.Path().c_str()), 0);
        ASSERT_EQ(KxSrvfsSetRoot(m_dir.Path().c_str()), 0);
        m_pstSock = KxUnixEndpointCreate(nullptr);
        m_pstAsynSock = KxUnixEndpointCreate(nullptr);
        ASSERT_NE(m_pstSock, nullptr);
        ASSERT_NE(m_pstAsynSock, nullptr);
        m_header = std::make_unique<tagHTTP_HEADER_S>();
        m_client = std::make_unique<tagHTTP_CLIENT_S>();
        m_client->pstUnixSock = m_pstSock;
        m_client->pstUnixAsynSock = m_pstAsynSock;
        m_client->iClientFd = 77;
        m_client->pstServerCtx = &m_server;
        SetRequest("GET", "/LAPI/V1.0/System/DeviceInfo/Extended");
        for (size_t i = 0; i < sizeof(m_body.aucData); ++i) {
            m_body.aucData[i] = static_cast<unsigned char>(i * 7 + 3);
        }
        m_iFds = CountOpenFds();
    }
    void TearDown() override
    {
        for (KXSERVICE* s : m_services) {
            KxServiceStop(s);
        }
        KxUnixEndpointDestroy(m_pstSock);
        KxUnixEndpointDestroy(m_pstAsynSock);
        KxSrvfsSetRoot(nullptr);
        KxPlatformSetLogSink(nullptr, nullptr);
    }
    void SetRequest(const char* pszMethod, const char* pszUrl)
    {
        snprintf(m_header->szMethod, sizeof(m_header->szMethod), "%s", pszMethod);
        snprintf(m_header->szUrl, sizeof(m_header->szUrl), "%s", pszUrl);
        snprintf(m_client->stReqHeader.szUrl, sizeof(m_client->stReqHeader.szUrl), "%s", pszUrl);
    }
    KXSERVICE* Serve(const char* pszName)
    {
        KXSERVICE* s = KxServiceStart(pszName, nullptr, nullptr);
        EXPECT_NE(s, nullptr);
        m_services.push_back(s);
        return s;
    }
    bool IsBody(const void* p) const { return p != nullptr && memcmp(p, m_body.aucData, VW_CMD_BODY_LEN) == 0; }
    // Takes the reply to an asynchronous request and returns its cookie's value (the cookie freed).
    int TakeAsynReply()
    {
        pollfd stPoll{m_pstAsynSock->iFd, POLLIN, 0};
        EXPECT_EQ(poll(&stPoll, 1, 5000), 1) << "no reply to the asynchronous request";
        auto pstReply = std::make_unique<MSG_DATA>();
        if (KxUnixRecvMsg(m_pstAsynSock, pstReply.get()) != 0 || pstReply->pUserData == nullptr) {
            ADD_FAILURE() << "reply without cookie";
            return -1;
        }
        int iSeq = *static_cast<int*>(pstReply->pUserData);
        free(pstReply->pUserData);
        return iSeq;
    }

    TempDir m_dir;
    tagUNIX_SOCKET_S* m_pstSock = nullptr;
    tagUNIX_SOCKET_S* m_pstAsynSock = nullptr;
    std::vector<KXSERVICE*> m_services;
    std::unique_ptr<tagHTTP_HEADER_S> m_header;
    std::unique_ptr<tagHTTP_CLIENT_S> m_client;
    tagHTTP_SERVER_S m_server{};
    vwCmdBody m_body{};
    int m_iFds = 0;
};

TEST_F(AllocFailureTest, SynchronousHandlers)
{
    Serve("/tmp/A");
    Serve("/tmp/GA");
    void* const pUntouched = reinterpret_cast<void*>(&m_iFds);
    void* pData = nullptr;
    auto setup = [&] { pData = pUntouched; };
    auto finishGet = [&](long long r, bool) {
        if (r == 0) {
            EXPECT_TRUE(IsBody(pData));
            free(pData);
        } else {
            EXPECT_EQ(pData, pUntouched) << "a failed GET handed something out";
            EXPECT_TRUE(Logged("[KXAPI]:GetCommon: malloc fail, response for req[GET ")) << "no malloc line";
        }
    };
    Sweep({"GetCommon", setup,
           [&] {
               return GetCommon(m_header.get(), m_pstSock, VW_CMD_SET_LONG_7013, &m_body, &pData, 0, "/tmp/A");
           },
           finishGet, {VW_RESULT_NO_RESOURCE}});
    Sweep({"GetCommonGat1400", setup,
           [&] { return GetCommonGat1400(m_header.get(), m_pstSock, VW_CMD_SET_LONG_7013, &m_body, &pData, 0); },
           [&](long long r, bool) {
               if (r == 0) {
                   EXPECT_TRUE(IsBody(pData));
                   free(pData);
               } else {
                   EXPECT_EQ(pData, pUntouched);
                   EXPECT_TRUE(Logged("[KXAPI]:GetCommonGat1400: malloc fail"));
               }
           },
           {VW_RESULT_NO_RESOURCE}});
    Sweep({"SetCommon", [] {},
           [&] {
               return SetCommon(m_header.get(), m_body.aucData, 100, m_pstSock, VW_CMD_SET_LONG_7013, 0, "/tmp/A");
           },
           [](long long, bool) {}, {}});

    const KXAPI_URI_TABLE astTable[] = {{"/LAPI/V1.0/System", VW_CMD_SET_LONG_7020},
                                        {"/LAPI/V1.0/System/DeviceInfo", VW_CMD_SET_LONG_7038}};
    tagHTTP_CNTENT_INTER_S stCt{};
    // A fetched block lands in the content record; a failed fetch leaves the field null.
    auto finishRouted = [&](void*& rField) {
        return [&](long long r, bool) {
            if (r == 0) {
                EXPECT_NE(rField, nullptr);
            } else {
                EXPECT_EQ(rField, nullptr) << "a failed fetch left a block in the content record";
            }
            free(rField);
            rField = nullptr;
        };
    };
    void* pBody = nullptr;
    Sweep({"RunCommonGet", [] {},
           [&] {
               stCt.pRspBody = static_cast<char*>(pBody);
               int r = RunCommonGet(m_header.get(), m_client.get(), &stCt, astTable, 2);
               pBody = stCt.pRspBody;
               return static_cast<long long>(r);
           },
           finishRouted(pBody), {VW_RESULT_NO_RESOURCE}});
    SetRequest("PUT", "/LAPI/V1.0/System/DeviceInfo/Extended");
    Sweep({"PreCommonGet", [] {}, [&] { return PreCommonGet(m_header.get(), m_pstSock, &stCt, astTable, 2); },
           finishRouted(stCt.pPreData), {VW_RESULT_NO_RESOURCE}});
}

TEST_F(AllocFailureTest, ReplyReceiveAndAsynchronousSends)
{
    tagHTTP_CNTENT_INTER_S stCt{};
    Sweep({"RecvCommon",
           [&] {
               auto* pstMsg = static_cast<MSG_DATA*>(calloc(1, sizeof(MSG_DATA)));
               pstMsg->enMsgType = VW_MSG_TYPE_GET_RSP;
               memcpy(pstMsg->aucData, m_body.aucData, sizeof(pstMsg->aucData));
               m_client->pRecvMsg = pstMsg;
               stCt.pRspBody = nullptr;
           },
           [&] { return RecvCommon(m_header.get(), m_client.get(), &stCt); },
           [&](long long r, bool) {
               EXPECT_EQ(m_client->pRecvMsg, nullptr) << "the reply was not taken over";
               if (r == 0) {
                   EXPECT_TRUE(IsBody(stCt.pRspBody));
                   free(stCt.pRspBody);
               } else {
                   EXPECT_EQ(stCt.pRspBody, nullptr);
                   EXPECT_TRUE(Logged("[KXAPI]:RecvCommon: malloc fail, response for req[GET "));
               }
           },
           {VW_RESULT_NO_RESOURCE}});

    KXSERVICE* pstService = Serve("/tmp/A");
    unsigned int uiSeen = 0;
    auto setup = [&] {
        uiSeen = KxServiceRequestCount(pstService);
        m_client->bAsynPending = 0;
    };
    auto finish = [&](long long r, bool) {
        if (r == 0) {
            EXPECT_EQ(TakeAsynReply(), m_client->iClientFd);
        } else {
            EXPECT_EQ(KxServiceRequestCount(pstService), uiSeen) << "a failed send still went out";
        }
    };
    Sweep({"GetCommonAsyn", setup,
           [&] { return GetCommonAsyn(m_header.get(), m_client.get(), VW_CMD_SET_LONG_7013, &m_body, 0); },
           [&](long long r, bool b) {
               EXPECT_EQ(m_client->bAsynPending, 1);
               finish(r, b);
           },
           {VW_RESULT_COMMON_ERROR}});
    Sweep({"RestSendAsynUnixMsg", setup,
           [&] {
               return RestSendAsynUnixMsg("/tmp/A", m_client->iClientFd, VW_MSG_TYPE_GET_REQ, VW_CMD_SET_LONG_7013,
                                          nullptr, m_pstAsynSock, 0);
           },
           finish, {-1}});
}

TEST_F(AllocFailureTest, Responses)
{
    FixedBuf stBuf;
    tagHTTP_CNTENT_INTER_S stCt{};
    auto finishStatus = [&](const char* pszNeedle) {
        return [&, pszNeedle](long long r, bool bHit) {
            if (r == 0) {
                EXPECT_EQ(stBuf.iCalls, 1);
                // A member whose node could not be made is encoded as null and still sent.
                bool bNullMember = bHit && strstr(stBuf.szData, ": null") != nullptr;
                EXPECT_TRUE(bNullMember || strstr(stBuf.szData, pszNeedle) != nullptr) << stBuf.szData;
            } else {
                EXPECT_EQ(stBuf.iCalls, 0) << "a half-made body went out";
            }
        };
    };
    Sweep({"FormatCommonResponse<char*> status", [&] { stBuf.Reset(); },
           [&] { return FormatCommonResponse<char*>(m_header.get(), VW_RESULT_NO_RESOURCE, &stCt, stBuf.Buf()); },
           finishStatus("\"StatusCode\": 18,"), {-1}});
    Sweep({"FormatCommonResponse<char*> body",
           [&] {
               stBuf.Reset();
               stCt.pRspBody = strdup("{\"pending\":1}");
           },
           [&] { return FormatCommonResponse<char*>(m_header.get(), VW_RESULT_OK, &stCt, stBuf.Buf()); },
           [&](long long r, bool) {
               EXPECT_EQ(stCt.pRspBody, nullptr);
               EXPECT_EQ(r, 0);
               EXPECT_STREQ(stBuf.szData, "{\"pending\":1}");
           },
           {-1}});
    Sweep({"FormatCommonStatus", [&] { stBuf.Reset(); },
           [&] { return FormatCommonStatus(m_header.get(), VW_RESULT_INCORRECT_PARAMETER, &stCt, stBuf.Buf()); },
           finishStatus("\"StatusCode\": 4,"), {-1}});
    Sweep({"KxapiHttpAuthLockRsptContent", [&] { stBuf.Reset(); },
           [&] { return KxapiHttpAuthLockRsptContent(m_client.get(), stBuf.Buf()); },
           finishStatus("\"remainTime\": 42 }"), {-1}});
}

TEST_F(AllocFailureTest, QueryParameters)
{
    // Decoded keys and values longer than a short string's inline room, so every copy allocates.
    const char* const pszQuery = "long_key_number_one=a%20rather%20long%20value%20here&"
                                 "second_long_key_name=another+long+value+text&"
                                 "number_with_a_long_key=00000000000012345&x=1";
    const std::pair<const char*, const char*> aExpected[] = {
        {"long_key_number_one", "a rather long value here"},
        {"second_long_key_name", "another+long+value+text"},
        {"number_with_a_long_key", "00000000000012345"},
        {"x", "1"}};
    Sweep({"URIQueryParamParse",
           [&] { snprintf(m_header->szQuery, sizeof(m_header->szQuery), "%s", pszQuery); },
           [&] { return URIQueryParamParse(m_header.get()); },
           [&](long long r, bool) {
               // A failure keeps the pairs before the one it stopped at, and only those.
               size_t uKept = m_header->mapQueryParam.size();
               EXPECT_TRUE(r == 0 ? uKept == 4 : uKept < 4);
               for (size_t i = 0; i < uKept; ++i) {
                   auto it = m_header->mapQueryParam.find(aExpected[i].first);
                   ASSERT_NE(it, m_header->mapQueryParam.end()) << aExpected[i].first;
                   EXPECT_EQ(it->second, aExpected[i].second);
               }
               m_header->mapQueryParam.clear();
           },
           {1}});

    ASSERT_EQ(URIQueryParamParse(m_header.get()), 0);
    std::string strKey1;
    std::string strKey2;
    std::string strKey3;
    std::string strOut;
    long long llNum = 0;
    char szText[64];
    long long aRet[3] = {};
    Sweep({"Typed query getters",
           [&] {
               strKey1 = "number_with_a_long_key";
               strKey2 = "second_long_key_name";
               strKey3 = "long_key_number_one";
               strOut.clear();
               strOut.shrink_to_fit();
               llNum = -1;
               szText[0] = 'X';
               szText[1] = '\0';
           },
           [&] {
               aRet[0] = GetURIQueryParamByKey<long long>(m_header.get(), std::move(strKey1), &llNum);
               aRet[1] = GetURIQueryParamByKey<char>(m_header.get(), std::move(strKey2), szText,
                                                     static_cast<int>(sizeof(szText)));
               aRet[2] = GetURIQueryParam(m_header.get(), std::move(strKey3), strOut);
               for (long long r : aRet) {
                   if (r != 0) {
                       return r;
                   }
               }
               return 0LL;
           },
           [&](long long, bool) {
               EXPECT_EQ(llNum, aRet[0] == 0 ? 12345 : -1);
               EXPECT_STREQ(szText, aRet[1] == 0 ? "another+long+value+text" : "X");
               EXPECT_EQ(strOut, aRet[2] == 0 ? "a rather long value here" : "");
               strOut.clear();
               strOut.shrink_to_fit();
           },
           {1}});
}

TEST_F(AllocFailureTest, DownloadInfo)
{
    std::string strFile = m_dir.File("clip.bin");
    std::ofstream(strFile) << std::string(1000, 'v');
    KXAPI_DOWNLOAD_FILE_INFO_S stInfo{};
    Sweep({"FillDownloadInfo", [&] { memset(&stInfo, 0, sizeof(stInfo)); },
           [&] { return FillDownloadInfo(&stInfo, strFile.c_str(), "application/octet-stream", "clip.bin", 5); },
           [&](long long r, bool) {
               EXPECT_EQ(stInfo.bValid, r == 0 ? 1 : 0);
               if (r == 0) {
                   // Without a random boundary (its source failed) the file is still described.
                   EXPECT_EQ(stInfo.ullBodyLen, 1000U + 2 * strlen(stInfo.szBoundary) + 16 + 24 + 101);
               }
           },
           {VW_RESULT_FAILURE, VW_RESULT_INCORRECT_PARAMETER}});
}

TEST_F(AllocFailureTest, ListAndBlocks)
{
    // Init, four adds, every removal form, then destroy; the counts tell where a failure struck.
    unsigned long long ullCount = 0;
    long long llAdded = 0;
    Sweep({"OCL_* list operations", [] {},
           [&] {
               OCLIST* pstList = OCL_Init(sizeof(int));
               if (pstList == nullptr) {
                   return -2LL;
               }
               long long llRet = 0;
               llAdded = 0;
               for (int v : {3, 1, 2, 1}) {
                   if (OCL_AddToTail(pstList, &v) != 0) {
                       llRet = -1;
                       continue;
                   }
                   ++llAdded;
               }
               ullCount = pstList->ullNodeCount;
               OCL_Sort(pstList, [](void* a, void* b) -> int { return *static_cast<int*>(a) < *static_cast<int*>(b); });
               int iKey = 1;
               auto pfnSame = [](void* a, void* k) -> int { return *static_cast<int*>(a) == *static_cast<int*>(k); };
               (void)OCL_DeleteForNode(pstList, &iKey, pfnSame, nullptr, 1);
               (void)OCL_DeleteFirstNode(pstList, nullptr);
               OCL_Clear(pstList, nullptr);
               int iLast = 9;
               if (OCL_AddToTail(pstList, &iLast) != 0) {
                   llRet = -1;
               }
               OCL_Destroy(pstList, nullptr);
               return llRet;
           },
           [&](long long r, bool) {
               if (r != -2) {
                   EXPECT_EQ(ullCount, static_cast<unsigned long long>(llAdded)) << "a failed add changed the list";
               }
           },
           {-1, -2}});

    void* pOld = nullptr;
    void* pNew = nullptr;
    Sweep({"KxapiRealloc",
           [&] {
               pOld = malloc(16);
               memset(pOld, 0xAB, 16);
           },
           [&] {
               pNew = KxapiRealloc(pOld, 16, 64);
               return pNew == nullptr ? -1LL : 0LL;
           },
           [&](long long r, bool) {
               if (r == 0) {
                   const auto* pc = static_cast<unsigned char*>(pNew);
                   EXPECT_EQ(pc[15], 0xAB);
                   EXPECT_EQ(pc[16], 0);
                   EXPECT_EQ(pc[63], 0);
                   free(pNew);
               } else {
                   EXPECT_EQ(static_cast<unsigned char*>(pOld)[15], 0xAB) << "the kept block was changed";
                   free(pOld);
               }
           },
           {-1}});
    Sweep({"KxapiRealloc fresh", [] {},
           [&] {
               pNew = KxapiRealloc(nullptr, 0, 32);
               return pNew == nullptr ? -1LL : 0LL;
           },
           [&](long long, bool) { free(pNew); }, {-1}});
    Sweep({"VW_malloc", [] {},
           [&] {
               pNew = VW_malloc(100);
               return pNew == nullptr ? -1LL : 0LL;
           },
           [&](long long r, bool) {
               if (r == 0) {
                   EXPECT_EQ(static_cast<unsigned char*>(pNew)[99], 0);
               }
               VW_free(pNew);
           },
           {-1}});
}

TEST_F(AllocFailureTest, Hbtp)
{
    const std::string strReply(300, 'r');
    EmulatedService svc("conf.svc", [&](KxSrvfsRequest*, hbtp_message*) { return MakeHbtp(200, 9, 1, strReply); });
    char szSend[] = "request body";
    char szRecv[512];
    REST_HBTP_MSG stSend{szSend, sizeof(szSend)};
    REST_HBTP_MSG stRecv{szRecv, sizeof(szRecv)};
    Sweep({"HbtpCommon", [&] { memset(szRecv, 0, sizeof(szRecv)); },
           [&] { return HbtpCommon(m_header.get(), "/mnt/srvfs/conf.svc", 9, 1, &stSend, &stRecv, 3); },
           [&](long long r, bool) {
               if (r == 0) {
                   EXPECT_EQ(std::string(szRecv), strReply);
               }
           },
           {1}});

    // The user list's request send is not checked: when it fails for want of memory nothing goes
    // out and the receive would wait for ever. A watchdog then closes the service's channels, the
    // way a service that gives up would.
    const std::string strList(KXAPI_USER_LIST_LEN, 'u');
    auto makeAuth = [&] {
        return std::make_unique<EmulatedService>(
            "auth.paas.opx", [&](KxSrvfsRequest*, hbtp_message*) { return MakeHbtp(200, 0, 2, strList); });
    };
    std::unique_ptr<EmulatedService> auth = makeAuth();
    auto pstMsg = std::make_unique<MSG_DATA>();
    std::mutex mutex;
    std::condition_variable cv;
    bool bDone = false;
    std::thread watchdog;
    Sweep({"HbtpGetUserList",
           [&] {
               if (!auth) {
                   auth = makeAuth();
                   // Settles the platform's record of the new channel descriptors unarmed.
                   EXPECT_EQ(HbtpGetUserList(pstMsg.get()), 0);
               }
               memset(pstMsg.get(), 0, sizeof(MSG_DATA));
               bDone = false;
               size_t uSeen = auth->Seen().size();
               watchdog = std::thread([&, uSeen] {
                   std::unique_lock<std::mutex> lock(mutex);
                   if (!cv.wait_for(lock, std::chrono::milliseconds(300), [&] { return bDone; }) &&
                       auth->Seen().size() == uSeen) {
                       auth.reset();
                   }
               });
           },
           [&] {
               long long r = HbtpGetUserList(pstMsg.get());
               {
                   std::lock_guard<std::mutex> lock(mutex);
                   bDone = true;
               }
               cv.notify_one();
               return r;
           },
           [&](long long r, bool) {
               watchdog.join();
               EXPECT_EQ(pstMsg->aucData[0], r == 0 ? 'u' : 0);
               EXPECT_EQ(pstMsg->aucData[KXAPI_USER_LIST_LEN], 0);
           },
           {-1}});

    tagABS_EVENT_BASE_S* pstBase = AbsEvBaseNew(256);
    ASSERT_NE(pstBase, nullptr);
    m_server.pstEventBase = pstBase;
    int aiPair[2] = {-1, -1};
    hbtp_message* pstSendMsg = nullptr;
    Sweep({"AddHbtpAsynEvent",
           [&] {
               ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, aiPair), 0);
               pstSendMsg = hbtp_message_new(0);
               m_client->iHbtpFd = 0;
               m_client->bAsynPending = 0;
           },
           [&] { return AddHbtpAsynEvent(m_client.get(), aiPair[0], pstSendMsg); },
           [&](long long r, bool) {
               void* pValue = nullptr;
               unsigned short usLen = 0;
               bool bTagged = hbtp_header_get(pstSendMsg, KXAPI_HBTP_EXT_CLIENT_FD, &pValue, &usLen) == 0;
               if (r == -1) {
                   EXPECT_FALSE(bTagged);
                   EXPECT_EQ(m_client->iHbtpFd, 0) << "a refused registration changed the client";
                   EXPECT_EQ(m_client->bAsynPending, 0);
               } else {
                   EXPECT_TRUE(bTagged);
                   EXPECT_EQ(m_client->iHbtpFd, aiPair[0]);
                   EXPECT_EQ(pstBase->ppstEvents[aiPair[0]] != nullptr, r == 0);
               }
               if (r == 0) {
                   EXPECT_EQ(DeleteHbtpAsynEvent(m_client.get(), aiPair[0]), 0);
               } else {
                   close(aiPair[0]); // the caller still owns the channel
               }
               close(aiPair[1]);
               hbtp_message_put(pstSendMsg);
           },
           {-1, VW_RESULT_NO_RESOURCE}});
    m_server.pstEventBase = nullptr;
    AbsEvBaseFree(pstBase);
}

} // namespace
