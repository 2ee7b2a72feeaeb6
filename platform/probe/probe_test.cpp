// kxapi-probe as its users run it: a process with the dev-host stand-in preloaded, asking
// kxapi-emulate and the reference server on sockets under the test's own run directory.
#include "probe_tap.h"
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
    { "name": "wrong type", "cmd": 1006, "reply": { "type": 4 } },
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
        std::ofstream(m_dir.File("abc.bin")) << "ABC";
    }
    std::vector<std::string> With(std::vector<std::string> vecArgs)
    {
        for (std::string& s : vecArgs) {
            s = std::regex_replace(s, std::regex("%"), m_dir.Path());
        }
        vecArgs.insert(vecArgs.end(), {"--run-dir", m_strRun});
        return vecArgs;
    }
    TempDir m_dir;
    const std::string m_strRun = m_dir.File("run");
};

// A row per way a send ends: the exit status, what stdout holds and the one stderr line.
TEST_F(ProbeTest, SendEachDataFormAndEachWayItEnds)
{
    Emulate emu(m_dir.File("s.json"), m_strRun);
    ASSERT_TRUE(emu.Started());
    const std::string kAbcJson = R"("type":2,"type_name":"GET reply","cmd":1001,"result":0,"status":"OK",)";
    const struct {
        std::vector<std::string> vecArgs;
        int iStatus;
        std::string strOut; // a part of stdout
        std::string strErr; // all of stderr
    } aRows[] = {
        {{"send", "/tmp/A", "--cmd", "1001", "--data", "ABC", "--json"}, 0, kAbcJson, ""},
        {{"send", "/tmp/A", "--cmd", "1001", "--data", "text:ABC", "--json"}, 0, kAbcJson, ""},
        {{"send", "/tmp/A", "--cmd", "0x3e9", "--data", "hex:41 42 43", "--json"}, 0, kAbcJson, ""},
        {{"send", "/tmp/A", "--cmd", "1001", "--data", "base64:QUJD", "--json"}, 0, kAbcJson, ""},
        {{"send", "/tmp/A", "--cmd", "1001", "--data", "@%/abc.bin", "--json"}, 0, R"("data":{"Got":"ABC"})", ""},
        {{"send", "/tmp/A", "--cmd", "1001", "--data", R"(json:{ "Door": 2 })"},
         0,
         "type     GET reply (2)\ncommand  1001\nresult   0 (OK)\n"
         "data     30 bytes before trailing zeros (ullDataLen 30)\n{\n  \"Door\": 2,\n  \"State\": \"open\"\n}\n",
         ""},
        {{"send", "/tmp/A", "--cmd", "1004", "--json"}, 0, R"("data":{"hex":"000102ff"})", ""},
        {{"send", "/tmp/A", "--cmd", "1004"}, 0, "00000000  00 01 02 ff", ""},
        {{"send", "/tmp/A", "--cmd", "1007"}, 0, "(ullDataLen 11)\nplain words\n", ""},
        {{"send", "/tmp/A", "--cmd", "2001", "--set", "--data", "hello", "--json"},
         0,
         R"("type":3,"type_name":"SET reply","cmd":2001,"result":0,)",
         ""},
        {{"send", "/tmp/A", "--cmd", "1002"},
         1,
         "result   16 (",
         "kxapi-probe: /tmp/A answered result 16 (" + std::string(GetStatusString(16)) + ")\n"},
        {{"send", "/tmp/A", "--cmd", "1001", "--data", "json:{ \"Door\": 2 "},
         2,
         "",
         "kxapi-probe: --data json: malformed JSON at byte 12: unexpected end of data\n"},
        {{"send", "/tmp/A", "--cmd", "1003", "--timeout", "0.3"},
         3,
         "",
         "kxapi-probe: no reply from /tmp/A within 0.3 s\n"},
        {{"send", "/tmp/Z", "--cmd", "1001"},
         4,
         "",
         "kxapi-probe: no service at /tmp/Z (" + m_strRun + "/tmp_Z): No such file or directory\n"},
        {{"send", "/tmp/A", "--cmd", "1005"},
         5,
         "command  1006",
         "kxapi-probe: the reply does not match the request: GET reply cmd 1006 for GET cmd 1005\n"},
    };
    for (const auto& row : aRows) {
        kxprobe_test::Run stRun = Probe(With(row.vecArgs));
        std::string strRow = ::testing::PrintToString(row.vecArgs);
        EXPECT_EQ(stRun.iStatus, row.iStatus) << strRow << "\n" << stRun.strErr;
        EXPECT_NE(stRun.strOut.find(row.strOut), std::string::npos) << strRow << "\n" << stRun.strOut;
        EXPECT_EQ(stRun.strErr, row.strErr) << strRow;
    }
    // The probe's own socket never stays behind, whatever the end.
    EXPECT_EQ(Probe(With({"send", "/tmp/A", "--cmd", "1002"})).iStatus, 1);
    struct stat stInfo {};
    EXPECT_NE(stat((m_strRun + "/tmp_A").c_str(), &stInfo), -1);
    kxprobe_test::Run stHelp = Probe({"--help"});
    EXPECT_EQ(stHelp.iStatus, 0);
    EXPECT_EQ(stHelp.strOut.substr(0, 26), "usage: kxapi-probe COMMAND");
    kxprobe_test::Run stVersion = Probe({"--version"});
    EXPECT_EQ(stVersion.iStatus, 0);
    EXPECT_EQ(stVersion.strOut.substr(0, 12), "kxapi-probe ");
}

TEST_F(ProbeTest, ArgumentsAreCheckedBeforeAnythingIsSent)
{
    const struct {
        std::vector<std::string> vecArgs;
        std::string strFirstLine;
    } aRows[] = {
        {{}, "kxapi-probe: no command"},
        {{"sned"}, "kxapi-probe: unknown command sned"},
        {{"send", "/tmp/A"}, "kxapi-probe: send wants --cmd N"},
        {{"send", "/tmp/A", "--cmd", "-1"}, "kxapi-probe: --cmd wants a number from 0 to 4294967295"},
        {{"send", "/tmp/A", "--cmd", "1", "--url", "2"}, "kxapi-probe: send takes no flag --url"},
        {{"send", "/tmp/A", "--cmd", "1", "--timeout", "0"},
         "kxapi-probe: --timeout wants seconds, more than 0 and at most 86400"},
        {{"send", "/tmp/A", "--cmd", "1", "--data", "hex:4"},
         "kxapi-probe: --data hex: wants pairs of hex digits (blanks ignored)"},
        {{"send", "/tmp/A", "--cmd", "1", "--data", "@/nonexistent/x"},
         "kxapi-probe: --data @/nonexistent/x: cannot read: No such file or directory"},
        {{"send", "/tmp/A", "--cmd", "1", "--data", "base64:QU=J"}, "kxapi-probe: --data base64: not base64"},
        {{"send", "/tmp/A", "--cmd", "1", "--data", "@/dev/zero"}, ""},
        {{"hbtp", "auth.paas.opx", "--url", "1"}, "kxapi-probe: hbtp wants --url N and --type T"},
        {{"hbtp", "x", "--url", "1", "--type", "1", "--header", "=v"},
         "kxapi-probe: --header wants TAG=VALUE with TAG from 0 to 65535"},
        {{"tap", "/tmp/A", "--redact", "Password"}, "kxapi-probe: --redact goes with --record"},
        {{"tap"}, "kxapi-probe: no service"},
        {{"untap", "/tmp/A"}, "kxapi-probe: " + m_strRun + "/tmp_A is not tapped (no " + m_strRun + "/tmp_A~kxtap)"},
    };
    for (const auto& row : aRows) {
        std::vector<std::string> vecArgs = row.vecArgs;
        if (!vecArgs.empty() && vecArgs[0] != "sned") {
            vecArgs = With(vecArgs);
        }
        kxprobe_test::Run stRun = Probe(vecArgs);
        std::string strRow = ::testing::PrintToString(row.vecArgs);
        EXPECT_EQ(stRun.iStatus, row.vecArgs.size() > 0 && row.vecArgs[0] == "untap" ? 6 : 2) << strRow;
        if (!row.strFirstLine.empty()) {
            EXPECT_EQ(stRun.strErr.substr(0, stRun.strErr.find('\n')), row.strFirstLine) << strRow;
        } else {
            EXPECT_NE(stRun.strErr.find("bytes, the data block holds 21208"), std::string::npos) << stRun.strErr;
        }
    }
}

TEST_F(ProbeTest, HbtpPrintsCodeHeadersAndBody)
{
    Emulate emu(m_dir.File("s.json"), m_strRun);
    ASSERT_TRUE(emu.Started());
    kxprobe_test::Run stRun = Probe(With({"hbtp", "auth.paas.opx", "--url", "0", "--type", "1", "--header", "50115=12",
                                          "--show-header", "7", "--json"}));
    EXPECT_EQ(stRun.iStatus, 0) << stRun.strErr;
    EXPECT_EQ(stRun.strOut, R"({"service":"/mnt/srvfs/auth.paas.opx","code":200,"type":2,"url":0,)"
                            R"("headers":{"50115":"12","7":"seven"},"body":{"Users":3}})"
                            "\n");
    stRun = Probe(With({"hbtp", "/mnt/srvfs/auth.paas.opx", "--url", "5", "--type", "1"}));
    EXPECT_EQ(stRun.iStatus, 1);
    EXPECT_EQ(stRun.strOut.substr(0, 12), "code     401");
    EXPECT_EQ(stRun.strErr, "kxapi-probe: /mnt/srvfs/auth.paas.opx answered code 401\n");
    stRun = Probe(With({"hbtp", "nobody", "--url", "5", "--type", "1"}));
    EXPECT_EQ(stRun.iStatus, 4);
    EXPECT_EQ(stRun.strErr.substr(0, 38), "kxapi-probe: no service at /mnt/srvfs/");
}

// An HTTP GET to the reference server; the status line's code, or 0.
int HttpGet(int iPort, const std::string& strPath)
{
    int iFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in stAddr{};
    stAddr.sin_family = AF_INET;
    stAddr.sin_port = htons(static_cast<uint16_t>(iPort));
    stAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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
        std::ifstream in(strLog);
        std::getline(in, strLine);
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
    kxprobe_test::Run stTwice = Probe(With({"tap", "/tmp/A"}));
    EXPECT_EQ(stTwice.iStatus, 6);
    EXPECT_EQ(stTwice.strErr, "kxapi-probe: " + strPath + " is tapped already (" + strPath +
                                  "~kxtap exists; after a killed tap: kxapi-probe untap)\n");
    kxprobe_test::Run stNone = Probe(With({"tap", "/tmp/Z"}));
    EXPECT_EQ(stNone.iStatus, 4);
    EXPECT_EQ(stNone.strErr, "kxapi-probe: no service at " + m_strRun + "/tmp_Z\n");
    killed.Signal(SIGKILL);
    killed.Wait();
    EXPECT_EQ(Probe(With({"send", "/tmp/A", "--cmd", "1001"})).iStatus, 4);
    kxprobe_test::Run stRun = Probe(With({"untap", "/tmp/A"}));
    EXPECT_EQ(stRun.iStatus, 0) << stRun.strErr;
    EXPECT_EQ(HttpGet(iPort, "/api/v1/system/device"), 200);
    EXPECT_EQ(system(("ls " + m_strRun + " | grep -q kxtap").c_str()) == 0, false) << "a tap's name left behind";
}

} // namespace
