// kxapi-probe: the command message as the probe sees it, where a service's socket lives, the data
// forms of the command line and the endpoint the probe sends from.
#ifndef KXPROBE_WIRE_H
#define KXPROBE_WIRE_H

#include "kxapicommon.h"

#include <sys/un.h>

#include <memory>
#include <string>

struct json_object;

namespace kxprobe {

// Exit statuses, one per way a command can end (listed in kxapi-probe.1).
enum ExitStatus {
    kExitOk = 0,        // result 0, HBTP 200, a tap ended by a signal or --for, no difference
    kExitResult = 1,    // the service answered with a non-zero result (HBTP: not 200); diff: differences
    kExitUsage = 2,     // bad arguments
    kExitTimeout = 3,   // no reply in time
    kExitNoService = 4, // nothing listens on the service's name
    kExitMismatch = 5,  // a reply of another type or command
    kExitFailed = 6,    // anything else: a file, a socket, a name that cannot be moved
};

struct JsonPut {
    void operator()(json_object* pObj) const;
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;
// The whole text as one JSON value of any kind; null for anything else (a NUL inside, more after it).
JsonPtr ParseWholeJson(const std::string& strText);

// The socket address of a path; false when it is too long for one.
bool UnixAddress(const std::string& strPath, sockaddr_un* pstAddr);

// Where a service name lives: on the camera the name is the path; under a run directory (the
// dev-host kit's), "/tmp/A" becomes "<run dir>/tmp_A", as the kit maps it.
std::string SocketPath(const std::string& strRunDir, const std::string& strName);

// A datagram decoded as a command message. Only a datagram of exactly sizeof(MSG_DATA) bytes is
// one; the fields of a shorter or longer one are zero and bWhole is false.
struct Message {
    bool bWhole = false;
    size_t uiBytes = 0;
    unsigned int uiType = 0;
    unsigned int uiCmd = 0;
    int iResult = 0;
    unsigned long long ullCookie = 0; // pUserData, as a number
    unsigned long long ullMsgNum = 0;
    unsigned long long ullDataLen = 0;
    unsigned long long ullExtParam = 0;
    std::string strData; // the data block without its trailing zeros
};
Message Decode(const void* pDatagram, size_t uiBytes);
Message Decode(const std::string& strDatagram);

// "GET", "SET", "GET reply", "SET reply", or the number.
std::string TypeName(unsigned int uiType);

// Data shown to a person: indented JSON when the text is JSON, the text when it is printable,
// else (or with bHex) a hex dump, 16 bytes a line with their offsets.
std::string ShowData(const std::string& strData, bool bHex);
std::string HexDump(const std::string& strData);
// The data as a JSON value for --json output: the parsed JSON, else the text, else {"hex": ...}.
std::string DataJson(const std::string& strData);
// JSON string literal of any bytes (\u00XX for control bytes and bytes that are no UTF-8).
std::string JsonString(const std::string& strText);

// A datagram endpoint of the probe's own, bound under a name no other process uses, so a reply
// can never reach the server whose service it asks. Its operations are the host's of the
// library's endpoint record; a failed send keeps its errno in iSendErrno.
class Endpoint {
public:
    Endpoint(const std::string& strRunDir);
    ~Endpoint();
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;
    bool Open(std::string* pstrError);
    tagUNIX_SOCKET_S* Record() { return &m_stSock; }
    const std::string& Path() const { return m_strPath; }
    int SendErrno() const { return m_iSendErrno; }

private:
    static int Send(tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstMsg);
    static int Recv(tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstMsg);
    tagUNIX_SOCKET_S m_stSock; // first: the operations find the endpoint from the record
    std::string m_strRunDir;
    std::string m_strPath;
    int m_iSendErrno = 0;
};

// One synchronous exchange through the library's own send and receive (RestSendSynUnixMsg), from
// a fresh Endpoint, to the service strService ("/tmp/A"; mapped under strRunDir when not empty).
// dTimeoutSeconds > 0 ends the library's wait sooner (a timer interrupts it); 0 keeps the
// library's own wait. Returns an ExitStatus: kExitOk with the reply in *pstReply (whatever its
// result), kExitMismatch with the mismatched reply in *pstReply, kExitTimeout, kExitNoService or
// kExitFailed, each with one line in *pstrWhy.
int Ask(const std::string& strRunDir, const std::string& strService, bool bSet, unsigned int uiCmd,
        const std::string& strData, double dTimeoutSeconds, Message* pstReply, std::string* pstrWhy);

} // namespace kxprobe

#endif
