// The reference access server. Each HTTP request gets its own set of host records (client with
// its request header, content record, response buffer) and its own synchronous endpoint, is
// served through the library and answered with the body the library handed to Copy2Buf.
#include "access_server.h"

#include "camera_services.h"
#include "kxapicommon.h"
#include "kxdevhost.h"
#include "abs_event.h"
#include "kxplatform.h"

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerRequestImpl.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/StreamCopier.h>
#include <json-c/json.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <future>
#include <sys/eventfd.h>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kxserver {

namespace {

// ---- host records of one request ----

struct Request;

// The host's bytes of the client record carry a pointer back to the request, so host callbacks
// that get only the record (the unlock time) find the connection's peer.
Request* RequestOf(tagHTTP_CLIENT_S* pstClient)
{
    Request* pReq = nullptr;
    memcpy(&pReq, pstClient->aucHost1, sizeof(pReq));
    return pReq;
}

// Copy2Buf of the response buffer: appends to the body that goes out after the handler.
int AppendToBody(tagHTTP_BUF_S* pstBuf, const char* pData, unsigned int uiLen)
{
    std::string* pBody = nullptr;
    memcpy(&pBody, pstBuf->aucHost1, sizeof(pBody));
    if (pBody == nullptr || pData == nullptr) {
        return -1;
    }
    pBody->append(pData, uiLen);
    return 0;
}

struct Request {
    tagHTTP_CLIENT_S stClient{};
    tagHTTP_CNTENT_INTER_S stContent{};
    tagHTTP_BUF_S stBuf{};
    std::string strBody;       // what Copy2Buf collected
    std::string strPeer;       // client address, for the login lock
    std::string strReqBody;    // the request's own body (PUT, POST)
    std::string strContentType = "application/json";
    int iHttpStatus = 200;
    // The asynchronous HBTP exchange: the client's own event and what its handler took over.
    tagABS_EVENT_S* pstClientEvent = nullptr;
    bool bHbtpDone = false;
    std::string strHbtpBody;
    AccessServer::Impl* pServer = nullptr;

    Request()
    {
        Request* pSelf = this;
        memcpy(stClient.aucHost1, &pSelf, sizeof(pSelf));
        std::string* pBody = &strBody;
        memcpy(stBuf.aucHost1, &pBody, sizeof(pBody));
        stBuf.Copy2Buf = AppendToBody;
    }
    ~Request()
    {
        // Whatever the library left with the host is the host's to free.
        free(stContent.pPreData);
        free(stContent.pRspBody);
        free(stClient.pRecvMsg);
    }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    tagHTTP_HEADER_S* Header() { return &stClient.stReqHeader; }
};

// Copies text into a fixed field of the header; false when it does not fit.
template <size_t N>
bool PutField(char (&szField)[N], const std::string& strText)
{
    if (strText.size() >= N) {
        return false;
    }
    memcpy(szField, strText.c_str(), strText.size() + 1);
    return true;
}

// The HTTP status that goes with a library result code.
int HttpStatusOf(int iResult)
{
    switch (iResult) {
    case VW_RESULT_OK:
        return 200;
    case VW_RESULT_COMMON_ERROR:
        return 503;
    case VW_RESULT_UNSUPPORTED_REQUEST:
        return 404;
    case VW_RESULT_INCORRECT_PARAMETER:
        return 400;
    case 102:
        return 401;
    case 108:
        return 403;
    default:
        return 500;
    }
}

// ---- login lock ----

class LoginLocks {
public:
    LoginLocks(unsigned int uiAttempts, unsigned long long ullSeconds) : m_uiAttempts(uiAttempts), m_ullSeconds(ullSeconds) {}
    unsigned long long Remaining(const std::string& strPeer)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_mapState.find(strPeer);
        long long llNow = Now();
        if (it == m_mapState.end() || it->second.llLockedUntil <= llNow) {
            return 0;
        }
        return static_cast<unsigned long long>(it->second.llLockedUntil - llNow);
    }
    void Failed(const std::string& strPeer)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        State& stState = m_mapState[strPeer];
        if (++stState.uiFailures >= m_uiAttempts) {
            stState.uiFailures = 0;
            stState.llLockedUntil = Now() + static_cast<long long>(m_ullSeconds);
        }
    }
    void Succeeded(const std::string& strPeer)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_mapState.erase(strPeer);
    }

private:
    struct State {
        unsigned int uiFailures = 0;
        long long llLockedUntil = 0;
    };
    static long long Now()
    {
        return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    unsigned int m_uiAttempts;
    unsigned long long m_ullSeconds;
    std::mutex m_mutex;
    std::map<std::string, State> m_mapState;
};

LoginLocks* g_pLocks = nullptr; // the running server's, for the host callback below

// ---- URI tables ----

const KXAPI_URI_TABLE kSystemTable[] = {
    {"/system/device", static_cast<VW_CMD_TYPE>(CMD_DEVICE_INFO)},
    {"/system/device/time", static_cast<VW_CMD_TYPE>(CMD_DEVICE_TIME)}, // longer: wins for .../time
    {"/system/network", static_cast<VW_CMD_TYPE>(CMD_NETWORK)},
};
const KXAPI_URI_TABLE kVideoTable[] = {
    {"/video/osd", static_cast<VW_CMD_TYPE>(CMD_VIDEO_OSD)},
};

template <size_t N>
constexpr unsigned int Count(const KXAPI_URI_TABLE (&)[N])
{
    return N;
}

// The multipart framing of a download: fixed texts around boundary, name and type. Their
// lengths add up to the 101 bytes the download description counts.
constexpr const char kPartOpen[] = "--";
constexpr const char kPartDisposition[] = "\r\nContent-Disposition: form-data; name=\"";
constexpr const char kPartFileName[] = "\"; filename=\"";
constexpr const char kPartType[] = "\"\r\nContent-Type: ";
constexpr const char kPartCharset[] = "; charset=\"utf-8\"\r\n\r\n";
constexpr const char kPartClose[] = "\r\n--";
constexpr const char kPartEnd[] = "--\r\n";
static_assert(sizeof(kPartOpen) + sizeof(kPartDisposition) + sizeof(kPartFileName) + sizeof(kPartType) +
                      sizeof(kPartCharset) + sizeof(kPartClose) + sizeof(kPartEnd) - 7 ==
                  101,
              "the fixed multipart text is 101 bytes");

} // namespace

// ---- the server ----

struct AccessServer::Impl {
    ServerOptions stOptions;
    std::unique_ptr<CameraServices> pServices;
    std::unique_ptr<Poco::Net::HTTPServer> pHttp;
    unsigned short usPort = 0;
    LoginLocks locks;
    std::atomic<unsigned int> uiEndpointSeq{0};
    std::atomic<unsigned int> uiDownloadSeq{0};

    // The asynchronous endpoint, its reader thread and the requests waiting for a reply.
    tagUNIX_SOCKET_S* pstAsynSock = nullptr;
    std::thread asyncReader;
    std::atomic<bool> bStopping{false};
    std::mutex asyncSendMutex; // one outstanding asynchronous request on the endpoint
    std::mutex waitMutex;
    std::condition_variable waitCv;
    std::map<int, tagHTTP_CLIENT_S*> mapWaiting; // by client descriptor, the cookie's value

    // The event loop of the HBTP exchanges. Everything that touches the base runs on its thread:
    // request threads post work through an eventfd and wait for it.
    tagHTTP_SERVER_S stServer{};
    tagABS_EVENT_BASE_S* pstBase = nullptr;
    int iWakeFd = -1;
    tagABS_EVENT_S* pstWakeEvent = nullptr;
    std::thread loop;
    std::mutex taskMutex;
    std::deque<std::packaged_task<void()>> tasks;

    explicit Impl(ServerOptions stOpt)
        : stOptions(std::move(stOpt)), locks(stOptions.uiLoginAttempts, stOptions.ullLockSeconds)
    {
    }

    void Serve(Poco::Net::HTTPServerRequest& httpReq, Poco::Net::HTTPServerResponse& httpRsp);
    int Dispatch(Request& req, const std::vector<std::string>& vecSegs);
    int FillHeader(Request& req, Poco::Net::HTTPServerRequest& httpReq, std::vector<std::string>& vecSegs);

    int System(Request& req);
    int VideoOsd(Request& req);
    int ChannelStream(Request& req);
    int LatestEvent(Request& req);
    int Gat1400Status(Request& req);
    int Storage(Request& req);
    int Users(Request& req);
    int Login(Request& req);
    int Download(Request& req, Poco::Net::HTTPServerResponse& httpRsp, bool& bSent);
    void ReadAsyncReplies();
    int Sessions(Request& req);
    void RunOnLoop(std::function<void()> fnWork);
    bool StartLoop();
    void StopLoop();
};

namespace {

class Handler : public Poco::Net::HTTPRequestHandler {
public:
    explicit Handler(AccessServer::Impl& server) : m_server(server) {}
    void handleRequest(Poco::Net::HTTPServerRequest& req, Poco::Net::HTTPServerResponse& rsp) override
    {
        m_server.Serve(req, rsp);
    }

private:
    AccessServer::Impl& m_server;
};

class HandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    explicit HandlerFactory(AccessServer::Impl& server) : m_server(server) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest&) override
    {
        return new Handler(m_server);
    }

private:
    AccessServer::Impl& m_server;
};

constexpr size_t kMaxRequestBody = 64 * 1024;

std::vector<std::string> SplitPath(const std::string& strPath)
{
    std::vector<std::string> vecSegs;
    std::stringstream ss(strPath);
    std::string strSeg;
    while (std::getline(ss, strSeg, '/')) {
        if (!strSeg.empty()) {
            vecSegs.push_back(strSeg);
        }
    }
    return vecSegs;
}

bool IsNumber(const std::string& strText)
{
    if (strText.empty() || strText.size() > 18) {
        return false;
    }
    for (char c : strText) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// A synchronous endpoint of the request's own, bound to a name no other request uses.
struct Endpoint {
    tagUNIX_SOCKET_S* pstSock = nullptr;
    explicit Endpoint(unsigned int uiSeq)
    {
        std::string strName = "/tmp/s" + std::to_string(uiSeq);
        pstSock = KxUnixEndpointCreate(strName.c_str());
    }
    ~Endpoint() { KxUnixEndpointDestroy(pstSock); }
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;
};

// Merges the changed members of the request body into the current data; only known members of
// the same JSON type may change. Null when the body is not acceptable.
json_object* MergeChange(const char* pszCurrent, const std::string& strChange)
{
    json_object* pCurrent = json_tokener_parse(pszCurrent);
    json_object* pChange = json_tokener_parse(strChange.c_str());
    bool bOk = pCurrent != nullptr && pChange != nullptr && json_object_is_type(pChange, json_type_object) &&
               json_object_object_length(pChange) > 0;
    if (bOk) {
        json_object_object_foreach(pChange, pszKey, pVal)
        {
            json_object* pOld = nullptr;
            if (!json_object_object_get_ex(pCurrent, pszKey, &pOld) ||
                json_object_get_type(pOld) != json_object_get_type(pVal)) {
                bOk = false;
                break;
            }
            json_object_object_add(pCurrent, pszKey, json_object_get(pVal));
        }
    }
    json_object_put(pChange);
    if (!bOk) {
        json_object_put(pCurrent);
        return nullptr;
    }
    return pCurrent;
}

// Text at the start of a block, up to its NUL or its end.
std::string BlockText(const unsigned char* pucData, size_t uiLen)
{
    const void* pEnd = memchr(pucData, '\0', uiLen);
    return std::string(reinterpret_cast<const char*>(pucData),
                       pEnd == nullptr ? uiLen : static_cast<size_t>(static_cast<const unsigned char*>(pEnd) - pucData));
}

// A pending body of the host's own: handed to FormatCommonResponse<char*>, which frees it.
char* PendingBody(const std::string& strText)
{
    return strdup(strText.c_str());
}

} // namespace

int AccessServer::Impl::FillHeader(Request& req, Poco::Net::HTTPServerRequest& httpReq, std::vector<std::string>& vecSegs)
{
    tagHTTP_HEADER_S* pstHeader = req.Header();
    const std::string& strUri = httpReq.getURI();
    size_t uiQuery = strUri.find('?');
    std::string strPath = strUri.substr(0, uiQuery);
    std::string strQuery = uiQuery == std::string::npos ? std::string() : strUri.substr(uiQuery + 1);
    // The URL goes in as it came: the library routes the raw text.
    if (!PutField(pstHeader->szUrl, strPath.substr(0, sizeof(pstHeader->szUrl) - 1)) ||
        !PutField(pstHeader->szMethod, httpReq.getMethod().substr(0, sizeof(pstHeader->szMethod) - 1))) {
        return VW_RESULT_INCORRECT_PARAMETER;
    }
    if (strPath.size() >= sizeof(pstHeader->szUrl) || !PutField(pstHeader->szQuery, strQuery)) {
        return VW_RESULT_INCORRECT_PARAMETER;
    }
    vecSegs = SplitPath(strPath);
    // Numeric path segments are the URI IDs, numbered from 1 in the order they appear.
    tagHEADER_URI_ID_INFO_S& stIds = pstHeader->stUriIdInfo;
    for (const std::string& strSeg : vecSegs) {
        if (IsNumber(strSeg) && stIds.uiIDCount < KXAPI_URI_ID_MAX) {
            stIds.astId[stIds.uiIDCount++].llValue = atoll(strSeg.c_str());
        }
    }
    return VW_RESULT_OK;
}

void AccessServer::Impl::Serve(Poco::Net::HTTPServerRequest& httpReq, Poco::Net::HTTPServerResponse& httpRsp)
{
    auto pReq = std::make_unique<Request>();
    Request& req = *pReq;
    req.pServer = this;
    req.strPeer = httpReq.clientAddress().host().toString();
    req.stClient.iClientFd = static_cast<Poco::Net::HTTPServerRequestImpl&>(httpReq).socket().impl()->sockfd();
    if (httpReq.getMethod() == "PUT" || httpReq.getMethod() == "POST") {
        // Bodies are small JSON documents; more than 64 KiB is refused, never buffered.
        char acChunk[4096];
        std::istream& is = httpReq.stream();
        while (is && req.strReqBody.size() <= kMaxRequestBody) {
            is.read(acChunk, sizeof(acChunk));
            req.strReqBody.append(acChunk, static_cast<size_t>(is.gcount()));
        }
    }
    std::vector<std::string> vecSegs;
    int iResult = FillHeader(req, httpReq, vecSegs);
    if (req.strReqBody.size() > kMaxRequestBody) {
        iResult = VW_RESULT_INCORRECT_PARAMETER;
    }
    bool bSent = false;
    if (iResult == VW_RESULT_OK && vecSegs.size() >= 3 && vecSegs[0] == "api" && vecSegs[1] == "v1" &&
        vecSegs[2] == "logs" && vecSegs.size() == 4 && vecSegs[3] == "download" && httpReq.getMethod() == "GET") {
        iResult = Download(req, httpRsp, bSent);
    } else if (iResult == VW_RESULT_OK) {
        iResult = Dispatch(req, vecSegs);
    }
    if (bSent) {
        return;
    }
    // A handler that answered itself (the lock body) left its body; everything else is answered
    // here with the pending body or the status body of its result.
    if (req.strBody.empty() &&
        FormatCommonResponse<char*>(req.Header(), static_cast<VW_RESULT_TYPE>(iResult), &req.stContent, &req.stBuf) != 0) {
        httpRsp.setStatusAndReason(Poco::Net::HTTPResponse::HTTP_INTERNAL_SERVER_ERROR);
        httpRsp.setContentLength(0);
        httpRsp.send();
        return;
    }
    if (req.iHttpStatus == 200) {
        req.iHttpStatus = HttpStatusOf(iResult);
    }
    httpRsp.setStatusAndReason(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(req.iHttpStatus));
    httpRsp.setContentType(req.strContentType);
    httpRsp.setContentLength(static_cast<std::streamsize>(req.strBody.size()));
    httpRsp.send() << req.strBody;
}

int AccessServer::Impl::Dispatch(Request& req, const std::vector<std::string>& vecSegs)
{
    const std::string strMethod = req.Header()->szMethod;
    if (vecSegs.size() < 3 || vecSegs[0] != "api" || vecSegs[1] != "v1") {
        return VW_RESULT_UNSUPPORTED_REQUEST;
    }
    const std::string& strRes = vecSegs[2];
    const size_t n = vecSegs.size();
    if (strRes == "system" && strMethod == "GET") {
        return System(req);
    }
    if (strRes == "video" && n == 4 && vecSegs[3] == "osd" && (strMethod == "GET" || strMethod == "PUT")) {
        return VideoOsd(req);
    }
    if (strRes == "channels" && n == 5 && vecSegs[4] == "stream" && strMethod == "GET") {
        // A channel that is not a number never became a URI ID: the ID check refuses it.
        return ChannelStream(req);
    }
    if (strRes == "events" && n == 4 && vecSegs[3] == "latest" && strMethod == "GET") {
        return LatestEvent(req);
    }
    if (strRes == "gat1400" && n == 4 && vecSegs[3] == "status" && strMethod == "GET") {
        return Gat1400Status(req);
    }
    if (strRes == "storage" && n == 3 && strMethod == "GET") {
        return Storage(req);
    }
    if (strRes == "users" && n == 3 && strMethod == "GET") {
        return Users(req);
    }
    if (strRes == "users" && n == 4 && vecSegs[3] == "sessions" && strMethod == "GET") {
        return Sessions(req);
    }
    if (strRes == "login" && n == 3 && strMethod == "POST") {
        return Login(req);
    }
    return VW_RESULT_UNSUPPORTED_REQUEST;
}

// Table-driven GETs: the longest pattern of the table that occurs in the URL picks the command.
int AccessServer::Impl::System(Request& req)
{
    Endpoint ep(++uiEndpointSeq);
    req.stClient.pstUnixSock = ep.pstSock;
    int iResult = RunCommonGet(req.Header(), &req.stClient, &req.stContent, kSystemTable, Count(kSystemTable));
    req.stClient.pstUnixSock = nullptr;
    return iResult;
}

// GET reads the settings; PUT fetches them first, merges the change and sets the whole record.
int AccessServer::Impl::VideoOsd(Request& req)
{
    Endpoint ep(++uiEndpointSeq);
    tagHTTP_HEADER_S* pstHeader = req.Header();
    if (strcmp(pstHeader->szMethod, "GET") == 0) {
        req.stClient.pstUnixSock = ep.pstSock;
        int iResult = RunCommonGet(pstHeader, &req.stClient, &req.stContent, kVideoTable, Count(kVideoTable));
        req.stClient.pstUnixSock = nullptr;
        return iResult;
    }
    int iResult = PreCommonGet(pstHeader, ep.pstSock, &req.stContent, kVideoTable, Count(kVideoTable));
    if (iResult != VW_RESULT_OK) {
        return iResult;
    }
    json_object* pMerged = MergeChange(static_cast<const char*>(req.stContent.pPreData), req.strReqBody);
    if (pMerged == nullptr) {
        return VW_RESULT_INCORRECT_PARAMETER;
    }
    std::string strNew = json_object_to_json_string(pMerged);
    json_object_put(pMerged);
    return SetCommon(pstHeader, strNew.data(), static_cast<unsigned int>(strNew.size() + 1), ep.pstSock,
                     static_cast<VW_CMD_TYPE>(CMD_VIDEO_OSD), 0, kConfigService);
}

// /api/v1/channels/{id}/stream?profile=...&bitrate=...: the ID is range-checked, the query read
// through the typed getters, and both go to the service in the command body.
int AccessServer::Impl::ChannelStream(Request& req)
{
    tagHTTP_HEADER_S* pstHeader = req.Header();
    long long llChannel = 0;
    if (GetAndCheckURIIDValue(pstHeader, llChannel, 1, 0, 4) != 0) {
        return VW_RESULT_INCORRECT_PARAMETER;
    }
    // Any query the parser refuses (a bad escape, a pair too long) is the client's fault.
    if (URIQueryParamParse(pstHeader) != VW_RESULT_OK) {
        return VW_RESULT_INCORRECT_PARAMETER;
    }
    char szProfile[16] = "main";
    if (pstHeader->mapQueryParam.count("profile") != 0 &&
        (GetURIQueryParamByKey<char>(pstHeader, "profile", szProfile, sizeof(szProfile)) != VW_RESULT_OK ||
         (strcmp(szProfile, "main") != 0 && strcmp(szProfile, "sub") != 0))) {
        return VW_RESULT_INCORRECT_PARAMETER;
    }
    unsigned int uiBitrate = 4096;
    if (pstHeader->mapQueryParam.count("bitrate") != 0 &&
        GetURIQueryParamByKey<unsigned int>(pstHeader, "bitrate", &uiBitrate) != VW_RESULT_OK) {
        return VW_RESULT_INCORRECT_PARAMETER;
    }
    json_object* pBody = json_object_new_object();
    json_object_object_add(pBody, "Channel", json_object_new_int64(llChannel));
    json_object_object_add(pBody, "Profile", json_object_new_string(szProfile));
    json_object_object_add(pBody, "Bitrate", json_object_new_int64(uiBitrate));
    auto pstCmd = std::make_unique<vwCmdBody>();
    memset(pstCmd.get(), 0, sizeof(vwCmdBody));
    snprintf(reinterpret_cast<char*>(pstCmd->aucData), sizeof(pstCmd->aucData), "%s", json_object_to_json_string(pBody));
    json_object_put(pBody);
    Endpoint ep(++uiEndpointSeq);
    void* pData = nullptr;
    int iResult = GetCommon(pstHeader, ep.pstSock, static_cast<VW_CMD_TYPE>(CMD_CHANNEL_STREAM), pstCmd.get(), &pData, 0,
                        kConfigService);
    if (iResult == VW_RESULT_OK) {
        req.stContent.pRspBody = static_cast<char*>(pData);
    }
    return iResult;
}

// Answered asynchronously: the request goes out with the client's descriptor as cookie, the
// reader thread matches the reply to this client by it, and RecvCommon takes the reply over.
int AccessServer::Impl::LatestEvent(Request& req)
{
    std::lock_guard<std::mutex> sendLock(asyncSendMutex);
    tagHTTP_CLIENT_S* pstClient = &req.stClient;
    pstClient->pstUnixAsynSock = pstAsynSock;
    {
        std::lock_guard<std::mutex> lock(waitMutex);
        mapWaiting[pstClient->iClientFd] = pstClient;
    }
    int iResult = GetCommonAsyn(req.Header(), pstClient, static_cast<VW_CMD_TYPE>(CMD_LATEST_EVENT), nullptr, 0);
    std::unique_lock<std::mutex> lock(waitMutex);
    if (iResult == VW_RESULT_OK) {
        waitCv.wait_for(lock, std::chrono::milliseconds(stOptions.uiAsyncWaitMs),
                        [pstClient] { return pstClient->pRecvMsg != nullptr; });
    }
    mapWaiting.erase(pstClient->iClientFd);
    lock.unlock();
    pstClient->pstUnixAsynSock = nullptr;
    if (iResult != VW_RESULT_OK) {
        return iResult;
    }
    if (pstClient->pRecvMsg == nullptr) {
        return VW_RESULT_COMMON_ERROR; // the service did not answer in time
    }
    return RecvCommon(req.Header(), pstClient, &req.stContent);
}

void AccessServer::Impl::ReadAsyncReplies()
{
    while (!bStopping) {
        pollfd stPoll{pstAsynSock->iFd, POLLIN, 0};
        if (poll(&stPoll, 1, 100) <= 0) {
            continue;
        }
        auto* pstMsg = static_cast<MSG_DATA*>(malloc(sizeof(MSG_DATA)));
        if (pstMsg == nullptr) {
            continue;
        }
        if (pstAsynSock->pfnRecvMsg(pstAsynSock, pstMsg) != 0 || pstMsg->pUserData == nullptr) {
            free(pstMsg);
            continue;
        }
        // The cookie is ours to read and release, exactly once per reply.
        int iSeq = 0;
        memcpy(&iSeq, pstMsg->pUserData, sizeof(iSeq));
        free(pstMsg->pUserData);
        pstMsg->pUserData = nullptr;
        std::lock_guard<std::mutex> lock(waitMutex);
        auto it = mapWaiting.find(iSeq);
        if (it == mapWaiting.end() || it->second->pRecvMsg != nullptr) {
            free(pstMsg); // nobody waits for it any more
            continue;
        }
        it->second->pRecvMsg = pstMsg;
        waitCv.notify_all();
    }
}

// The GAT1400 service reports a link it cannot reach in the data, never in the result.
int AccessServer::Impl::Gat1400Status(Request& req)
{
    Endpoint ep(++uiEndpointSeq);
    void* pData = nullptr;
    int iResult = GetCommonGat1400(req.Header(), ep.pstSock, static_cast<VW_CMD_TYPE>(CMD_GAT1400_STATUS), nullptr,
                                   &pData, 0);
    if (iResult != VW_RESULT_OK) {
        return iResult;
    }
    auto* pucData = static_cast<unsigned char*>(pData);
    int iLink = 0;
    memcpy(&iLink, pucData, sizeof(iLink));
    if (iLink != 0) {
        free(pData);
        return VW_RESULT_COMMON_ERROR;
    }
    // The JSON text follows the link word; the block becomes the pending body.
    memmove(pucData, pucData + sizeof(iLink), VW_CMD_BODY_LEN - sizeof(iLink));
    pucData[VW_CMD_BODY_LEN - sizeof(iLink)] = '\0';
    req.stContent.pRspBody = static_cast<char*>(pData);
    return VW_RESULT_OK;
}

// Served by a service that this server never starts: shows a service that is down.
int AccessServer::Impl::Storage(Request& req)
{
    Endpoint ep(++uiEndpointSeq);
    void* pData = nullptr;
    int iResult = GetCommon(req.Header(), ep.pstSock, static_cast<VW_CMD_TYPE>(CMD_STORAGE), nullptr, &pData, 0,
                            kStorageService);
    if (iResult == VW_RESULT_OK) {
        req.stContent.pRspBody = static_cast<char*>(pData);
    }
    return iResult;
}

int AccessServer::Impl::Users(Request& req)
{
    auto pstMsg = std::make_unique<MSG_DATA>();
    memset(pstMsg.get(), 0, sizeof(MSG_DATA));
    int iResult = HbtpGetUserList(pstMsg.get());
    if (iResult != 0) {
        return VW_RESULT_COMMON_ERROR;
    }
    json_object* pList = json_object_new_array();
    for (unsigned int i = 0; i < kUserCount; ++i) {
        UserEntry stEntry{};
        memcpy(&stEntry, pstMsg->aucData + i * sizeof(UserEntry), sizeof(stEntry));
        stEntry.szName[sizeof(stEntry.szName) - 1] = '\0';
        stEntry.szRole[sizeof(stEntry.szRole) - 1] = '\0';
        if (stEntry.szName[0] == '\0') {
            continue;
        }
        json_object* pUser = json_object_new_object();
        json_object_object_add(pUser, "UserName", json_object_new_string(stEntry.szName));
        json_object_object_add(pUser, "Role", json_object_new_string(stEntry.szRole));
        json_object_array_add(pList, pUser);
    }
    memset(pstMsg->aucData, 0, kUserListLen); // the list does not outlive the request
    json_object* pRoot = json_object_new_object();
    json_object_object_add(pRoot, "Users", pList);
    req.stContent.pRspBody = PendingBody(json_object_to_json_string(pRoot));
    json_object_put(pRoot);
    return req.stContent.pRspBody == nullptr ? VW_RESULT_NO_RESOURCE : VW_RESULT_OK;
}

// POST /api/v1/login with { "UserName": ..., "Password": ... }: the credentials travel in the
// body, not the query, so they never reach a log line. Too many failures lock the address.
int AccessServer::Impl::Login(Request& req)
{
    if (locks.Remaining(req.strPeer) > 0) {
        req.iHttpStatus = 403;
        return KxapiHttpAuthLockRsptContent(&req.stClient, &req.stBuf) == 0 ? 108 : -1;
    }
    json_object* pBody = json_tokener_parse(req.strReqBody.c_str());
    json_object* pUser = nullptr;
    json_object* pPassword = nullptr;
    bool bWellFormed = pBody != nullptr && json_object_object_get_ex(pBody, "UserName", &pUser) &&
                       json_object_object_get_ex(pBody, "Password", &pPassword) &&
                       json_object_is_type(pUser, json_type_string) && json_object_is_type(pPassword, json_type_string);
    bool bOk = bWellFormed && stOptions.strAdminUser == json_object_get_string(pUser) &&
               stOptions.strAdminPassword == json_object_get_string(pPassword);
    json_object_put(pBody);
    if (!bWellFormed) {
        return VW_RESULT_INCORRECT_PARAMETER;
    }
    if (!bOk) {
        locks.Failed(req.strPeer);
        return 102;
    }
    locks.Succeeded(req.strPeer);
    return VW_RESULT_OK;
}

// GET /api/v1/logs/download: a snapshot of the device log, described by the library and written
// as one multipart part whose length is exactly the described body length.
int AccessServer::Impl::Download(Request& req, Poco::Net::HTTPServerResponse& httpRsp, bool& bSent)
{
    std::string strFile = stOptions.strRunDir + "/download-" + std::to_string(++uiDownloadSeq) + ".log";
    {
        std::ofstream ofs(strFile, std::ios::binary);
        ofs << "device log of kx-cam-01\n";
        for (int i = 1; i <= 20; ++i) {
            ofs << "line " << i << ": status ok\n";
        }
        if (!ofs) {
            unlink(strFile.c_str());
            return VW_RESULT_COMMON_ERROR;
        }
    }
    static const char kName[] = "device.log";
    static const char kType[] = "text/plain";
    KXAPI_DOWNLOAD_FILE_INFO_S stInfo{};
    int iResult = FillDownloadInfo(&stInfo, strFile.c_str(), kType, kName, 0);
    std::ifstream ifs(strFile, std::ios::binary);
    std::string strData((std::istreambuf_iterator<char>(ifs)), std::istreambuf_iterator<char>());
    unlink(strFile.c_str());
    if (iResult != 0) {
        return iResult;
    }
    (void)req;
    std::string strBody;
    strBody.reserve(static_cast<size_t>(stInfo.ullBodyLen));
    strBody.append(kPartOpen).append(stInfo.szBoundary).append(kPartDisposition).append(kName);
    strBody.append(kPartFileName).append(kName).append(kPartType).append(kType).append(kPartCharset);
    strBody.append(strData).append(kPartClose).append(stInfo.szBoundary).append(kPartEnd);
    if (strBody.size() != stInfo.ullBodyLen) {
        return VW_RESULT_COMMON_ERROR; // never send a length that lies
    }
    httpRsp.setStatus(Poco::Net::HTTPResponse::HTTP_OK);
    httpRsp.setContentType(std::string("multipart/form-data; boundary=") + stInfo.szBoundary);
    httpRsp.setContentLength64(static_cast<Poco::Int64>(stInfo.ullBodyLen));
    httpRsp.send() << strBody;
    bSent = true;
    return VW_RESULT_OK;
}

namespace {

// The client's own handler, run by HbtpAsynRead on the loop thread: it takes the reply over.
void OnSessionsReply(int /*iFd*/, unsigned int /*uiEvents*/, tagABS_EVENT_S* pstEvent)
{
    auto* pstClient = static_cast<tagHTTP_CLIENT_S*>(pstEvent->pArg);
    Request* pReq = RequestOf(pstClient);
    auto* pstReply = static_cast<hbtp_message*>(pstClient->pRecvMsg);
    pstClient->pRecvMsg = nullptr;
    void* pData = nullptr;
    unsigned int uiLen = 0;
    if (pstReply->pstHeader->usCode == 200 && hbtp_content(pstReply, &pData, &uiLen) == 0 && uiLen > 0) {
        pReq->strHbtpBody = BlockText(static_cast<unsigned char*>(pData), uiLen);
    }
    hbtp_message_put(pstReply);
    AbsEvDel(pReq->pstClientEvent);
    pReq->pstClientEvent = nullptr;
    AccessServer::Impl* pImpl = pReq->pServer;
    std::lock_guard<std::mutex> lock(pImpl->waitMutex);
    pReq->bHbtpDone = true;
    pImpl->waitCv.notify_all();
}

void OnWake(int iFd, unsigned int /*uiEvents*/, tagABS_EVENT_S* pstEvent)
{
    uint64_t ullCount = 0;
    (void)read(iFd, &ullCount, sizeof(ullCount));
    auto* pImpl = static_cast<AccessServer::Impl*>(pstEvent->pArg);
    std::deque<std::packaged_task<void()>> tasks;
    {
        std::lock_guard<std::mutex> lock(pImpl->taskMutex);
        tasks.swap(pImpl->tasks);
    }
    for (auto& task : tasks) {
        task();
    }
}

} // namespace

void AccessServer::Impl::RunOnLoop(std::function<void()> fnWork)
{
    std::packaged_task<void()> task(std::move(fnWork));
    std::future<void> done = task.get_future();
    {
        std::lock_guard<std::mutex> lock(taskMutex);
        tasks.push_back(std::move(task));
    }
    uint64_t ullOne = 1;
    (void)write(iWakeFd, &ullOne, sizeof(ullOne));
    done.wait();
}

bool AccessServer::Impl::StartLoop()
{
    pstBase = AbsEvBaseNew(1024);
    iWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (pstBase == nullptr || iWakeFd < 0) {
        return false;
    }
    pstWakeEvent = AbsEvNew(pstBase, iWakeFd, ABS_EV_READ, this, OnWake);
    if (pstWakeEvent == nullptr || AbsEvAdd(pstWakeEvent, 0) != 0) {
        return false;
    }
    stServer.pstEventBase = pstBase;
    loop = std::thread([this] { AbsEvBaseRun(pstBase); });
    return true;
}

void AccessServer::Impl::StopLoop()
{
    if (loop.joinable()) {
        AbsEvBaseStop(pstBase);
        loop.join();
    }
    AbsEvDel(pstWakeEvent);
    pstWakeEvent = nullptr;
    if (iWakeFd >= 0) {
        close(iWakeFd);
        iWakeFd = -1;
    }
    if (pstBase != nullptr) {
        AbsEvBaseFree(pstBase);
        pstBase = nullptr;
    }
}

// Answered through the event loop: the channel is tagged with the client's descriptor and
// registered; HbtpAsynRead routes the reply to the client's own event and handler.
int AccessServer::Impl::Sessions(Request& req)
{
    tagHTTP_CLIENT_S* pstClient = &req.stClient;
    pstClient->pstServerCtx = &stServer;
    int iResult = VW_RESULT_COMMON_ERROR;
    RunOnLoop([&] {
        int iFd = open(kAuthServicePath, O_RDWR | O_CLOEXEC);
        if (iFd < 0) {
            return;
        }
        hbtp_message* pstMsg = hbtp_message_new(0);
        req.pstClientEvent = AbsEvNew(pstBase, pstClient->iClientFd, ABS_EV_READ, pstClient, OnSessionsReply);
        if (pstMsg == nullptr || req.pstClientEvent == nullptr) {
            hbtp_message_put(pstMsg);
            AbsEvDel(req.pstClientEvent);
            req.pstClientEvent = nullptr;
            close(iFd);
            iResult = VW_RESULT_NO_RESOURCE;
            return;
        }
        pstMsg->pstHeader->ucType = 2;
        pstMsg->pstHeader->usUrl = kAuthUrlSessions;
        int iAdd = AddHbtpAsynEvent(pstClient, iFd, pstMsg);
        if (iAdd == 0) {
            pstClient->iReqState = 7;
            if (hbtp_message_sendfd(pstMsg, iFd) == 0) {
                iResult = VW_RESULT_OK;
            } else {
                (void)DeleteHbtpAsynEvent(pstClient, iFd); // closes the channel
            }
        } else {
            close(iFd); // not registered: still ours
            iResult = iAdd == VW_RESULT_NO_RESOURCE ? iAdd : VW_RESULT_COMMON_ERROR;
        }
        hbtp_message_put(pstMsg);
        if (iResult != VW_RESULT_OK) {
            AbsEvDel(req.pstClientEvent);
            req.pstClientEvent = nullptr;
        }
    });
    if (iResult != VW_RESULT_OK) {
        return iResult;
    }
    bool bDone = false;
    {
        std::unique_lock<std::mutex> lock(waitMutex);
        bDone = waitCv.wait_for(lock, std::chrono::milliseconds(stOptions.uiAsyncWaitMs),
                                [&req] { return req.bHbtpDone; });
    }
    // HbtpAsynRead still looks at the client after its handler returns: let it finish first.
    RunOnLoop([] {});
    if (!bDone) {
        RunOnLoop([&] {
            std::lock_guard<std::mutex> lock(waitMutex);
            if (!req.bHbtpDone) {
                (void)DeleteHbtpAsynEvent(pstClient, pstClient->iHbtpFd);
                AbsEvDel(req.pstClientEvent);
                req.pstClientEvent = nullptr;
            }
        });
        return VW_RESULT_COMMON_ERROR;
    }
    if (req.strHbtpBody.empty()) {
        return VW_RESULT_COMMON_ERROR;
    }
    req.stContent.pRspBody = PendingBody(req.strHbtpBody);
    return req.stContent.pRspBody == nullptr ? VW_RESULT_NO_RESOURCE : VW_RESULT_OK;
}

AccessServer::AccessServer(ServerOptions stOptions) : m_pImpl(std::make_unique<Impl>(std::move(stOptions))) {}

AccessServer::~AccessServer()
{
    Stop();
}

unsigned short AccessServer::Port() const
{
    return m_pImpl->usPort;
}

bool AccessServer::Start()
{
    Impl& s = *m_pImpl;
    mkdir(s.stOptions.strRunDir.c_str(), 0700);
    mkdir(s.stOptions.strStateDir.c_str(), 0700);
    if (KxUnixSetRunDir(s.stOptions.strRunDir.c_str()) != 0) {
        std::cerr << "kxapi-access-server: run directory too long: " << s.stOptions.strRunDir << "\n";
        return false;
    }
    std::string strSrvfs = s.stOptions.strRunDir + "/srvfs";
    mkdir(strSrvfs.c_str(), 0700);
    if (KxSrvfsSetRoot(strSrvfs.c_str()) != 0) {
        std::cerr << "kxapi-access-server: run directory too long for service channels\n";
        return false;
    }
    if (s.stOptions.bStartServices) {
        s.pServices = std::make_unique<CameraServices>(s.stOptions.strRunDir, s.stOptions.strStateDir);
        if (!s.pServices->Start()) {
            std::cerr << "kxapi-access-server: cannot start the emulated camera services\n";
            Stop();
            return false;
        }
    }
    s.pstAsynSock = KxUnixEndpointCreate("/tmp/Re");
    if (s.pstAsynSock == nullptr) {
        std::cerr << "kxapi-access-server: cannot bind the asynchronous endpoint\n";
        Stop();
        return false;
    }
    if (!s.StartLoop()) {
        std::cerr << "kxapi-access-server: cannot start the event loop\n";
        Stop();
        return false;
    }
    s.bStopping = false;
    s.asyncReader = std::thread([&s] { s.ReadAsyncReplies(); });
    g_pLocks = &s.locks;
    try {
        Poco::Net::ServerSocket socket(Poco::Net::SocketAddress(s.stOptions.strBindHost, s.stOptions.usPort));
        s.usPort = socket.address().port();
        auto* pParams = new Poco::Net::HTTPServerParams;
        pParams->setMaxThreads(8);
        pParams->setMaxQueued(64);
        s.pHttp = std::make_unique<Poco::Net::HTTPServer>(new HandlerFactory(s), socket, pParams);
        s.pHttp->start();
    } catch (const Poco::Exception& e) {
        std::cerr << "kxapi-access-server: cannot listen on " << s.stOptions.strBindHost << ":" << s.stOptions.usPort
                  << ": " << e.displayText() << "\n";
        Stop();
        return false;
    }
    return true;
}

void AccessServer::Stop()
{
    Impl& s = *m_pImpl;
    if (s.pHttp) {
        s.pHttp->stopAll(true);
        s.pHttp.reset();
    }
    s.bStopping = true;
    if (s.asyncReader.joinable()) {
        s.asyncReader.join();
    }
    s.StopLoop();
    if (s.pstAsynSock != nullptr) {
        KxUnixEndpointDestroy(s.pstAsynSock);
        s.pstAsynSock = nullptr;
    }
    if (s.pServices) {
        s.pServices->Stop();
        s.pServices.reset();
    }
    if (g_pLocks == &s.locks) {
        g_pLocks = nullptr;
    }
}

} // namespace kxserver

// The host's remaining lock time of a client, in seconds, for the lock body.
unsigned long long KxapiHttpGetUnLockTime(tagHTTP_CLIENT_S* pstClient)
{
    if (pstClient == nullptr || kxserver::g_pLocks == nullptr) {
        return 0;
    }
    return kxserver::g_pLocks->Remaining(kxserver::RequestOf(pstClient)->strPeer);
}
