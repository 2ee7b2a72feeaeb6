// The door host against its scenario, each case with a run directory and a controller of its own:
// the answers, what reached the controller, and a silent controller that costs 50 ms, not the
// library's 30-second wait.
#include "door_host.h"
#include "kxdevhost.h"
#include "kxscenario.h"
#include "log_capture.h"

#include <chrono>
#include <thread>
#include <tuple>

namespace {

struct Row {
    std::string strName;
    std::string strTarget;
    int iStatus;
    std::string strBody;
    std::string strSent; // the request data the controller got; empty: nothing reached it
    std::string strRule; // the rule that took it
    bool bAnswered;
};

// Case names, not bytes, in test names and failures.
void PrintTo(const Row& row, std::ostream* pOut)
{
    *pOut << row.strName;
}

// The library's status body; json-c escapes every '/' of the URL.
std::string Status(std::string strUrl, int iCode, const std::string& strText)
{
    for (size_t i = strUrl.find('/'); i != std::string::npos; i = strUrl.find('/', i + 2)) {
        strUrl.insert(i, "\\");
    }
    return R"({ "ResponseStatus": { "RequestURL": ")" + strUrl + R"(", "StatusCode": )" + std::to_string(iCode) +
           R"(, "StatusString": ")" + strText + R"(" } })";
}

const Row kRows[] = {
    {"OpenQueryIgnored", "/api/v1/doors/2/state?verbose=1", 200, R"({ "Door": 2, "State": "open" })",
     R"({ "Door": 2 })", "door 2 open", true},
    {"ControllerBusy", "/api/v1/doors/3/state", 500, Status("/api/v1/doors/3/state", 16, "The device is busy"),
     R"({ "Door": 3 })", "door 3 controller busy", true},
    {"SilentController", "/api/v1/doors/4/state", 503, Status("/api/v1/doors/4/state", 1, "Common error"),
     R"({ "Door": 4 })", "door 4 never answers", false},
    {"NoSuchDoor", "/api/v1/doors/9/state", 400, Status("/api/v1/doors/9/state", 4, "Incorrect parameter"), "", "",
     false},
    {"QueryTooLong", "/api/v1/doors/1/state?" + std::string(1200, 'q'), 400,
     Status("/api/v1/doors/1/state", 4, "Incorrect parameter"), "", "", false},
    {"UnknownPath", "/api/v1/doors/1", 404, Status("/api/v1/doors/1", 3, "Unsupported request"), "", "", false},
};

class DoorHostTest : public LoggedTest, public ::testing::WithParamInterface<Row> {
protected:
    void SetUp() override
    {
        ASSERT_EQ(KxUnixSetRunDir(m_dir.Path().c_str()), 0);
        std::string strError;
        auto pScenario = kxdev::LoadScenarioFile(KXAPI_DOOR_SCENARIO, &strError);
        ASSERT_TRUE(pScenario && m_emulator.Start(pScenario, &strError)) << strError;
    }
    // The controller journals an exchange once it has answered, which may be a moment after the
    // host read the answer.
    unsigned int SettledCount()
    {
        auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (m_emulator.Count(door::kDoorService) == 0 && std::chrono::steady_clock::now() < tEnd) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return m_emulator.Count(door::kDoorService);
    }
    TempDir m_dir;
    kxdev::Emulator m_emulator{kxdev::EmulatorOptions{"", 50, nullptr}};
};

TEST_P(DoorHostTest, AnswersAsTheControllerSays)
{
    const Row& row = GetParam();
    auto tStart = std::chrono::steady_clock::now();
    door::Answer stAnswer = door::Serve("GET", row.strTarget);
    EXPECT_LT(std::chrono::steady_clock::now() - tStart, std::chrono::seconds(5));
    EXPECT_EQ(stAnswer.iStatus, row.iStatus);
    EXPECT_EQ(stAnswer.strBody, row.strBody);
    if (row.strSent.empty()) {
        EXPECT_EQ(m_emulator.Count(door::kDoorService), 0u);
        return;
    }
    ASSERT_EQ(SettledCount(), 1u);
    auto ex = m_emulator.Last(door::kDoorService, door::kCmdDoorState);
    ASSERT_TRUE(ex.has_value());
    EXPECT_EQ(std::tie(ex->strRequestData, ex->strRule, ex->bAnswered),
              std::tie(row.strSent, row.strRule, row.bAnswered));
    // The library ends its wait as at a time-out, on the datagram the controller sent instead of silence.
    EXPECT_EQ(m_log.Lines().find("recvMsg Failed") != std::string::npos, !row.bAnswered);
}

INSTANTIATE_TEST_SUITE_P(Door, DoorHostTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return info.param.strName; });

} // namespace
