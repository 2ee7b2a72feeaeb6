// kxapi-access-server: the reference host of libkxapicommon. Flags: see kUsage.
#include "access_server.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <pthread.h>
#include <sys/resource.h>

namespace {

const char kUsage[] = "usage: kxapi-access-server [--port N] [--run-dir DIR] [--state-dir DIR]\n"
                      "         [--scenario FILE] [--services NAME,... | --no-services] [--request-timeout SECONDS]\n"
                      "         [--max-connections N] [--max-queue N] [--service-waiters N]\n";

[[noreturn]] void Usage(const std::string& strWhy)
{
    std::cerr << "kxapi-access-server: " << strWhy << "\n" << kUsage;
    std::exit(2);
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

std::vector<std::string> Names(const std::string& strList)
{
    std::vector<std::string> vecNames;
    size_t uiStart = 0;
    while (uiStart < strList.size()) {
        size_t uiEnd = std::min(strList.find(',', uiStart), strList.size());
        if (uiEnd > uiStart) {
            vecNames.push_back(strList.substr(uiStart, uiEnd - uiStart));
        }
        uiStart = uiEnd + 1;
    }
    if (vecNames.empty()) {
        Usage("--services wants service names");
    }
    return vecNames;
}

// Every connection is a descriptor, and connections live above the first 1024 (kept for what
// the library watches with select): let the process have as many as that takes.
void RaiseDescriptorLimit(unsigned int uiConnections)
{
    rlimit stLimit{};
    rlim_t uiWant = 1024 + static_cast<rlim_t>(uiConnections) + uiConnections / 4 + 256;
    if (getrlimit(RLIMIT_NOFILE, &stLimit) == 0 && stLimit.rlim_cur < uiWant) {
        stLimit.rlim_cur = stLimit.rlim_max == RLIM_INFINITY ? uiWant : std::min(uiWant, stLimit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &stLimit);
    }
}

} // namespace

int main(int argc, char** argv)
{
    kxserver::ServerOptions stOptions;
    for (int i = 1; i < argc; ++i) {
        std::string strArg = argv[i];
        if (strArg == "--help") {
            std::cout << kUsage;
            return 0;
        }
        if (strArg == "--no-services") {
            stOptions.strScenario.clear();
            continue;
        }
        if (i + 1 >= argc) {
            Usage(strArg.rfind("--", 0) == 0 ? strArg + " needs a value" : "bad argument");
        }
        const char* pszValue = argv[++i];
        if (strArg == "--port") {
            stOptions.usPort = static_cast<unsigned short>(Number(pszValue, 0, 65535, strArg));
        } else if (strArg == "--run-dir") {
            stOptions.strRunDir = pszValue;
        } else if (strArg == "--state-dir") {
            stOptions.strStateDir = pszValue;
        } else if (strArg == "--services") {
            stOptions.vecServices = Names(pszValue);
        } else if (strArg == "--scenario") {
            stOptions.strScenario = pszValue;
        } else if (strArg == "--request-timeout") {
            char* pEnd = nullptr;
            double dSeconds = strtod(pszValue, &pEnd);
            if (*pEnd != '\0' || !(dSeconds >= 0.1 && dSeconds <= 3600)) {
                Usage("--request-timeout wants seconds from 0.1 to 3600");
            }
            stOptions.uiRequestTimeoutMs = static_cast<unsigned int>(dSeconds * 1000);
        } else if (strArg == "--max-connections") {
            stOptions.uiMaxConnections = static_cast<unsigned int>(Number(pszValue, 1, 1000000, strArg));
        } else if (strArg == "--max-queue") {
            stOptions.uiMaxQueue = static_cast<unsigned int>(Number(pszValue, 1, 100000, strArg));
        } else if (strArg == "--service-waiters") {
            stOptions.uiServiceWaiters = static_cast<unsigned int>(Number(pszValue, 1, 10000, strArg));
        } else {
            Usage("unknown flag " + strArg);
        }
    }
    RaiseDescriptorLimit(stOptions.uiMaxConnections);
    // Signals are taken by sigwait below, not by whichever server thread they would hit.
    sigset_t stSignals;
    sigemptyset(&stSignals);
    sigaddset(&stSignals, SIGINT);
    sigaddset(&stSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    kxserver::AccessServer server(stOptions);
    if (!server.Start()) {
        return 1;
    }
    std::cout << "kxapi-access-server listening on http://" << stOptions.strBindHost << ":" << server.Port()
              << "/ (run dir " << stOptions.strRunDir << ", state dir " << stOptions.strStateDir << ")" << std::endl;
    int iSignal = 0;
    sigwait(&stSignals, &iSignal);
    std::cout << "kxapi-access-server: stopping" << std::endl;
    server.Stop();
    return 0;
}
