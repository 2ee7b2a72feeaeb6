#include "probe_test_support.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

namespace kxprobe_test {

namespace {

// The sanitizer's runtime insists on coming first in the library list; the preloaded stand-in
// would come before it.
std::vector<std::string> Environment(bool bPreload)
{
    std::vector<std::string> vecEnv;
    for (char** pp = environ; *pp != nullptr; ++pp) {
        if (strncmp(*pp, "LD_PRELOAD=", 11) != 0 && strncmp(*pp, "ASAN_OPTIONS=", 13) != 0) {
            vecEnv.emplace_back(*pp);
        }
    }
    if (bPreload) {
        vecEnv.emplace_back("LD_PRELOAD=" KXAPI_PLATFORM_LIB);
    }
    const char* pszAsan = getenv("ASAN_OPTIONS");
    vecEnv.emplace_back(std::string("ASAN_OPTIONS=verify_asan_link_order=0") + (pszAsan ? ":" : "") +
                        (pszAsan ? pszAsan : ""));
    return vecEnv;
}

pid_t Spawn(const std::vector<std::string>& vecArgv, bool bPreload, int iOut, int iErr)
{
    std::vector<std::string> vecEnv = Environment(bPreload);
    std::vector<char*> vecA, vecE;
    for (const std::string& s : vecArgv) {
        vecA.push_back(const_cast<char*>(s.c_str()));
    }
    for (const std::string& s : vecEnv) {
        vecE.push_back(const_cast<char*>(s.c_str()));
    }
    vecA.push_back(nullptr);
    vecE.push_back(nullptr);
    pid_t iPid = fork();
    if (iPid == 0) {
        // A test that ctest kills on its time-out must not leave its services and taps behind.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(iOut, 1);
        dup2(iErr, 2);
        execve(vecA[0], vecA.data(), vecE.data());
        _exit(127);
    }
    return iPid;
}

int StatusOf(int iStatus)
{
    return WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : -1;
}

std::string ReadAll(int iFd)
{
    std::string strText;
    char acBuf[4096];
    ssize_t n;
    while ((n = read(iFd, acBuf, sizeof(acBuf))) > 0 || (n < 0 && errno == EINTR)) {
        strText.append(acBuf, n > 0 ? static_cast<size_t>(n) : 0);
    }
    return strText;
}

} // namespace

bool CanSpawn()
{
#if KXAPI_PROBE_CROSS
    return false;
#else
    return true;
#endif
}

Run Probe(const std::vector<std::string>& vecArgs)
{
    std::vector<std::string> vecArgv{KXAPI_PROBE_EXE};
    vecArgv.insert(vecArgv.end(), vecArgs.begin(), vecArgs.end());
    TempDir dir;
    std::string strErrFile = dir.File("err");
    int aiOut[2];
    Run stRun;
    if (pipe(aiOut) != 0) {
        return stRun;
    }
    int iErr = open(strErrFile.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
    pid_t iPid = Spawn(vecArgv, true, aiOut[1], iErr);
    close(aiOut[1]);
    close(iErr);
    stRun.strOut = ReadAll(aiOut[0]);
    close(aiOut[0]);
    int iStatus = 0;
    waitpid(iPid, &iStatus, 0);
    stRun.iStatus = StatusOf(iStatus);
    int iIn = open(strErrFile.c_str(), O_RDONLY | O_CLOEXEC);
    stRun.strErr = ReadAll(iIn);
    close(iIn);
    return stRun;
}

Process::Process(const std::vector<std::string>& vecArgv, bool bPreload, const std::string& strOutFile)
{
    int aiOut[2];
    if (!strOutFile.empty()) {
        int iFile = open(strOutFile.c_str(), O_CREAT | O_WRONLY | O_APPEND | O_CLOEXEC, 0600);
        m_iPid = Spawn(vecArgv, bPreload, iFile, iFile);
        close(iFile);
        return;
    }
    if (pipe2(aiOut, O_CLOEXEC) != 0) {
        return;
    }
    m_iPid = Spawn(vecArgv, bPreload, aiOut[1], aiOut[1]);
    close(aiOut[1]);
    m_iOut = aiOut[0];
}

Process::~Process()
{
    if (m_iPid > 0) {
        kill(m_iPid, SIGKILL);
        Wait();
    }
    if (m_iOut >= 0) {
        close(m_iOut);
    }
}

std::string Process::Line(double dSeconds)
{
    int iLeftMs = static_cast<int>(dSeconds * 1000);
    for (;;) {
        size_t uiEnd = m_strPending.find('\n');
        if (uiEnd != std::string::npos) {
            std::string strLine = m_strPending.substr(0, uiEnd);
            m_strPending.erase(0, uiEnd + 1);
            return strLine;
        }
        pollfd stPoll{m_iOut, POLLIN, 0};
        if (m_iOut < 0 || iLeftMs <= 0 || poll(&stPoll, 1, 50) < 0) {
            return "(timed out)";
        }
        iLeftMs -= 50;
        if (stPoll.revents == 0) {
            continue;
        }
        char acBuf[4096];
        ssize_t n = read(m_iOut, acBuf, sizeof(acBuf));
        if (n <= 0) {
            return m_strPending.empty() ? "(no more)" : std::exchange(m_strPending, "");
        }
        m_strPending.append(acBuf, static_cast<size_t>(n));
    }
}

void Process::Signal(int iSignal)
{
    if (m_iPid > 0) {
        kill(m_iPid, iSignal);
    }
}

int Process::Wait()
{
    int iStatus = 0;
    if (m_iPid <= 0 || waitpid(m_iPid, &iStatus, 0) != m_iPid) {
        return -1;
    }
    m_iPid = -1;
    return StatusOf(iStatus);
}

Emulate::Emulate(const std::string& strScenario, const std::string& strRunDir, const std::vector<std::string>& vecExtra)
    : m_proc(
          [&] {
              mkdir(strRunDir.c_str(), 0700);
              std::vector<std::string> vecArgv{KXAPI_EMULATE_EXE, strScenario, "--run-dir", strRunDir};
              vecArgv.insert(vecArgv.end(), vecExtra.begin(), vecExtra.end());
              return vecArgv;
          }(),
          false)
{
    // The start line comes once every service is bound.
    m_bStarted = m_proc.Line().rfind("kxapi-emulate: running", 0) == 0;
}

} // namespace kxprobe_test
