// Unix messaging, query parsing, the status table and status body, the IP-lock response, the HBTP
// reply reader and user list, the subscriber tables and common helpers.
#define KXAPI_LOG_FILE "access_server/kxapi/common/kxapi_common"
#include "abs_event.h"
#include "kxapi_algo_paths.h"
#include "kxapi_exchange.h"
#include "kxapi_hbtp.h"
#include "kxapi_log.h"
#include "kxapi_owned.h"
#include "kxapi_response.h"
#include "kxapicommon.h"

#include <sys/select.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <Poco/URI.h>

#include <fcntl.h>
#include <regex.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <new>
#include <string>

namespace {

constexpr const char* kSynSrcName = "/tmp/re";
constexpr const char* kAsynSrcName = "/tmp/Re";
constexpr size_t kUnixNameSize = sizeof(static_cast<tagUNIX_SOCKET_S*>(nullptr)->szDstName);

// SET commands whose services need longer than the default to answer.
struct SetWait {
    int iCmd;
    int iTimeoutSec;
};
constexpr SetWait kSetWaits[] = {
    {VW_CMD_SET_LONG_22026, 60}, {VW_CMD_SET_LONG_7020, 120}, {VW_CMD_SET_LONG_7038, 180},
    {VW_CMD_SET_LONG_7039, 180}, {VW_CMD_SET_LONG_7013, 360},
};
constexpr int kGetWaitSec = 30;
constexpr int kDefaultWaitSec = 15;

// How long the synchronous exchange waits for a service's reply, and which reply type it accepts.
struct ReplyWait {
    int iTimeoutSec;
    VW_MSG_TYPE enReplyType;
};

// Commands are compared by value; a request type other than GET and SET waits the default time
// for a SET reply.
ReplyWait SelectReplyWait(VW_MSG_TYPE enMsgType, VW_CMD_TYPE enCmd)
{
    if (enMsgType == VW_MSG_TYPE_GET_REQ) {
        return {kGetWaitSec, VW_MSG_TYPE_GET_RSP};
    }
    if (enMsgType == VW_MSG_TYPE_SET_REQ) {
        for (const SetWait& stWait : kSetWaits) {
            if (stWait.iCmd == static_cast<int>(enCmd)) {
                return {stWait.iTimeoutSec, VW_MSG_TYPE_SET_RSP};
            }
        }
    }
    return {kDefaultWaitSec, VW_MSG_TYPE_SET_RSP};
}

// select() cannot watch a descriptor outside its set.
bool UnixFdSelectable(int iFd)
{
    return iFd >= 0 && iFd < FD_SETSIZE;
}

// Every message starts all zero, so that each byte the library does not set is 0 on the wire.
void ZeroUnixMsg(MSG_DATA* pstMsg)
{
    KXAPI_SECUREC_CHECK("memset_s", memset_s(pstMsg, sizeof(*pstMsg), 0, sizeof(*pstMsg)));
}

// Discards every datagram already queued on iFd, so that nothing sent before the next request
// (a late reply to a timed-out one above all) is taken for that request's reply. The datagrams go
// into pstZeroed, an all-zero message buffer of the caller's that is zero again on return; almost
// always nothing is queued and the buffer is not touched at all.
void RestDrainUnixSocket(int iFd, MSG_DATA* pstZeroed)
{
    if (!UnixFdSelectable(iFd)) {
        return;
    }
    bool bTouched = false;
    for (;;) {
        fd_set stReadSet;
        FD_ZERO(&stReadSet);
        FD_SET(iFd, &stReadSet);
        struct timeval stPoll = {0, 0};
        if (select(iFd + 1, &stReadSet, nullptr, nullptr, &stPoll) <= 0) {
            break;
        }
        if (!FD_ISSET(iFd, &stReadSet)) {
            continue;
        }
        struct sockaddr_un stFrom; // 110 bytes: the size of a Unix-domain address
        KXAPI_SECUREC_CHECK("memset_s", memset_s(&stFrom, sizeof(stFrom), 0, sizeof(stFrom)));
        socklen_t uFromLen = sizeof(stFrom);
        bTouched = true;
        ssize_t nGot = recvfrom(iFd, pstZeroed, sizeof(*pstZeroed), 0, reinterpret_cast<struct sockaddr*>(&stFrom),
                                &uFromLen);
        if (nGot <= 0) {
            break;
        }
    }
    if (bTouched) {
        ZeroUnixMsg(pstZeroed);
    }
}

// Both names must fit their 8-byte fields with the terminator; the destination is judged first.
bool UnixNamesFit(const char* pszDst, const char* pszSrc)
{
    size_t uLen = strlen(pszDst);
    if (uLen + 1 > kUnixNameSize) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:length %u of msg dst is invalid", static_cast<unsigned>(uLen));
        return false;
    }
    uLen = strlen(pszSrc);
    if (uLen + 1 > kUnixNameSize) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:length %u of msg src is invalid", static_cast<unsigned>(uLen));
        return false;
    }
    return true;
}

void CopyUnixName(char* pszField, const char* pszName)
{
    KXAPI_SECUREC_CHECK("strncpy_s", strncpy_s(pszField, kUnixNameSize, pszName, strlen(pszName)));
}

using kxapi_exchange::CmdData;

// The common part of every send, into pstZeroed, an all-zero message: only the fields that are not
// zero are written, the endpoint's names overwritten. 0, or -1 for a refused argument (nothing
// written, names untouched).
int BuildUnixMsg(MSG_DATA* pstZeroed, tagUNIX_SOCKET_S* pstSock, const char* pszDst, const char* pszSrc,
                 VW_MSG_TYPE enMsgType, VW_CMD_TYPE enCmd, const CmdData& stData, unsigned long long ullExtParam)
{
    if (pszDst == nullptr || pszSrc == nullptr || pstSock == nullptr || pstSock->pfnSendMsg == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:null pointer!");
        return -1;
    }
    if (!UnixNamesFit(pszDst, pszSrc)) {
        return -1;
    }
    CopyUnixName(pstSock->szDstName, pszDst);
    CopyUnixName(pstSock->szSrcName, pszSrc);
    pstZeroed->enMsgType = enMsgType;
    pstZeroed->enCmdType = enCmd;
    pstZeroed->ullMsgNum = 1;
    pstZeroed->ullExtParam = ullExtParam;
    if (stData.pData != nullptr) {
        KXAPI_SECUREC_CHECK("memcpy_s",
                            memcpy_s(pstZeroed->aucData, sizeof(pstZeroed->aucData), stData.pData, stData.uiLen));
        pstZeroed->ullDataLen = VW_CMD_BODY_LEN;
    }
    return 0;
}

// Zeroes again what BuildUnixMsg wrote: the fields before the data block and the data given.
void ClearUnixMsg(MSG_DATA* pstMsg, const CmdData& stData)
{
    constexpr size_t kHeadSize = offsetof(MSG_DATA, aucData);
    KXAPI_SECUREC_CHECK("memset_s", memset_s(pstMsg, kHeadSize, 0, kHeadSize));
    if (stData.pData != nullptr && stData.uiLen > 0) {
        KXAPI_SECUREC_CHECK("memset_s", memset_s(pstMsg->aucData, sizeof(pstMsg->aucData), 0, stData.uiLen));
    }
}

// Two attempts, no delay between them. 0 when one of them went out.
int SendUnixMsgTwice(tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstMsg)
{
    if (pstSock->pfnSendMsg(pstSock, pstMsg) == 0 || pstSock->pfnSendMsg(pstSock, pstMsg) == 0) {
        return 0;
    }
    KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:fail to send unix msg");
    return -1;
}

// RestSendUnixMsg on an all-zero message buffer of the caller's.
long long SendUnixMsgOn(MSG_DATA* pstZeroed, tagUNIX_SOCKET_S* pstSock, const char* pszDst, const char* pszSrc,
                        VW_MSG_TYPE enMsgType, VW_CMD_TYPE enCmd, const CmdData& stData, unsigned long long ullExtParam)
{
    if (BuildUnixMsg(pstZeroed, pstSock, pszDst, pszSrc, enMsgType, enCmd, stData, ullExtParam) != 0) {
        return -1;
    }
    KXAPI_LOG(KXAPI_LEVEL_INFO, "[KXAPI]:%s, szClientUserName[%s]", "RestSendUnixMsg", pstZeroed->szClientUserName);
    return SendUnixMsgTwice(pstSock, pstZeroed);
}

// Waits once for the reply and checks it. 0 for a matching reply; -1 without a reply (enResult
// then -1); for a mismatched reply its own nonzero result, or -1 when it carries 0.
long long AwaitUnixReply(tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstRspMsg, const ReplyWait& stWait, VW_CMD_TYPE enCmd)
{
    int iFd = pstSock->iFd;
    int iSelected = -1;
    fd_set stReadSet;
    FD_ZERO(&stReadSet);
    if (UnixFdSelectable(iFd)) {
        FD_SET(iFd, &stReadSet);
        struct timeval stWaitTime = {stWait.iTimeoutSec, 0};
        iSelected = select(iFd + 1, &stReadSet, nullptr, nullptr, &stWaitTime);
    }
    bool bReceived = false;
    if (iSelected < 0) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:select error");
    } else if (iSelected == 0) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:select timeout");
    } else if (FD_ISSET(iFd, &stReadSet)) {
        if (pstSock->pfnRecvMsg != nullptr && pstSock->pfnRecvMsg(pstSock, pstRspMsg) == 0) {
            bReceived = true;
        } else {
            KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:recvMsg Failed");
        }
    }
    if (!bReceived) {
        pstRspMsg->enResult = VW_RESULT_FAILURE;
        return -1;
    }
    if (pstRspMsg->enMsgType != stWait.enReplyType) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:msg type %d is not match to %d", static_cast<int>(pstRspMsg->enMsgType),
                  static_cast<int>(stWait.enReplyType));
    } else if (pstRspMsg->enCmdType != enCmd) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:Rsp cmd type %d is not match to %d",
                  static_cast<int>(pstRspMsg->enCmdType), static_cast<int>(enCmd));
    } else {
        return 0;
    }
    long long llResult = static_cast<long long>(pstRspMsg->enResult);
    return llResult != 0 ? llResult : -1;
}

// The synchronous exchange after its null checks. The queue is drained into pstZeroed and the
// request built there; when that is the reply buffer itself, it is cleared again before the wait.
long long SendSynOn(MSG_DATA* pstZeroed, const char* pszDst, VW_MSG_TYPE enMsgType, VW_CMD_TYPE enCmd,
                    const CmdData& stData, tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstRspMsg,
                    unsigned long long ullExtParam)
{
    const ReplyWait stWait = SelectReplyWait(enMsgType, enCmd);
    RestDrainUnixSocket(pstSock->iFd, pstZeroed);
    long long llSent = SendUnixMsgOn(pstZeroed, pstSock, pszDst, kSynSrcName, enMsgType, enCmd, stData, ullExtParam);
    if (pstZeroed == pstRspMsg) {
        ClearUnixMsg(pstZeroed, stData);
    }
    if (llSent != 0) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:send unix message to %s fail", pszDst);
        return -1;
    }
    long long llRet = AwaitUnixReply(pstSock, pstRspMsg, stWait, enCmd);
    if (llRet != 0) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:receive unix message from %s fail", pszDst);
    }
    return llRet;
}

bool SynArgsPresent(const char* pszDst, const tagUNIX_SOCKET_S* pstSock, const MSG_DATA* pstRspMsg)
{
    if (pszDst == nullptr || pstSock == nullptr || pstRspMsg == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:null pointer");
        return false;
    }
    return true;
}

// RestSendUnixSeqMsg on an all-zero message buffer of the caller's.
long long SendUnixSeqMsgOn(MSG_DATA* pstZeroed, tagUNIX_SOCKET_S* pstSock, int iSeq, const char* pszDst,
                           const char* pszSrc, VW_MSG_TYPE enMsgType, VW_CMD_TYPE enCmd, const vwCmdBody* pstBody,
                           unsigned long long ullExtParam)
{
    if (BuildUnixMsg(pstZeroed, pstSock, pszDst, pszSrc, enMsgType, enCmd, kxapi_exchange::WholeBody(pstBody),
                     ullExtParam) != 0) {
        return -1;
    }
    int* piCookie = static_cast<int*>(malloc(sizeof(int)));
    if (piCookie == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:send unix msg malloc pUserData[%p] fail", static_cast<void*>(piCookie));
        return -1;
    }
    *piCookie = iSeq;
    pstZeroed->pUserData = piCookie;
    if (SendUnixMsgTwice(pstSock, pstZeroed) != 0) {
        free(piCookie); // never went out: nobody else will see it
        pstZeroed->pUserData = nullptr;
        return -1;
    }
    return 0; // the cookie now belongs to whoever reads the reply
}

} // namespace

long long RestSendUnixMsg(tagUNIX_SOCKET_S* pstSock, const char* pszDst, const char* pszSrc, VW_MSG_TYPE enMsgType,
                          VW_CMD_TYPE enCmd, const vwCmdBody* pstBody, unsigned long long ullExtParam)
{
    MSG_DATA stMsg;
    ZeroUnixMsg(&stMsg);
    return SendUnixMsgOn(&stMsg, pstSock, pszDst, pszSrc, enMsgType, enCmd, kxapi_exchange::WholeBody(pstBody),
                         ullExtParam);
}

long long RestSendSynUnixMsg(const char* pszDst, VW_MSG_TYPE enMsgType, VW_CMD_TYPE enCmd, const vwCmdBody* pstBody,
                             tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstRspMsg, unsigned long long ullExtParam)
{
    if (!SynArgsPresent(pszDst, pstSock, pstRspMsg)) {
        return -1;
    }
    // The caller's buffer is left alone until a reply comes, so the request needs one of its own.
    MSG_DATA stMsg;
    ZeroUnixMsg(&stMsg);
    return SendSynOn(&stMsg, pszDst, enMsgType, enCmd, kxapi_exchange::WholeBody(pstBody), pstSock, pstRspMsg,
                     ullExtParam);
}

long long kxapi_exchange::SendSynInPlace(const char* pszDst, VW_MSG_TYPE enMsgType, VW_CMD_TYPE enCmd,
                                         const CmdData& stData, tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstRspMsg,
                                         unsigned long long ullExtParam)
{
    ZeroUnixMsg(pstRspMsg);
    if (!SynArgsPresent(pszDst, pstSock, pstRspMsg)) {
        return -1;
    }
    return SendSynOn(pstRspMsg, pszDst, enMsgType, enCmd, stData, pstSock, pstRspMsg, ullExtParam);
}

long long RestSendUnixSeqMsg(tagUNIX_SOCKET_S* pstSock, int iSeq, const char* pszDst, const char* pszSrc,
                             VW_MSG_TYPE enMsgType, VW_CMD_TYPE enCmd, const vwCmdBody* pstBody,
                             unsigned long long ullExtParam)
{
    MSG_DATA stMsg;
    ZeroUnixMsg(&stMsg);
    return SendUnixSeqMsgOn(&stMsg, pstSock, iSeq, pszDst, pszSrc, enMsgType, enCmd, pstBody, ullExtParam);
}

long long RestSendAsynUnixMsg(const char* pszDst, int iSeq, VW_MSG_TYPE enMsgType, VW_CMD_TYPE enCmd,
                              const vwCmdBody* pstBody, tagUNIX_SOCKET_S* pstSock, unsigned long long ullExtParam)
{
    if (pstSock == nullptr || pszDst == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:null pointer");
        return -1;
    }
    MSG_DATA stMsg;
    ZeroUnixMsg(&stMsg);
    RestDrainUnixSocket(pstSock->iFd, &stMsg);
    if (SendUnixSeqMsgOn(&stMsg, pstSock, iSeq, pszDst, kAsynSrcName, enMsgType, enCmd, pstBody, ullExtParam) != 0) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:send unix message to %s fail", pszDst);
        return -1;
    }
    return 0;
}

namespace {

// Buffer sizes of one pair; their limits apply to the encoded text.
constexpr unsigned int kQueryKeySize = 32;
constexpr unsigned int kQueryValueSize = 64;
constexpr unsigned int kQueryPairSize = 97;

// Percent-decodes pszText into strOut ('+' stays '+'); false when the text is not well formed.
bool QueryDecode(const char* pszText, std::string& strOut)
{
    try {
        Poco::URI::decode(pszText, strOut, false);
        return true;
    } catch (...) {
        // A stray '%' throws; nothing may leave the library, and the caller reports it.
        return false;
    }
}

} // namespace

int QueryGetOnePair(char* pszPos, char* pszKey, char* pszValue)
{
    if (pszPos == nullptr || pszKey == nullptr || pszValue == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:null point.");
        return 4;
    }
    if (pszPos[0] == '\0') {
        return 1;
    }
    KXAPI_SECUREC_CHECK("memset_s", memset_s(pszKey, kQueryKeySize, 0, kQueryKeySize));
    KXAPI_SECUREC_CHECK("memset_s", memset_s(pszValue, kQueryValueSize, 0, kQueryValueSize));

    size_t uPairLen = strcspn(pszPos, "&");
    char szPair[kQueryPairSize] = {0};
    if (uPairLen > 0) {
        // A pair of 97 characters or more does not fit: the buffer stays empty and the scan fails.
        KXAPI_SECUREC_CHECK("strncpy_s", strncpy_s(szPair, sizeof(szPair), pszPos, uPairLen));
    }
    int iFields = sscanf_s(szPair, "%[^=]=%s", pszKey, kQueryKeySize, pszValue, kQueryValueSize);
    if (iFields != 2) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:There is not = in the param:%s.", szPair);
        return 4;
    }
    return 0;
}

int URIQueryParamParse(tagHTTP_HEADER_S* pstHeader)
{
    if (pstHeader == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:Invalid param, pstHeader[%p]", static_cast<void*>(pstHeader));
        return 1;
    }
    pstHeader->mapQueryParam.clear();
    // The host stores the query terminated within its field; a field without a terminator is not
    // read past its end.
    if (memchr(pstHeader->szQuery, '\0', sizeof(pstHeader->szQuery)) == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:query string is not terminated");
        return 4;
    }
    char* pszPos = pstHeader->szQuery;
    for (;;) {
        char szKey[kQueryKeySize] = {0};
        char szValue[kQueryValueSize] = {0};
        int iRet = QueryGetOnePair(pszPos, szKey, szValue);
        if (iRet == 1) {
            return 0;
        }
        if (iRet != 0) {
            return iRet;
        }
        std::string strKey;
        std::string strValue;
        if (!QueryDecode(szKey, strKey) || !QueryDecode(szValue, strValue)) {
            KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:string format is invalid,szKey%s, szValue:%s", szKey, szValue);
            return 1;
        }
        // The first occurrence of a key wins; a repeat is logged with the kept value. A pair that
        // finds no memory for its map node ends the parse there, like one that cannot be decoded.
        std::map<std::string, std::string>::iterator it;
        try {
            it = pstHeader->mapQueryParam.emplace(std::move(strKey), std::move(strValue)).first;
        } catch (const std::bad_alloc&) {
            KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:no memory for query param key:%s", szKey);
            return 1;
        }
        KXAPI_LOG(KXAPI_LEVEL_DETAIL, "[KXAPI]:Query Para Parse key:%s, value:%s", it->first.c_str(),
                  it->second.c_str());
        char* pszAmp = strchr(pszPos, '&');
        if (pszAmp == nullptr) {
            return 0;
        }
        pszPos = pszAmp + 1;
    }
}

namespace {

struct STATUS_CODE_ENTRY {
    int iCode;
    const char* pszMsg;
};

constexpr int kStatusTableSize = 500;

// Fixed at build time; slots after the last used one stay zero and are scanned but never match,
// since code 0 is answered by slot 0.
const STATUS_CODE_ENTRY g_astStatusCodeTable[kStatusTableSize] = {
#include "kxapi_status_table.inc"
};

} // namespace

const char* g_pszCommonErrorMsg = "common error status code.";

const char* GetStatusString(long long code)
{
    for (int i = 0; i < kStatusTableSize; ++i) {
        if (static_cast<long long>(g_astStatusCodeTable[i].iCode) == code) {
            return g_astStatusCodeTable[i].pszMsg;
        }
    }
    KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:common error status code[%lld]", code);
    return g_pszCommonErrorMsg;
}

KXAPI_RESPONSE FillResponseStatusParam(tagHTTP_HEADER_S* pstHeader, VW_RESULT_TYPE result)
{
    KXAPI_RESPONSE stRsp;
    KXAPI_SECUREC_CHECK("memset_s", memset_s(&stRsp, sizeof(stRsp), 0, sizeof(stRsp)));
    KXAPI_RESPONSE_STATUS& stStatus = stRsp.ResponseStatus;
    // A null header is a failed copy like any other: logged, and the URL stays empty.
    const char* pszUrl = pstHeader != nullptr ? pstHeader->szUrl : nullptr;
    KXAPI_SECUREC_CHECK("strncpy_s", strncpy_s(stStatus.RequestURL, sizeof(stStatus.RequestURL), pszUrl,
                                               sizeof(stStatus.RequestURL) - 1));
    stStatus.StatusCode = static_cast<long long>(result);
    KXAPI_SECUREC_CHECK("strncpy_s",
                        strncpy_s(stStatus.StatusString, sizeof(stStatus.StatusString),
                                  GetStatusString(stStatus.StatusCode), sizeof(stStatus.StatusString) - 1));
    return stRsp;
}

int kxapi_response::HandBodyToBuffer(const KxapiLogSite& stSite, const char* pszFunc, tagHTTP_BUF_S* pstBuf,
                                     char* pszBody)
{
    size_t uLen = strlen(pszBody);
    int iRet = pstBuf->Copy2Buf(pstBuf, pszBody, static_cast<unsigned int>(uLen));
    free(pszBody);
    if (iRet == -1) {
        KXAPI_LOG_AT(stSite, KXAPI_LEVEL_ERROR, "[KXAPI]:%s: Copy2Buf fail, dataLen[%llu]", pszFunc,
                     static_cast<unsigned long long>(uLen));
        return -1;
    }
    return 0;
}

int kxapi_response::SendStatus(const KxapiLogSite& stSite, const char* pszFunc, tagHTTP_HEADER_S* pstHeader,
                               VW_RESULT_TYPE result, tagHTTP_CNTENT_INTER_S* pstCtInt, tagHTTP_BUF_S* pstBuf,
                               bool bTakePending)
{
    if (pstHeader == nullptr || pstCtInt == nullptr || pstBuf == nullptr) {
        KXAPI_LOG_AT(stSite, KXAPI_LEVEL_ERROR, "[KXAPI]:%s: invalid param, pstHeader[%p] pstCtInt[%p] pstBuf[%p]",
                     pszFunc, static_cast<void*>(pstHeader), static_cast<void*>(pstCtInt), static_cast<void*>(pstBuf));
        return -1;
    }
    char* pszBody = nullptr;
    if (bTakePending && pstCtInt->pRspBody != nullptr) {
        pszBody = pstCtInt->pRspBody;
        pstCtInt->pRspBody = nullptr; // ours now, freed below whatever happens
    } else {
        pszBody = EncodeBody(stSite, pszFunc, FillResponseStatusParam(pstHeader, result));
        if (pszBody == nullptr) {
            return -1;
        }
    }
    return HandBodyToBuffer(stSite, pszFunc, pstBuf, pszBody);
}

int FormatCommonStatus(tagHTTP_HEADER_S* pstHeader, VW_RESULT_TYPE result, tagHTTP_CNTENT_INTER_S* pstCtInt,
                       tagHTTP_BUF_S* pstBuf)
{
    return kxapi_response::SendStatus(KXAPI_LOG_SITE, "FormatCommonStatus", pstHeader, result, pstCtInt, pstBuf, false);
}

// The host defines it; a weak reference lets the library load where it is missing, which is then
// found here at run time instead of as a failed symbol lookup at load time.
extern unsigned long long KxapiHttpGetUnLockTime(tagHTTP_CLIENT_S* pstClient)
    __attribute__((weak, visibility("default")));

template char* json_encode<KXAPI_HTTP_IP_LOCK_STATUS>(const KXAPI_HTTP_IP_LOCK_STATUS&);

int KxapiHttpAuthLockRsptContent(tagHTTP_CLIENT_S* pstClient, tagHTTP_BUF_S* pstBuf)
{
    static const char* const kFunc = "KxapiHttpAuthLockRsptContent";
    if (pstClient == nullptr || pstBuf == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s: invalid param, pstClient[%p] pstBuf[%p]", kFunc,
                  static_cast<void*>(pstClient), static_cast<void*>(pstBuf));
        return -1;
    }
    if (KxapiHttpGetUnLockTime == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s: KxapiHttpGetUnLockTime is not provided", kFunc);
        return -1;
    }
    KXAPI_HTTP_IP_LOCK_STATUS stLock;
    KXAPI_SECUREC_CHECK("memset_s", memset_s(&stLock, sizeof(stLock), 0, sizeof(stLock)));
    stLock.IpLockStatus = FillResponseStatusParam(&pstClient->stReqHeader, static_cast<VW_RESULT_TYPE>(108));
    stLock.remainTime = KxapiHttpGetUnLockTime(pstClient);
    char* pszBody = kxapi_response::EncodeBody(KXAPI_LOG_SITE, kFunc, stLock);
    if (pszBody == nullptr) {
        return -1;
    }
    return kxapi_response::HandBodyToBuffer(KXAPI_LOG_SITE, kFunc, pstBuf, pszBody);
}

namespace {

// Reads one reply and hands it to the client it names. The received message is ours until it sits
// in the target client's reply slot. Every way out leads back to HbtpAsynRead, which drops the
// channel.
void DeliverHbtpReply(int nfd, tagHTTP_CLIENT_S* pstOwner)
{
    tagABS_EVENT_BASE_S* pstBase = kxapi_hbtp::ClientEventBase(pstOwner);
    kxapi_owned::HbtpMessage pstMsg(hbtp_message_new(0));
    if (pstMsg == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:new recv msg failed");
        return;
    }
    if (hbtp_message_recvfd(pstMsg.get(), nfd) == -1) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:hbtp_message_recvfd fail");
        return;
    }
    void* pValue = nullptr;
    unsigned short usLen = 0;
    if (hbtp_header_get(pstMsg.get(), KXAPI_HBTP_EXT_CLIENT_FD, &pValue, &usLen) != 0 || pValue == nullptr ||
        usLen < sizeof(int)) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:get fd fail!");
        return;
    }
    int iTargetFd = 0;
    KXAPI_SECUREC_CHECK("memcpy_s", memcpy_s(&iTargetFd, sizeof(iTargetFd), pValue, sizeof(iTargetFd)));
    if (iTargetFd <= 0 || pstBase == nullptr || static_cast<unsigned int>(iTargetFd) >= pstBase->uiSize) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:Invalid socket fd");
        return;
    }
    tagABS_EVENT_S* pstTargetEv = pstBase->ppstEvents[iTargetFd];
    // A reply that names a channel (this one or another) names no client: handing it on would run
    // this reader on that channel, block the loop until its service answers and take the reply
    // meant for that channel's client.
    if (pstTargetEv == nullptr || pstTargetEv->pArg == nullptr || pstTargetEv->pfnCallback == HbtpAsynRead) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:Invalid event");
        return;
    }
    auto* pstTarget = static_cast<tagHTTP_CLIENT_S*>(pstTargetEv->pArg);
    hbtp_message* pstReply = pstMsg.release();
    pstTarget->pRecvMsg = pstReply;
    KXAPI_LOG(KXAPI_LEVEL_DETAIL, "[KXAPI]:Receive Unix Message! url = %u",
              static_cast<unsigned int>(kxapi_hbtp::Url(pstReply)));
    if (pstOwner->iReqState == 7) {
        pstOwner->iReqState = 8;
    } else {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:State[%d] error", pstOwner->iReqState);
    }
    if (pstTargetEv->pfnCallback != nullptr) {
        pstTargetEv->pfnCallback(pstTargetEv->iFd, pstTargetEv->uiEvents, pstTargetEv);
    }
    KXAPI_LOG(KXAPI_LEVEL_DETAIL, "[KXAPI]:Handle unixBusinessAsynRead Function SUCCESS!");
    if (pstTarget->pRecvMsg != nullptr) { // not taken over by the handler
        (void)hbtp_message_put(static_cast<hbtp_message*>(pstTarget->pRecvMsg));
        pstTarget->pRecvMsg = nullptr;
    }
}

// The system's text for errno, from the thread-safe call: concurrent user-list reads are allowed.
// GNU's strerror_r returns the text, the XSI one fills the buffer; either form is taken.
[[maybe_unused]] const char* ErrnoText(char* pszText, char* /* pszBuf */)
{
    return pszText;
}
[[maybe_unused]] const char* ErrnoText(int /* iRet */, char* pszBuf)
{
    return pszBuf;
}

} // namespace

void HbtpAsynRead(int nfd, unsigned int mask, tagABS_EVENT_S* event)
{
    (void)mask;
    KXAPI_LOG(KXAPI_LEVEL_DETAIL, "[KXAPI]:Handle unixBusinessAsynRead Function!");
    auto* pstOwner = event != nullptr ? static_cast<tagHTTP_CLIENT_S*>(event->pArg) : nullptr;
    if (nfd < 0) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:Invalid nfd:[%d]", nfd);
        return;
    }
    DeliverHbtpReply(nfd, pstOwner);
    AbsEvDel(event);
    (void)close(nfd);
}

int HbtpGetUserList(MSG_DATA* pstMsg)
{
    if (pstMsg == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s: invalid param, pstMsg[%p]", "HbtpGetUserList",
                  static_cast<void*>(pstMsg));
        return -1;
    }
    const char* pszPath = KXAPI_AUTH_SERVICE_PATH;
    kxapi_owned::Fd stChannel(open(pszPath, O_RDWR));
    if (stChannel.Get() < 0) {
        int iErr = errno;
        char szErr[128] = {0};
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:open %s srv fail, Error: %d, %s\n", pszPath, iErr,
                  ErrnoText(strerror_r(iErr, szErr, sizeof(szErr)), szErr));
        return -1;
    }
    kxapi_owned::HbtpMessage pstReq(hbtp_message_new(0));
    if (pstReq == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:new send msg failed");
        return -1;
    }
    kxapi_hbtp::SetRequest(pstReq.get(), 0, 2);
    (void)hbtp_message_sendfd(pstReq.get(), stChannel.Get());
    pstReq.reset();
    kxapi_owned::HbtpMessage pstRsp(hbtp_message_new(0));
    if (pstRsp == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:Daemon new rcv msg failed\n");
        return -1;
    }
    // A failed receive leaves the fresh message's fields, which the check below refuses.
    (void)hbtp_message_recvfd(pstRsp.get(), stChannel.Get());
    unsigned short usCode = kxapi_hbtp::Code(pstRsp.get());
    KXAPI_LOG(KXAPI_LEVEL_DETAIL, "[KXAPI]:Recv hbtp_code: %d\n", static_cast<int>(usCode));
    if (kxapi_hbtp::Url(pstRsp.get()) != 0 || usCode != 200 || kxapi_hbtp::Type(pstRsp.get()) != 2) {
        return -1;
    }
    void* pBody = nullptr;
    unsigned int uiLen = 0;
    (void)hbtp_content(pstRsp.get(), &pBody, &uiLen);
    if (pBody == nullptr || uiLen == 0) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s: pRecvContent NULL", "HbtpGetUserList");
        return -1;
    }
    stChannel.Close(); // the reply is in: the channel is not needed for the copy
    int iRet = -1;
    size_t uiWipe = uiLen;
    if (uiLen < KXAPI_USER_LIST_LEN) {
        // Too short to hold the list: nothing is copied, and only the body's own bytes are wiped.
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s: pRecvContent len:%u short", "HbtpGetUserList", uiLen);
    } else {
        uiWipe = KXAPI_USER_LIST_LEN;
        iRet = 0;
        if (memcpy_s(pstMsg->aucData, KXAPI_USER_LIST_LEN, pBody, KXAPI_USER_LIST_LEN) != 0) {
            KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s: memcpy fail", "HbtpGetUserList");
            iRet = VW_RESULT_NO_RESOURCE;
        }
    }
    KXAPI_SECUREC_CHECK("memset_s", memset_s(pBody, uiWipe, 0, uiWipe));
    return iRet;
}

char g_szSubscribeInfo[KXAPI_SUBSCRIBER_COUNT * KXAPI_SUBSCRIBER_LEN];
char g_szOpxSubscribeInfo[KXAPI_SUBSCRIBER_COUNT * KXAPI_SUBSCRIBER_LEN];
pthread_mutex_t g_stOpxSubscribeMutex;
int g_enRestProtocol = 2;

namespace {

// The tables are plain bytes laid out by the host, so the three fields the library uses are
// copied in and out at their offsets rather than read through a record pointer.
char* SubscriberField(char* pszTable, int iIndex, size_t uiOffset)
{
    return pszTable + static_cast<size_t>(iIndex) * KXAPI_SUBSCRIBER_LEN + uiOffset;
}

template <typename T>
void PutSubscriberField(char* pszTable, int iIndex, size_t uiOffset, T value)
{
    KXAPI_SECUREC_CHECK("memcpy_s",
                        memcpy_s(SubscriberField(pszTable, iIndex, uiOffset), sizeof(T), &value, sizeof(T)));
}

template <typename T>
T GetSubscriberField(char* pszTable, int iIndex, size_t uiOffset)
{
    T value{};
    KXAPI_SECUREC_CHECK("memcpy_s",
                        memcpy_s(&value, sizeof(T), SubscriberField(pszTable, iIndex, uiOffset), sizeof(T)));
    return value;
}

char* const kSubscriberTables[] = {g_szSubscribeInfo, g_szOpxSubscribeInfo};

const char* const kIpv4Pattern =
    "^([0-9]{1,2}|1[0-9][0-9]|2[0-4][0-9]|25[0-5])\\.([0-9]{1,2}|1[0-9][0-9]|2[0-4][0-9]|25[0-5])\\."
    "([0-9]{1,2}|1[0-9][0-9]|2[0-4][0-9]|25[0-5])\\.([0-9]{1,2}|1[0-9][0-9]|2[0-4][0-9]|25[0-5])$";

// Largest block size accepted: sixteen below INT_MAX.
constexpr int kReallocMaxSize = 0x7FFFFFEF;

bool IsValidReallocSize(int nSize)
{
    return nSize >= 1 && nSize <= kReallocMaxSize;
}

void* AllocReallocBlock(int nNewSize)
{
    void* pNew = malloc(static_cast<size_t>(nNewSize));
    if (pNew == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s fail, malloc memory len:%u error.", "KxapiRealloc",
                  static_cast<unsigned int>(nNewSize));
    }
    return pNew;
}

} // namespace

long long InitSubscribeInfo()
{
    for (char* pszTable : kSubscriberTables) {
        for (int i = 0; i < KXAPI_SUBSCRIBER_COUNT; ++i) {
            PutSubscriberField<unsigned long long>(pszTable, i, offsetof(tagSUBSCRIBER_INFO_S, ullSlotNo),
                                                   static_cast<unsigned long long>(i) + 1);
            PutSubscriberField<unsigned int>(pszTable, i, offsetof(tagSUBSCRIBER_INFO_S, uiStatus), 0U);
        }
    }
    if (pthread_mutex_init(&g_stOpxSubscribeMutex, nullptr) != 0) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:init event mutex failed");
        return -1;
    }
    return 0;
}

void UpdateSubscriberInfo()
{
    const long long llNow = static_cast<long long>(time(nullptr));
    for (int i = 0; i < KXAPI_SUBSCRIBER_COUNT; ++i) {
        for (char* pszTable : kSubscriberTables) {
            auto lExpire = GetSubscriberField<int>(pszTable, i, offsetof(tagSUBSCRIBER_INFO_S, lExpireTime));
            // A subscription expiring in the current second is still live.
            if (llNow > static_cast<long long>(lExpire)) {
                PutSubscriberField<unsigned int>(pszTable, i, offsetof(tagSUBSCRIBER_INFO_S, uiStatus), 0U);
            }
        }
    }
}

int CheckIpAddress(const char* pszIp)
{
    if (pszIp == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:pointer is null !");
        return 0;
    }
    // Compiled per call and kept on the stack, so any thread may check at any time.
    regex_t stRegex;
    if (regcomp(&stRegex, kIpv4Pattern, REG_EXTENDED) != 0) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:regcomp() Fail");
        return 0;
    }
    regmatch_t stMatch[1];
    int iRet = regexec(&stRegex, pszIp, 1, stMatch, 0);
    regfree(&stRegex);
    return iRet == 0 ? 1 : 0;
}

void* KxapiRealloc(void* pMem, int nOldSize, int nNewSize)
{
    if (!IsValidReallocSize(nNewSize)) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s fail, nNewSize:%u.", "KxapiRealloc",
                  static_cast<unsigned int>(nNewSize));
        return nullptr;
    }
    if (pMem == nullptr) {
        return AllocReallocBlock(nNewSize);
    }
    if (!IsValidReallocSize(nOldSize)) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s fail, nOldSize:%u.", "KxapiRealloc",
                  static_cast<unsigned int>(nOldSize));
        return nullptr;
    }
    if (nNewSize <= nOldSize) {
        return pMem;
    }
    void* pNew = AllocReallocBlock(nNewSize);
    if (pNew == nullptr) {
        return nullptr; // the old block stays the caller's
    }
    auto uiNew = static_cast<size_t>(nNewSize);
    KXAPI_SECUREC_CHECK("memset_s", memset_s(pNew, uiNew, 0, uiNew));
    KXAPI_SECUREC_CHECK("memcpy_s", memcpy_s(pNew, uiNew, pMem, static_cast<size_t>(nOldSize)));
    free(pMem);
    return pNew;
}

int CreateJsonFilter(tagHTTP_ARRAY_S* /* pstArray */)
{
    return 0;
}
