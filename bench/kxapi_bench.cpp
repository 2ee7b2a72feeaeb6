// Hot paths of a request next to what a hand-written version of the same work costs. Each pair
// runs in the same process, and the table printed at the end gives library / baseline.
#include "kxapicommon.h"
#include "kxdevhost.h"
#include "kxplatform.h"
#include "kxservices.h"
#if KXAPI_BENCH_TAP
#include "probe_tap.h"
#endif

#include <benchmark/benchmark.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr VW_CMD_TYPE kCmd = static_cast<VW_CMD_TYPE>(7001);
const char* const kUrl = "/LAPI/V1.0/System/DeviceInfo";

void QuietSink(void*, int, int, int, int, const char*, int, const char*) {}

// What the host's response buffer would receive; only the size is kept.
size_t g_uiCopied = 0;
int CountingCopy(tagHTTP_BUF_S*, const char*, unsigned int uiLen)
{
    g_uiCopied += uiLen;
    return 0;
}

// The environment every benchmark shares: a run directory, an echo service, an endpoint.
struct Rig {
    std::string strDir;
    KXSERVICE* pstService = nullptr;
    tagUNIX_SOCKET_S* pstSock = nullptr;
    std::unique_ptr<tagHTTP_CLIENT_S> pstClient = std::make_unique<tagHTTP_CLIENT_S>();
    tagHTTP_CNTENT_INTER_S stCtIn{};
    tagHTTP_BUF_S stBuf{};

    bool Start()
    {
        char szTemplate[] = "/tmp/kxbench.XXXXXX";
        if (mkdtemp(szTemplate) == nullptr || KxUnixSetRunDir(szTemplate) != 0) {
            return false;
        }
        strDir = szTemplate;
        pstService = KxServiceStart("/tmp/A", nullptr, nullptr);
        pstSock = KxUnixEndpointCreate("/tmp/bq");
        if (pstService == nullptr || pstSock == nullptr) {
            return false;
        }
        pstClient->pstUnixSock = pstSock;
        strcpy(pstClient->stReqHeader.szMethod, "GET");
        strcpy(pstClient->stReqHeader.szUrl, kUrl);
        stBuf.Copy2Buf = CountingCopy;
        return true;
    }
    void Stop()
    {
        KxUnixEndpointDestroy(pstSock);
        KxServiceStop(pstService);
        if (!strDir.empty()) {
            (void)rmdir(strDir.c_str());
        }
    }
};
Rig* g_pstRig = nullptr;

// ---- service round trip ----

// One routed GET and its response, as the host runs a request. False on failure.
bool LibraryRoundTrip()
{
    static const KXAPI_URI_TABLE astTable[] = {{"/LAPI/V1.0/System/Time", static_cast<VW_CMD_TYPE>(7000)},
                                               {"/LAPI/V1.0/System/DeviceInfo", kCmd}};
    tagHTTP_HEADER_S* pstHeader = &g_pstRig->pstClient->stReqHeader;
    g_pstRig->stCtIn.pRspBody = nullptr;
    int iRet = RunCommonGet(pstHeader, g_pstRig->pstClient.get(), &g_pstRig->stCtIn, astTable, 2);
    int iFmt = FormatCommonResponse<char*>(pstHeader, static_cast<VW_RESULT_TYPE>(iRet), &g_pstRig->stCtIn,
                                           &g_pstRig->stBuf);
    return iRet == 0 && iFmt == 0;
}

// The same 21408-byte request and reply with nothing but the socket calls.
class RawClient {
public:
    RawClient()
    {
        m_iFd = socket(AF_UNIX, SOCK_DGRAM, 0);
        m_stMe.sun_family = AF_UNIX;
        snprintf(m_stMe.sun_path, sizeof(m_stMe.sun_path), "%s/raw", g_pstRig->strDir.c_str());
        m_stSvc.sun_family = AF_UNIX;
        snprintf(m_stSvc.sun_path, sizeof(m_stSvc.sun_path), "%s", KxUnixPathOf("/tmp/A").c_str());
        (void)unlink(m_stMe.sun_path);
        m_bOk = m_iFd >= 0 && bind(m_iFd, reinterpret_cast<sockaddr*>(&m_stMe), sizeof(m_stMe)) == 0;
        memset(m_pstReq.get(), 0, sizeof(MSG_DATA));
        m_pstReq->enMsgType = VW_MSG_TYPE_GET_REQ;
        m_pstReq->enCmdType = kCmd;
        m_pstReq->ullMsgNum = 1;
    }
    ~RawClient()
    {
        if (m_iFd >= 0) {
            close(m_iFd);
        }
        (void)unlink(m_stMe.sun_path);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // bPollFirst: first the non-blocking poll of the library's drain (one select that finds
    // nothing queued), a system call the library cannot leave out.
    bool RoundTrip(bool bPollFirst = false)
    {
        if (bPollFirst) {
            fd_set stQueued;
            FD_ZERO(&stQueued);
            FD_SET(m_iFd, &stQueued);
            timeval stPoll = {0, 0};
            (void)select(m_iFd + 1, &stQueued, nullptr, nullptr, &stPoll);
        }
        if (!m_bOk || sendto(m_iFd, m_pstReq.get(), sizeof(MSG_DATA), 0, reinterpret_cast<sockaddr*>(&m_stSvc),
                             sizeof(m_stSvc)) != static_cast<ssize_t>(sizeof(MSG_DATA))) {
            return false;
        }
        fd_set stSet;
        FD_ZERO(&stSet);
        FD_SET(m_iFd, &stSet);
        timeval stWait = {30, 0};
        return select(m_iFd + 1, &stSet, nullptr, nullptr, &stWait) == 1 &&
               recv(m_iFd, m_pstRsp.get(), sizeof(MSG_DATA), 0) == static_cast<ssize_t>(sizeof(MSG_DATA));
    }

private:
    int m_iFd = -1;
    bool m_bOk = false;
    sockaddr_un m_stMe{};
    sockaddr_un m_stSvc{};
    std::unique_ptr<MSG_DATA> m_pstReq = std::make_unique<MSG_DATA>();
    std::unique_ptr<MSG_DATA> m_pstRsp = std::make_unique<MSG_DATA>();
};

void SetRoundTripBytes(benchmark::State& state)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 * static_cast<int64_t>(sizeof(MSG_DATA)));
}

void BM_RunCommonGetRoundTrip(benchmark::State& state)
{
    for (auto _ : state) {
        if (!LibraryRoundTrip()) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    SetRoundTripBytes(state);
}

void BM_RawDatagramRoundTrip(benchmark::State& state)
{
    RawClient stRaw;
    for (auto _ : state) {
        if (!stRaw.RoundTrip()) {
            state.SkipWithError("raw exchange failed");
            break;
        }
    }
    SetRoundTripBytes(state);
}

// Two exchanges alternately in one loop, so drift in machine load (the service runs on a thread of
// its own, on a shared machine) falls on both alike. Per iteration each side's wall time and the
// calling thread's CPU time (what the exchange costs the host's thread, the kernel's work for it
// included, the wait for the service not) are the counters pszFirst / pszSecond and their "_cpu"
// twins; first / second is "ratio" and "cpu_ratio".
template <typename First, typename Second>
void Interleave(benchmark::State& state, First fnFirst, Second fnSecond, const char* pszFirst, const char* pszSecond)
{
    struct Side {
        double dWallNs = 0;
        double dCpuNs = 0;
    };
    // The same clock reads around either side, so their own cost falls on both alike.
    auto Timed = [](auto& fn, Side& stSide) {
        timespec stCpu0;
        timespec stCpu1;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &stCpu0);
        auto t0 = std::chrono::steady_clock::now();
        bool bOk = fn();
        auto t1 = std::chrono::steady_clock::now();
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &stCpu1);
        stSide.dWallNs += std::chrono::duration<double, std::nano>(t1 - t0).count();
        stSide.dCpuNs += static_cast<double>(stCpu1.tv_sec - stCpu0.tv_sec) * 1e9 +
                         static_cast<double>(stCpu1.tv_nsec - stCpu0.tv_nsec);
        return bOk;
    };
    Side stFirst;
    Side stSecond;
    for (auto _ : state) {
        bool bFirst = Timed(fnFirst, stFirst);
        bool bSecond = Timed(fnSecond, stSecond);
        if (!bFirst || !bSecond) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    double dN = static_cast<double>(state.iterations());
    if (dN > 0 && stSecond.dWallNs > 0 && stSecond.dCpuNs > 0) {
        state.counters[pszFirst] = stFirst.dWallNs / dN;
        state.counters[pszSecond] = stSecond.dWallNs / dN;
        state.counters["ratio"] = stFirst.dWallNs / stSecond.dWallNs;
        state.counters[std::string(pszFirst) + "_cpu"] = stFirst.dCpuNs / dN;
        state.counters[std::string(pszSecond) + "_cpu"] = stSecond.dCpuNs / dN;
        state.counters["cpu_ratio"] = stFirst.dCpuNs / stSecond.dCpuNs;
    }
}

void BM_RoundTripInterleaved(benchmark::State& state)
{
    RawClient stRaw;
    Interleave(
        state, LibraryRoundTrip, [&stRaw] { return stRaw.RoundTrip(); }, "library_ns", "raw_ns");
}

// Against the floor the library's own contract sets: the raw exchange plus the drain's poll.
void BM_RoundTripPolledInterleaved(benchmark::State& state)
{
    RawClient stRaw;
    Interleave(
        state, LibraryRoundTrip, [&stRaw] { return stRaw.RoundTrip(true); }, "library_ns", "polled_raw_ns");
}

#if KXAPI_BENCH_TAP
// ---- kxapi-probe tap ----

const char* const kTappedName = "/tmp/T";

// An echo service like the rig's with a tap in front of it, forwarding on a thread of its own.
// The command-line tap also prints a line per message; the hook here does nothing, so the figure
// is the forwarding alone, without what the terminal or pipe behind the tap costs.
class TappedService {
public:
    TappedService() : m_pstService(KxServiceStart(kTappedName, nullptr, nullptr))
    {
        std::string strError;
        if (m_pstService == nullptr || !m_stTap.Open(KxUnixPathOf(kTappedName), &strError)) {
            fprintf(stderr, "tap: %s\n", m_pstService == nullptr ? "echo service did not start" : strError.c_str());
            return;
        }
        m_stThread = std::thread([this] {
            std::string strRunError;
            if (m_stTap.Run([](const kxprobe::Seen&) {}, &m_bStop, 0, &strRunError) != 0) {
                fprintf(stderr, "tap: %s\n", strRunError.c_str());
            }
        });
        m_bOk = true;
    }
    ~TappedService()
    {
        m_bStop = 1;
        if (m_stThread.joinable()) {
            m_stThread.join();
        }
        m_stTap.Close(); // the name back first: stopping the service removes it
        KxServiceStop(m_pstService);
    }
    TappedService(const TappedService&) = delete;
    TappedService& operator=(const TappedService&) = delete;
    bool Ok() const { return m_bOk; }

private:
    KXSERVICE* m_pstService;
    kxprobe::Tap m_stTap;
    volatile sig_atomic_t m_bStop = 0;
    std::thread m_stThread;
    bool m_bOk = false;
};

// The library's synchronous exchange, as a host's handler makes it, from the rig's endpoint.
bool SyncExchange(const char* pszDst, MSG_DATA* pstRsp)
{
    return RestSendSynUnixMsg(pszDst, VW_MSG_TYPE_GET_REQ, kCmd, nullptr, g_pstRig->pstSock, pstRsp, 0) == 0 &&
           pstRsp->enResult == VW_RESULT_OK;
}

// Through the tap and directly, alternately in one loop, as the round trip above; the tap adds
// a thread wake-up and one more datagram hop each way. The direct exchange goes to the rig's
// service, not to the tapped one under its moved name: the library names a service in 8 bytes.
void BM_TapInterleaved(benchmark::State& state)
{
    TappedService stTapped;
    auto pstRsp = std::make_unique<MSG_DATA>();
    bool bWarm = stTapped.Ok();
    // The tap's first exchange of a client binds that client's socket towards the service.
    for (int i = 0; bWarm && i < 200; ++i) {
        bWarm = SyncExchange(kTappedName, pstRsp.get()) && SyncExchange("/tmp/A", pstRsp.get());
    }
    if (!bWarm) {
        state.SkipWithError("tap set-up failed");
        return;
    }
    Interleave(
        state, [&] { return SyncExchange(kTappedName, pstRsp.get()); },
        [&] { return SyncExchange("/tmp/A", pstRsp.get()); }, "tap_ns", "direct_ns");
}
#endif

// ---- status body ----

void BM_FormatCommonStatus(benchmark::State& state)
{
    tagHTTP_HEADER_S* pstHeader = &g_pstRig->pstClient->stReqHeader;
    for (auto _ : state) {
        if (FormatCommonStatus(pstHeader, VW_RESULT_OK, &g_pstRig->stCtIn, &g_pstRig->stBuf) != 0) {
            state.SkipWithError("format failed");
            break;
        }
    }
}

// JSON string escaping as the encoder applies it ('/' included), for the baseline.
size_t EscapeJson(const char* psz, char* pszOut, size_t uiSize)
{
    size_t n = 0;
    for (; *psz != '\0' && n + 7 < uiSize; ++psz) {
        unsigned char c = static_cast<unsigned char>(*psz);
        if (c == '"' || c == '\\' || c == '/') {
            pszOut[n++] = '\\';
            pszOut[n++] = static_cast<char>(c);
        } else if (c < 0x20) {
            n += static_cast<size_t>(snprintf(pszOut + n, uiSize - n, "\\u%04x", c));
        } else {
            pszOut[n++] = static_cast<char>(c);
        }
    }
    pszOut[n] = '\0';
    return n;
}

// The status body written by hand into a malloc'ed text, handed over and freed like the library's.
int HandStatusBody(const char* pszUrl, int iCode, const char* pszText, tagHTTP_BUF_S* pstBuf)
{
    char szUrl[KXAPI_REQUEST_URL_SIZE * 2 + 8];
    char szText[KXAPI_STATUS_STRING_SIZE * 2 + 8];
    EscapeJson(pszUrl, szUrl, sizeof(szUrl));
    EscapeJson(pszText, szText, sizeof(szText));
    char szBody[1024];
    int n = snprintf(szBody, sizeof(szBody),
                     "{ \"ResponseStatus\": { \"RequestURL\": \"%s\", \"StatusCode\": %d, \"StatusString\": \"%s\" } }",
                     szUrl, iCode, szText);
    char* psz = static_cast<char*>(malloc(static_cast<size_t>(n) + 1));
    if (psz == nullptr) {
        return -1;
    }
    memcpy(psz, szBody, static_cast<size_t>(n) + 1);
    int iRet = pstBuf->Copy2Buf(pstBuf, psz, static_cast<unsigned int>(n));
    free(psz);
    return iRet == -1 ? -1 : 0;
}

void BM_HandWrittenStatus(benchmark::State& state)
{
    const char* pszText = GetStatusString(VW_RESULT_OK);
    for (auto _ : state) {
        if (HandStatusBody(kUrl, VW_RESULT_OK, pszText, &g_pstRig->stBuf) != 0) {
            state.SkipWithError("format failed");
            break;
        }
    }
}

// Both bodies must be the same bytes, or the comparison means nothing.
std::string g_strCaptured;
int CaptureCopy(tagHTTP_BUF_S*, const char* pData, unsigned int uiLen)
{
    g_strCaptured.assign(pData, uiLen);
    return 0;
}
bool SameStatusBodies()
{
    tagHTTP_BUF_S stBuf{};
    stBuf.Copy2Buf = CaptureCopy;
    tagHTTP_CNTENT_INTER_S stCtIn{};
    if (FormatCommonStatus(&g_pstRig->pstClient->stReqHeader, VW_RESULT_OK, &stCtIn, &stBuf) != 0) {
        return false;
    }
    std::string strLib = g_strCaptured;
    if (HandStatusBody(kUrl, VW_RESULT_OK, GetStatusString(VW_RESULT_OK), &stBuf) != 0 || strLib != g_strCaptured) {
        fprintf(stderr, "status bodies differ:\n  library: %s\n  by hand: %s\n", strLib.c_str(), g_strCaptured.c_str());
        return false;
    }
    return true;
}

// ---- query parsing ----

const char* const kQuery = "Channel=1&Stream=0&Width=1920&Height=1080&Name=front%20door&Codec=H.265"
                           "&Rate=25&Start=2026-01-01T00%3A00%3A00&Limit=100&Offset=0";

void BM_URIQueryParamParse10(benchmark::State& state)
{
    auto pstHeader = std::make_unique<tagHTTP_HEADER_S>();
    strcpy(pstHeader->szQuery, kQuery);
    for (auto _ : state) {
        if (URIQueryParamParse(pstHeader.get()) != 0 || pstHeader->mapQueryParam.size() != 10) {
            state.SkipWithError("parse failed");
            break;
        }
    }
}

// Splitting and percent-decoding the same text into a map by hand.
void BM_HandQueryParse10(benchmark::State& state)
{
    std::map<std::string, std::string> mapOut;
    auto Decode = [](const char* p, size_t n) {
        std::string str;
        str.reserve(n);
        for (size_t i = 0; i < n; ++i) {
            if (p[i] == '%' && i + 2 < n) {
                str.push_back(static_cast<char>(strtol(std::string(p + i + 1, 2).c_str(), nullptr, 16)));
                i += 2;
            } else {
                str.push_back(p[i]);
            }
        }
        return str;
    };
    for (auto _ : state) {
        mapOut.clear();
        for (const char* p = kQuery; *p != '\0';) {
            const char* pAmp = strchr(p, '&');
            size_t n = pAmp != nullptr ? static_cast<size_t>(pAmp - p) : strlen(p);
            const char* pEq = static_cast<const char*>(memchr(p, '=', n));
            if (pEq == nullptr) {
                break;
            }
            mapOut.emplace(Decode(p, static_cast<size_t>(pEq - p)),
                           Decode(pEq + 1, n - static_cast<size_t>(pEq - p) - 1));
            p += n + (pAmp != nullptr ? 1 : 0);
        }
        benchmark::DoNotOptimize(mapOut.size());
    }
}

// ---- URI routing ----

struct RouteTable {
    std::vector<std::string> vecPatterns;
    std::vector<KXAPI_URI_TABLE> vecTable;
    explicit RouteTable(size_t n)
    {
        for (size_t i = 0; i < n; ++i) {
            vecPatterns.push_back("/LAPI/V1.0/Channels/Media/Item" + std::to_string(i));
        }
        for (size_t i = 0; i < n; ++i) {
            vecTable.push_back({vecPatterns[i].c_str(), static_cast<VW_CMD_TYPE>(1000 + i)});
        }
    }
};
RouteTable& Table(size_t n)
{
    static std::map<size_t, std::unique_ptr<RouteTable>> s_map;
    auto& p = s_map[n];
    if (!p) {
        p = std::make_unique<RouteTable>(n);
    }
    return *p;
}

// The URL matches the last entry, so every entry is searched.
std::string LastUrl(size_t n)
{
    return "/LAPI/V1.0/Channels/Media/Item" + std::to_string(n - 1) + "/Settings";
}

void BM_GetInnerCmdByUrl(benchmark::State& state)
{
    size_t n = static_cast<size_t>(state.range(0));
    RouteTable& stTable = Table(n);
    std::string strUrl = LastUrl(n);
    std::vector<char> vecUrl(strUrl.begin(), strUrl.end());
    vecUrl.push_back('\0');
    for (auto _ : state) {
        VW_CMD_TYPE enCmd = GetInnerCmdByUrl(vecUrl.data(), stTable.vecTable.data(), static_cast<unsigned int>(n));
        if (enCmd != static_cast<VW_CMD_TYPE>(1000 + n - 1)) {
            state.SkipWithError("wrong route");
            break;
        }
    }
}

// Longest substring match over the table with strstr.
void BM_HandRoute(benchmark::State& state)
{
    size_t n = static_cast<size_t>(state.range(0));
    RouteTable& stTable = Table(n);
    std::string strUrl = LastUrl(n);
    for (auto _ : state) {
        size_t uiBest = 0;
        int iCmd = INNER_CMD_INVALID;
        for (const KXAPI_URI_TABLE& e : stTable.vecTable) {
            size_t uiLen = strlen(e.pszUrl);
            if (uiLen > uiBest && strstr(strUrl.c_str(), e.pszUrl) != nullptr) {
                uiBest = uiLen;
                iCmd = e.enInnerCmd;
            }
        }
        benchmark::DoNotOptimize(iCmd);
    }
}

// ---- status texts ----

void BM_GetStatusStringHit(benchmark::State& state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(GetStatusString(VW_RESULT_INCORRECT_PARAMETER));
    }
}

void BM_GetStatusStringMiss(benchmark::State& state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(GetStatusString(987654321)); // logged each time, to a silent sink
    }
}

BENCHMARK(BM_RunCommonGetRoundTrip)->UseRealTime();
BENCHMARK(BM_RawDatagramRoundTrip)->UseRealTime();
BENCHMARK(BM_RoundTripInterleaved)->UseRealTime();
BENCHMARK(BM_RoundTripPolledInterleaved)->UseRealTime();
#if KXAPI_BENCH_TAP
BENCHMARK(BM_TapInterleaved)->UseRealTime();
#endif
BENCHMARK(BM_FormatCommonStatus);
BENCHMARK(BM_HandWrittenStatus);
BENCHMARK(BM_URIQueryParamParse10);
BENCHMARK(BM_HandQueryParse10);
BENCHMARK(BM_GetInnerCmdByUrl)->Arg(10)->Arg(100)->Arg(1000);
BENCHMARK(BM_HandRoute)->Arg(10)->Arg(100)->Arg(1000);
BENCHMARK(BM_GetStatusStringHit);
BENCHMARK(BM_GetStatusStringMiss);

// Interleaved benchmarks measure both sides themselves and report them as counters.
struct Interleaved {
    const char* pszRun;
    const char* pszMeasured;
    const char* pszBaseline;
    const char* pszLabel;
};
const Interleaved kInterleaved[] = {
    {"BM_RoundTripInterleaved/real_time", "library_ns", "raw_ns", "round trip, interleaved"},
    {"BM_RoundTripPolledInterleaved/real_time", "library_ns", "polled_raw_ns", "round trip vs raw + drain's poll"},
    {"BM_TapInterleaved/real_time", "tap_ns", "direct_ns", "sync exchange through kxapi-probe tap vs direct"},
};

// Keeps each run's time per iteration while printing as usual, for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& reports) override
    {
        for (const Run& r : reports) {
            // Single runs are collected; with --benchmark_report_aggregates_only only the median
            // aggregate arrives, and stands for them.
            bool bMedian = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (r.error_occurred || (r.run_type != Run::RT_Iteration && !bMedian)) {
                continue;
            }
            if (bMedian) {
                m_mapRuns.erase(r.run_name.str());
            }
            m_mapRuns[r.run_name.str()].push_back(r.GetAdjustedRealTime());
            for (const Interleaved& stPair : kInterleaved) {
                if (r.run_name.str() != stPair.pszRun) {
                    continue;
                }
                Figures& stFigures = m_mapInterleaved[stPair.pszRun];
                if (bMedian) {
                    stFigures = Figures();
                }
                const std::string strMeasured = stPair.pszMeasured;
                const std::string strBaseline = stPair.pszBaseline;
                Collect(r, strMeasured, strBaseline, "ratio", &stFigures.stWall);
                Collect(r, strMeasured + "_cpu", strBaseline + "_cpu", "cpu_ratio", &stFigures.stCpu);
            }
        }
        ConsoleReporter::ReportRuns(reports);
    }
    // Median over the repetitions (--benchmark_repetitions), so one disturbed run does not decide.
    void PrintRatios()
    {
        for (auto& kv : m_mapRuns) {
            m_mapNs[kv.first] = Median(kv.second);
        }
        static const char* const s_apszPairs[][3] = {
            {"BM_RunCommonGetRoundTrip/real_time", "BM_RawDatagramRoundTrip/real_time", "round trip, separate runs"},
            {"BM_FormatCommonStatus", "BM_HandWrittenStatus", "status body"},
            {"BM_URIQueryParamParse10", "BM_HandQueryParse10", "10-pair query"},
            {"BM_GetInnerCmdByUrl/10", "BM_HandRoute/10", "routing, 10 entries"},
            {"BM_GetInnerCmdByUrl/100", "BM_HandRoute/100", "routing, 100 entries"},
            {"BM_GetInnerCmdByUrl/1000", "BM_HandRoute/1000", "routing, 1000 entries"},
            {"BM_GetInnerCmdByUrl/1000", "BM_GetInnerCmdByUrl/10", "routing, 1000 vs 10 entries"},
            {"BM_GetStatusStringMiss", "BM_GetStatusStringHit", "status text, miss vs hit"},
        };
        printf("\n%-60s %14s %14s %8s\n", "comparison", "measured ns", "baseline ns", "ratio");
        for (const Interleaved& stPair : kInterleaved) {
            auto it = m_mapInterleaved.find(stPair.pszRun);
            if (it == m_mapInterleaved.end()) {
                continue;
            }
            const std::string strLabel = stPair.pszLabel;
            PrintSeries(strLabel + ", wall", it->second.stWall);
            PrintSeries(strLabel + ", client CPU", it->second.stCpu);
        }
        for (const auto& p : s_apszPairs) {
            auto a = m_mapNs.find(p[0]);
            auto b = m_mapNs.find(p[1]);
            if (a == m_mapNs.end() || b == m_mapNs.end() || b->second <= 0) {
                continue; // filtered out of this run
            }
            printf("%-60s %14.1f %14.1f %7.2fx\n", p[2], a->second, b->second, a->second / b->second);
        }
    }

private:
    static double Median(std::vector<double> vec)
    {
        std::sort(vec.begin(), vec.end());
        return vec[vec.size() / 2];
    }
    struct Series {
        std::vector<double> vecMeasured;
        std::vector<double> vecBaseline;
        std::vector<double> vecRatio;
    };
    struct Figures {
        Series stWall;
        Series stCpu;
    };
    static void Collect(const Run& r, const std::string& strMeasured, const std::string& strBaseline,
                        const char* pszRatio, Series* pstSeries)
    {
        auto itMeasured = r.counters.find(strMeasured);
        auto itBaseline = r.counters.find(strBaseline);
        auto itRatio = r.counters.find(pszRatio);
        if (itMeasured == r.counters.end() || itBaseline == r.counters.end() || itRatio == r.counters.end()) {
            return;
        }
        pstSeries->vecMeasured.push_back(itMeasured->second.value);
        pstSeries->vecBaseline.push_back(itBaseline->second.value);
        pstSeries->vecRatio.push_back(itRatio->second.value);
    }
    static void PrintSeries(const std::string& strLabel, const Series& stSeries)
    {
        if (!stSeries.vecRatio.empty()) {
            printf("%-60s %14.1f %14.1f %7.2fx\n", strLabel.c_str(), Median(stSeries.vecMeasured),
                   Median(stSeries.vecBaseline), Median(stSeries.vecRatio));
        }
    }
    std::map<std::string, Figures> m_mapInterleaved;
    std::map<std::string, std::vector<double>> m_mapRuns;
    std::map<std::string, double> m_mapNs;
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    KxPlatformSetLogSink(QuietSink, nullptr);
    Rig stRig;
    g_pstRig = &stRig;
    if (!stRig.Start() || !SameStatusBodies()) {
        fprintf(stderr, "benchmark set-up failed\n");
        stRig.Stop();
        return 1;
    }
    // The first exchanges of a process pay for page faults and the service thread's start.
    {
        RawClient stRaw;
        for (int i = 0; i < 2000; ++i) {
            if (!LibraryRoundTrip() || !stRaw.RoundTrip()) {
                fprintf(stderr, "warm-up exchange failed\n");
                stRig.Stop();
                return 1;
            }
        }
    }
    RatioReporter stReporter;
    benchmark::RunSpecifiedBenchmarks(&stReporter);
    stReporter.PrintRatios();
    stRig.Stop();
    benchmark::Shutdown();
    return 0;
}
