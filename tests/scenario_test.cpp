// Scenario files: what the loader refuses (one line naming file, place and fault), and what the
// running services put on the wire for what a host sends them, through real sockets.
#include "hbtp_service.h"
#include "kxdevhost.h"
#include "kxhost.h"
#include "kxscenario.h"
#include "log_capture.h"
#include "temp_dir.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <fstream>
#include <regex>

namespace {

using namespace std::string_literals;

std::string BlockText(const MSG_DATA& stMsg)
{
    return kxdev::BlockText(stMsg.aucData, sizeof(stMsg.aucData));
}

// A datagram's type (0 GET request, 3 SET reply), command, cookie and data length, then its first
// uiBytes data bytes: one string to compare whole.
std::string Fields(const MSG_DATA& stMsg, size_t uiBytes)
{
    return std::to_string(stMsg.enMsgType) + " " + std::to_string(stMsg.enCmdType) + " " + Ptr(stMsg.pUserData) + " " +
           std::to_string(stMsg.ullDataLen) + " " + std::string(reinterpret_cast<const char*>(stMsg.aucData), uiBytes);
}

// A journal line without its time, which no test can pin, and with "M" for the bytes of one
// message (21408 on the camera, more where pointers are wider).
std::string Untimed(const std::string& strLine)
{
    std::string strOut = std::regex_replace(strLine, std::regex(", [0-9.]+ ms"), "");
    return std::regex_replace(strOut, std::regex(" " + std::to_string(sizeof(MSG_DATA)) + " bytes"), " M bytes");
}

} // namespace

TEST(ScenarioLoadTest, EachBadFileGetsOneLineNamingThePlace)
{
    TempDir dir;
    std::ofstream(dir.File("block.bin")) << "abc";
    // A scenario of one service with this rule, and the place the loader names for the rule.
    auto Rule = [](const std::string& strRule) {
        return R"({ "services": [ { "socket": "/tmp/A", "rules": [ )" + strRule + " ] } ] }";
    };
    const std::string kRule = "t.json: services[0].rules[0]";
    const std::pair<std::string, std::string> aRows[] = {
        {"{\n  \"services\": [ }", "t.json:2:17: malformed JSON: unexpected character"},
        {"{ \"services\": [] } x", "t.json:1:20: malformed JSON: unexpected character"},
        {"{ \"services\": [", "t.json:1:16: malformed JSON: unexpected end of data"},
        {R"({ "servces": [] })", "t.json: (top): unknown key \"servces\""},
        {R"({ "a\nb": [] })", "t.json: (top): unknown key \"a\\x0Ab\""},
        {R"({ "services": [] })", "t.json: services: wants a list of at least one service"},
        {Rule(R"({ "cmd": 1, "reply": { "reslt": 0 } })"), kRule + ".reply: unknown key \"reslt\""},
        {Rule(R"({ "cmd": "1" })"), kRule + ".cmd: wants a whole number"},
        {Rule(R"({ "type": "put" })"), kRule + ".type: wants \"get\" or \"set\", not \"put\""},
        {Rule(R"({ "reply": { "data": { "file": "none.bin" } } })"),
         kRule + ".reply.data.file: cannot read \"" + dir.File("none.bin") + "\": No such file or directory"},
        {Rule(R"({ "reply": { "data": [ { "zeros": 21200 }, { "file": "block.bin", "size": 9 } ] } })"),
         kRule + ".reply.data: 21209 bytes, more than the 21208 it can hold"},
        {Rule(R"({ "reply": { "data": { "text": "${count}" } } })"),
         kRule + ".reply.data.text: unknown substitution \"${count}\" (counter, time, "
                 "request.FIELD, request.FIELD|DEFAULT)"},
        {Rule(R"({ "reply": { "data": { "hex": "0a1" } } })"), kRule + ".reply.data.hex: an odd number of hex digits"},
        {Rule(R"({ "reply": { "data": { "hex": "0g" } } })"), kRule + ".reply.data.hex: 'g' is no hex digit"},
        {"[]", "t.json: (top): wants an object"},
        {R"({ "services": [ 1 ] })", "t.json: services[0]: wants an object"},
        {R"({ "services": [ { "socket": "/tmp/A", "state": { "initial": { "x": 1 } }, "rules": [] } ] })",
         "t.json: services[0].state.initial: \"x\" is no command number"},
        {Rule(R"({ "reply": { "times": 2 } })"), kRule + ".reply.times: belongs to a reply of a \"replies\" list"},
        {R"({ "services": [ { "socket": "/tmp/ABCD", "rules": [] } ] })",
         "t.json: services[0].socket: \"/tmp/ABCD\" is longer than 7 characters"},
        {R"({ "services": [ { "socket": "/tmp/A", "rules": [] }, { "socket": "/tmp/A", "rules": [] } ] })",
         "t.json: services[1]: a second service on \"/tmp/A\""},
        {R"({ "services": [ { "hbtp": "a/b", "rules": [] } ] })",
         "t.json: services[0].hbtp: \"a/b\" is no service file name (1 to 64 characters, no /)"},
    };
    for (const auto& [strText, strError] : aRows) {
        std::string strGot;
        EXPECT_EQ(kxdev::LoadScenarioText(strText, "t.json", dir.Path(), &strGot), nullptr) << strText;
        EXPECT_EQ(strGot, strError);
    }
    std::string strGot;
    EXPECT_EQ(kxdev::LoadScenarioFile(dir.File("missing.json"), &strGot), nullptr);
    EXPECT_EQ(strGot, dir.File("missing.json") + ": cannot read: No such file or directory");
}

class ScenarioTest : public LoggedTest {
protected:
    ScenarioTest()
    {
        KxUnixSetRunDir(m_dir.Path().c_str());
        KxSrvfsSetRoot(m_dir.Path().c_str());
        m_pSock = KxUnixEndpointCreate("/tmp/t");
    }
    ~ScenarioTest() override
    {
        m_pEmulator.reset();
        KxUnixEndpointDestroy(m_pSock);
    }

    void Run(const std::string& strJson, kxdev::EmulatorOptions stOptions = {})
    {
        std::string strError;
        auto pScenario = kxdev::LoadScenarioText(strJson, "s.json", m_dir.Path(), &strError);
        ASSERT_NE(pScenario, nullptr) << strError;
        m_pEmulator = std::make_unique<kxdev::Emulator>(stOptions);
        ASSERT_TRUE(m_pEmulator->Start(pScenario, &strError)) << strError;
    }

    // Sends one request to "/tmp/A" and collects uiWant datagrams (or what came within 2 s).
    std::vector<MSG_DATA> Ask(VW_MSG_TYPE enType, int iCmd, const std::string& strData, size_t uiWant = 1,
                              uintptr_t uiCookie = 0x5A)
    {
        std::unique_ptr<MSG_DATA> pMsg(new MSG_DATA());
        pMsg->enMsgType = enType;
        pMsg->enCmdType = static_cast<VW_CMD_TYPE>(iCmd);
        pMsg->pUserData = reinterpret_cast<void*>(uiCookie);
        memcpy(pMsg->aucData, strData.data(), strData.size());
        snprintf(m_pSock->szDstName, sizeof(m_pSock->szDstName), "/tmp/A");
        snprintf(m_pSock->szSrcName, sizeof(m_pSock->szSrcName), "/tmp/t");
        EXPECT_EQ(KxUnixSendMsg(m_pSock, pMsg.get()), 0);
        std::vector<MSG_DATA> vecGot;
        pollfd stPoll{m_pSock->iFd, POLLIN, 0};
        while (vecGot.size() < uiWant && poll(&stPoll, 1, 2000) == 1 && KxUnixRecvMsg(m_pSock, pMsg.get()) == 0) {
            vecGot.push_back(*pMsg);
        }
        return vecGot;
    }
    // Result and data text of the one reply to a request.
    std::string Answer(VW_MSG_TYPE enType, int iCmd, const std::string& strData = "")
    {
        std::vector<MSG_DATA> vecGot = Ask(enType, iCmd, strData);
        return vecGot.size() != 1 ? "no reply" : std::to_string(vecGot[0].enResult) + " " + BlockText(vecGot[0]);
    }

    TempDir m_dir;
    tagUNIX_SOCKET_S* m_pSock = nullptr;
    std::unique_ptr<kxdev::Emulator> m_pEmulator;
};

// Rules are tried in order on command, type and data; what none takes gets the default answer and a
// journal line that says which rule came nearest and why it did not hold.
TEST_F(ScenarioTest, FirstMatchingRuleAnswersAndTheJournalNamesTheNearest)
{
    Run(R"({ "default": { "result": 7 }, "services": [ { "socket": "/tmp/A", "rules": [
        { "name": "nine", "cmd": 3001, "type": "get", "data": { "json": { "Stream.Channel": 9 } }, "reply": { "result": 4 } },
        { "name": "stream", "cmd": [3001, 3002], "type": "get", "reply": { "data": { "json": {
            "Channel": "${request.Stream.Channel}", "Profile": "${request.Profile|main}", "Bitrate": "${request.Rate|4096}",
            "Url": "rtsp://h/ch${request.Stream.Channel}/${request.Profile|main}", "Id": "${counter}", "Again": "n${counter}" } } } },
        { "name": "hello", "cmd": 10, "data": { "contains": "hel", "equals": "hello" }, "reply": { "data": "hi ${counter}" } } ] } ] })");
    EXPECT_EQ(Answer(VW_MSG_TYPE_GET_REQ, 3001, R"({ "Stream": { "Channel": 9 } })"),
              R"(4 { "Stream": { "Channel": 9 } })");
    EXPECT_EQ(
        Answer(VW_MSG_TYPE_GET_REQ, 3002, R"({ "Stream": { "Channel": 2 }, "Profile": "sub" })"),
        R"(0 { "Channel": 2, "Profile": "sub", "Bitrate": 4096, "Url": "rtsp:\/\/h\/ch2\/sub", "Id": 1, "Again": "n1" })");
    EXPECT_EQ(Answer(VW_MSG_TYPE_SET_REQ, 10, "hello"), "0 hi 2");
    EXPECT_EQ(Answer(VW_MSG_TYPE_SET_REQ, 10, "help"), "7 ");
    EXPECT_EQ(Answer(VW_MSG_TYPE_SET_REQ, 3001, R"({ "Stream": { "Channel": 9 } })"), "7 ");
    EXPECT_EQ(Answer(VW_MSG_TYPE_GET_REQ, 5, "x"), "7 ");
    std::vector<std::string> vecLines;
    for (const kxdev::Exchange& ex : m_pEmulator->Journal()) {
        vecLines.push_back(Untimed(ex.TextLine()));
    }
    EXPECT_EQ(vecLines,
              (std::vector<std::string>{
                  "/tmp/A GET cmd 3001 -> result 4, M bytes (rule \"nine\")",
                  "/tmp/A GET cmd 3002 -> result 0, M bytes (rule \"stream\")",
                  "/tmp/A SET cmd 10 -> result 0, M bytes (rule \"hello\")",
                  "/tmp/A SET cmd 10 -> result 7, M bytes (default; nearest \"hello\": data is not \"hello\")",
                  "/tmp/A SET cmd 3001 -> result 7, M bytes (default; nearest \"nine\": SET, rule wants GET)",
                  "/tmp/A GET cmd 5 -> result 7, M bytes (default; nearest \"stream\": cmd 5, rule wants 3001 or "
                  "3002)",
              }));
    EXPECT_EQ(m_pEmulator->Count("/tmp/A"), 6u);
    EXPECT_EQ(m_pEmulator->Count("/tmp/A", 10), 2u);
    EXPECT_EQ(m_pEmulator->Last("/tmp/A", 10)->strRequestData, "help");
    EXPECT_EQ(
        std::regex_replace(m_pEmulator->Last("/tmp/A", 3001)->JsonLine(), std::regex(R"("ms":[0-9.e-]+)"), "ms"),
        R"({"service":"\/tmp\/A","type":"SET","cmd":3001,"result":7,"bytes":)" + std::to_string(sizeof(MSG_DATA)) +
            R"(,ms,"rule":null,"nearest":"nine","differs":"SET, rule wants GET","request":"{ \"Stream\": { \"Channel\": 9 } }"})");
}

// The reply's own fields: type, command, cookie and length as the rule says, replies taken in turn,
// a stale one first, a second copy; and silence that ends the requester's wait on request.
TEST_F(ScenarioTest, RepliesGoOutAsTheRuleShapesThem)
{
    kxdev::EmulatorOptions stOptions{"", 1, nullptr};
    Run(R"({ "services": [ { "socket": "/tmp/A", "rules": [
        { "cmd": 1, "reply": { "type": "set_rsp", "cmd": 9, "cookie": 77, "data_len": 3, "data": { "hex": "09 Af" } } },
        { "cmd": 2, "replies": [ { "result": 1, "times": 2 }, { "result": 0, "data": { "base64": "b2s=" } } ] },
        { "cmd": 3, "reply": { "stale_first": "cookie", "twice": true } },
        { "cmd": 4, "reply": { "stale_first": "cmd", "type": 0, "data": [ { "text": "ab", "size": 4 }, { "text": "c" } ] } },
        { "cmd": 5, "reply": { "silent": true } } ] } ] })",
        stOptions);
    std::vector<MSG_DATA> vecGot = Ask(VW_MSG_TYPE_GET_REQ, 1, "request");
    ASSERT_EQ(vecGot.size(), 1u);
    EXPECT_EQ(Fields(vecGot[0], 8), "3 9 0x4d 3 \x09\xAF\0\0\0\0\0\0"s);
    std::string strTurns;
    for (int i = 0; i < 4; ++i) {
        strTurns += Answer(VW_MSG_TYPE_SET_REQ, 2) + ";";
    }
    EXPECT_EQ(strTurns, "1 ;1 ;0 ok;0 ok;");
    vecGot = Ask(VW_MSG_TYPE_SET_REQ, 3, "same", 3);
    ASSERT_EQ(vecGot.size(), 3u);
    EXPECT_EQ(Fields(vecGot[0], 5) + ";" + Fields(vecGot[1], 5) + ";" + Fields(vecGot[2], 5),
              "3 3 0x5b 0 same\0;3 3 0x5a 0 same\0;3 3 0x5a 0 same\0"s);
    vecGot = Ask(VW_MSG_TYPE_GET_REQ, 4, "", 2);
    ASSERT_EQ(vecGot.size(), 2u);
    EXPECT_EQ(Fields(vecGot[0], 6) + ";" + Fields(vecGot[1], 6), "0 5 0x5a 5 ab\0\0c\0;0 4 0x5a 5 ab\0\0c\0"s);
    // The library's own wait ends as a time-out would: result -1, no reply taken.
    std::unique_ptr<MSG_DATA> pRsp(new MSG_DATA());
    EXPECT_EQ(
        RestSendSynUnixMsg("/tmp/A", VW_MSG_TYPE_GET_REQ, static_cast<VW_CMD_TYPE>(5), nullptr, m_pSock, pRsp.get(), 0),
        -1);
    EXPECT_EQ(pRsp->enResult, VW_RESULT_FAILURE);
    EXPECT_NE(m_log.Lines().find("E common recvMsg Failed"), std::string::npos) << m_log.Lines();
    EXPECT_FALSE(m_pEmulator->Last("/tmp/A", 5)->bAnswered);
}

// SET rules store what they carry, in a state file replaced whole; GETs answer it; a reload and a
// restart keep it, and a merge that is not of two objects is refused.
TEST_F(ScenarioTest, StateOutlivesReloadsAndRestarts)
{
    TempDir state;
    const std::string kScenario = R"({ "services": [ { "socket": "/tmp/A",
        "state": { "file": "a.json", "initial": { "7": { "Text": "Gate" }, "8": "plain" } }, "rules": [
        { "cmd": 7, "type": "set", "store": "merge" },
        { "cmd": 6, "type": "set", "store": "replace", "store_cmd": 8 },
        { "cmd": 5, "type": "set", "store": "replace" },
        { "name": "get", "type": "get", "reply": { "stored": true, "data": "none" } } ] } ] })";
    kxdev::EmulatorOptions stOptions{state.Path(), 0, nullptr};
    Run(kScenario, stOptions);
    EXPECT_EQ(Answer(VW_MSG_TYPE_GET_REQ, 8), "0 plain");
    EXPECT_EQ(Answer(VW_MSG_TYPE_GET_REQ, 9), "0 none");
    EXPECT_EQ(Answer(VW_MSG_TYPE_SET_REQ, 7, R"({ "Show": true })"), "0 { \"Show\": true }");
    EXPECT_EQ(Answer(VW_MSG_TYPE_SET_REQ, 7, "[ 1 ]"), "4 [ 1 ]");
    EXPECT_EQ(Answer(VW_MSG_TYPE_SET_REQ, 6, "text"), "0 text");
    const std::string kStored = R"({ "7": { "Text": "Gate", "Show": true }, "8": "text" })";
    std::ifstream in(state.File("a.json"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), kStored);
    std::string strError;
    ASSERT_TRUE(m_pEmulator->Reload(kxdev::LoadScenarioText(kScenario, "s.json", "", &strError), &strError));
    EXPECT_EQ(Answer(VW_MSG_TYPE_GET_REQ, 7), R"(0 { "Text": "Gate", "Show": true })");
    Run(kScenario, stOptions); // a new emulator reads the file
    EXPECT_EQ(Answer(VW_MSG_TYPE_GET_REQ, 8), "0 text");
    std::ofstream(state.File("a.json")) << "[";
    m_pEmulator = std::make_unique<kxdev::Emulator>(stOptions);
    EXPECT_FALSE(m_pEmulator->Start(kxdev::LoadScenarioText(kScenario, "s.json", "", &strError), &strError));
    EXPECT_EQ(strError, state.File("a.json") + ": the state of /tmp/A is not a JSON object");
    EXPECT_EQ(access(m_dir.File("tmp_A").c_str(), F_OK), -1); // nothing started
    EXPECT_FALSE(m_pEmulator->Start(nullptr, &strError));
    // What could not be written was not stored.
    unlink(state.File("a.json").c_str());
    Run(kScenario, stOptions);
    rmdir(state.Path().c_str());
    EXPECT_EQ(Answer(VW_MSG_TYPE_SET_REQ, 5, "new"), "1 new");
    EXPECT_EQ(Answer(VW_MSG_TYPE_GET_REQ, 5), "0 none");
}

// An HBTP service answers by URL with code, extension headers and body, and sends the waiting
// client's tag back; a URL no rule has gets the default code.
TEST_F(ScenarioTest, HbtpServicesAnswerByUrl)
{
    Run(R"({ "services": [ { "hbtp": "x.svc", "rules": [
        { "url": [3, 4], "type": 1, "reply": { "code": 201, "type": 5, "headers": { "7": "tv" }, "body": { "json": [ "${request.a}" ] } } } ] } ] })");
    int iFd = open("/mnt/srvfs/x.svc", O_RDWR);
    ASSERT_GE(iFd, 0);
    const int iTag = 41;
    std::string strSeen;
    for (unsigned short usUrl : {4, 9}) {
        hbtp_message* pstReq = MakeHbtp(0, usUrl, 1, R"({ "a": 1 })", &iTag);
        ASSERT_EQ(hbtp_message_sendfd(pstReq, iFd), 0);
        hbtp_message_put(pstReq);
        hbtp_message* pstRsp = hbtp_message_new(0);
        ASSERT_EQ(hbtp_message_recvfd(pstRsp, iFd), 0);
        unsigned char ucType = 0;
        unsigned short usCode = 0;
        KxHbtpGetHeader(pstRsp, &ucType, nullptr, &usCode);
        void* pValue = nullptr;
        unsigned short usLen = 0;
        int iBack = hbtp_header_get(pstRsp, KXAPI_HBTP_EXT_CLIENT_FD, &pValue, &usLen) == 0 ? *static_cast<int*>(pValue)
                                                                                            : -1;
        std::string strHeader = hbtp_header_get(pstRsp, 7, &pValue, &usLen) == 0
                                    ? std::string(static_cast<char*>(pValue), usLen)
                                    : "-";
        strSeen += std::to_string(ucType & 0x7F) + " " + std::to_string(usCode) + " " + std::to_string(iBack) + " " +
                   strHeader + " " + HbtpBody(pstRsp) + ";";
        hbtp_message_put(pstRsp);
    }
    close(iFd);
    EXPECT_EQ(strSeen, "5 201 41 tv [ 1 ];2 404 41 - ;");
    EXPECT_EQ(Untimed(m_pEmulator->Last("x.svc", 9)->TextLine()),
              "x.svc type 1 url 9 -> code 404, 0 bytes (default; nearest \"rule 1\": url 9, rule wants 3 or 4)");
}
