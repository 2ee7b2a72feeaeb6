// A host that brings the whole camera platform itself and links nothing but libkxapicommon: its own
// log sink, random source, HBTP library, event loop, service file system and Unix endpoint, as a
// board's libraries would supply them. Each platform call of the library must land here, bound by
// name at load time, and find in the records no more than their documented fields. Built with
// FOREIGN_HOST_OMIT_ABSEVDEL it lacks one platform function and must not start at all.
//
// The platform is declared here, not taken from platform/contract: those headers ship with the
// dev-host kit, not with the library's package, and a board SDK brings headers of its own. Only the
// C names and the record layouts bind, so this is what any foreign platform does.

// open and open64 are both defined below: no large-file or fortify redirection may rename them.
#undef _FILE_OFFSET_BITS
#undef _FORTIFY_SOURCE
#include <kxapicommon.h>

#include <fcntl.h>
#include <link.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

// A message travels as one packet: the 8 header bytes, then the body.
struct hbtp_message {
    unsigned char* pucHeader = aucHeader; // first: the library reaches the header through it
    unsigned char aucHeader[8] = {};      // version, flags, reserved, type, u16 URL, u16 code
    std::string strBody;
};

namespace {
// Every library call, and so every log line, runs on the main thread: the record needs no lock.
// A line is kept as "MODULE LEVEL FLAG RESERVED LINE>0 FILE: TEXT".
std::vector<std::string> g_vecLog;
const ssize_t kMsgLen = sizeof(MSG_DATA);
int g_iAuthService = -1; // the service's end of what open() gave the library

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
    int iLen = snprintf(szLog, sizeof(szLog), "%d %d %d %d %d %s: ", iModule, iLevel, iDebugFlag, iReserved,
                        iLine > 0, pszFile);
    va_list ap;
    va_start(ap, pszFormat);
    vsnprintf(szLog + iLen, sizeof(szLog) - static_cast<size_t>(iLen), pszFormat, ap);
    va_end(ap);
    g_vecLog.push_back(szLog);
}

// Not random at all: bytes the caller can recognise as having come from here.
int VW_GetRandomNum(int iCount, char* pBuf)
{
    return iCount < 0 ? -1 : (memset(pBuf, 'R', static_cast<size_t>(iCount)), 0);
}

hbtp_message* hbtp_message_new(int)
{
    return new (std::nothrow) hbtp_message;
}
int hbtp_message_put(hbtp_message* m)
{
    delete m;
    return 0;
}
int hbtp_content(hbtp_message* m, void** ppData, unsigned int* puiLen)
{
    *ppData = m->strBody.empty() ? nullptr : &m->strBody[0];
    *puiLen = static_cast<unsigned int>(m->strBody.size());
    return 0;
}
int hbtp_message_sendfd(hbtp_message* m, int iFd)
{
    std::string s = std::string(reinterpret_cast<char*>(m->aucHeader), 8) + m->strBody;
    return send(iFd, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size()) ? 0 : -1;
}
int hbtp_message_recvfd(hbtp_message* m, int iFd)
{
    char acPacket[1 << 16];
    ssize_t n = recv(iFd, acPacket, sizeof(acPacket), 0);
    return n < 8 ? -1 : (memcpy(m->aucHeader, acPacket, 8), m->strBody.assign(acPacket + 8, n - 8), 0);
}

// Request bodies, extension headers and the event loop serve exchanges this host never starts
// (HBTP requests with a body, asynchronous replies): whatever the library would ask is refused.
typedef void (*PFN_EVENT_CB)(int iFd, unsigned int uiEvents, tagABS_EVENT_S* pstEvent);
int hbtp_content_add(hbtp_message*, const void*, unsigned int) { return -1; }
int hbtp_header_set(hbtp_message*, unsigned short, const void*, unsigned short) { return -1; }
int hbtp_header_get(hbtp_message*, unsigned short, void**, unsigned short*) { return -1; }
tagABS_EVENT_S* AbsEvNew(tagABS_EVENT_BASE_S*, int, unsigned int, void*, PFN_EVENT_CB) { return nullptr; }
int AbsEvAdd(tagABS_EVENT_S*, int) { return -1; }
#ifndef FOREIGN_HOST_OMIT_ABSEVDEL
void AbsEvDel(tagABS_EVENT_S*) {}
#endif

// The library's build asks for large-file offsets, so it calls open64 on every target; open serves
// whatever else in the process opens files. Both names are this one function, large-file always.
// Only a read-write open of the authentication service's path (where a PC platform's service file
// system has it) reaches the service; anything else goes to the disk. The service's answer is
// queued at once: the library reads it only after sending its request.
int open(const char* pszPath, int iFlags, ...)
{
    va_list ap;
    va_start(ap, iFlags);
    mode_t mode = (iFlags & O_CREAT) != 0 || (iFlags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    int aiFd[2];
    if (strcmp(pszPath, "/mnt/srvfs/auth.paas.opx") != 0 || (iFlags & O_ACCMODE) != O_RDWR ||
        socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, aiFd) != 0) {
        return static_cast<int>(syscall(SYS_openat, AT_FDCWD, pszPath, iFlags | O_LARGEFILE, mode));
    }
    hbtp_message stRsp; // type 2, URL 0, code 200, and the list
    const unsigned short ausUrlCode[2] = {0, 200};
    stRsp.aucHeader[3] = 2, stRsp.strBody = Pattern(KXAPI_USER_LIST_LEN, 13);
    memcpy(stRsp.aucHeader + 4, ausUrlCode, 4);
    g_iAuthService = aiFd[1];
    return hbtp_message_sendfd(&stRsp, aiFd[1]) == 0 ? aiFd[0] : -1;
}
int open64(const char* pszPath, int iFlags, ...) __attribute__((alias("open")));
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
                  stMsg.enCmdType == 1001 && stMsg.ullMsgNum == 1, "no GET of command 1001 came");
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

    static MSG_DATA stUsers;
    Check(HbtpGetUserList(&stUsers) == 0 && memcmp(stUsers.aucData, Pattern(KXAPI_USER_LIST_LEN, 13).data(),
                                                   KXAPI_USER_LIST_LEN) == 0, "no user list from HbtpGetUserList");
    // Reserved byte 0, type 2 (its top bit kept clear, as a new message has it), URL 0, no body.
    hbtp_message stReq;
    Check(hbtp_message_recvfd(&stReq, g_iAuthService) == 0 && memcmp(stReq.aucHeader + 2, "\0\2\0\0", 4) == 0 &&
              stReq.strBody.empty(), "the user-list request is not URL 0, type 2, reserved byte 0, without a body");
    close(g_iAuthService);

    // Module 4, our flag, reserved 0, a line number, the library's own file names and texts.
    for (const char* pszLine : {"4 0 5 0 1 access_server/kxapi/common/kxapi_business_common: [KXAPI]:GetCommon: "
                                "httpReq[GET /api/v1/system/device] sendCmd[1001] recvMsg[2] Result[0]",
                                "4 1 5 0 1 access_server/kxapi/common/kxapi_common: [KXAPI]:Recv hbtp_code: 200\n"}) {
        Check(std::count(g_vecLog.begin(), g_vecLog.end(), pszLine) == 1, std::string("not logged once: ") + pszLine);
    }
    char acRandom[4] = {};
    Check(GetUrandomString(acRandom, 4) == 0 && memcmp(acRandom, "RRRR", 4) == 0, "not our random bytes");
    // Of the project's libraries (the stand-ins are libkxplatform, libkxdevhost, libkxservices) only
    // this one is loaded.
    std::string strObjects; // every loaded object, each name followed by ';'
    dl_iterate_phdr([](dl_phdr_info* pstInfo, size_t, void* pv) {
        return static_cast<std::string*>(pv)->append(pstInfo->dlpi_name).append(";"), 0;
    }, &strObjects);
    Check(strObjects.find("/libkxapicommon.so") != std::string::npos &&
              strObjects.find("/libkx") == strObjects.rfind("/libkx"),
          "the library without the dev-host kit is not what is loaded: " + strObjects);
    printf("foreign_host: %d check(s) failed; %zu log lines\n", g_iFailures, g_vecLog.size());
    return g_iFailures == 0 ? 0 : 1;
}
