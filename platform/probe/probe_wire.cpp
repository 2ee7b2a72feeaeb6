// kxapi-probe: messages, names, data forms and the probe's own endpoint.
#include "probe_wire.h"

#include <json-c/json.h>

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace kxprobe {

namespace {

// The whole text as one JSON object or array; null for anything else (a bare number or string
// is data a person reads better as it stands).
JsonPtr ParseJson(const std::string& strText)
{
    JsonPtr pObj = ParseWholeJson(strText);
    bool bShown = json_object_is_type(pObj.get(), json_type_object) || json_object_is_type(pObj.get(), json_type_array);
    return bShown ? std::move(pObj) : nullptr;
}

bool Printable(const std::string& strText)
{
    for (unsigned char c : strText) {
        if ((c < 0x20 && c != '\n' && c != '\t' && c != '\r') || c == 0x7f) {
            return false;
        }
    }
    return true;
}

} // namespace

void JsonPut::operator()(json_object* pObj) const
{
    json_object_put(pObj);
}

JsonPtr ParseWholeJson(const std::string& strText)
{
    if (strText.find('\0') != std::string::npos) {
        return nullptr;
    }
    json_tokener* pTok = json_tokener_new();
    if (pTok == nullptr) {
        return nullptr;
    }
    // With its NUL, so that a number at the very end is known to have ended.
    JsonPtr pVal(json_tokener_parse_ex(pTok, strText.c_str(), static_cast<int>(strText.size()) + 1));
    bool bWhole = json_tokener_get_error(pTok) == json_tokener_success &&
                  strText.find_first_not_of(" \t\r\n", json_tokener_get_parse_end(pTok)) == std::string::npos;
    json_tokener_free(pTok);
    return bWhole ? std::move(pVal) : nullptr;
}

bool UnixAddress(const std::string& strPath, sockaddr_un* pstAddr)
{
    memset(pstAddr, 0, sizeof(*pstAddr));
    pstAddr->sun_family = AF_UNIX;
    if (strPath.size() >= sizeof(pstAddr->sun_path)) {
        return false;
    }
    memcpy(pstAddr->sun_path, strPath.c_str(), strPath.size() + 1);
    return true;
}

std::string SocketPath(const std::string& strRunDir, const std::string& strName)
{
    if (strRunDir.empty()) {
        return strName;
    }
    std::string strFlat = strName.substr(std::min(strName.find_first_not_of('/'), strName.size()));
    for (char& c : strFlat) {
        c = c == '/' ? '_' : c;
    }
    return strRunDir + "/" + strFlat;
}

namespace {

// A field of the message read where it lies in the datagram (which need not be aligned).
template <typename T>
T FieldAt(const unsigned char* pBytes, size_t uiOffset)
{
    T value;
    memcpy(&value, pBytes + uiOffset, sizeof(value));
    return value;
}

} // namespace

Message Decode(const void* pDatagram, size_t uiBytes)
{
    Message stMsg;
    stMsg.uiBytes = uiBytes;
    if (uiBytes != sizeof(MSG_DATA)) {
        return stMsg;
    }
    const unsigned char* p = static_cast<const unsigned char*>(pDatagram);
    stMsg.bWhole = true;
    stMsg.uiType = static_cast<unsigned int>(FieldAt<VW_MSG_TYPE>(p, offsetof(MSG_DATA, enMsgType)));
    stMsg.uiCmd = static_cast<unsigned int>(FieldAt<VW_CMD_TYPE>(p, offsetof(MSG_DATA, enCmdType)));
    stMsg.iResult = static_cast<int>(FieldAt<VW_RESULT_TYPE>(p, offsetof(MSG_DATA, enResult)));
    stMsg.ullCookie = reinterpret_cast<uintptr_t>(FieldAt<void*>(p, offsetof(MSG_DATA, pUserData)));
    stMsg.ullMsgNum = FieldAt<unsigned long long>(p, offsetof(MSG_DATA, ullMsgNum));
    stMsg.ullDataLen = FieldAt<unsigned long long>(p, offsetof(MSG_DATA, ullDataLen));
    stMsg.ullExtParam = FieldAt<unsigned long long>(p, offsetof(MSG_DATA, ullExtParam));
    const unsigned char* pData = p + offsetof(MSG_DATA, aucData);
    size_t uiLen = VW_CMD_BODY_LEN;
    while (uiLen > 0 && pData[uiLen - 1] == 0) {
        --uiLen;
    }
    stMsg.strData.assign(reinterpret_cast<const char*>(pData), uiLen);
    return stMsg;
}

Message Decode(const std::string& strDatagram)
{
    return Decode(strDatagram.data(), strDatagram.size());
}

std::string TypeName(unsigned int uiType)
{
    static const char* const kNames[] = {"GET", "SET", "GET reply", "SET reply"};
    return uiType < 4 ? kNames[uiType] : "type " + std::to_string(uiType);
}

std::string HexDump(const std::string& strData)
{
    std::string strOut;
    char acLine[100];
    for (size_t uiAt = 0; uiAt < strData.size(); uiAt += 16) {
        int n = snprintf(acLine, sizeof(acLine), "%08zx ", uiAt);
        std::string strAscii;
        for (size_t i = uiAt; i < uiAt + 16; ++i) {
            if (i < strData.size()) {
                unsigned char c = static_cast<unsigned char>(strData[i]);
                n += snprintf(acLine + n, sizeof(acLine) - static_cast<size_t>(n), " %02x", c);
                strAscii.push_back(c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '.');
            } else {
                n += snprintf(acLine + n, sizeof(acLine) - static_cast<size_t>(n), "   ");
            }
        }
        strOut += std::string(acLine) + "  |" + strAscii + "|\n";
    }
    return strOut;
}

std::string ShowData(const std::string& strData, bool bHex)
{
    if (strData.empty()) {
        return "(empty)\n";
    }
    if (bHex) {
        return HexDump(strData);
    }
    // A text a service ended with NULs (as C strings go) is still that text.
    std::string strText = strData.substr(0, strData.find_last_not_of('\0') + 1);
    if (strText.find('\0') == std::string::npos) {
        if (JsonPtr pObj = ParseJson(strText)) {
            return std::string(json_object_to_json_string_ext(pObj.get(), JSON_C_TO_STRING_PRETTY |
                                                                              JSON_C_TO_STRING_SPACED |
                                                                              JSON_C_TO_STRING_NOSLASHESCAPE)) +
                   "\n";
        }
        if (Printable(strText)) {
            return strText + (strText.empty() || strText.back() != '\n' ? "\n" : "");
        }
    }
    return HexDump(strData);
}

std::string JsonString(const std::string& strText)
{
    JsonPtr pStr(json_object_new_string_len(strText.data(), static_cast<int>(strText.size())));
    return json_object_to_json_string_ext(pStr.get(), JSON_C_TO_STRING_NOSLASHESCAPE);
}

std::string DataJson(const std::string& strData)
{
    std::string strText = strData.substr(0, strData.find_last_not_of('\0') + 1);
    if (strText.find('\0') == std::string::npos) {
        if (JsonPtr pObj = ParseJson(strText)) {
            return json_object_to_json_string_ext(pObj.get(), JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
        }
        if (Printable(strText)) {
            return JsonString(strText);
        }
    }
    std::string strHex;
    char acByte[3];
    for (unsigned char c : strData) {
        snprintf(acByte, sizeof(acByte), "%02x", c);
        strHex += acByte;
    }
    return "{\"hex\":\"" + strHex + "\"}";
}

Endpoint::Endpoint(const std::string& strRunDir) : m_strRunDir(strRunDir)
{
    memset(&m_stSock, 0, sizeof(m_stSock));
    m_stSock.iFd = -1;
    m_stSock.pfnSendMsg = Send;
    m_stSock.pfnRecvMsg = Recv;
}

Endpoint::~Endpoint()
{
    if (m_stSock.iFd >= 0) {
        close(m_stSock.iFd);
        (void)unlink(m_strPath.c_str());
    }
}

bool Endpoint::Open(std::string* pstrError)
{
    static std::atomic<unsigned int> s_uiNext{0};
    // A name of the probe's own: on the camera "/tmp/re" is the server's, and a reply sent there
    // would reach the server instead of the probe.
    m_strPath = SocketPath(m_strRunDir, "/tmp/kxprobe." + std::to_string(getpid()) + "." + std::to_string(s_uiNext++));
    sockaddr_un stAddr;
    if (!UnixAddress(m_strPath, &stAddr)) {
        *pstrError = "socket path too long: " + m_strPath;
        return false;
    }
    m_stSock.iFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    // As the kit's endpoints: a send waits up to a second for room in a busy service's queue.
    timeval stWait{1, 0};
    if (m_stSock.iFd < 0 || setsockopt(m_stSock.iFd, SOL_SOCKET, SO_SNDTIMEO, &stWait, sizeof(stWait)) != 0 ||
        ((void)unlink(m_strPath.c_str()), bind(m_stSock.iFd, reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr))) !=
            0) {
        *pstrError = "cannot bind " + m_strPath + ": " + strerror(errno);
        return false;
    }
    return true;
}

int Endpoint::Send(tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstMsg)
{
    Endpoint* pThis = reinterpret_cast<Endpoint*>(pstSock);
    char szDst[sizeof(pstSock->szDstName) + 1] = {0};
    memcpy(szDst, pstSock->szDstName, sizeof(pstSock->szDstName));
    std::string strPath = SocketPath(pThis->m_strRunDir, szDst);
    sockaddr_un stTo;
    if (!UnixAddress(strPath, &stTo)) {
        pThis->m_iSendErrno = ENAMETOOLONG;
        return -1;
    }
    ssize_t n = sendto(pstSock->iFd, pstMsg, sizeof(*pstMsg), 0, reinterpret_cast<sockaddr*>(&stTo), sizeof(stTo));
    pThis->m_iSendErrno = n == static_cast<ssize_t>(sizeof(*pstMsg)) ? 0 : (n < 0 ? errno : EMSGSIZE);
    return pThis->m_iSendErrno == 0 ? 0 : -1;
}

int Endpoint::Recv(tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstMsg)
{
    // A longer datagram is no whole message either (MSG_TRUNC gives its real length).
    ssize_t n = recv(pstSock->iFd, pstMsg, sizeof(*pstMsg), MSG_DONTWAIT | MSG_TRUNC);
    return n == static_cast<ssize_t>(sizeof(*pstMsg)) ? 0 : -1;
}

namespace {

volatile sig_atomic_t g_bTimedOut = 0;

void OnAlarm(int)
{
    g_bTimedOut = 1;
}

// The library's wait is select() on the endpoint: a signal without SA_RESTART ends it at once
// (select is never restarted), and the library answers as for a time-out.
class WaitLimit {
public:
    explicit WaitLimit(double dSeconds) : m_bOn(dSeconds > 0)
    {
        g_bTimedOut = 0;
        if (!m_bOn) {
            return;
        }
        struct sigaction stAct {};
        stAct.sa_handler = OnAlarm;
        sigemptyset(&stAct.sa_mask);
        sigaction(SIGALRM, &stAct, &m_stOld);
        itimerval stTimer{};
        stTimer.it_value.tv_sec = static_cast<time_t>(dSeconds);
        stTimer.it_value.tv_usec = static_cast<suseconds_t>((dSeconds - static_cast<double>(stTimer.it_value.tv_sec)) *
                                                            1e6);
        if (stTimer.it_value.tv_sec == 0 && stTimer.it_value.tv_usec == 0) {
            stTimer.it_value.tv_usec = 1;
        }
        setitimer(ITIMER_REAL, &stTimer, nullptr);
    }
    ~WaitLimit()
    {
        if (m_bOn) {
            itimerval stOff{};
            setitimer(ITIMER_REAL, &stOff, nullptr);
            sigaction(SIGALRM, &m_stOld, nullptr);
        }
    }
    WaitLimit(const WaitLimit&) = delete;
    WaitLimit& operator=(const WaitLimit&) = delete;

private:
    bool m_bOn;
    struct sigaction m_stOld {};
};

std::string Seconds(double d)
{
    std::ostringstream out;
    out << d;
    return out.str();
}

} // namespace

int Ask(const std::string& strRunDir, const std::string& strService, bool bSet, unsigned int uiCmd,
        const std::string& strData, double dTimeoutSeconds, Message* pstReply, std::string* pstrWhy)
{
    Endpoint ep(strRunDir);
    if (!ep.Open(pstrWhy)) {
        return kExitFailed;
    }
    std::string strPath = SocketPath(strRunDir, strService);
    if (strService.size() >= sizeof(ep.Record()->szDstName)) {
        *pstrWhy = "service name \"" + strService + "\" is longer than " +
                   std::to_string(sizeof(ep.Record()->szDstName) - 1) + " characters";
        return kExitUsage;
    }
    auto pstBody = std::make_unique<vwCmdBody>();
    memset(pstBody.get(), 0, sizeof(*pstBody));
    memcpy(pstBody->aucData, strData.data(), std::min(strData.size(), sizeof(pstBody->aucData)));
    bool bBody = bSet || !strData.empty();
    auto pstRsp = std::make_unique<MSG_DATA>();
    memset(pstRsp.get(), 0, sizeof(*pstRsp));
    // Left as it is when nothing arrives; a reply of another type or command overwrites it.
    const unsigned int kNothing = 0xffffffffu;
    pstRsp->enMsgType = static_cast<VW_MSG_TYPE>(kNothing);
    long long llRet;
    {
        WaitLimit limit(dTimeoutSeconds);
        llRet = RestSendSynUnixMsg(strService.c_str(), bSet ? VW_MSG_TYPE_SET_REQ : VW_MSG_TYPE_GET_REQ,
                                   static_cast<VW_CMD_TYPE>(uiCmd), bBody ? pstBody.get() : nullptr, ep.Record(),
                                   pstRsp.get(), 0);
    }
    if (llRet == 0) {
        *pstReply = Decode(pstRsp.get(), sizeof(*pstRsp));
        return kExitOk;
    }
    if (ep.SendErrno() != 0) {
        int iErr = ep.SendErrno();
        bool bMissing = iErr == ENOENT || iErr == ECONNREFUSED || iErr == ENOTSOCK;
        *pstrWhy = (bMissing ? "no service at " : "cannot send to ") + strService +
                   (strPath != strService ? " (" + strPath + ")" : "") + ": " + strerror(iErr);
        return bMissing ? kExitNoService : kExitFailed;
    }
    if (static_cast<unsigned int>(pstRsp->enMsgType) != kNothing) {
        *pstReply = Decode(pstRsp.get(), sizeof(*pstRsp));
        *pstrWhy = "the reply does not match the request: " + TypeName(pstReply->uiType) + " cmd " +
                   std::to_string(pstReply->uiCmd) + " for " + (bSet ? "SET" : "GET") + " cmd " + std::to_string(uiCmd);
        return kExitMismatch;
    }
    *pstrWhy = g_bTimedOut ? "no reply from " + strService + " within " + Seconds(dTimeoutSeconds) + " s"
                           : "no reply from " + strService + " (the library's wait ended without a whole message)";
    return kExitTimeout;
}

} // namespace kxprobe
