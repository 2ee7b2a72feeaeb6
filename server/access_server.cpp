// Start-up and shutdown, and the road of one request: the front hands it over complete, the
// route table names its handler and service, a worker of that service's lane fills the records,
// runs the handler and answers with the body the library handed to Copy2Buf.
#include "access_server.h"

#include "camera_services.h"
#include "http_front.h"
#include "kxdevhost.h"
#include "kxplatform.h"
#include "kxscenario.h"
#include "lanes.h"
#include "resources.h"
#include "routes.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kxserver {

struct AccessServer::Impl {
    ServerOptions stOptions;
    LoginLock lock;
    EventLoop loop;
    ServerContext ctx;
    Lanes lanes;
    HttpFront front;
    std::unique_ptr<kxdev::Emulator> pEmulator;

    explicit Impl(ServerOptions stOpt)
        : stOptions(std::move(stOpt)),
          lock(stOptions.uiLoginAttempts, stOptions.ullLockSeconds), ctx{stOptions, lock, loop},
          lanes(stOptions.uiServiceWaiters, stOptions.uiMaxQueue)
    {
    }
    bool Fail(const std::string& strWhat);
    void Dispatch(uint64_t uiConn, HttpRequest&& httpReq);
    Answer Serve(const Route* pstRoute, const HttpRequest& httpReq);
};

namespace {

// The event table is indexed by descriptor: it must reach as far as descriptors can go.
unsigned int EventSlots()
{
    rlimit stLimit{};
    if (getrlimit(RLIMIT_NOFILE, &stLimit) != 0 || stLimit.rlim_cur == RLIM_INFINITY) {
        return 65536;
    }
    return static_cast<unsigned int>(std::clamp<rlim_t>(stLimit.rlim_cur, 1024, 65536));
}

} // namespace

std::string DefaultScenario()
{
    char szExe[4096];
    ssize_t n = readlink("/proc/self/exe", szExe, sizeof(szExe) - 1);
    if (n > 0) {
        std::string strExe(szExe, static_cast<size_t>(n));
        std::string strInstalled = strExe.substr(0, strExe.rfind('/')) +
                                   "/../share/kxapicommon/reference.scenario.json";
        if (access(strInstalled.c_str(), R_OK) == 0) {
            return strInstalled;
        }
    }
    return KXAPI_SOURCE_SCENARIO;
}

bool AccessServer::Impl::Fail(const std::string& strWhat)
{
    std::cerr << "kxapi-access-server: " << strWhat << "\n";
    return false;
}

// On the front's thread: must not wait. A request its service's lane cannot take is answered at
// once, as a service that is down.
void AccessServer::Impl::Dispatch(uint64_t uiConn, HttpRequest&& httpReq)
{
    const Route* pstRoute = FindRoute(httpReq.strMethod, PathOf(httpReq.strTarget));
    std::string strLane = pstRoute == nullptr ? "" : pstRoute->pszService;
    std::string strTarget = httpReq.strTarget;
    auto pAnswer = std::make_shared<Answer>();
    bool bTaken = lanes.Submit(
        strLane, [this, pAnswer, pstRoute, httpReq = std::move(httpReq)] { *pAnswer = Serve(pstRoute, httpReq); },
        [this, pAnswer, uiConn] { front.Reply(uiConn, std::move(*pAnswer)); });
    if (!bTaken) {
        front.Reply(uiConn, Answer{503, "application/json", StatusBody(strTarget, VW_RESULT_COMMON_ERROR)});
    }
}

Answer AccessServer::Impl::Serve(const Route* pstRoute, const HttpRequest& httpReq)
{
    Request req;
    int iResult = FillRecords(req, httpReq);
    if (iResult == VW_RESULT_OK) {
        iResult = pstRoute == nullptr ? VW_RESULT_UNSUPPORTED_REQUEST : pstRoute->pfnHandler(ctx, req);
    }
    // A handler that answered itself (the lock body, a download) left its body; everything else
    // is answered with the pending body or the status body of its result.
    if (req.strBody.empty() && FormatCommonResponse<char*>(req.Header(), static_cast<VW_RESULT_TYPE>(iResult),
                                                           &req.stContent, &req.stBuf) != 0) {
        return Answer{500, "application/json", ""};
    }
    int iStatus = req.iHttpStatus != 0 ? req.iHttpStatus : HttpStatusOf(iResult);
    return Answer{iStatus, req.strContentType, std::move(req.strBody)};
}

AccessServer::AccessServer(ServerOptions stOptions) : m_pImpl(std::make_unique<Impl>(std::move(stOptions))) {}

AccessServer::~AccessServer()
{
    Stop();
}

unsigned short AccessServer::Port() const
{
    return m_pImpl->front.Port();
}

bool AccessServer::Start()
{
    Impl& s = *m_pImpl;
    const ServerOptions& stOpt = s.stOptions;
    mkdir(stOpt.strRunDir.c_str(), 0700);
    mkdir(stOpt.strStateDir.c_str(), 0700);
    std::string strSrvfs = stOpt.strRunDir + "/srvfs";
    mkdir(strSrvfs.c_str(), 0700);
    if (KxUnixSetRunDir(stOpt.strRunDir.c_str()) != 0 || KxSrvfsSetRoot(strSrvfs.c_str()) != 0) {
        return s.Fail("run directory too long for socket names: " + stOpt.strRunDir);
    }
    bool bOk = true;
    if (!stOpt.strScenario.empty()) {
        std::string strError;
        auto pScenario = kxdev::LoadScenarioFile(stOpt.strScenario, &strError);
        kxdev::EmulatorOptions stEmulator;
        stEmulator.strStateDir = stOpt.strStateDir;
        s.pEmulator = std::make_unique<kxdev::Emulator>(stEmulator);
        bOk = (pScenario != nullptr && s.pEmulator->Start(pScenario, &strError, stOpt.vecServices)) ||
              s.Fail("cannot start the emulated camera services: " + strError);
    }
    bOk = bOk && (s.loop.Start(EventSlots()) || s.Fail("cannot start the event loop"));
    FrontOptions stFront;
    stFront.strHost = stOpt.strBindHost;
    stFront.usPort = stOpt.usPort;
    stFront.uiMaxConnections = stOpt.uiMaxConnections;
    stFront.uiRequestTimeoutMs = stOpt.uiRequestTimeoutMs;
    bOk =
        bOk &&
        (s.front.Start(stFront, [&s](uint64_t uiConn, HttpRequest&& req) { s.Dispatch(uiConn, std::move(req)); }) ||
         s.Fail("cannot listen on " + stOpt.strBindHost + ":" + std::to_string(stOpt.usPort) + ": " + strerror(errno)));
    if (!bOk) {
        Stop();
    }
    return bOk;
}

// In the order of dependence: no new requests, the ones in progress finish, then what they used.
void AccessServer::Stop()
{
    Impl& s = *m_pImpl;
    s.front.Stop();
    s.lanes.Stop();
    s.front.Close();
    s.loop.Stop();
    s.pEmulator.reset();
}

} // namespace kxserver
