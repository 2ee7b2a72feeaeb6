// kxapi-access-server: the reference host of libkxapicommon.
//   kxapi-access-server [--port N] [--run-dir DIR] [--state-dir DIR] [--no-services]
#include "access_server.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <pthread.h>

int main(int argc, char** argv)
{
    kxserver::ServerOptions stOptions;
    for (int i = 1; i < argc; ++i) {
        std::string strArg = argv[i];
        auto next = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::cerr << "kxapi-access-server: " << strArg << " needs a value\n";
                std::exit(2);
            }
            return argv[++i];
        };
        if (strArg == "--port") {
            char* pEnd = nullptr;
            long lPort = strtol(next(), &pEnd, 10);
            if (*pEnd != '\0' || lPort < 0 || lPort > 65535) {
                std::cerr << "kxapi-access-server: bad port\n";
                return 2;
            }
            stOptions.usPort = static_cast<unsigned short>(lPort);
        } else if (strArg == "--run-dir") {
            stOptions.strRunDir = next();
        } else if (strArg == "--state-dir") {
            stOptions.strStateDir = next();
        } else if (strArg == "--no-services") {
            stOptions.bStartServices = false;
        } else {
            std::cerr << "usage: kxapi-access-server [--port N] [--run-dir DIR] [--state-dir DIR] [--no-services]\n";
            return strArg == "--help" ? 0 : 2;
        }
    }
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
