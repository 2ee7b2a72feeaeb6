// Scenarios the probe writes and reads: a tap's recording replayed by kxapi-emulate gives a client
// the replies the service gave, and diff finds exactly what a service answers otherwise.
#include "kxscenario.h"
#include "probe_record.h"
#include "probe_test_support.h"
#include "probe_wire.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

namespace {

using kxprobe_test::Emulate;
using kxprobe_test::Probe;
using kxprobe_test::Process;

// Every kind of reply a recording must carry: one that changes from call to call, stored state,
// JSON with an escaped "/", bytes after a NUL, a non-zero result, silence and a secret.
const char kCamera[] = R"({ "services": [ { "socket": "/tmp/A",
  "state": { "initial": { "2001": { "Text": "Gate 1" } } }, "rules": [
    { "name": "event", "cmd": 4001, "reply": { "data": { "json": { "EventId": "${counter}" } } } },
    { "name": "flaky", "cmd": 4002, "replies": [ { "result": 1, "times": 2 }, { "data": "ready" } ] },
    { "name": "osd set", "cmd": 2001, "type": "set", "data": { "json": {} }, "store": "merge" },
    { "name": "osd get", "cmd": 2001, "type": "get", "reply": { "stored": true } },
    { "name": "device", "cmd": 1001, "reply": { "data": { "json": { "Url": "rtsp://cam/1", "Ratio": 1.50 } } } },
    { "name": "gat", "cmd": 5001, "reply": { "data": [ { "hex": "00 00 00 01" }, "link down" ] } },
    { "name": "stream", "cmd": 3001, "data": { "json": { "Channel": 9 } }, "reply": { "result": 4 } },
    { "name": "login", "cmd": 6001, "type": "set", "data": { "json": { "Password": "s3cret" } },
      "reply": { "data": { "json": { "Session": 7 } } } },
    { "name": "login refused", "cmd": 6001, "type": "set", "reply": { "result": 102, "data": "" } },
    { "name": "mute", "cmd": 4004, "reply": { "silent": true } },
    { "name": "anything else", "reply": { "result": 3 } } ] } ] })";

struct Request {
    bool bSet;
    unsigned int uiCmd;
    std::string strData;
};

const Request kConversation[] = {
    {false, 4001, ""},
    {false, 4001, ""},
    {false, 4002, ""},
    {false, 4002, ""},
    {false, 4002, ""},
    {false, 2001, ""},
    {true, 2001, R"({ "Text": "Dock 4" })"},
    {false, 2001, ""},
    {false, 1001, ""},
    {false, 5001, ""},
    {false, 3001, R"({"Channel":9})"},
    {false, 4004, ""},
    {true, 6001, R"({"User":"admin","Password":"s3cret"})"},
    {true, 6001, R"({"User":"admin","Password":"guess"})"},
};

// What the client got for each request of the conversation, one line each, data byte for byte.
std::string Converse(const std::string& strRunDir)
{
    std::string strOut;
    for (const Request& req : kConversation) {
        kxprobe::Message stReply;
        std::string strWhy;
        int iStatus = kxprobe::Ask(strRunDir, "/tmp/A", req.bSet, req.uiCmd, req.strData, req.uiCmd == 4004 ? 0.3 : 5,
                                   &stReply, &strWhy);
        strOut += std::to_string(req.uiCmd) + ": " +
                  (iStatus == kxprobe::kExitOk
                       ? std::to_string(stReply.iResult) + " " + kxprobe::TypeName(stReply.uiType) + " " +
                             std::to_string(stReply.ullDataLen) + " " + kxprobe::JsonString(stReply.strData)
                       : "status " + std::to_string(iStatus)) +
                  "\n";
    }
    return strOut;
}

class ProbeScenarioTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!kxprobe_test::CanSpawn()) {
            GTEST_SKIP() << "a cross-built program cannot be spawned from inside the emulator";
        }
        std::ofstream(m_dir.File("camera.json")) << kCamera;
    }
    TempDir m_dir;
};

TEST_F(ProbeScenarioTest, ARecordingReplaysTheRepliesTheClientGot)
{
    std::string strRecord = m_dir.File("recorded.json");
    std::string strLive;
    {
        Emulate live(m_dir.File("camera.json"), m_dir.File("r1"));
        ASSERT_TRUE(live.Started());
        Process tap({KXAPI_PROBE_EXE, "tap", "/tmp/A", "--run-dir", m_dir.File("r1"), "--record", strRecord, "--redact",
                     "Password"},
                    true);
        ASSERT_EQ(tap.Line().rfind("kxapi-probe: tapping /tmp/A (", 0), 0u);
        strLive = Converse(m_dir.File("r1"));
        tap.Signal(SIGTERM);
        ASSERT_EQ(tap.Wait(), 0);
    }
    std::ifstream in(strRecord);
    std::string strText{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(strText.find("s3cret"), std::string::npos) << strText;
    EXPECT_EQ(strText.find("guess"), std::string::npos) << strText;
    // The recording loads: the replay starts on it.
    Emulate replay(strRecord, m_dir.File("r2"));
    ASSERT_TRUE(replay.Started()) << strText;
    EXPECT_EQ(Converse(m_dir.File("r2")), strLive);
    EXPECT_NE(strLive.find(R"(5001: 0 GET reply 13 "\u0000\u0000\u0000\u0001link down")"), std::string::npos)
        << strLive;
    EXPECT_NE(strLive.find("6001: 102 SET reply"), std::string::npos) << strLive;
}

TEST_F(ProbeScenarioTest, DiffReportsTheOneReplyThatDiffers)
{
    // A live service of its own per run: replies in turn and counters move on with every request.
    const std::string kUrl = "GET 1001 (rule \"device\"): data field Url: ";
    const std::string kNone = "12 requests, 0 differ\n", kOne = "12 requests, 1 differ\n";
    const struct {
        std::string strFrom, strTo; // the scenario diff reads: kCamera with this replaced
        std::vector<std::string> vecArgs;
        int iStatus;
        std::string strOut;
    } aRows[] = {
        {"cam/1", "cam/1", {}, 0, kNone},
        {"cam/1", "cam/2", {}, 1, kUrl + "scenario \"rtsp://cam/2\", service \"rtsp://cam/1\"\n" + kOne},
        {"cam/1", "cam/2", {"--ignore", "Url"}, 0, kNone},
        {"cam/1",
         "cam/2",
         {"--json"},
         1,
         R"({"request":"GET","cmd":1001,"rule":"device","what":"data field","field":"Url",)"
         R"("scenario":"rtsp://cam/2","service":"rtsp://cam/1"})"
         "\n{\"requests\":12,\"differ\":1}\n"},
        {R"("silent": true)", R"("result": 0)", {}, 1, "GET 4004 (rule \"mute\"): no reply\n" + kOne},
        {R"("result": 4)",
         R"("result": 5)",
         {},
         1,
         "GET 3001 (rule \"stream\"): result: scenario 5, service 4\n" + kOne},
    };
    for (size_t i = 0; i < std::size(aRows); ++i) {
        std::string strScenario = kCamera;
        strScenario.replace(strScenario.find(aRows[i].strFrom), aRows[i].strFrom.size(), aRows[i].strTo);
        std::ofstream(m_dir.File("diff.json"), std::ios::trunc) << strScenario;
        std::string strRun = m_dir.File("live" + std::to_string(i));
        Emulate live(m_dir.File("camera.json"), strRun);
        ASSERT_TRUE(live.Started());
        std::vector<std::string> vecArgs = aRows[i].vecArgs;
        vecArgs.insert(vecArgs.begin(),
                       {"diff", "/tmp/A", m_dir.File("diff.json"), "--run-dir", strRun, "--timeout", "0.3"});
        kxprobe_test::Run stRun = Probe(vecArgs);
        EXPECT_EQ(stRun.iStatus, aRows[i].iStatus) << "row " << i << ": " << stRun.strErr;
        EXPECT_EQ(stRun.strOut, aRows[i].strOut) << "row " << i;
        EXPECT_NE(stRun.strErr.find("rule \"anything else\" names no command: not asked"), std::string::npos);
    }
}

// A datagram as a tap passes it.
kxprobe::Seen Datagram(bool bRequest, const std::string& strClient, unsigned int uiType, unsigned int uiCmd,
                       const std::string& strData, int iResult = 0, unsigned long long ullDataLen = 0,
                       uintptr_t uiCookie = 0)
{
    auto pstMsg = std::make_unique<MSG_DATA>(); // zeroed, padding too
    pstMsg->enMsgType = static_cast<VW_MSG_TYPE>(uiType);
    pstMsg->enCmdType = static_cast<VW_CMD_TYPE>(uiCmd);
    pstMsg->enResult = static_cast<VW_RESULT_TYPE>(iResult);
    pstMsg->ullDataLen = ullDataLen != 0 ? ullDataLen : strData.size();
    pstMsg->pUserData = reinterpret_cast<void*>(uiCookie);
    memcpy(pstMsg->aucData, strData.data(), strData.size());
    return {bRequest, strClient, std::string(reinterpret_cast<const char*>(pstMsg.get()), sizeof(MSG_DATA)), 0, 0};
}

// How each kind of reply is written, and which rule takes which request.
TEST(ProbeScenarioRecorder, WritesRepliesInTurnRedactedAndInTheirForms)
{
    kxprobe::Recorder rec("/tmp/A", {"Auth.Password"});
    const std::string kLogin = R"({"User":"admin","Auth":{"Password":"s3cret","Kind":1}})";
    // The login comes first and is written last: a match by fields must not take exact requests.
    const kxprobe::Seen aSeen[] = {
        Datagram(true, "c3", 1, 9, kLogin),
        Datagram(false, "c3", 3, 9, kLogin),
        Datagram(true, "c3", 1, 9, R"({"User":"admin","Auth":{"Password":"guess","Kind":1}})"),
        Datagram(false, "c3", 3, 9, "", 102),
        Datagram(true, "c1", 0, 7, ""),
        Datagram(false, "c1", 2, 7, "A"),
        Datagram(true, "c1", 0, 7, ""),
        Datagram(false, "c1", 2, 7, "A"),
        Datagram(true, "c1", 0, 7, ""),
        Datagram(false, "c1", 2, 7, "B"),
        Datagram(true, "c1", 0, 7, "x"), // never answered; the reply to the next one is not its
        Datagram(true, "c1", 0, 8, ""),
        Datagram(false, "c1", 2, 8, R"({ "a": "b\/c" })"),
        Datagram(true, "c2", 0, 8, "j"),
        Datagram(false, "c2", 2, 8, R"({"a":1})", 0, 21208),
        Datagram(true, "c2", 0, 8, "$"),
        Datagram(false, "c2", 9, 9, "${x}", 4, 4, 5),
    };
    for (const kxprobe::Seen& stSeen : aSeen) {
        rec.Add(stSeen, kxprobe::Decode(stSeen.strBytes));
    }
    std::string strText = rec.ScenarioText();
    std::string strError;
    EXPECT_TRUE(kxdev::LoadScenarioText(strText, "recorded", ".", &strError)) << strError;
    // One rule a line; the file itself is indented.
    EXPECT_EQ(strText.rfind("{\n  \"$schema\": \"scenario.schema.json\",\n  \"name\": \"recorded from /tmp/A\",\n", 0),
              0u);
    json_object* pRoot = json_tokener_parse(strText.c_str());
    json_object* pRules = json_object_object_get(
        json_object_array_get_idx(json_object_object_get(pRoot, "services"), 0), "rules");
    std::string strRules;
    for (size_t i = 0; i < json_object_array_length(pRules); ++i) {
        strRules += json_object_to_json_string_ext(json_object_array_get_idx(pRules, i),
                                                   JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
        strRules += "\n";
    }
    json_object_put(pRoot);
    EXPECT_EQ(
        strRules,
        R"({"name":"GET 7 #1","cmd":7,"type":"get","data":{"equals":""},"replies":[{"result":0,"data":"A","times":2},{"result":0,"data":"B"}]}
{"name":"GET 7 #2","cmd":7,"type":"get","data":{"equals":"x"},"reply":{"silent":true}}
{"name":"GET 8 #1","cmd":8,"type":"get","data":{"equals":""},"reply":{"result":0,"data":{"json":{"a":"b/c"}}}}
{"name":"GET 8 #2","cmd":8,"type":"get","data":{"equals":"j"},"reply":{"result":0,"data":"{\"a\":1}","data_len":21208}}
{"name":"GET 8 #3","cmd":8,"type":"get","data":{"equals":"$"},"reply":{"result":4,"type":9,"cmd":9,"cookie":5,"data":{"hex":"24 7b 78 7d"}}}
{"name":"SET 9 #1","cmd":9,"type":"set","data":{"json":{"User":"admin","Auth.Kind":1}},"replies":[{"result":0,"data":{"json":{"User":"admin","Auth":{"Password":"","Kind":1}}}},{"result":102,"data":""}]}
)");
}

} // namespace
