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
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

struct hbtp_message {
    unsigned char* pucHeader = aucHeader; // first: the library reaches the header through it
    unsigned char aucHeader[8] = {};      // version, flags, reserved, type, u16 URL, u16 code
    std::string strExt;                   // extension headers, each u16 tag, u16 length, value
    std::string strBody;
};

// The event loop's records: the library reads the leading fields, the rest is the platform's.
typedef void (*PFN_EVENT_CB)(int iFd, unsigned int uiEvents, tagABS_EVENT_S* pstEvent);
struct tagABS_EVENT_S {
    int iFd;
    unsigned int uiEvents;
    void* pArg;
    PFN_EVENT_CB pfnCallback;
    tagABS_EVENT_BASE_S* pstBase;
};
struct tagABS_EVENT_BASE_S {
    tagABS_EVENT_S** ppstEvents; // indexed by descriptor
    unsigned int uiSize;
};

namespace {
// Every library call, and so every log line, runs on the main thread: the record needs no lock.
struct LogLine {
    int iModule, iLevel, iFlag, iReserved;
    std::string strFile;
    int iLine;
    std::string strText;
};
std::vector<LogLine> g_logLines;

// A blocking stream socket moves the whole count or fails; a peer gone mid-frame is a failure too.
bool ReadAll(int iFd, void* pv, size_t n)
{
    ssize_t r = n == 0 ? 0 : recv(iFd, pv, n, MSG_WAITALL); // a read of nothing would wait for data
    errno = r >= 0 && static_cast<size_t>(r) != n ? ECONNRESET : errno;
    return r >= 0 && static_cast<size_t>(r) == n;
}
} // namespace

extern "C" {
int g_enDebugFlag = 5; // our own value: every line must carry it

__attribute__((format(printf, 7, 8))) void VW_WriteLog(int iModule, int iLevel, int iDebugFlag, int iReserved,
                                                       const char* pszFile, int iLine, const char* pszFormat, ...)
{
    char szText[2048];
    va_list ap;
    va_start(ap, pszFormat);
    vsnprintf(szText, sizeof(szText), pszFormat, ap);
    va_end(ap);
    g_logLines.push_back({iModule, iLevel, iDebugFlag, iReserved, pszFile, iLine, szText});
}

// Not random at all: bytes the caller can recognise as having come from here.
int VW_GetRandomNum(int iCount, char* pBuf)
{
    memset(pBuf, 0xA5, static_cast<size_t>(iCount > 0 ? iCount : 0));
    return iCount < 0 ? -1 : 0;
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
int hbtp_header_set(hbtp_message* m, unsigned short usTag, const void* pValue, unsigned short usLen)
{
    m->strExt.append(reinterpret_cast<const char*>(&usTag), 2).append(reinterpret_cast<const char*>(&usLen), 2);
    m->strExt.append(static_cast<const char*>(pValue), usLen);
    return 0;
}
int hbtp_header_get(hbtp_message* m, unsigned short usTag, void** ppValue, unsigned short* pusLen)
{
    for (size_t i = 0; i + 4 <= m->strExt.size();) {
        unsigned short usFound, usLen;
        memcpy(&usFound, &m->strExt[i], 2), memcpy(&usLen, &m->strExt[i + 2], 2);
        if (usFound == usTag) {
            *ppValue = &m->strExt[i + 4], *pusLen = usLen;
            return 0;
        }
        i += 4 + usLen;
    }
    return -1;
}
int hbtp_content_add(hbtp_message* m, const void* pData, unsigned int uiLen)
{
    m->strBody.assign(static_cast<const char*>(pData), uiLen);
    return 0;
}
int hbtp_content(hbtp_message* m, void** ppData, unsigned int* puiLen)
{
    *ppData = m->strBody.empty() ? nullptr : &m->strBody[0];
    *puiLen = static_cast<unsigned int>(m->strBody.size());
    return 0;
}
// On the channel: the 8 header bytes, then the extension headers and the body, each as a u32
// length and its bytes; host byte order, both ends being this program.
int hbtp_message_sendfd(hbtp_message* m, int iFd)
{
    std::string s(reinterpret_cast<char*>(m->aucHeader), 8);
    for (const std::string* p : {&m->strExt, &m->strBody}) {
        uint32_t uiLen = static_cast<uint32_t>(p->size());
        s.append(reinterpret_cast<const char*>(&uiLen), 4).append(*p);
    }
    return send(iFd, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size()) ? 0 : -1;
}
int hbtp_message_recvfd(hbtp_message* m, int iFd)
{
    if (!ReadAll(iFd, m->aucHeader, 8)) {
        return -1;
    }
    for (std::string* p : {&m->strExt, &m->strBody}) {
        uint32_t uiLen = 0;
        if (!ReadAll(iFd, &uiLen, 4) || uiLen > (1u << 20) || (p->resize(uiLen), !ReadAll(iFd, &(*p)[0], uiLen))) {
            return -1;
        }
    }
    return 0;
}

tagABS_EVENT_S* AbsEvNew(tagABS_EVENT_BASE_S* pstBase, int iFd, unsigned int uiEvents, void* pArg, PFN_EVENT_CB pfn)
{
    if (iFd < 0 || static_cast<unsigned int>(iFd) >= pstBase->uiSize || pstBase->ppstEvents[iFd] != nullptr) {
        return nullptr;
    }
    return pstBase->ppstEvents[iFd] = new (std::nothrow) tagABS_EVENT_S{iFd, uiEvents, pArg, pfn, pstBase};
}
// No loop runs in this program: arming has nothing to start.
int AbsEvAdd(tagABS_EVENT_S*, int)
{
    return 0;
}
#ifndef FOREIGN_HOST_OMIT_ABSEVDEL
void AbsEvDel(tagABS_EVENT_S* e)
{
    e->pstBase->ppstEvents[e->iFd] = nullptr;
    delete e;
}
#endif
} // extern "C"

namespace {
std::string Pattern(size_t n, unsigned seed) // recognisable data
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>(i * seed + 3);
    }
    return s;
}

// The service file system of a PC platform: the authentication service, on a thread of its own.
const char kAuthPath[] = "/mnt/srvfs/auth.paas.opx";
const size_t kUserListLen = 2328;
std::thread g_authService;
std::string g_strAuthError;

void ServeUserList(int iFd)
{
    std::unique_ptr<hbtp_message> req(hbtp_message_new(0)), rsp(hbtp_message_new(0));
    // Reserved byte 0, type 2 (its top bit kept clear, as a new message has it), URL 0, no body.
    if (hbtp_message_recvfd(req.get(), iFd) != 0 || memcmp(req->aucHeader + 2, "\0\2\0\0", 4) != 0 ||
        !req->strBody.empty()) {
        g_strAuthError = "the user-list request is not URL 0, type 2, reserved byte 0, without a body";
    }
    const uint16_t ausUrlCode[2] = {0, 200};
    rsp->aucHeader[3] = 2;
    memcpy(rsp->aucHeader + 4, ausUrlCode, 4);
    rsp->strBody = Pattern(kUserListLen, 13);
    (void)hbtp_message_sendfd(rsp.get(), iFd);
    close(iFd);
}

int OpenFile(const char* pszPath, int iFlags, va_list ap)
{
    mode_t mode = (iFlags & O_CREAT) != 0 || (iFlags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, mode_t) : 0;
    int aiFd[2];
    if (strcmp(pszPath, kAuthPath) != 0) {
        return static_cast<int>(syscall(SYS_openat, AT_FDCWD, pszPath, iFlags, mode));
    } else if ((iFlags & O_ACCMODE) != O_RDWR || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, aiFd) != 0) {
        errno = (iFlags & O_ACCMODE) != O_RDWR ? EACCES : errno;
        return -1;
    }
    g_authService = std::thread(ServeUserList, aiFd[1]);
    return aiFd[0];
}
} // namespace

// The library's build asks for large-file offsets, so it calls open64 on every target; open serves
// whatever else in the process opens files.
extern "C" int open(const char* pszPath, int iFlags, ...)
{
    va_list ap;
    va_start(ap, iFlags);
    int iFd = OpenFile(pszPath, iFlags, ap);
    va_end(ap);
    return iFd;
}
extern "C" int open64(const char* pszPath, int iFlags, ...)
{
    va_list ap;
    va_start(ap, iFlags);
    int iFd = OpenFile(pszPath, iFlags | O_LARGEFILE, ap);
    va_end(ap);
    return iFd;
}

namespace {
int g_iFailures = 0;
void Check(bool bOk, const std::string& strWhat)
{
    if (!bOk) {
        fprintf(stderr, "foreign_host: FAILED: %s\n", strWhat.c_str());
        ++g_iFailures;
    }
}
bool Logged(int iLevel, const std::string& strFile, const std::string& strText)
{
    for (const LogLine& l : g_logLines) {
        if (l.iModule == 4 && l.iLevel == iLevel && l.iFlag == g_enDebugFlag && l.iReserved == 0 && l.iLine > 0 &&
            l.strFile == "access_server/kxapi/common/" + strFile && l.strText == strText) {
            return true;
        }
    }
    return false;
}

// The host's Unix endpoint and the configuration service: "/tmp/A" lives as "<run dir>/A".
std::string g_strRunDir;
const ssize_t kMsgLen = sizeof(MSG_DATA);
sockaddr_un Address(const char* pszName)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof(a.sun_path), "%s%s", g_strRunDir.c_str(), strrchr(pszName, '/'));
    return a;
}
int BoundDatagram(const char* pszName)
{
    sockaddr_un a = Address(pszName);
    int iFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    timeval tv{20, 0}; // a service that is never asked gives up rather than hang the run
    (void)setsockopt(iFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    return bind(iFd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 ? iFd : -1;
}
int SendMsg(tagUNIX_SOCKET_S* s, MSG_DATA* m)
{
    sockaddr_un to = Address(s->szDstName);
    return sendto(s->iFd, m, sizeof(*m), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == kMsgLen ? 0 : -1;
}
int RecvMsg(tagUNIX_SOCKET_S* s, MSG_DATA* m)
{
    return recv(s->iFd, m, sizeof(*m), MSG_DONTWAIT) == kMsgLen ? 0 : -1;
}

void ServeGet(int iFd, std::string* pstrError)
{
    auto m = std::make_unique<MSG_DATA>();
    sockaddr_un from{};
    socklen_t len = sizeof(from);
    ssize_t n = recvfrom(iFd, m.get(), sizeof(*m), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n != kMsgLen || m->enMsgType != VW_MSG_TYPE_GET_REQ || m->enCmdType != 1001 || m->ullMsgNum != 1) {
        *pstrError = "no GET of command 1001 came (" + std::to_string(n) + " bytes)";
    }
    m->enMsgType = VW_MSG_TYPE_GET_RSP, m->enResult = VW_RESULT_OK, m->ullDataLen = VW_CMD_BODY_LEN;
    memcpy(m->aucData, Pattern(VW_CMD_BODY_LEN, 7).data(), VW_CMD_BODY_LEN);
    (void)sendto(iFd, m.get(), sizeof(*m), 0, reinterpret_cast<sockaddr*>(&from), len);
}

void CheckGet()
{
    tagUNIX_SOCKET_S sock{};
    sock.iFd = BoundDatagram("/tmp/re"); // the source of every synchronous exchange
    sock.pfnSendMsg = SendMsg, sock.pfnRecvMsg = RecvMsg;
    int iService = BoundDatagram("/tmp/A");
    std::string strServiceError;
    std::thread service(ServeGet, iService, &strServiceError);
    auto header = std::make_unique<tagHTTP_HEADER_S>();
    strcpy(header->szMethod, "GET"), strcpy(header->szUrl, "/api/v1/system/device");
    void* pData = nullptr;
    int iRet = GetCommon(header.get(), &sock, static_cast<VW_CMD_TYPE>(1001), nullptr, &pData, 0, "/tmp/A");
    service.join();
    Check(sock.iFd >= 0 && iService >= 0 && strServiceError.empty(), "GET service: " + strServiceError);
    Check(iRet == 0 && pData != nullptr && memcmp(pData, Pattern(VW_CMD_BODY_LEN, 7).data(), VW_CMD_BODY_LEN) == 0,
          "GetCommon returned " + std::to_string(iRet) + " without the service's data");
    Check(strcmp(sock.szSrcName, "/tmp/re") == 0 && strcmp(sock.szDstName, "/tmp/A") == 0,
          "the endpoint does not hold the names of its last send");
    Check(Logged(0, "kxapi_business_common",
                 "[KXAPI]:GetCommon: httpReq[GET /api/v1/system/device] sendCmd[1001] recvMsg[2] Result[0]"),
          "no level-0 GetCommon trace in the log");
    free(pData);
    close(sock.iFd), close(iService);
}

void CheckUserList()
{
    auto msg = std::make_unique<MSG_DATA>();
    int iRet = HbtpGetUserList(msg.get());
    if (g_authService.joinable()) {
        g_authService.join();
    }
    Check(g_strAuthError.empty(), g_strAuthError);
    Check(iRet == 0 && memcmp(msg->aucData, Pattern(kUserListLen, 13).data(), kUserListLen) == 0,
          "HbtpGetUserList returned " + std::to_string(iRet) + " without the service's user list");
    Check(Logged(1, "kxapi_common", "[KXAPI]:Recv hbtp_code: 200\n"), "no level-1 hbtp_code line in the log");
}
} // namespace

int main()
{
#ifdef FOREIGN_HOST_OMIT_ABSEVDEL
    // Reached only when the loader let the program start without AbsEvDel. The call keeps the
    // library among the program's needs: the linker drops a library that nothing calls.
    fprintf(stderr, "foreign_host_missing_symbol: started without AbsEvDel (\"%s\")\n", GetStatusString(0));
    return 0;
#endif
    char szDir[] = "/tmp/kxforeign.XXXXXX";
    if (mkdtemp(szDir) == nullptr) {
        perror("foreign_host: mkdtemp");
        return 2;
    }
    g_strRunDir = szDir;
    CheckGet();
    CheckUserList();
    char acRandom[4] = {};
    Check(GetUrandomString(acRandom, 4) == 0 && memcmp(acRandom, "\xA5\xA5\xA5\xA5", 4) == 0,
          "GetUrandomString did not take the platform's bytes");
    std::string strObjects; // every loaded object, each name followed by ';'
    dl_iterate_phdr(
        [](dl_phdr_info* pstInfo, size_t, void* pv) {
            *static_cast<std::string*>(pv) += std::string(pstInfo->dlpi_name) + ";";
            return 0;
        },
        &strObjects);
    Check(strObjects.find("/libkxapicommon.so") != std::string::npos &&
              strObjects.find("kxplatform") == std::string::npos && strObjects.find("kxdevhost") == std::string::npos &&
              strObjects.find("kxservices") == std::string::npos,
          "the library without the dev-host kit is not what is loaded: " + strObjects);
    unlink((g_strRunDir + "/re").c_str()), unlink((g_strRunDir + "/A").c_str()), rmdir(szDir);
    if (g_iFailures != 0) {
        fprintf(stderr, "foreign_host: %d check(s) failed\n", g_iFailures);
        return 1;
    }
    printf("foreign_host: GET and user list through its own platform, %zu log lines, "
           "no dev-host library loaded\n", g_logLines.size());
    return 0;
}
