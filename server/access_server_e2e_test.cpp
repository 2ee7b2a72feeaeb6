// The reference server end to end: real HTTP on loopback, real emulated services on real
// sockets in a temp run directory, answers checked byte for byte.
#include "access_server.h"
#include "temp_dir.h"

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdio>
#include <iterator>
#include <map>
#include <optional>
#include <regex>

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

// A request and its answer: the whole JSON body (its start when strReply ends in "..."), or when
// strReply is empty the status body of iStatus.
struct Case { std::string strRequest; int iStatus; std::string strReply = ""; };

// In order, as a case may depend on what the ones before it left; the last answer is returned. The
// status body of each HTTP status names the request's path (not its query), slashes escaped as the
// server's JSON writer escapes them.
static std::string Check(unsigned short usPort, const std::vector<Case>& vecCases)
{
    static const std::map<int, std::pair<int, std::string>> mapStatus = {
        {200, {0, "OK"}}, {400, {4, "Incorrect parameter"}}, {401, {102, "Failed to verify the user name or password"}},
        {403, {108, "The user is locked"}}, {404, {3, "Unsupported request"}}, {503, {1, "Common error"}}};
    std::string strGot;
    for (const Case& c : vecCases) {
        strGot = Fetch(usPort, c.strRequest);
        size_t i = c.strRequest.find(' ') + 1, n = c.strRequest.find_first_of("? ", i) - i;
        const auto& [iCode, strText] = mapStatus.at(c.iStatus);
        std::string strWant = std::to_string(c.iStatus) + " application/json " + (!c.strReply.empty() ? c.strReply :
            R"({ "ResponseStatus": { "RequestURL": ")" + std::regex_replace(c.strRequest.substr(i, n), std::regex("/"),
            "\\/") + R"(", "StatusCode": )" + std::to_string(iCode) + R"(, "StatusString": ")" + strText + R"(" } })");
        size_t uiLen = strWant.compare(strWant.size() - 3, 3, "...") == 0 ? strWant.size() - 3 : std::string::npos;
        EXPECT_EQ(strGot.substr(0, uiLen), strWant.substr(0, uiLen)) << c.strRequest;
    }
    return strGot;
}

TEST(AccessServerTest, RequestsAreAnsweredAsTheTableSays)
{
    TempDir run, state;
    kxserver::ServerOptions stOptions{"127.0.0.1", 0, run.Path(), state.Path()}; // host, any free port, dirs
    std::optional<kxserver::AccessServer> oServer; // emplace stops the old server before the new one starts
    ASSERT_TRUE(oServer.emplace(stOptions).Start());
    const std::string strOsd = R"({ "ShowTime": true, "ShowName": false, "Text": "Dock 4" })";
    std::string strCh = "GET /api/v1/channels/", strEv = "GET /api/v1/events/latest", strPut = "PUT /api/v1/video/osd ";
    const std::string strAdmin = "POST /api/v1/login " R"({ "UserName": "admin", "Password": "admin" })";
    const std::string strGuess = "POST /api/v1/login " R"({ "UserName": "admin", "Password": "guess" })";
    // The longest pattern wins; ids and query values reach the service (of channel 4, the defaults; channel 5
    // is out of range).
    std::string strGot = Check(oServer->Port(), {{"GET /api/v1/system/device/time", 200, R"({ "LocalTime": "...)"},
        {"GET /api/v1/system/device", 200, R"({ "DeviceName": "kx-cam-01", ...)"}, {strCh + "5/stream", 400},
        {strCh + "2/stream?profile=sub&bitrate=2048", 200, R"({ "Channel": 2, "Profile": "sub", "Bitrate": 2048, ...)"},
        {strCh + "4/stream", 200, R"({ "Channel": 4, "Profile": "main", "Bitrate": 4096, ...)"},
        // Asynchronous answers, each to the client that asked.
        {strEv, 200, R"({ "EventId": 1, "Type": "motion"...)"}, {strEv, 200, R"({ "EventId": 2, "Type": "motion"...)"},
        // Bad requests get JSON errors (a query value that does not decode, a service that is down, no such
        // resource, a URL too long); the server goes on to serve the rows below.
        {strCh + "1/stream?profile=%zz", 400}, {"GET /api/v1/storage", 503}, {"GET /api/v1/system/fan", 404},
        {"GET /api/v1/system/" + std::string(3100, 'x'), 400, R"({ "ResponseStatus": { "RequestURL": "\/api...)"},
        // A change is seen by the next GET; unknown members, wrong types and non-JSON are refused, and the
        // GET after the restart shows they changed nothing.
        {strPut + R"({ "Text": "Dock 4", "ShowName": false })", 200}, {"GET /api/v1/video/osd", 200, strOsd},
        {strPut + R"({ "Color": "red" })", 400}, {strPut + R"({ "Text": 5 })", 400}, {strPut + "not json", 400},
        // Failed logins lock the address: then even the right password gets the lock body.
        {strAdmin, 200}, {strGuess, 401}, {strGuess, 401}, {strGuess, 401},
        {strAdmin, 403, R"({ "IpLockStatus": { "ResponseStatus": { "RequestURL": "\/api\/v1\/login", )"
         R"("StatusCode": 108, "StatusString": "The user is locked" } }, "remainTime": ...)"}});
    EXPECT_NEAR(std::stoi(strGot.substr(strGot.rfind(':') + 1)), 299.5, 0.5); // the real remaining time
    ASSERT_TRUE(oServer.emplace(stOptions).Start());
    Check(oServer->Port(), {{"GET /api/v1/video/osd", 200, strOsd}}); // the change survives a restart

    // A download is one part with a 32-character boundary, ending right after the closing delimiter:
    // with the length Fetch checks, exactly the described length.
    EXPECT_TRUE(std::regex_match(strGot = Fetch(oServer->Port(), "GET /api/v1/logs/download"), std::regex("200 "
        "multipart/form-data; boundary=(\\S{32}) --\\1\r\n[\\s\\S]*\nline 20: status ok\n\r\n--\\1--\r\n"))) << strGot;
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
