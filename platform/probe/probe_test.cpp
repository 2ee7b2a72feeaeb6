// kxapi-probe as its users run it: a process with the dev-host stand-in preloaded, asking
// kxapi-emulate and the reference server on sockets under the test's own run directory.
#include "probe_test_support.h"
#include "probe_wire.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <regex>
#include <thread>

namespace {

using kxprobe_test::Emulate;
using kxprobe_test::Probe;
using kxprobe_test::Process;

// The text of result 16, as the library states it.
const std::string kBusy = GetStatusString(16);

const char kScenario[] = R"({ "name": "probe test", "services": [
  { "name": "config", "socket": "/tmp/A", "rules": [
    { "name": "abc", "cmd": 1001, "type": "get", "data": { "equals": "ABC" },
      "reply": { "data": { "json": { "Got": "ABC" } } } },
    { "name": "door", "cmd": 1001, "type": "get", "data": { "json": { "Door": 2 } },
      "reply": { "data": { "json": { "Door": 2, "State": "open" } } } },
    { "name": "bytes", "cmd": 1004, "type": "get", "reply": { "data": { "hex": "00 01 02 ff" } } },
    { "name": "osd set", "cmd": 2001, "type": "set", "data": { "equals": "hello" }, "reply": { "result": 0 } },
    { "name": "busy", "cmd": 1002, "reply": { "result": 16 } },
    { "name": "wrong command", "cmd": 1005, "reply": { "cmd": 1006 } },
    { "name": "words", "cmd": 1007, "reply": { "data": "plain words" } },
    { "name": "never", "cmd": 1003, "reply": { "silent": true } } ] },
  { "name": "auth", "hbtp": "auth.paas.opx", "rules": [
    { "name": "users", "url": 0, "reply": { "code": 200, "headers": { "7": "seven" }, "body": { "json": { "Users": 3 } } } },
    { "name": "denied", "url": 5, "reply": { "code": 401 } } ] } ] })";

class ProbeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!kxprobe_test::CanSpawn()) {
            GTEST_SKIP() << "a cross-built program cannot be spawned from inside the emulator "
                            "(scripts/probe-smoke.sh runs the camera's probe under qemu-arm)";
        }
        std::ofstream(m_dir.File("s.json")) << kScenario;
    }
    std::vector<std::string> With(std::vector<std::string> vecArgs)
    {
        vecArgs.insert(vecArgs.end(), {"--run-dir", m_strRun});
        return vecArgs;
    }
    // The exit status, stdout (its first uiOutBytes) and all of stderr, to be compared as one.
    std::string Outcome(const std::vector<std::string>& vecArgs, size_t uiOutBytes = std::string::npos)
    {
        kxprobe_test::Run stRun = Probe(With(vecArgs));
        return std::to_string(stRun.iStatus) + " " + stRun.strOut.substr(0, uiOutBytes) + "|" + stRun.strErr;
    }
    TempDir m_dir;
    const std::string m_strRun = m_dir.File("run");
};

// A row per way a send ends: the exit status, what stdout holds and the one stderr line. The
// failures come first, so that the sends after each show the service kept its name. Then hbtp.
TEST_F(ProbeTest, SendAndHbtpPrintTheReplyAndEndEachWay)
{
    Emulate emu(m_dir.File("s.json"), m_strRun);
    ASSERT_TRUE(emu.Started());
    const std::string kAbcJson = R"("type":2,"type_name":"GET reply","cmd":1001,"result":0,"status":"OK",)";
    const std::string strAbcFile = m_dir.File("abc.bin");
    std::ofstream(strAbcFile) << "ABC";
    const struct {
        std::vector<std::string> vecArgs; // after "send"
        int iStatus;
        std::string strOut; // a part of stdout
        std::string strErr; // all of stderr
    } aRows[] = {
        {{"/tmp/A", "--cmd", "1002"}, 1, "result   16 (", "kxapi-probe: /tmp/A answered result 16 (" + kBusy + ")\n"},
        {{"/tmp/A", "--cmd", "1001", "--data", "json:{ \"Door\": 2 "},
         2,
         "",
         "kxapi-probe: --data json: malformed JSON at byte 12: unexpected end of data\n"},
        {{"/tmp/A", "--cmd", "1003", "--timeout", "0.3"}, 3, "", "kxapi-probe: no reply from /tmp/A within 0.3 s\n"},
        {{"/tmp/Z", "--cmd", "1001"},
         4,
         "",
         "kxapi-probe: no service at /tmp/Z (" + m_strRun + "/tmp_Z): No such file or directory\n"},
        {{"/tmp/A", "--cmd", "1005"},
         5,
         "command  1006",
         "kxapi-probe: the reply does not match the request: GET reply cmd 1006 for GET cmd 1005\n"},
        {{"/tmp/A", "--cmd", "1001", "--data", "ABC", "--json"}, 0, kAbcJson, ""},
        {{"/tmp/A", "--cmd", "1001", "--data", "text:ABC", "--json"}, 0, kAbcJson, ""},
        {{"/tmp/A", "--cmd", "0x3e9", "--data", "hex:41 42 43", "--json"}, 0, kAbcJson, ""},
        {{"/tmp/A", "--cmd", "1001", "--data", "base64:QUJD", "--json"}, 0, kAbcJson, ""},
        {{"/tmp/A", "--cmd", "1001", "--data", "@" + strAbcFile, "--json"}, 0, R"("data":{"Got":"ABC"})", ""},
        {{"/tmp/A", "--cmd", "1001", "--data", R"(json:{ "Door": 2 })"},
         0,
         "type     GET reply (2)\ncommand  1001\nresult   0 (OK)\n"
         "data     30 bytes before trailing zeros (ullDataLen 30)\n{\n  \"Door\": 2,\n  \"State\": \"open\"\n}\n",
         ""},
        {{"/tmp/A", "--cmd", "1004", "--json"}, 0, R"("data":{"hex":"000102ff"})", ""},
        {{"/tmp/A", "--cmd", "1004"}, 0, "00000000  00 01 02 ff", ""},
        {{"/tmp/A", "--cmd", "1007"}, 0, "(ullDataLen 11)\nplain words\n", ""},
        {{"/tmp/A", "--cmd", "2001", "--set", "--data", "hello", "--json"},
         0,
         R"("type":3,"type_name":"SET reply","cmd":2001,"result":0,)",
         ""},
    };
    for (const auto& row : aRows) {
        std::vector<std::string> vecArgs{"send"};
        vecArgs.insert(vecArgs.end(), row.vecArgs.begin(), row.vecArgs.end());
        kxprobe_test::Run stRun = Probe(With(vecArgs));
        std::string strRow = ::testing::PrintToString(row.vecArgs);
        EXPECT_EQ(stRun.iStatus, row.iStatus) << strRow << "\n" << stRun.strErr;
        EXPECT_NE(stRun.strOut.find(row.strOut), std::string::npos) << strRow << "\n" << stRun.strOut;
        EXPECT_EQ(stRun.strErr, row.strErr) << strRow;
    }
    // The probe's own socket never stays behind, whatever the end.
    EXPECT_NE(system(("ls " + m_strRun + " | grep -q kxprobe").c_str()), 0) << "the probe's socket left behind";
    // HBTP: the code, the headers asked for and the body; a code other than 200; no such service.
    EXPECT_EQ(Outcome({"hbtp", "auth.paas.opx", "--url", "0", "--type", "1", "--header", "50115=12", "--show-header",
                       "7", "--json"}),
              R"(0 {"service":"/mnt/srvfs/auth.paas.opx","code":200,"type":2,"url":0,)"
              R"("headers":{"50115":"12","7":"seven"},"body":{"Users":3}})"
              "\n|");
    EXPECT_EQ(Outcome({"hbtp", "/mnt/srvfs/auth.paas.opx", "--url", "5", "--type", "1"}, 12),
              "1 code     401|kxapi-probe: /mnt/srvfs/auth.paas.opx answered code 401\n");
    EXPECT_EQ(Outcome({"hbtp", "nobody", "--url", "5", "--type", "1"}),
              "4 |kxapi-probe: no service at /mnt/srvfs/nobody: No such file or directory\n");
    EXPECT_EQ(Outcome({"--help"}, 26), "0 usage: kxapi-probe COMMAND|");
    EXPECT_EQ(Outcome({"--version"}, 12), "0 kxapi-probe |");
}

TEST_F(ProbeTest, ArgumentsAreCheckedBeforeAnythingIsSent)
{
    const struct {
        std::vector<std::string> vecArgs;
        std::string strFirstLine; // after "kxapi-probe: "
    } aRows[] = {
        {{}, "no command"},
        {{"sned"}, "unknown command sned"},
        {{"send", "/tmp/A"}, "send wants --cmd N"},
        {{"send", "/tmp/A", "--cmd", "-1"}, "--cmd wants a number from 0 to 4294967295"},
        {{"send", "/tmp/A", "--cmd", "1", "--url", "2"}, "send takes no flag --url"},
        {{"send", "/tmp/A", "--cmd", "1", "--timeout", "0"}, "--timeout wants seconds, more than 0 and at most 86400"},
        {{"send", "/tmp/A", "--cmd", "1", "--data", "hex:4"}, "--data hex: wants pairs of hex digits (blanks ignored)"},
        {{"send", "/tmp/A", "--cmd", "1", "--data", "@/nonexistent/x"},
         "--data @/nonexistent/x: cannot read: No such file or directory"},
        {{"send", "/tmp/A", "--cmd", "1", "--data", "base64:QU=J"}, "--data base64: not base64"},
        {{"send", "/tmp/A", "--cmd", "1", "--data", "@/dev/zero"}, "--data: 21209 bytes, the data block holds 21208"},
        {{"hbtp", "auth.paas.opx", "--url", "1"}, "hbtp wants --url N and --type T"},
        {{"hbtp", "x", "--url", "1", "--type", "1", "--header", "=v"},
         "--header wants TAG=VALUE with TAG from 0 to 65535"},
        {{"tap", "/tmp/A", "--redact", "Password"}, "--redact goes with --record"},
        {{"tap"}, "no service"},
        {{"untap", "/tmp/A"}, m_strRun + "/tmp_A is not tapped (no " + m_strRun + "/tmp_A~kxtap)"},
    };
    for (const auto& row : aRows) {
        // With no arguments at all: "--run-dir" alone would be taken for the command.
        kxprobe_test::Run stRun = Probe(row.vecArgs.empty() ? row.vecArgs : With(row.vecArgs));
        std::string strRow = ::testing::PrintToString(row.vecArgs);
        EXPECT_EQ(stRun.iStatus, !row.vecArgs.empty() && row.vecArgs[0] == "untap" ? 6 : 2) << strRow;
        EXPECT_EQ(stRun.strErr.substr(0, stRun.strErr.find('\n')), "kxapi-probe: " + row.strFirstLine) << strRow;
    }
}

// An HTTP GET to the reference server; the status line's code, or 0.
int HttpGet(int iPort, const std::string& strPath)
{
    int iFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in stAddr{AF_INET, htons(static_cast<uint16_t>(iPort)), {htonl(INADDR_LOOPBACK)}, {}};
    std::string strReq = "GET " + strPath + " HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n";
    std::string strRsp;
    if (connect(iFd, reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr)) == 0 &&
        send(iFd, strReq.data(), strReq.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(strReq.size())) {
        char acBuf[4096];
        ssize_t n;
        while ((n = recv(iFd, acBuf, sizeof(acBuf), 0)) > 0) {
            strRsp.append(acBuf, static_cast<size_t>(n));
        }
    }
    close(iFd);
    return strRsp.size() > 12 ? atoi(strRsp.c_str() + 9) : 0;
}

// The tap between the reference server and its configuration service, while clients keep asking:
// every request answered, a request and a reply line each, the name back after SIGTERM and untap.
TEST_F(ProbeTest, TapUnderLoadGivesTheNameBack)
{
    if (std::string(KXAPI_SERVER_EXE).empty()) {
        GTEST_SKIP() << "built without the reference server";
    }
    mkdir(m_strRun.c_str(), 0700);
    // The server logs every request: its output goes to a file, read until it names its port.
    const std::string strLog = m_dir.File("server.log");
    Process server({KXAPI_SERVER_EXE, "--port", "0", "--run-dir", m_strRun, "--state-dir", m_dir.Path()}, false,
                   strLog);
    std::smatch m;
    std::string strLine;
    for (int i = 0; i < 1000 && !std::regex_search(strLine, m, std::regex(":([0-9]+)/ ")); ++i) {
        usleep(10000);
        std::getline(std::ifstream(strLog), strLine);
    }
    ASSERT_FALSE(m.empty()) << strLine;
    int iPort = std::stoi(m[1]);
    const std::string strPath = m_strRun + "/tmp_A";

    std::atomic<bool> bRun{true};
    std::atomic<int> iAnswered{0}, iFailed{0};
    std::vector<std::thread> vecClients;
    for (int i = 0; i < 3; ++i) {
        vecClients.emplace_back([&] {
            while (bRun) {
                (HttpGet(iPort, "/api/v1/system/device") == 200 ? iAnswered : iFailed)++;
            }
        });
    }
    Process tap(
        {KXAPI_PROBE_EXE, "tap", "/tmp/A", "--run-dir", m_strRun, "--cmd", "1001", "--pcap", m_dir.File("t.pcapng")},
        true);
    EXPECT_EQ(tap.Line(), "kxapi-probe: tapping /tmp/A (" + strPath + ")");
    const std::regex kRequest(R"(^\d\d:\d\d:\d\d\.\d{6} -> GET cmd 1001 cookie 0x0, (\d+) bytes, from .+$)");
    const std::regex kReply(
        R"(^\d\d:\d\d:\d\d\.\d{6} <- GET reply cmd 1001 cookie 0x0 result 0 \(OK\), (\d+) bytes, to .+, \d+\.\d{3} ms$)");
    // Every line until the tap says it gave the name back: the replies still owed pass on first.
    int iRequests = 0, iReplies = 0;
    for (strLine = tap.Line(); strLine.rfind("kxapi-probe:", 0) != 0; strLine = tap.Line()) {
        std::smatch mBytes;
        bool bRequest = std::regex_match(strLine, mBytes, kRequest);
        ASSERT_TRUE(bRequest || std::regex_match(strLine, mBytes, kReply)) << strLine;
        EXPECT_EQ(mBytes[1], std::to_string(sizeof(MSG_DATA)));
        (bRequest ? iRequests : iReplies)++;
        if (iReplies == 50 && !bRequest) {
            tap.Signal(SIGTERM);
        }
    }
    EXPECT_EQ(strLine, "kxapi-probe: /tmp/A given back");
    EXPECT_EQ(tap.Wait(), 0);
    // The clients go on being answered with the tap gone.
    int iBefore = iAnswered + iFailed;
    for (int i = 0; i < 2000 && iAnswered + iFailed < iBefore + 20; ++i) {
        usleep(5000);
    }
    bRun = false;
    for (std::thread& t : vecClients) {
        t.join();
    }
    EXPECT_EQ(iFailed, 0) << "requests failed around the tap";
    EXPECT_EQ(iRequests, iReplies);
    // The capture holds at least every message shown (the others passed too), each a whole datagram.
    std::ifstream pcap(m_dir.File("t.pcapng"), std::ios::binary | std::ios::ate);
    EXPECT_GT(static_cast<size_t>(pcap.tellg()), (iRequests + iReplies) * sizeof(MSG_DATA));

    // A tap killed outright leaves the service aside; untap puts it back and clears the tap's names.
    Process killed({KXAPI_PROBE_EXE, "tap", "/tmp/A", "--run-dir", m_strRun}, true);
    EXPECT_EQ(killed.Line(), "kxapi-probe: tapping /tmp/A (" + strPath + ")");
    EXPECT_EQ(Probe(With({"send", "/tmp/A", "--cmd", "1001"})).iStatus, 0);
    EXPECT_EQ(killed.Line().find(" -> GET cmd 1001"), 15u);
    EXPECT_EQ(Outcome({"tap", "/tmp/A"}), "6 |kxapi-probe: " + strPath + " is tapped already (" + strPath +
                                              "~kxtap exists; after a killed tap: kxapi-probe untap)\n");
    EXPECT_EQ(Outcome({"tap", "/tmp/Z"}), "4 |kxapi-probe: no service at " + m_strRun + "/tmp_Z\n");
    killed.Signal(SIGKILL);
    killed.Wait();
    EXPECT_EQ(Probe(With({"send", "/tmp/A", "--cmd", "1001"})).iStatus, 4);
    EXPECT_EQ(Outcome({"untap", "/tmp/A"}), "0 kxapi-probe: /tmp/A given back\n|");
    EXPECT_EQ(HttpGet(iPort, "/api/v1/system/device"), 200);
    EXPECT_NE(system(("ls " + m_strRun + " | grep -q kxtap").c_str()), 0) << "a tap's name left behind";
}

} // namespace
