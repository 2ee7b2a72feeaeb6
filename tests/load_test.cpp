// Many endpoints exchanging at once with shared services that answer late, twice, with an
// earlier request's reply, or (asynchronous requests only) not at all. Every request must end
// with its own reply or a failure code, never with a reply meant for another request.
#include "kxapicommon.h"
#include "kxplatform.h"
#include "kxdevhost.h"
#include "kxservices.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <sys/select.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kEndpoints = 8;
constexpr int kServices = 4; // two endpoints per service, so their replies interleave
constexpr int kExchanges = 200;
constexpr int kCmdBase = 7300; // request n of an endpoint carries command kCmdBase + n

// What the requester asks of the service, carried in the command body after the token.
enum Mode : unsigned char { MODE_ONCE = 0, MODE_TWICE = 1, MODE_STALE = 2, MODE_DROP = 3 };
struct Script {
    uint64_t ullToken; // endpoint << 32 | request number; echoed in the reply's data
    unsigned char ucMode;
    unsigned char ucDelayMs;
};

uint64_t Token(int iEndpoint, int iReq)
{
    return (static_cast<uint64_t>(iEndpoint) << 32) | static_cast<uint32_t>(iReq);
}

// One per service; touched by its service thread only until the service is stopped.
struct ServiceState {
    std::vector<MSG_DATA> astPrev = std::vector<MSG_DATA>(kEndpoints);
    std::vector<bool> abHavePrev = std::vector<bool>(kEndpoints, false);
    std::vector<void*> apOrphanCookies; // cookies of asynchronous requests never truly answered
};

int LoadHandler(void* pUser, const MSG_DATA* pstReq, MSG_DATA* pstReply, unsigned int* puiDelayMs)
{
    ServiceState* pstState = static_cast<ServiceState*>(pUser);
    Script stScript;
    memcpy(&stScript, pstReq->aucData, sizeof(stScript));
    unsigned int uiEp = static_cast<unsigned int>(stScript.ullToken >> 32);
    if (uiEp >= static_cast<unsigned int>(kEndpoints)) {
        return 0;
    }
    *puiDelayMs = stScript.ucDelayMs;
    const MSG_DATA* pstTrue = pstReply; // the pre-filled echo
    int iCopies = stScript.ucMode == MODE_TWICE ? 2 : 1;
    bool bAnswered = true;
    if (stScript.ucMode == MODE_DROP) {
        iCopies = 0;
        bAnswered = false;
    }
    if (stScript.ucMode == MODE_STALE && pstState->abHavePrev[uiEp]) {
        MSG_DATA stTrue = *pstTrue;
        *pstReply = pstState->astPrev[uiEp];
        pstState->astPrev[uiEp] = stTrue;
        bAnswered = false;
    } else {
        pstState->astPrev[uiEp] = *pstTrue;
    }
    pstState->abHavePrev[uiEp] = true;
    if (!bAnswered && pstReq->pUserData != nullptr) {
        pstState->apOrphanCookies.push_back(pstReq->pUserData);
    }
    return iCopies;
}

std::string ServiceName(int i)
{
    return "/tmp/S" + std::to_string(i);
}

void QuietSink(void*, int, int, int, int, const char*, int, const char*) {}

struct Tally {
    std::atomic<int> iOwn{0};
    std::atomic<int> iFailed{0};
    std::atomic<int> iForeign{0}; // the fault this test is about
    std::atomic<int> iStaleTaken{0};
    std::atomic<int> iAsynOwn{0};
    std::atomic<int> iAsynMissing{0};
};

// Reads replies until this request's own (by command) arrives or the wait ends; frees its cookie.
// A repeated copy carries the same cookie and is left alone. True when the own reply came.
bool AwaitAsynReply(tagUNIX_SOCKET_S* pstSock, int iCmd, uint64_t ullToken, int iSeq, int iWaitMs,
                    MSG_DATA* pstMsg, Tally* pstTally)
{
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(iWaitMs);
    for (;;) {
        auto tLeft = std::chrono::duration_cast<std::chrono::microseconds>(tEnd - std::chrono::steady_clock::now());
        if (tLeft.count() <= 0) {
            return false;
        }
        fd_set stSet;
        FD_ZERO(&stSet);
        FD_SET(pstSock->iFd, &stSet);
        timeval stWait = {static_cast<time_t>(tLeft.count() / 1000000),
                          static_cast<suseconds_t>(tLeft.count() % 1000000)};
        if (select(pstSock->iFd + 1, &stSet, nullptr, nullptr, &stWait) <= 0) {
            return false;
        }
        if (KxUnixRecvMsg(pstSock, pstMsg) != 0 || pstMsg->enCmdType != iCmd) {
            continue; // a stale reply of an earlier request: its cookie was dealt with already
        }
        uint64_t ullGot = 0;
        memcpy(&ullGot, pstMsg->aucData, sizeof(ullGot));
        if (ullGot != ullToken) {
            ++pstTally->iForeign;
            return true;
        }
        int* piCookie = static_cast<int*>(pstMsg->pUserData);
        EXPECT_NE(piCookie, nullptr);
        if (piCookie != nullptr) {
            EXPECT_EQ(*piCookie, iSeq);
            free(piCookie);
        }
        return true;
    }
}

void RunEndpoint(int iEp, Tally* pstTally)
{
    const std::string strService = ServiceName(iEp % kServices);
    const char* szService = strService.c_str();
    tagUNIX_SOCKET_S* pstSock = KxUnixEndpointCreate(("/tmp/e" + std::to_string(iEp)).c_str());
    ASSERT_NE(pstSock, nullptr);
    auto pstHeader = std::make_unique<tagHTTP_HEADER_S>();
    strcpy(pstHeader->szMethod, "GET");
    strcpy(pstHeader->szUrl, "/LAPI/V1.0/Load");
    auto pstBody = std::make_unique<vwCmdBody>();
    auto pstMsg = std::make_unique<MSG_DATA>();
    std::mt19937 rng(static_cast<unsigned int>(0x5EED + iEp));
    for (int iReq = 0; iReq < kExchanges; ++iReq) {
        memset(pstBody.get(), 0, sizeof(vwCmdBody));
        Script stScript{Token(iEp, iReq), MODE_ONCE, static_cast<unsigned char>(rng() % 4)};
        unsigned int uiDice = rng() % 100;
        bool bAsyn = uiDice >= 80;
        if (uiDice < 15 || (bAsyn && uiDice < 85)) {
            stScript.ucMode = MODE_TWICE;
        } else if (uiDice < 25 || (bAsyn && uiDice < 90)) {
            stScript.ucMode = MODE_STALE;
        } else if (bAsyn && uiDice < 95) {
            stScript.ucMode = MODE_DROP;
        }
        memcpy(pstBody->aucData, &stScript, sizeof(stScript));
        const int iCmd = kCmdBase + iReq;
        if (bAsyn) {
            ASSERT_EQ(RestSendAsynUnixMsg(szService, iReq, VW_MSG_TYPE_GET_REQ, static_cast<VW_CMD_TYPE>(iCmd),
                                          pstBody.get(), pstSock, 0),
                      0);
            // A dropped or replaced answer is awaited briefly only to see that nothing of ours comes.
            bool bExpected = stScript.ucMode == MODE_ONCE || stScript.ucMode == MODE_TWICE ||
                             (stScript.ucMode == MODE_STALE && iReq == 0); // nothing earlier to replay
            bool bGot = AwaitAsynReply(pstSock, iCmd, stScript.ullToken, iReq, bExpected ? 5000 : 30, pstMsg.get(),
                                       pstTally);
            if (bGot) {
                ++pstTally->iAsynOwn;
            } else {
                ++pstTally->iAsynMissing;
            }
            EXPECT_EQ(bGot, bExpected) << "endpoint " << iEp << " request " << iReq;
            continue;
        }
        void* pData = nullptr;
        int iRet = GetCommon(pstHeader.get(), pstSock, static_cast<VW_CMD_TYPE>(iCmd), pstBody.get(), &pData, 0,
                             szService);
        if (iRet != VW_RESULT_OK) {
            EXPECT_EQ(pData, nullptr);
            ++pstTally->iFailed;
            continue;
        }
        uint64_t ullGot = 0;
        memcpy(&ullGot, pData, sizeof(ullGot));
        free(pData);
        if (ullGot != stScript.ullToken) {
            ++pstTally->iForeign;
            ADD_FAILURE() << "endpoint " << iEp << " request " << iReq << " got the reply of token " << std::hex
                          << ullGot;
        } else if (stScript.ucMode == MODE_STALE && iReq > 0) {
            ++pstTally->iStaleTaken; // the service never sent this request's reply
        } else {
            ++pstTally->iOwn;
        }
    }
    KxUnixEndpointDestroy(pstSock);
}

TEST(LoadTest, ConcurrentEndpointsKeepTheirReplies)
{
    KxPlatformSetLogSink(QuietSink, nullptr);
    const int iFdsBefore = CountOpenFds();
    {
        TempDir dir;
        ASSERT_EQ(KxUnixSetRunDir(dir.Path().c_str()), 0);
        std::vector<std::unique_ptr<ServiceState>> vecStates;
        std::vector<KXSERVICE*> vecServices;
        for (int i = 0; i < kServices; ++i) {
            vecStates.push_back(std::make_unique<ServiceState>());
            KXSERVICE* pstSvc = KxServiceStart(ServiceName(i).c_str(), LoadHandler, vecStates.back().get());
            ASSERT_NE(pstSvc, nullptr);
            vecServices.push_back(pstSvc);
        }
        Tally stTally;
        std::vector<std::thread> vecThreads;
        for (int i = 0; i < kEndpoints; ++i) {
            vecThreads.emplace_back(RunEndpoint, i, &stTally);
        }
        for (auto& t : vecThreads) {
            t.join();
        }
        unsigned int uiServed = 0;
        for (int i = 0; i < kServices; ++i) {
            uiServed += KxServiceRequestCount(vecServices[i]);
            KxServiceStop(vecServices[i]);
            for (void* p : vecStates[i]->apOrphanCookies) {
                free(p); // what the answered reply would have returned to its reader
            }
        }
        EXPECT_EQ(uiServed, static_cast<unsigned int>(kEndpoints * kExchanges));
        EXPECT_EQ(stTally.iForeign.load(), 0);
        EXPECT_EQ(stTally.iStaleTaken.load(), 0);
        int iSyn = stTally.iOwn + stTally.iFailed + stTally.iStaleTaken;
        EXPECT_EQ(iSyn + stTally.iAsynOwn + stTally.iAsynMissing, kEndpoints * kExchanges);
        // Most synchronous requests are scripted to be answered; failures come from replaced
        // answers and from the occasional late copy that reaches the next request first.
        EXPECT_GT(stTally.iOwn.load(), iSyn / 2);
        printf("synchronous: %d own, %d failed; asynchronous: %d own, %d unanswered\n", stTally.iOwn.load(),
               stTally.iFailed.load(), stTally.iAsynOwn.load(), stTally.iAsynMissing.load());
    }
    KxPlatformSetLogSink(nullptr, nullptr);
    EXPECT_EQ(CountOpenFds(), iFdsBefore);
}

} // namespace
