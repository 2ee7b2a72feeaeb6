// The reference server end to end: real HTTP on loopback, real emulated services on real
// sockets in a temp run directory, answers checked byte for byte.
#include "access_server.h"
#include "temp_dir.h"

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/StreamCopier.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Reply {
    int iStatus = 0;
    std::string strBody;
    std::string strContentType;
    long long llContentLength = -1;
};

Reply Fetch(unsigned short usPort, const std::string& strMethod, const std::string& strUri,
            const std::string& strBody = "")
{
    Poco::Net::HTTPClientSession session("127.0.0.1", usPort);
    Poco::Net::HTTPRequest request(strMethod, strUri, Poco::Net::HTTPMessage::HTTP_1_1);
    if (!strBody.empty()) {
        request.setContentLength(static_cast<std::streamsize>(strBody.size()));
        request.setContentType("application/json");
    }
    session.sendRequest(request) << strBody;
    Poco::Net::HTTPResponse response;
    std::istream& is = session.receiveResponse(response);
    Reply stReply;
    stReply.iStatus = response.getStatus();
    stReply.strContentType = response.getContentType();
    stReply.llContentLength = response.getContentLength64();
    std::ostringstream oss;
    Poco::StreamCopier::copyStream(is, oss);
    stReply.strBody = oss.str();
    return stReply;
}

std::string StatusBody(const std::string& strEscapedUrl, int iCode, const std::string& strText)
{
    return "{ \"ResponseStatus\": { \"RequestURL\": \"" + strEscapedUrl + "\", \"StatusCode\": " +
           std::to_string(iCode) + ", \"StatusString\": \"" + strText + "\" } }";
}

std::vector<std::string> Entries(const std::string& strDir)
{
    std::vector<std::string> vecNames;
    DIR* pDir = opendir(strDir.c_str());
    if (pDir == nullptr) {
        return vecNames;
    }
    while (dirent* pEnt = readdir(pDir)) {
        std::string strName = pEnt->d_name;
        if (strName != "." && strName != "..") {
            vecNames.push_back(strName);
        }
    }
    closedir(pDir);
    return vecNames;
}

class AccessServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_iFdsBefore = CountOpenFds();
        StartServer();
    }
    void TearDown() override
    {
        m_pServer.reset();
        EXPECT_EQ(CountOpenFds(), m_iFdsBefore) << "descriptors leaked by the server";
        EXPECT_TRUE(Entries(m_run.Path() + "/srvfs").empty());
    }
    void StartServer()
    {
        kxserver::ServerOptions stOptions;
        stOptions.usPort = 0;
        stOptions.strRunDir = m_run.Path();
        stOptions.strStateDir = m_state.Path();
        stOptions.uiAsyncWaitMs = 3000;
        m_pServer = std::make_unique<kxserver::AccessServer>(stOptions);
        ASSERT_TRUE(m_pServer->Start());
        m_usPort = m_pServer->Port();
    }
    Reply Get(const std::string& strUri) { return Fetch(m_usPort, "GET", strUri); }

    TempDir m_run;
    TempDir m_state;
    int m_iFdsBefore = 0;
    std::unique_ptr<kxserver::AccessServer> m_pServer;
    unsigned short m_usPort = 0;
};

TEST_F(AccessServerTest, TableDrivenGetsTakeTheLongestPattern)
{
    Reply stDevice = Get("/api/v1/system/device");
    EXPECT_EQ(stDevice.iStatus, 200);
    EXPECT_EQ(stDevice.strBody, R"({ "DeviceName": "kx-cam-01", "Model": "KX-IPC-2", "FirmwareVersion": "1.0.0" })");
    EXPECT_EQ(stDevice.strContentType, "application/json");

    Reply stTime = Get("/api/v1/system/device/time");
    EXPECT_EQ(stTime.iStatus, 200);
    EXPECT_EQ(stTime.strBody.rfind(R"({ "LocalTime": ")", 0), 0U) << stTime.strBody;

    Reply stMiss = Get("/api/v1/system/fan");
    EXPECT_EQ(stMiss.iStatus, 404);
    EXPECT_EQ(stMiss.strBody, StatusBody("\\/api\\/v1\\/system\\/fan", 3, "Unsupported request"));
}

TEST_F(AccessServerTest, ChangeIsVisibleInTheNextGetAndSurvivesARestart)
{
    Reply stPut = Fetch(m_usPort, "PUT", "/api/v1/video/osd", R"({ "Text": "Dock 4", "ShowName": false })");
    EXPECT_EQ(stPut.iStatus, 200);
    EXPECT_EQ(stPut.strBody, StatusBody("\\/api\\/v1\\/video\\/osd", 0, "OK"));
    const std::string strChanged = R"({ "ShowTime": true, "ShowName": false, "Text": "Dock 4" })";
    EXPECT_EQ(Get("/api/v1/video/osd").strBody, strChanged);

    // Unknown members and wrong types change nothing.
    for (const char* pszBad : {R"({ "Color": "red" })", R"({ "Text": 5 })", "not json", "{}"}) {
        Reply stBad = Fetch(m_usPort, "PUT", "/api/v1/video/osd", pszBad);
        EXPECT_EQ(stBad.iStatus, 400) << pszBad;
        EXPECT_EQ(stBad.strBody, StatusBody("\\/api\\/v1\\/video\\/osd", 4, "Incorrect parameter"));
    }
    m_pServer.reset();
    StartServer();
    EXPECT_EQ(Get("/api/v1/video/osd").strBody, strChanged);
}

TEST_F(AccessServerTest, UriIdsAndQueryValuesReachTheService)
{
    Reply stStream = Get("/api/v1/channels/2/stream?profile=sub&bitrate=2048");
    EXPECT_EQ(stStream.iStatus, 200);
    EXPECT_EQ(stStream.strBody, R"({ "Channel": 2, "Profile": "sub", "Bitrate": 2048, "Url": "rtsp:\/\/127.0.0.1\/ch2\/sub" })");
    EXPECT_EQ(Get("/api/v1/channels/4/stream").strBody,
              R"({ "Channel": 4, "Profile": "main", "Bitrate": 4096, "Url": "rtsp:\/\/127.0.0.1\/ch4\/main" })");

    struct Case {
        const char* pszUri;
        const char* pszEscaped;
    };
    const Case aBad[] = {
        {"/api/v1/channels/0/stream", "\\/api\\/v1\\/channels\\/0\\/stream"},   // below the range
        {"/api/v1/channels/5/stream", "\\/api\\/v1\\/channels\\/5\\/stream"},   // above it
        {"/api/v1/channels/ab/stream", "\\/api\\/v1\\/channels\\/ab\\/stream"}, // not a number
        {"/api/v1/channels/1/stream?profile=%zz", "\\/api\\/v1\\/channels\\/1\\/stream"},
        {"/api/v1/channels/1/stream?bitrate=fast", "\\/api\\/v1\\/channels\\/1\\/stream"},
        {"/api/v1/channels/1/stream?profile=ultra", "\\/api\\/v1\\/channels\\/1\\/stream"},
        {"/api/v1/channels/1/stream?profile", "\\/api\\/v1\\/channels\\/1\\/stream"},
    };
    for (const Case& stCase : aBad) {
        Reply stBad = Get(stCase.pszUri);
        EXPECT_EQ(stBad.iStatus, 400) << stCase.pszUri;
        EXPECT_EQ(stBad.strBody, StatusBody(stCase.pszEscaped, 4, "Incorrect parameter")) << stCase.pszUri;
    }
}

TEST_F(AccessServerTest, AsynchronousAnswersComeBackToTheirClient)
{
    Reply stFirst = Get("/api/v1/events/latest");
    Reply stSecond = Get("/api/v1/events/latest");
    EXPECT_EQ(stFirst.iStatus, 200);
    EXPECT_EQ(stFirst.strBody.rfind(R"({ "EventId": 1, "Type": "motion")", 0), 0U) << stFirst.strBody;
    EXPECT_EQ(stSecond.strBody.rfind(R"({ "EventId": 2, "Type": "motion")", 0), 0U) << stSecond.strBody;

    Reply stSessions = Get("/api/v1/users/sessions");
    EXPECT_EQ(stSessions.iStatus, 200);
    EXPECT_EQ(stSessions.strBody, R"({ "Sessions": [ { "UserName": "admin", "Address": "127.0.0.1" } ] })");
}

TEST_F(AccessServerTest, UserListAndGat1400Status)
{
    Reply stUsers = Get("/api/v1/users");
    EXPECT_EQ(stUsers.iStatus, 200);
    EXPECT_EQ(stUsers.strBody, R"({ "Users": [ { "UserName": "admin", "Role": "Administrator" }, )"
                               R"({ "UserName": "operator", "Role": "Operator" }, )"
                               R"({ "UserName": "viewer", "Role": "Viewer" } ] })");
    Reply stGat = Get("/api/v1/gat1400/status");
    EXPECT_EQ(stGat.iStatus, 200);
    EXPECT_EQ(stGat.strBody,
              R"({ "Registered": true, "Server": "192.168.0.10:80", "DeviceID": "KX-CAM-01-0001" })");
}

TEST_F(AccessServerTest, DownloadBodyIsExactlyTheDescribedLength)
{
    Reply stDownload = Get("/api/v1/logs/download");
    EXPECT_EQ(stDownload.iStatus, 200);
    const std::string strPrefix = "multipart/form-data; boundary=";
    ASSERT_EQ(stDownload.strContentType.rfind(strPrefix, 0), 0U) << stDownload.strContentType;
    std::string strBoundary = stDownload.strContentType.substr(strPrefix.size());
    EXPECT_EQ(strBoundary.size(), 32U);
    EXPECT_EQ(stDownload.llContentLength, static_cast<long long>(stDownload.strBody.size()));
    EXPECT_EQ(stDownload.strBody.rfind("--" + strBoundary + "\r\n", 0), 0U);
    EXPECT_NE(stDownload.strBody.find("filename=\"device.log\""), std::string::npos);
    EXPECT_NE(stDownload.strBody.find("line 20: status ok\n\r\n--" + strBoundary + "--\r\n"), std::string::npos);
    // The snapshot the download was made from is gone.
    for (const std::string& strName : Entries(m_run.Path())) {
        EXPECT_EQ(strName.find("download-"), std::string::npos) << strName;
    }
}

TEST_F(AccessServerTest, RepeatedFailedLoginsLockTheAddress)
{
    const std::string strEscaped = "\\/api\\/v1\\/login";
    Reply stOk = Fetch(m_usPort, "POST", "/api/v1/login", R"({ "UserName": "admin", "Password": "admin" })");
    EXPECT_EQ(stOk.strBody, StatusBody(strEscaped, 0, "OK"));
    EXPECT_EQ(Fetch(m_usPort, "POST", "/api/v1/login", R"({ "UserName": 1 })").iStatus, 400);
    for (int i = 0; i < 3; ++i) {
        Reply stFail = Fetch(m_usPort, "POST", "/api/v1/login", R"({ "UserName": "admin", "Password": "guess" })");
        EXPECT_EQ(stFail.iStatus, 401);
        EXPECT_EQ(stFail.strBody, StatusBody(strEscaped, 102, "Failed to verify the user name or password"));
    }
    // Locked now: even the right password gets the lock body with the real remaining time.
    Reply stLocked = Fetch(m_usPort, "POST", "/api/v1/login", R"({ "UserName": "admin", "Password": "admin" })");
    EXPECT_EQ(stLocked.iStatus, 403);
    const std::string strHead = "{ \"IpLockStatus\": " + StatusBody(strEscaped, 108, "The user is locked") +
                                ", \"remainTime\": ";
    ASSERT_EQ(stLocked.strBody.rfind(strHead, 0), 0U) << stLocked.strBody;
    int iRemain = std::stoi(stLocked.strBody.substr(strHead.size()));
    EXPECT_GE(iRemain, 299);
    EXPECT_LE(iRemain, 300);
}

TEST_F(AccessServerTest, BadRequestsGetJsonErrorsAndTheServerGoesOn)
{
    Reply stDown = Get("/api/v1/storage");
    EXPECT_EQ(stDown.iStatus, 503);
    EXPECT_EQ(stDown.strBody, StatusBody("\\/api\\/v1\\/storage", 1, "Common error"));

    Reply stMethod = Fetch(m_usPort, "PATCH", "/api/v1/video/osd", "{}");
    EXPECT_EQ(stMethod.iStatus, 404);
    EXPECT_EQ(stMethod.strBody, StatusBody("\\/api\\/v1\\/video\\/osd", 3, "Unsupported request"));

    EXPECT_EQ(Get("/nothing/here").iStatus, 404);
    Reply stLongUrl = Get("/api/v1/system/" + std::string(3100, 'x'));
    EXPECT_EQ(stLongUrl.iStatus, 400);
    Reply stLongQuery = Get("/api/v1/channels/1/stream?profile=" + std::string(1200, 'm'));
    EXPECT_EQ(stLongQuery.iStatus, 400);
    EXPECT_EQ(Get("/api/v1/system/device").iStatus, 200); // still serving
}

// The executable itself: starts, answers, and stops cleanly on SIGTERM.
TEST(AccessServerProcessTest, StartsAnswersAndStopsOnSigterm)
{
#if KXAPI_SERVER_EXE_CROSS
    GTEST_SKIP() << "a cross-built server cannot be spawned from inside the emulator";
#endif
    TempDir run;
    TempDir state;
    int aiPipe[2];
    ASSERT_EQ(pipe(aiPipe), 0);
    posix_spawn_file_actions_t stActions;
    posix_spawn_file_actions_init(&stActions);
    posix_spawn_file_actions_adddup2(&stActions, aiPipe[1], 1);
    posix_spawn_file_actions_addclose(&stActions, aiPipe[0]);
    std::string strRun = run.Path();
    std::string strState = state.Path();
    const char* apszArgs[] = {KXAPI_SERVER_EXE, "--port", "0", "--run-dir", strRun.c_str(), "--state-dir",
                              strState.c_str(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, KXAPI_SERVER_EXE, &stActions, nullptr, const_cast<char* const*>(apszArgs), environ), 0);
    posix_spawn_file_actions_destroy(&stActions);
    close(aiPipe[1]);
    std::string strLine;
    char c = 0;
    while (read(aiPipe[0], &c, 1) == 1 && c != '\n') {
        strLine += c;
    }
    size_t uiColon = strLine.find("127.0.0.1:");
    ASSERT_NE(uiColon, std::string::npos) << strLine;
    auto usPort = static_cast<unsigned short>(std::stoi(strLine.substr(uiColon + 10)));
    EXPECT_EQ(Fetch(usPort, "GET", "/api/v1/system/network").strBody,
              R"({ "IPAddress": "192.168.0.64", "Netmask": "255.255.255.0", "Gateway": "192.168.0.1" })");
    kill(pid, SIGTERM);
    int iStatus = 0;
    ASSERT_EQ(waitpid(pid, &iStatus, 0), pid);
    EXPECT_TRUE(WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0) << iStatus;
    close(aiPipe[0]);
    // No socket file is left behind.
    for (const std::string& strName : Entries(strRun)) {
        EXPECT_EQ(strName, "srvfs");
    }
    EXPECT_TRUE(Entries(strRun + "/srvfs").empty());
}

} // namespace
