// A host that brings the whole camera platform itself and links nothing but libkxapicommon: its own
// log sink, random source, HBTP library, event loop and Unix endpoint, as a board's libraries would
// supply them. Each platform call of the library must land here, bound by name at load time, and
// find in the records no more than their documented fields. Built with FOREIGN_HOST_OMIT_ABSEVDEL
// it lacks one platform function and must not start at all.
//
// The platform is declared here, not taken from platform/contract: those headers ship with the
// dev-host kit, not with the library's package, and a board SDK brings headers of its own. Only the
// C names and the record layouts bind, so this is what any foreign platform does.
#include <kxapicommon.h>

#include <link.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {
// Every library call, and so every log line, runs on the main thread: the record needs no lock.
// A line is kept as "MODULE LEVEL FLAG RESERVED LINE>0 FILE: TEXT".
std::vector<std::string> g_vecLog;
const ssize_t kMsgLen = sizeof(MSG_DATA);

// The service thread checks too, before the main thread's next check: no lock either.
int g_iFailures = 0;
void Check(bool bOk, const std::string& strWhat)
{
    g_iFailures += bOk ? 0 : (fprintf(stderr, "foreign_host: FAILED: %s\n", strWhat.c_str()), 1);
}

std::string Pattern(size_t n, unsigned uiSeed) // recognisable data
{
    std::string s(n, '\0');
    std::generate(s.begin(), s.end(), [i = 0u, uiSeed]() mutable { return static_cast<char>(i++ * uiSeed + 3); });
    return s;
}
} // namespace

extern "C" {
int g_enDebugFlag = 5; // our own value: every line must carry it

__attribute__((format(printf, 7, 8))) void VW_WriteLog(int iModule, int iLevel, int iDebugFlag, int iReserved,
                                                       const char* pszFile, int iLine, const char* pszFormat, ...)
{
    char szLog[2048];
    int iLen = snprintf(szLog, sizeof(szLog), "%d %d %d %d %d %s: ", iModule, iLevel, iDebugFlag, iReserved, iLine > 0,
                        pszFile);
    va_list ap;
    va_start(ap, pszFormat);
    vsnprintf(szLog + iLen, sizeof(szLog) - static_cast<size_t>(iLen), pszFormat, ap);
    va_end(ap);
    g_vecLog.push_back(szLog);
}

// Only GetCommon's exchange over the Unix endpoint is driven: whatever else the library would ask
// of the platform is refused, but it must be there for the library to load (it binds every name at once).
typedef void (*PFN_EVENT_CB)(int iFd, unsigned int uiEvents, tagABS_EVENT_S* pstEvent);
// One refusal a line: kept as a table.
// clang-format off
int VW_GetRandomNum(int, char*) { return -1; }
hbtp_message* hbtp_message_new(int) { return nullptr; }
int hbtp_message_put(hbtp_message*) { return -1; }
int hbtp_content(hbtp_message*, void**, unsigned int*) { return -1; }
int hbtp_message_sendfd(hbtp_message*, int) { return -1; }
int hbtp_message_recvfd(hbtp_message*, int) { return -1; }
int hbtp_content_add(hbtp_message*, const void*, unsigned int) { return -1; }
int hbtp_header_set(hbtp_message*, unsigned short, const void*, unsigned short) { return -1; }
int hbtp_header_get(hbtp_message*, unsigned short, void**, unsigned short*) { return -1; }
tagABS_EVENT_S* AbsEvNew(tagABS_EVENT_BASE_S*, int, unsigned int, void*, PFN_EVENT_CB) { return nullptr; }
int AbsEvAdd(tagABS_EVENT_S*, int) { return -1; }
// clang-format on
#ifndef FOREIGN_HOST_OMIT_ABSEVDEL
void AbsEvDel(tagABS_EVENT_S*) {}
#endif
} // extern "C"

int main()
{
#ifdef FOREIGN_HOST_OMIT_ABSEVDEL
    // Reached only when the loader let the program start without AbsEvDel. The call keeps the
    // library among the program's needs: the linker drops a library that nothing calls.
    fprintf(stderr, "foreign_host_missing_symbol: started without AbsEvDel (\"%s\")\n", GetStatusString(0));
    return 0;
#endif
    // The host's Unix endpoint: one end of a datagram pair whose other end is the configuration
    // service "/tmp/A", answering on a thread of its own.
    int aiFd[2] = {-1, -1};
    (void)socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, aiFd);
    std::thread service([iFd = aiFd[1]] {
        static MSG_DATA stMsg;
        Check(recv(iFd, &stMsg, sizeof(stMsg), 0) == kMsgLen && stMsg.enMsgType == VW_MSG_TYPE_GET_REQ &&
                  stMsg.enCmdType == 1001 && stMsg.ullMsgNum == 1,
              "no GET of command 1001 came");
        stMsg.enMsgType = VW_MSG_TYPE_GET_RSP, stMsg.enResult = VW_RESULT_OK, stMsg.ullDataLen = VW_CMD_BODY_LEN;
        memcpy(stMsg.aucData, Pattern(VW_CMD_BODY_LEN, 7).data(), VW_CMD_BODY_LEN);
        (void)send(iFd, &stMsg, sizeof(stMsg), 0);
    });
    tagUNIX_SOCKET_S sock{};
    sock.iFd = aiFd[0];
    sock.pfnSendMsg = [](tagUNIX_SOCKET_S* s, MSG_DATA* m) {
        return strcmp(s->szDstName, "/tmp/A") == 0 && send(s->iFd, m, sizeof(*m), 0) == kMsgLen ? 0 : -1;
    };
    sock.pfnRecvMsg = [](tagUNIX_SOCKET_S* s, MSG_DATA* m) {
        return recv(s->iFd, m, sizeof(*m), MSG_DONTWAIT) == kMsgLen ? 0 : -1;
    };
    static tagHTTP_HEADER_S stHeader;
    strcpy(stHeader.szMethod, "GET"), strcpy(stHeader.szUrl, "/api/v1/system/device");
    void* pData = nullptr;
    int iRet = GetCommon(&stHeader, &sock, static_cast<VW_CMD_TYPE>(1001), nullptr, &pData, 0, "/tmp/A");
    shutdown(aiFd[1], SHUT_RDWR), service.join(); // a service never asked stops waiting rather than hang the run
    Check(iRet == 0 && pData != nullptr && memcmp(pData, Pattern(VW_CMD_BODY_LEN, 7).data(), VW_CMD_BODY_LEN) == 0,
          "GetCommon returned " + std::to_string(iRet) + " without the service's data");
    Check(strcmp(sock.szSrcName, "/tmp/re") == 0, "the endpoint does not hold the source name of its last send");
    free(pData), close(aiFd[0]), close(aiFd[1]);

    // Module 4, our flag, reserved 0, a line number, the library's own file names and texts.
    const std::string strLine = "4 0 5 0 1 access_server/kxapi/common/kxapi_business_common: [KXAPI]:GetCommon: "
                                "httpReq[GET /api/v1/system/device] sendCmd[1001] recvMsg[2] Result[0]";
    Check(std::count(g_vecLog.begin(), g_vecLog.end(), strLine) == 1, "not logged once: " + strLine);
    // This host keeps no login lock: its lock body is refused with a line, not a call through null.
    static tagHTTP_CLIENT_S stClient;
    tagHTTP_BUF_S stBuf{};
    Check(KxapiHttpAuthLockRsptContent(&stClient, &stBuf) == -1 &&
              g_vecLog.back() == "4 3 5 0 1 access_server/kxapi/common/kxapi_common: [KXAPI]:"
                                 "KxapiHttpAuthLockRsptContent: KxapiHttpGetUnLockTime is not provided",
          "the lock body without the host's lock time: " + g_vecLog.back());
    // Of the project's libraries (the stand-ins are libkxplatform, libkxdevhost, libkxservices) only
    // this one is loaded.
    std::string strObjects; // every loaded object, each name followed by ';'
    dl_iterate_phdr([](dl_phdr_info* pstInfo, size_t,
                       void* pv) { return static_cast<std::string*>(pv)->append(pstInfo->dlpi_name).append(";"), 0; },
                    &strObjects);
    Check(strObjects.find("/libkxapicommon.so") != std::string::npos &&
              strObjects.find("/libkx") == strObjects.rfind("/libkx"),
          "the library without the dev-host kit is not what is loaded: " + strObjects);
    printf("foreign_host: %d check(s) failed; %zu log lines\n", g_iFailures, g_vecLog.size());
    return g_iFailures == 0 ? 0 : 1;
}
