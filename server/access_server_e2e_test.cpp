// The reference server end to end: real HTTP on loopback, real emulated services on real
// sockets in a temp run directory, answers checked byte for byte.
#include "access_server.h"
#include "camera_services.h"
#include "http_parse.h"
#include "kxplatform.h"
#include "kxservices.h"
#include "lanes.h"
#include "routes.h"
#include "temp_dir.h"

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <glob.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <future>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <tuple>

// The answer to strRequest ("METHOD URI [BODY]") as "STATUS TYPE BODY": one comparison shows all
// three. Whatever is asked, the body must be exactly as long as the answer says it is.
static std::string Fetch(unsigned short usPort, const std::string& strRequest)
{
    size_t i = strRequest.find(' '), j = strRequest.find(' ', i + 1);
    std::string strBody = j == std::string::npos ? "" : strRequest.substr(j + 1);
    Poco::Net::HTTPClientSession session("127.0.0.1", usPort);
    Poco::Net::HTTPRequest request(strRequest.substr(0, i), strRequest.substr(i + 1, j - i - 1), "HTTP/1.1");
    request.setContentLength(static_cast<std::streamsize>(strBody.size()));
    session.sendRequest(request) << strBody;
    Poco::Net::HTTPResponse response;
    strBody.assign(std::istreambuf_iterator<char>(session.receiveResponse(response)), {});
    EXPECT_EQ(response.getContentLength64(), static_cast<long long>(strBody.size())) << strRequest;
    return std::to_string(response.getStatus()) + " " + response.getContentType() + " " + strBody;
}

// What a raw client gets: the whole answer up to the server's close, or what came within 5 s.
static std::string Raw(unsigned short usPort, const std::string& strSend, int* pFd = nullptr)
{
    int iFd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in stAddr{AF_INET, htons(usPort), {htonl(INADDR_LOOPBACK)}, {}};
    timeval stWait{5, 0};
    setsockopt(iFd, SOL_SOCKET, SO_RCVTIMEO, &stWait, sizeof(stWait));
    EXPECT_EQ(connect(iFd, reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr)), 0);
    EXPECT_EQ(send(iFd, strSend.data(), strSend.size(), MSG_NOSIGNAL), static_cast<ssize_t>(strSend.size()));
    if (pFd != nullptr) {
        *pFd = iFd; // held open by the caller
        return "";
    }
    std::string strGot;
    char acBuf[4096];
    for (ssize_t n; (n = recv(iFd, acBuf, sizeof(acBuf), 0)) > 0;) {
        strGot.append(acBuf, static_cast<size_t>(n));
    }
    close(iFd);
    return strGot;
}

// A request and its answer: the whole JSON body (its start when strReply ends in "..."), or when
// strReply is empty the status body of iStatus.
struct Case {
    std::string strRequest;
    int iStatus;
    std::string strReply = "";
};

// In order, as a case may depend on what the ones before it left; the last answer is returned. The
// status body of each HTTP status names the request's path (not its query), slashes escaped as the
// server's JSON writer escapes them.
static std::string Check(unsigned short usPort, const std::vector<Case>& vecCases)
{
    static const std::map<int, std::pair<int, std::string>> mapStatus = {
        {200, {0, "OK"}},
        {400, {4, "Incorrect parameter"}},
        {401, {102, "Failed to verify the user name or password"}},
        {403, {108, "The user is locked"}},
        {404, {3, "Unsupported request"}},
        {503, {1, "Common error"}}};
    std::string strGot;
    for (const Case& c : vecCases) {
        strGot = Fetch(usPort, c.strRequest);
        size_t i = c.strRequest.find(' ') + 1;
        size_t n = c.strRequest.find_first_of("? ", i) - i;
        const auto& [iCode, strText] = mapStatus.at(c.iStatus);
        std::string strWant = std::to_string(c.iStatus) + " application/json " +
                              (!c.strReply.empty()
                                   ? c.strReply
                                   : R"({ "ResponseStatus": { "RequestURL": ")" +
                                         std::regex_replace(c.strRequest.substr(i, n), std::regex("/"), "\\/") +
                                         R"(", "StatusCode": )" + std::to_string(iCode) + R"(, "StatusString": ")" +
                                         strText + R"(" } })");
        size_t uiLen = strWant.compare(strWant.size() - 3, 3, "...") == 0 ? strWant.size() - 3 : std::string::npos;
        EXPECT_EQ(strGot.substr(0, uiLen), strWant.substr(0, uiLen)) << c.strRequest;
    }
    return strGot;
}

// Each case has its own server on fresh run and state directories, so none sees what another left;
// a start costs a few milliseconds. Start again restarts on the same directories (emplace stops the
// old server before the new one starts).
class FreshAccessServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Start()); }
    bool Start() { return m_oServer.emplace(m_stOptions).Start(); }
    unsigned short Port() const { return m_oServer->Port(); }
    TempDir m_run, m_state; // made before the server and removed after it
    kxserver::ServerOptions m_stOptions{"127.0.0.1", 0, m_run.Path(), m_state.Path()}; // any free port
    std::optional<kxserver::AccessServer> m_oServer;
};

// A case that leaves nothing behind, named for what it shows. The name is all that is printed of it,
// in listings and in the test's own name: Check prints the request where it fails.
struct Row {
    const char* pszName;
    Case stCase;
    friend void PrintTo(const Row& r, std::ostream* pOut) { *pOut << r.pszName; }
};

// The longest pattern wins; ids and query values reach the service (of channel 4, the defaults; channel 5
// is out of range). Bad requests get JSON errors: a query value that does not decode, a service that is
// down, no such resource, a URL too long. Whatever a row asked, the server goes on to serve.
const Row kReads[] = {
    {"DeviceTime", {"GET /api/v1/system/device/time", 200, R"({ "LocalTime": "...)"}},
    {"Device", {"GET /api/v1/system/device", 200, R"({ "DeviceName": "kx-cam-01", ...)"}},
    {"ChannelOutOfRange", {"GET /api/v1/channels/5/stream", 400}},
    {"ChannelWithQuery",
     {"GET /api/v1/channels/2/stream?profile=sub&bitrate=2048", 200,
      R"({ "Channel": 2, "Profile": "sub", "Bitrate": 2048, ...)"}},
    {"ChannelDefaults",
     {"GET /api/v1/channels/4/stream", 200, R"({ "Channel": 4, "Profile": "main", "Bitrate": 4096, ...)"}},
    {"UndecodableQuery", {"GET /api/v1/channels/1/stream?profile=%zz", 400}},
    {"ServiceDown", {"GET /api/v1/storage", 503}},
    {"NoSuchResource", {"GET /api/v1/system/fan", 404}},
    {"NoSubstringMatch", {"GET /api/v1/system/devicex", 404}}, // what the handler's substring match would take
    {"NoDeeperPath", {"GET /api/v1/system/device/anything/else", 404}},
    {"AbsoluteUri", {"GET http://cam:8080/api/v1/system/device?x=1", 200, R"({ "DeviceName": "kx-cam-01", ...)"}},
    {"UrlTooLong",
     {"GET /api/v1/system/" + std::string(3100, 'x'), 400, R"({ "ResponseStatus": { "RequestURL": "\/api...)"}},
};

class AccessServerReadTest : public FreshAccessServerTest, public ::testing::WithParamInterface<Row> {};
TEST_P(AccessServerReadTest, IsAnsweredAsItsRowSays)
{
    Check(Port(), {GetParam().stCase, {"GET /api/v1/system/device", 200, R"({ "DeviceName": "kx-cam-01", ...)"}});
}
INSTANTIATE_TEST_SUITE_P(Table, AccessServerReadTest, ::testing::ValuesIn(kReads), ::testing::PrintToStringParamName());

// Asynchronous answers, each to the client that asked, from one counter that goes on between them.
TEST_F(FreshAccessServerTest, EventsAnswerEachClientInTurn)
{
    const std::string strEv = "GET /api/v1/events/latest";
    Check(Port(), {{strEv, 200, R"({ "EventId": 1, "Type": "motion"...)"},
                   {strEv, 200, R"({ "EventId": 2, "Type": "motion"...)"}});
}

// A change is seen by the next GET; unknown members, wrong types and non-JSON are refused and change
// nothing (the GET before the restart tells that apart from a lost change); the change outlives the server.
TEST_F(FreshAccessServerTest, OsdChangeIsSeenRefusalsChangeNothingAndItSurvivesARestart)
{
    const std::string strPut = "PUT /api/v1/video/osd ";
    const Case stGet{"GET /api/v1/video/osd", 200, R"({ "ShowTime": true, "ShowName": false, "Text": "Dock 4" })"};
    Check(Port(), {{strPut + R"({ "Text": "Dock 4", "ShowName": false })", 200},
                   stGet,
                   {strPut + R"({ "Color": "red" })", 400},
                   {strPut + R"({ "Text": 5 })", 400},
                   {strPut + "not json", 400},
                   stGet});
    ASSERT_TRUE(Start());
    Check(Port(), {stGet});
}

// Failed logins lock the address: then even the right password gets the lock body, with the real
// remaining time.
TEST_F(FreshAccessServerTest, FailedLoginsLockTheAddress)
{
    const std::string strAdmin = R"(POST /api/v1/login { "UserName": "admin", "Password": "admin" })";
    const std::string strGuess = R"(POST /api/v1/login { "UserName": "admin", "Password": "guess" })";
    const Case stLocked{strAdmin, 403,
                        R"({ "IpLockStatus": { "ResponseStatus": { "RequestURL": "\/api\/v1\/login", )"
                        R"("StatusCode": 108, "StatusString": "The user is locked" } }, "remainTime": ...)"};
    const std::string strGot = Check(Port(),
                                     {{strAdmin, 200}, {strGuess, 401}, {strGuess, 401}, {strGuess, 401}, stLocked});
    EXPECT_NEAR(std::stoi(strGot.substr(strGot.rfind(':') + 1)), 299.5, 0.5);
}

// A download is one part with a 32-character boundary, ending right after the closing delimiter:
// with the length Fetch checks, exactly the described length.
TEST_F(FreshAccessServerTest, ADownloadIsOnePartOfExactlyItsLength)
{
    std::string strGot;
    EXPECT_TRUE(std::regex_match(
        strGot = Fetch(Port(), "GET /api/v1/logs/download"),
        std::regex("200 "
                   "multipart/form-data; boundary=(\\S{32}) --\\1\r\n[\\s\\S]*\nline 20: status ok\n\r\n--\\1--\r\n")))
        << strGot;
}

// A HEAD gets the status and headers of its GET, the length of its body too, and no body.
TEST_F(FreshAccessServerTest, AHeadGetsTheHeadOfItsGet)
{
    const std::string strAsk = " /api/v1/system/device HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    const std::string strGot = Raw(Port(), "GET" + strAsk);
    size_t uiBody = strGot.find("\r\n\r\n") + 4;
    EXPECT_NE(strGot.find("Content-Length: " + std::to_string(strGot.size() - uiBody) + "\r\n"), std::string::npos);
    EXPECT_EQ(Raw(Port(), "HEAD" + strAsk), strGot.substr(0, uiBody));
}

// The executable itself: starts, answers, and exits with status 0 on SIGTERM. The
// shell tells its pid, which the exec hands on to the server.
TEST(AccessServerProcessTest, StartsAnswersAndStopsOnSigterm)
{
#if KXAPI_SERVER_EXE_CROSS
    GTEST_SKIP() << "a cross-built server cannot be spawned from inside the emulator";
#endif
    TempDir dir; // the run and state directories are made where the server starts
    FILE* pOut = popen(("cd '" + dir.Path() + "' && echo $$ && exec '" KXAPI_SERVER_EXE "' --port 0").c_str(), "r");
    int iPid = 0;
    unsigned short usPort = 0;
    ASSERT_TRUE(pOut && fscanf(pOut, "%d %*s listening on http://%*[0-9.]:%hu", &iPid, &usPort) == 2 && iPid > 0);
    Check(usPort, {{"GET /api/v1/system/network", 200, R"({ "IPAddress": "192.168.0.64", ...)"}});
    EXPECT_EQ((kill(iPid, SIGTERM), pclose(pOut)), 0) << "not a clean exit";
}

// The head checks, one row per kind of input: what the front decides and what it learns (a chunked
// body, a line that is no request and a method no route has are answered through a raw socket below).
TEST(HttpHeadTest, LimitsAndShapes)
{
    const kxserver::HeadLimits stLimits{256, 4, 100}; // head bytes, headers, body bytes
    using R = kxserver::HeadResult;
    const std::string strGet = "GET /a?q=1 HTTP/1.1\r\nHost: x\r\n", strPut = "PUT / HTTP/1.1\r\nHost: x\r\n";
    const struct {
        std::string strIn;
        R enWant;
        std::string strTarget;
        size_t uiHead, uiBody;
        bool bKeep, bContinue;
    } aCases[] = {
        {strGet, R::Incomplete, "/a?q=1", 0, 0, false, false},
        {strGet + "\r\n", R::Complete, "/a?q=1", 32, 0, true, false},
        {"GET / HTTP/1.0\nA: b\n\nrest", R::Complete, "/", 21, 0, false, false}, // bare LF ends
        {strPut + "Content-Length: 100\r\nExpect: 100-continue\r\n\r\n", R::Complete, "/", 70, 100, true, true},
        {strPut + "Content-Length: 101\r\n\r\n", R::BodyTooLarge, "/", 0, 0, false, false},
        {strPut + "Content-Length: ten\r\n\r\n", R::NotHttp, "/", 0, 0, false, false},
        {strGet + "B: 1\r\nC: 1\r\nD: 1\r\n\r\n", R::Complete, "/a?q=1", 50, 0, true, false},
        {strGet + "B: 1\r\nC: 1\r\nD: 1\r\nE: 1\r\n\r\n", R::TooManyHeaders, "/a?q=1", 0, 0, false, false},
        {strGet + "B: " + std::string(240, 'b'), R::HeadTooLarge, "/a?q=1", 0, 0, false, false},
        {"GET /" + std::string(260, 'u'), R::UrlTooLong, "/" + std::string(260, 'u'), 0, 0, false, false},
        {"GET / HTTP/2.0\r\n\r\n", R::NotHttp, "/", 0, 0, false, false},
        {"\x16\x03\x01", R::NotHttp, "", 0, 0, false, false}, // a TLS hello: refused before any line end
        {std::string(33, 'M'), R::NotHttp, "", 0, 0, false, false},
        // Absolute-form is served as its path; "*" only with OPTIONS (no route has it); no other form.
        {"GET http://cam:80/a?q=1 HTTP/1.1\r\nHost: x\r\n\r\n", R::Complete, "/a?q=1", 45, 0, true, false},
        {"GET HTTPS://cam?q HTTP/1.0\r\n\r\n", R::Complete, "/?q", 30, 0, false, false},
        {"OPTIONS * HTTP/1.1\r\nHost: x\r\n\r\n", R::Complete, "*", 31, 0, true, false},
        {"GET * HTTP/1.1\r\nHost: x\r\n\r\n", R::NotHttp, "*", 0, 0, false, false},
        {"CONNECT cam:80 HTTP/1.1\r\nHost: x\r\n\r\n", R::NotHttp, "cam:80", 0, 0, false, false},
        {"GET http:///a HTTP/1.1\r\nHost: x\r\n\r\n", R::NotHttp, "http:///a", 0, 0, false, false},
        // HTTP/1.1 names one host; a field has a colon (a missing Host, a blank before the colon and a
        // folded line are refused through the raw socket below).
        {strGet + "host: y\r\n\r\n", R::NotHttp, "/a?q=1", 0, 0, false, false},
        {strGet + "B\r\n\r\n", R::NotHttp, "/a?q=1", 0, 0, false, false},
    };
    for (const auto& c : aCases) {
        kxserver::Head stHead;
        EXPECT_EQ(kxserver::ParseHead(c.strIn, stLimits, stHead), c.enWant) << c.strIn;
        EXPECT_EQ(stHead.strTarget, c.strTarget) << c.strIn;
        if (c.enWant == R::Complete) {
            EXPECT_EQ(std::make_tuple(stHead.uiHeadLen, stHead.uiBodyLen, stHead.bKeepAlive, stHead.bExpectContinue),
                      std::make_tuple(c.uiHead, c.uiBody, c.bKeep, c.bContinue))
                << c.strIn;
        }
    }
    // Routes are exact: "*" takes one segment, not an empty one; HEAD finds the GET route.
    const struct {
        const char *pszMethod, *pszPath;
        kxserver::Handler pfnWant;
    } aRoutes[] = {
        {"GET", "/api/v1/system/device/time", kxserver::GetSystem},
        {"GET", "/api/v1/system/device/", nullptr},
        {"GET", "//api/v1/system/device", nullptr},
        {"GET", "/api/v1/channels/x/stream", kxserver::GetChannelStream}, // the handler refuses the ID
        {"GET", "/api/v1/channels//stream", nullptr},
        {"GET", "/api/v1/channels/1/stream/x", nullptr},
        {"PUT", "/api/v1/users", nullptr},
        {"HEAD", "/api/v1/users", kxserver::GetUsers},
        {"HEAD", "/api/v1/login", nullptr},
    };
    for (const auto& r : aRoutes) {
        const kxserver::Route* pstRoute = kxserver::FindRoute(r.pszMethod, r.pszPath);
        EXPECT_EQ(pstRoute == nullptr ? nullptr : pstRoute->pfnHandler, r.pfnWant) << r.pszMethod << " " << r.pszPath;
    }
}

TEST(AccessServerTest, HoldsUnderIdleClientsAndBadInput)
{
    TempDir run, state;
    kxserver::ServerOptions stOptions{"127.0.0.1", 0, run.Path(), state.Path(), ""}; // no services
    stOptions.uiRequestTimeoutMs = 1500; // long enough for all five to connect on a busy machine
    stOptions.uiMaxConnections = 4;
    kxserver::AccessServer server(stOptions);
    ASSERT_TRUE(server.Start());
    const unsigned short usPort = server.Port();
    // Clients that never finish their request hold every connection: one more is refused at once,
    // and they are timed out and closed.
    std::vector<int> vecIdle(4);
    for (int& iFd : vecIdle) {
        Raw(usPort, "GET /api/v1/system/device HTTP/1.1\r\nHost: x\r\n", &iFd);
    }
    EXPECT_NE(Raw(usPort, "GET /api/v1/nope HTTP/1.1\r\nHost: x\r\n\r\n").find(R"(\/api\/v1\/nope", "StatusCode": 1,)"),
              std::string::npos);
    char c = 0;
    for (int iFd : vecIdle) {
        EXPECT_EQ(recv(iFd, &c, 1, 0), 0) << "an idle client was not closed";
        close(iFd);
    }
    // Input over the limits or malformed gets its status body and a closed connection.
    const std::string strOsd = "PUT /api/v1/video/osd HTTP/1.1\r\nHost: x\r\n";
    std::string strMany = "GET /api/v1/x HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 70; ++i) {
        strMany += "X-" + std::to_string(i) + ": 1\r\n";
    }
    for (const auto& [strSend, strWant] : std::vector<std::pair<std::string, std::string>>{
             {"hello there\r\n\r\n", "400 Bad Request|4"},
             {strMany + "\r\n", "431 Request Header Fields Too Large|4"},
             {strOsd + "Content-Length: 65537\r\n\r\n", "413 Request Entity Too Large|4"},
             {strOsd + "Transfer-Encoding: chunked\r\n\r\n", "411 Length Required|4"},
             {"BREW /api/v1/video/osd HTTP/1.1\r\nHost: x\r\n\r\n", "404 Not Found|3"},
             {"GET /api/v1/system/device HTTP/1.1\r\n\r\n", "400 Bad Request|4"}, // no Host
             {"GET /api/v1/system/device HTTP/1.1\r\nHost : x\r\n\r\n", "400 Bad Request|4"},
             {strOsd + "X-A: 1\r\n 2\r\n\r\n", "400 Bad Request|4"}}) { // a folded line
        const std::string strGot = Raw(usPort, strSend), strStatus = strWant.substr(0, strWant.find('|'));
        EXPECT_TRUE(strGot.rfind("HTTP/1.1 " + strStatus + "\r\n", 0) == 0 &&
                    strGot.find("\"StatusCode\": " + strWant.substr(strStatus.size() + 1) + ",") != std::string::npos)
            << strSend << " got " << strGot;
    }
    // A client that asks before it sends its body is told to go on, and then answered.
    int iFd = -1;
    Raw(usPort, "POST /api/v1/login HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\nExpect: 100-continue\r\n\r\n", &iFd);
    char acGot[64] = {};
    EXPECT_EQ(recv(iFd, acGot, sizeof(acGot) - 1, 0), 25);
    EXPECT_STREQ(acGot, "HTTP/1.1 100 Continue\r\n\r\n");
    EXPECT_EQ(send(iFd, "{}", 2, MSG_NOSIGNAL), 2);
    EXPECT_EQ(recv(iFd, acGot, 12, 0), 12);
    EXPECT_EQ(std::string(acGot, 12), "HTTP/1.1 400");
    close(iFd);
}

// The lane bounds: per service and over all services, and none after Stop.
TEST(LanesTest, BoundsPerLaneAndOverall)
{
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> iDone{0};
    kxserver::Lanes lanes(2, 3);
    auto submit = [&](const char* pszLane) {
        return lanes.Submit(
            pszLane, [released] { released.wait(); }, [&iDone] { ++iDone; });
    };
    std::vector<bool> vecTaken;
    for (const char* pszLane : {"/tmp/A", "/tmp/A", "/tmp/A", "", "/tmp/GA"}) {
        vecTaken.push_back(submit(pszLane));
    }
    EXPECT_EQ(vecTaken, (std::vector<bool>{true, true, false, true, false}));
    release.set_value();
    lanes.Stop();
    EXPECT_EQ(iDone, 3);
    EXPECT_FALSE(submit(""));
}

// A service that never answers holds two requests, the limit of its lane; a third is refused at
// once, and requests for no service or for another one are served meanwhile.
TEST(AccessServerTest, ASilentServiceHoldsOnlyItsOwnLane)
{
    TempDir run, state;
    kxserver::ServerOptions stOptions{"127.0.0.1", 0, run.Path(), state.Path(), kxserver::DefaultScenario(), {"gat"}};
    stOptions.uiServiceWaiters = 2;
    stOptions.uiRequestTimeoutMs = 200;
    kxserver::AccessServer server(stOptions);
    ASSERT_TRUE(server.Start());
    const unsigned short usPort = server.Port();
    // A service that takes requests and answers none until released: what a hung service does.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    KXSERVICE* pstService = KxServiceStart(
        "/tmp/A",
        [](void* pUser, const MSG_DATA*, MSG_DATA*, unsigned int*) {
            return static_cast<std::shared_future<void>*>(pUser)->wait(), 1;
        },
        &released);
    ASSERT_NE(pstService, nullptr);
    std::vector<std::future<std::string>> vecWaiting;
    for (int i = 0; i < 3; ++i) {
        vecWaiting.push_back(std::async(std::launch::async, Fetch, usPort, "GET /api/v1/system/device"));
    }
    auto itRefused = vecWaiting.end();
    while (itRefused == vecWaiting.end()) {
        itRefused = std::find_if(vecWaiting.begin(), vecWaiting.end(), [](std::future<std::string>& f) {
            return f.wait_for(std::chrono::milliseconds(10)) == std::future_status::ready;
        });
    }
    const std::string strRefused =
        R"(503 application/json { "ResponseStatus": { "RequestURL": "\/api\/v1\/system\/device", )"
        R"("StatusCode": 1, "StatusString": "Common error" } })";
    EXPECT_EQ(itRefused->get(), strRefused);
    Check(usPort, {{"GET /api/v1/nope", 404},
                   {"POST /api/v1/login {}", 400},
                   {"GET /api/v1/gat1400/status", 200, R"({ "Registered": true, ...)"}});
    // The held requests outlive the request time-out, which times clients, never workers.
    int iIdle = -1;
    Raw(usPort, "", &iIdle);
    char c = 0;
    EXPECT_EQ(recv(iIdle, &c, 1, 0), 0);
    close(iIdle);
    release.set_value();
    for (auto it = vecWaiting.begin(); it != vecWaiting.end(); ++it) {
        if (it != itRefused) {
            EXPECT_EQ(it->get().substr(0, 3), "200");
        }
    }
    KxServiceStop(pstService);
}

// What a broken or hostile peer sends to every request waiting in the run directory for an
// asynchronous reply: a datagram that is no whole message, the reply with a cookie the server never
// sent, the reply for another command.
static void ForgeReplies(const std::string& strRunDir, const MSG_DATA& stReply)
{
    auto pstForged = std::make_unique<MSG_DATA>(stReply);
    const int iFd = socket(AF_UNIX, SOCK_DGRAM, 0);
    glob_t stFound{};
    (void)glob((strRunDir + "/tmp_a*").c_str(), 0, nullptr, &stFound);
    for (size_t i = 0; i < stFound.gl_pathc; ++i) {
        sockaddr_un stTo{AF_UNIX, {}};
        snprintf(stTo.sun_path, sizeof(stTo.sun_path), "%s", stFound.gl_pathv[i]); // a temp dir's path fits
        auto* pstTo = reinterpret_cast<sockaddr*>(&stTo);
        sendto(iFd, "short", 5, 0, pstTo, sizeof(stTo));
        pstForged->pUserData = reinterpret_cast<void*>(static_cast<uintptr_t>(0x4141414141414141ULL));
        sendto(iFd, pstForged.get(), sizeof(MSG_DATA), 0, pstTo, sizeof(stTo));
        pstForged->pUserData = stReply.pUserData;
        pstForged->enCmdType = static_cast<VW_CMD_TYPE>(stReply.enCmdType + 1);
        sendto(iFd, pstForged.get(), sizeof(MSG_DATA), 0, pstTo, sizeof(stTo));
    }
    globfree(&stFound);
    close(iFd);
}

// The services of the case below. The configuration service forges replies before each answer,
// and answers its first request only after that request gave up. The authentication service
// answers the user list properly, then with the wrong type; of the sessions requests it leaves the
// first unanswered, answers the second in the first one's name, and the third properly.
struct HostileServices {
    std::string strRunDir;
    std::atomic<int> iEvents{0}, iUserLists{0}, iSessions{0};
    int iFirstTag = 0;
    static int ServeConfig(void* pUser, const MSG_DATA*, MSG_DATA* pstReply, unsigned int* puiDelayMs)
    {
        auto* p = static_cast<HostileServices*>(pUser);
        int n = ++p->iEvents;
        snprintf(reinterpret_cast<char*>(pstReply->aucData), sizeof(pstReply->aucData), R"({ "EventId": %d })", n);
        ForgeReplies(p->strRunDir, *pstReply);
        *puiDelayMs = n == 1 ? 2600 : 0;
        return 1;
    }
    static hbtp_message* ServeAuth(void* pUser, KxSrvfsRequest*, hbtp_message* pstReq)
    {
        auto* p = static_cast<HostileServices*>(pUser);
        unsigned short usUrl = 0;
        KxHbtpGetHeader(pstReq, nullptr, &usUrl, nullptr);
        hbtp_message* pstReply = hbtp_message_new(0);
        if (usUrl == kxserver::kAuthUrlUserList) {
            KxHbtpSetHeader(pstReply, ++p->iUserLists == 1 ? 2 : 3, usUrl, 200);
            kxserver::UserEntry astList[kxserver::kUserCount] = {{"admin", "Administrator", {}}};
            hbtp_content_add(pstReply, astList, sizeof(astList));
            return pstReply;
        }
        void* pTag = nullptr;
        unsigned short usLen = 0;
        int iTag = 0;
        if (hbtp_header_get(pstReq, KXAPI_HBTP_EXT_CLIENT_FD, &pTag, &usLen) == 0 && usLen == sizeof(iTag)) {
            memcpy(&iTag, pTag, sizeof(iTag));
        }
        int n = ++p->iSessions;
        p->iFirstTag = n == 1 ? iTag : p->iFirstTag;
        iTag = n == 2 ? p->iFirstTag : iTag;
        KxHbtpSetHeader(pstReply, 2, usUrl, 200);
        hbtp_header_set(pstReply, KXAPI_HBTP_EXT_CLIENT_FD, &iTag, sizeof(iTag));
        hbtp_content_add(pstReply, "{}", 3);
        return n == 1 ? (hbtp_message_put(pstReply), nullptr) : pstReply;
    }
};

// No reply is taken for more than it is: forged and stray ones are dropped and counted, a late one
// never reaches the next request on the same connection, and a sessions reply that came on another
// client's channel reaches neither client. Every channel is cleaned up after its time-out.
TEST(AccessServerTest, TrustsNoReply)
{
    TempDir run, state;
    const int iFds = CountOpenFds();
    kxserver::ServerOptions stOptions{"127.0.0.1", 0, run.Path(), state.Path(), kxserver::DefaultScenario(), {"gat"}};
    stOptions.uiAsyncWaitMs = 2000;
    testing::internal::CaptureStderr();
    {
        kxserver::AccessServer server(stOptions);
        ASSERT_TRUE(server.Start());
        const unsigned short usPort = server.Port();
        HostileServices stServices{run.Path()};
        KXSERVICE* pstConfig = KxServiceStart("/tmp/A", HostileServices::ServeConfig, &stServices);
        KxSrvfsService* pstAuth = KxSrvfsServe("auth.paas.opx", HostileServices::ServeAuth, &stServices);
        ASSERT_TRUE(pstConfig != nullptr && pstAuth != nullptr);
        const std::string strEvent = "GET /api/v1/events/latest HTTP/1.1\r\nHost: x\r\n";
        std::string strGot = Raw(usPort, strEvent + "\r\n" + strEvent + "Connection: close\r\n\r\n");
        EXPECT_TRUE(std::regex_match(strGot, std::regex("HTTP/1.1 503 [^]*\"StatusCode\": 1,[^]*HTTP/1.1 200 [^]*"
                                                        "\\{ \"EventId\": 2 \\}")))
            << strGot;
        auto first = std::async(std::launch::async, Fetch, usPort, "GET /api/v1/users/sessions");
        while (stServices.iSessions == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_EQ(Fetch(usPort, "GET /api/v1/users/sessions").substr(0, 4), "503 ");
        EXPECT_EQ(first.get().substr(0, 4), "503 ");
        Check(usPort,
              {{"GET /api/v1/users/sessions", 200, "{}"},
               {"GET /api/v1/users", 200, R"({ "Users": [ { "UserName": "admin", "Role": "Administrator" }...)"},
               {"GET /api/v1/users", 503}});
        KxServiceStop(pstConfig);
        KxSrvfsStop(pstAuth);
    }
    std::string strLog = testing::internal::GetCapturedStderr();
    std::multiset<std::string> setDropped;
    const std::regex reDropped("dropped reply \\d+: (on /tmp/a\\d+: )?(.*)");
    for (std::sregex_iterator it(strLog.begin(), strLog.end(), reDropped), end; it != end; ++it) {
        setDropped.insert(std::regex_replace((*it)[2].str(), std::regex("\\d+"), "N"));
    }
    const char *pszCookie = "a cookie this request did not send", *pszShort = "not one whole message",
               *pszOther = "not the answer to this request";
    EXPECT_EQ(setDropped,
              (std::multiset<std::string>{pszCookie, pszCookie, pszShort, pszShort, pszOther, pszOther,
                                          "a sessions reply for client N that came on another client's channel"}));
    EXPECT_EQ(CountOpenFds(), iFds);
}
