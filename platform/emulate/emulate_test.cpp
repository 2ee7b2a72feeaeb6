// kxapi-emulate as its users run it: the real program, its sockets under the test's own run
// directory, asked through the library like any host, stopped and reloaded by real signals.
#include "kxdevhost.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <regex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void WriteScenario(const std::string& strFile, const std::string& strAnswer)
{
    std::ofstream(strFile) << R"({ "services": [ { "name": "config", "socket": "/tmp/A", "rules": [
      { "name": "answer", "cmd": 1001, "type": "get", "reply": { "data": { "json": { "Answer": )"
                           << strAnswer << " } } } } ] } ] }";
}

class EmulateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
#if KXAPI_EMULATE_EXE_CROSS
        GTEST_SKIP() << "a cross-built program cannot be spawned from inside the emulator";
#endif
        mkdir(m_strRunDir.c_str(), 0700);
        ASSERT_EQ(KxUnixSetRunDir(m_strRunDir.c_str()), 0);
        WriteScenario(m_strScenario, "1");
    }
    ~EmulateTest() override
    {
        if (m_pOut != nullptr) {
            kill(m_iPid, SIGKILL);
            pclose(m_pOut);
        }
    }
    std::string At(const std::string& strText)
    {
        return std::regex_replace(strText, std::regex("@"), m_dir.Path());
    }
    // The program with its standard and error output in one stream, in the order it writes them;
    // the shell tells its pid, which the exec hands on. "@" in the arguments is the test's directory.
    void Spawn(const std::string& strArgs)
    {
        m_pOut = popen(At("echo $$ && exec " KXAPI_EMULATE_EXE " " + strArgs + " 2>&1").c_str(), "r");
        ASSERT_TRUE(m_pOut != nullptr && fscanf(m_pOut, "%d\n", &m_iPid) == 1);
    }
    std::string Line()
    {
        char acLine[4096];
        return fgets(acLine, sizeof(acLine), m_pOut) ? std::string(acLine, strcspn(acLine, "\n")) : "(no more)";
    }
    int ExitStatus()
    {
        int iStatus = pclose(m_pOut);
        m_pOut = nullptr;
        return WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : -1;
    }
    // The data of the answer to GET 1001, as text.
    std::string Ask()
    {
        tagUNIX_SOCKET_S* pstSock = KxUnixEndpointCreate(nullptr);
        auto pstRsp = std::make_unique<MSG_DATA>();
        long long llRet = RestSendSynUnixMsg("/tmp/A", VW_MSG_TYPE_GET_REQ, static_cast<VW_CMD_TYPE>(1001), nullptr,
                                             pstSock, pstRsp.get(), 0);
        KxUnixEndpointDestroy(pstSock);
        return llRet != 0 ? "exchange failed" : reinterpret_cast<const char*>(pstRsp->aucData);
    }

    TempDir m_dir;
    const std::string m_strRunDir = m_dir.File("run");
    const std::string m_strScenario = m_dir.File("s.json");
    const std::string m_strBytes = std::to_string(sizeof(MSG_DATA));
    FILE* m_pOut = nullptr;
    int m_iPid = 0;
};

TEST_F(EmulateTest, AnswersPrintsJournalsAndReloadsOnlyAGoodFile)
{
    Spawn("@/s.json --run-dir @/run --journal @/j");
    EXPECT_EQ(Line(),
              At("kxapi-emulate: running \"@/s.json\": /tmp/A (config) from @/s.json; run dir @/run, state in memory"));
    EXPECT_EQ(Ask(), R"({ "Answer": 1 })");
    // Only the time the exchange took cannot be pinned.
    std::string strLine = Line();
    EXPECT_TRUE(std::regex_match(strLine, std::regex("/tmp/A GET cmd 1001 -> result 0, " + m_strBytes +
                                                     R"( bytes, [0-9.]+ ms \(rule "answer"\))")))
        << strLine;
    // One JSON object a line, with the fields docs/scenarios.md shows in its order.
    std::ifstream in(m_dir.File("j"));
    std::string strJournal{std::istreambuf_iterator<char>(in), {}};
    EXPECT_TRUE(std::regex_match(strJournal,
                                 std::regex(R"(\{"service":"\\/tmp\\/A","type":"GET","cmd":1001,"result":0,"bytes":)" +
                                            m_strBytes + R"(,"ms":[0-9.e-]+,"rule":"answer","request":""\}\n)")))
        << strJournal;

    // SIGHUP reloads a good file and keeps the running scenario over a bad one.
    WriteScenario(m_strScenario, "2");
    kill(m_iPid, SIGHUP);
    EXPECT_EQ(Line().substr(0, 23), "kxapi-emulate: reloaded");
    EXPECT_EQ(Ask(), R"({ "Answer": 2 })");
    EXPECT_NE(Line().find("cmd 1001"), std::string::npos);

    std::ofstream(m_strScenario) << R"({ "services": [ { "socket": "/tmp/A", "rules": [ { "reslt": 0 } ] } ] })";
    kill(m_iPid, SIGHUP);
    EXPECT_EQ(Line(), "kxapi-emulate: reload failed, the running scenario is kept: " + m_strScenario +
                          ": services[0].rules[0]: unknown key \"reslt\"");
    EXPECT_EQ(Ask(), R"({ "Answer": 2 })");
    // SIGTERM ends it with status 0 and takes its socket away.
    kill(m_iPid, SIGTERM);
    EXPECT_EQ(ExitStatus(), 0);
    EXPECT_NE(access(KxUnixPathOf("/tmp/A").c_str(), F_OK), 0) << "socket left behind";
}

// Runs that end by themselves: a row per exit status, with the first line the program says.
TEST_F(EmulateTest, ExitStatuses)
{
    std::ofstream(m_dir.File("cut.json")) << "{ \"services\": [\n{\"socket\":\"/tmp/A\"]\n}";
    const struct {
        const char* pszArgs;
        int iStatus;
        const char* pszFirstLine;
    } aRows[] = {
        {"--check @/s.json", 0, "@/s.json: ok"},
        {"@/cut.json", 1, "@/cut.json:2:19: malformed JSON: object value separator ',' expected"},
        {"", 2, "kxapi-emulate: no scenario file"},
        {"@/s.json @/s.json", 2, "kxapi-emulate: one scenario only, not also @/s.json"},
        {"@/s.json --verbose", 2, "kxapi-emulate: unknown flag --verbose"},
        {"@/s.json --end-silent-waits x", 2, "kxapi-emulate: --end-silent-waits wants a number from 0 to 3600000"},
        {"@/s.json --run-dir @/a/b", 3, "kxapi-emulate: run directory @/a/b: No such file or directory"},
    };
    for (const auto& row : aRows) {
        Spawn(row.pszArgs);
        std::string strLine = At(row.pszFirstLine);
        EXPECT_EQ(Line(), strLine);
        EXPECT_EQ(ExitStatus(), row.iStatus) << strLine;
    }
}

} // namespace
