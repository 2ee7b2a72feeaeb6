// kxapi-emulate: runs the camera services of a scenario file (docs/scenarios.md) until SIGINT or
// SIGTERM; SIGHUP reads the file again.
#include "kxdevhost.h"
#include "kxplatform.h"
#include "kxscenario.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/stat.h>

namespace {

const char kUsage[] = "usage: kxapi-emulate SCENARIO [--run-dir DIR] [--state-dir DIR] [--journal FILE]\n"
                      "         [--end-silent-waits MS] [--check]\n"
                      "Runs the services until SIGINT or SIGTERM; SIGHUP reads the file again.\n"
                      "exit status: 0 stopped by SIGINT or SIGTERM (or --check passed), 1 bad scenario,\n"
                      "             2 bad arguments, 3 a service that cannot be started\n";

enum ExitStatus { kExitOk = 0, kExitBadScenario = 1, kExitUsage = 2, kExitCannotStart = 3 };

struct Options {
    std::string strScenario;
    std::string strRunDir = "kxapi-run"; // as the reference server, so both find the same sockets
    std::string strStateDir;             // empty: state in memory, as the scenario format says
    std::string strJournal;
    unsigned int uiEndSilentWaitsMs = 0;
    bool bCheck = false;
};

struct FileCloser {
    void operator()(FILE* pFile) const { fclose(pFile); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

[[noreturn]] void Usage(const std::string& strWhy)
{
    std::cerr << "kxapi-emulate: " << strWhy << "\n" << kUsage;
    std::exit(kExitUsage);
}

unsigned long Number(const char* pszText, unsigned long ulMin, unsigned long ulMax, const std::string& strFlag)
{
    char* pEnd = nullptr;
    errno = 0;
    unsigned long ulValue = strtoul(pszText, &pEnd, 10);
    if (*pszText == '\0' || *pszText == '-' || *pEnd != '\0' || errno != 0 || ulValue < ulMin || ulValue > ulMax) {
        Usage(strFlag + " wants a number from " + std::to_string(ulMin) + " to " + std::to_string(ulMax));
    }
    return ulValue;
}

Options ParseArguments(int argc, char** argv)
{
    Options stOpt;
    for (int i = 1; i < argc; ++i) {
        std::string strArg = argv[i];
        if (strArg == "--help") {
            std::cout << kUsage;
            std::exit(kExitOk);
        }
        if (strArg == "--check") {
            stOpt.bCheck = true;
            continue;
        }
        if (strArg.rfind("-", 0) != 0) {
            if (!stOpt.strScenario.empty()) {
                Usage("one scenario only, not also " + strArg);
            }
            stOpt.strScenario = strArg;
            continue;
        }
        std::string* pstrValue = strArg == "--run-dir"     ? &stOpt.strRunDir
                                 : strArg == "--state-dir" ? &stOpt.strStateDir
                                 : strArg == "--journal"   ? &stOpt.strJournal
                                                           : nullptr;
        if (pstrValue == nullptr && strArg != "--end-silent-waits") {
            Usage("unknown flag " + strArg);
        }
        if (i + 1 >= argc) {
            Usage(strArg + " needs a value");
        }
        const char* pszValue = argv[++i];
        if (pstrValue != nullptr) {
            *pstrValue = pszValue;
        } else {
            stOpt.uiEndSilentWaitsMs = static_cast<unsigned int>(Number(pszValue, 0, 3600000, strArg));
        }
    }
    if (stOpt.strScenario.empty()) {
        Usage("no scenario file");
    }
    return stOpt;
}

std::string Describe(const Options& stOpt, const kxdev::Scenario& scenario, const char* pszWhat)
{
    return std::string("kxapi-emulate: ") + pszWhat + " " + kxdev::DescribeScenario(scenario) + " from " +
           stOpt.strScenario + "; run dir " + stOpt.strRunDir + ", state " +
           (stOpt.strStateDir.empty() ? std::string("in memory") : "dir " + stOpt.strStateDir);
}

// Services bind under these directories, so they must exist before Start; a missing parent is
// left missing (exit 3), as it names a place the user did not mean.
bool PrepareRunDir(const std::string& strRunDir, std::string* pstrError)
{
    struct stat stInfo {};
    std::string strSrvfs = strRunDir + "/srvfs";
    mkdir(strRunDir.c_str(), 0700);
    mkdir(strSrvfs.c_str(), 0700);
    if (stat(strSrvfs.c_str(), &stInfo) != 0 || !S_ISDIR(stInfo.st_mode)) {
        *pstrError = "run directory " + strRunDir + ": " + strerror(errno);
        return false;
    }
    if (KxUnixSetRunDir(strRunDir.c_str()) != 0 || KxSrvfsSetRoot(strSrvfs.c_str()) != 0) {
        *pstrError = "run directory too long for socket names: " + strRunDir;
        return false;
    }
    return true;
}

void Reload(kxdev::Emulator& emulator, const Options& stOpt, std::mutex& outMutex)
{
    std::string strError;
    auto pScenario = kxdev::LoadScenarioFile(stOpt.strScenario, &strError);
    bool bOk = pScenario && emulator.Reload(pScenario, &strError);
    std::string strLine = bOk ? Describe(stOpt, *pScenario, "reloaded") : std::string();
    std::lock_guard<std::mutex> lock(outMutex);
    if (bOk) {
        std::cout << strLine << std::endl;
    } else {
        std::cerr << "kxapi-emulate: reload failed, the running scenario is kept: " << strError << std::endl;
    }
}

} // namespace

int main(int argc, char** argv)
{
    Options stOpt = ParseArguments(argc, argv);
    std::string strError;
    auto pScenario = kxdev::LoadScenarioFile(stOpt.strScenario, &strError);
    if (!pScenario) {
        std::cerr << strError << std::endl;
        return kExitBadScenario;
    }
    if (stOpt.bCheck) {
        std::cout << stOpt.strScenario << ": ok" << std::endl;
        return kExitOk;
    }
    FilePtr pJournal;
    if (!stOpt.strJournal.empty()) {
        pJournal.reset(fopen(stOpt.strJournal.c_str(), "a"));
        if (!pJournal) {
            Usage("--journal " + stOpt.strJournal + ": " + strerror(errno));
        }
    }
    if (!stOpt.strStateDir.empty()) {
        mkdir(stOpt.strStateDir.c_str(), 0700);
    }
    if (!PrepareRunDir(stOpt.strRunDir, &strError)) {
        std::cerr << "kxapi-emulate: " << strError << std::endl;
        return kExitCannotStart;
    }
    // Blocked before the services' threads exist, so that they inherit the mask and every signal
    // reaches the sigwait below.
    sigset_t stSignals;
    sigemptyset(&stSignals);
    sigaddset(&stSignals, SIGINT);
    sigaddset(&stSignals, SIGTERM);
    sigaddset(&stSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // Exchanges are reported on the services' threads: one lock keeps their lines whole. The
    // journal is written first, so that whoever sees the printed line finds it there too.
    std::mutex outMutex;
    kxdev::EmulatorOptions stEmuOpt;
    stEmuOpt.strStateDir = stOpt.strStateDir;
    stEmuOpt.uiEndSilentWaitsMs = stOpt.uiEndSilentWaitsMs;
    stEmuOpt.fnOnExchange = [&outMutex, &pJournal](const kxdev::Exchange& stExchange) {
        std::string strText = stExchange.TextLine();
        std::string strJson = pJournal ? stExchange.JsonLine() + "\n" : std::string();
        std::lock_guard<std::mutex> lock(outMutex);
        if (pJournal) {
            fputs(strJson.c_str(), pJournal.get());
            fflush(pJournal.get());
        }
        std::cout << strText << std::endl;
    };
    kxdev::Emulator emulator(stEmuOpt);
    if (!emulator.Start(pScenario, &strError)) {
        std::cerr << "kxapi-emulate: " << strError << std::endl;
        return kExitCannotStart;
    }
    {
        std::lock_guard<std::mutex> lock(outMutex);
        std::cout << Describe(stOpt, *pScenario, "running") << std::endl;
    }
    int iSignal = 0;
    while (sigwait(&stSignals, &iSignal) == 0 && iSignal == SIGHUP) {
        Reload(emulator, stOpt, outMutex);
    }
    emulator.Stop();
    return kExitOk;
}
