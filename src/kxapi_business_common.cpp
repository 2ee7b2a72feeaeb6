// Request handlers, URI routing and IDs, typed query getters, the response encoder, synchronous
// HBTP exchange and asynchronous event registration, time and mode conversions, download info.
#define KXAPI_LOG_FILE "access_server/kxapi/common/kxapi_business_common"
#include "abs_event.h"
#include "kxapi_algo_paths.h"
#include "kxapi_exchange.h"
#include "kxapi_hbtp.h"
#include "kxapi_json_encode.h"
#include "kxapi_log.h"
#include "kxapi_owned.h"
#include "kxapi_response.h"
#include "kxapicommon.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

namespace {

constexpr const char* kDefaultService = "/tmp/A";

// Room for a terminator behind the 21208 data bytes: hosts send such a block as text (the pending
// body goes out by strlen), and a service may fill every byte of its data without a NUL.
constexpr size_t kReplyBlockSize = VW_CMD_BODY_LEN + 1;

// A reply's 21208-byte data block, NUL-terminated in a fresh block for the host, or null (logged).
void* CopyReplyData(const char* pszFunc, const tagHTTP_HEADER_S* pstHeader, const MSG_DATA& stMsg)
{
    void* pData = malloc(kReplyBlockSize);
    if (pData == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s: malloc fail, response for req[%s %s]", pszFunc, pstHeader->szMethod,
                  pstHeader->szUrl);
        return nullptr;
    }
    // The copy fills every byte but the terminator, so only that one is zeroed.
    KXAPI_SECUREC_CHECK("memcpy_s", memcpy_s(pData, kReplyBlockSize, stMsg.aucData, sizeof(stMsg.aucData)));
    static_cast<unsigned char*>(pData)[VW_CMD_BODY_LEN] = 0;
    return pData;
}

// The GET family: one synchronous exchange, the reply's data handed out in a fresh block.
// bInBandFailure: a failed exchange is reported in the block's first int32 instead of the result.
int RunGetExchange(const char* pszFunc, tagHTTP_HEADER_S* pstHeader, tagUNIX_SOCKET_S* pstSock, VW_CMD_TYPE enCmd,
                   const vwCmdBody* pstBody, void** ppData, unsigned long long ullExtParam, const char* pszDst,
                   bool bInBandFailure)
{
    if (pstHeader == nullptr || pstSock == nullptr || ppData == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s: invalid param, pstHeader[%p] pstClient[%p] pstCtIn[%p]", pszFunc,
                  static_cast<void*>(pstHeader), static_cast<void*>(pstSock), static_cast<void*>(ppData));
        return VW_RESULT_FAILURE;
    }
    MSG_DATA stRsp; // zero-filled by the exchange, so that every field the service leaves out reads 0
    if (kxapi_exchange::SendSynInPlace(pszDst, VW_MSG_TYPE_GET_REQ, enCmd, kxapi_exchange::WholeBody(pstBody), pstSock,
                                       &stRsp, ullExtParam) != 0) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:Send SynUnixMsg for Getting cmd[%d] failed", static_cast<int>(enCmd));
        if (!bInBandFailure) {
            return VW_RESULT_COMMON_ERROR;
        }
        const int32_t iFailed = 1; // little-endian on the camera, as the callers read it
        stRsp.enResult = VW_RESULT_OK;
        KXAPI_SECUREC_CHECK("memcpy_s", memcpy_s(stRsp.aucData, sizeof(stRsp.aucData), &iFailed, sizeof(iFailed)));
    }
    KXAPI_LOG(KXAPI_LEVEL_INFO, "[KXAPI]:%s: httpReq[%s %s] sendCmd[%d] recvMsg[%d] Result[%d]", pszFunc,
              pstHeader->szMethod, pstHeader->szUrl, static_cast<int>(enCmd), static_cast<int>(stRsp.enMsgType),
              static_cast<int>(stRsp.enResult));
    if (stRsp.enResult != VW_RESULT_OK) {
        return stRsp.enResult;
    }
    void* pData = CopyReplyData(pszFunc, pstHeader, stRsp);
    if (pData == nullptr) {
        return VW_RESULT_NO_RESOURCE;
    }
    // Stored bytewise: ppData may be the address of a char* field of the host's records (the
    // pending body that RunCommonGet passes).
    memcpy(ppData, &pData, sizeof(pData));
    return VW_RESULT_OK;
}

// Routes the request and GETs the routed command's data into *ppData (RunCommonGet, PreCommonGet).
int FetchRoutedData(const char* pszFunc, tagHTTP_HEADER_S* pstHeader, tagUNIX_SOCKET_S* pstSock, void** ppData,
                    const KXAPI_URI_TABLE* pstTable, unsigned int uiTableNum)
{
    VW_CMD_TYPE enCmd = GetInnerCmdByUrl(pstHeader->szUrl, pstTable, uiTableNum);
    if (enCmd == INNER_CMD_INVALID) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s: get inner cmd for ReqUrl[%s] failed", pszFunc, pstHeader->szUrl);
        return VW_RESULT_UNSUPPORTED_REQUEST;
    }
    return GetCommon(pstHeader, pstSock, enCmd, nullptr, ppData, 0, kDefaultService);
}

void LogRoutedInvalidParam(const char* pszFunc, const void* pstHeader, const void* pstSecond, const void* pstCtIn)
{
    KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s: invalid param, pstHeader[%p] pstClient[%p] pstCtIn[%p]", pszFunc,
              pstHeader, pstSecond, pstCtIn);
}

// A method that is one of the change methods or a leading part of one; the empty method passes.
bool IsChangeMethod(const char* pszMethod, size_t uFieldSize)
{
    size_t uLen = strnlen(pszMethod, uFieldSize);
    return strncmp(pszMethod, "POST", uLen) == 0 || strncmp(pszMethod, "PUT", uLen) == 0 ||
           strncmp(pszMethod, "DELETE", uLen) == 0;
}

// The asynchronous pair: the client's descriptor travels as the sequence value.
int SendAsynCommon(const char* pszFunc, VW_MSG_TYPE enMsgType, tagHTTP_HEADER_S* pstHeader, tagHTTP_CLIENT_S* pstClient,
                   VW_CMD_TYPE enCmd, const vwCmdBody* pstBody, unsigned long long ullExtParam)
{
    if (pstHeader == nullptr || pstClient == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s: invalid param, header[%p] client[%p]", pszFunc,
                  static_cast<void*>(pstHeader), static_cast<void*>(pstClient));
        return VW_RESULT_FAILURE;
    }
    pstClient->bAsynPending = 1;
    if (RestSendAsynUnixMsg(kDefaultService, pstClient->iClientFd, enMsgType, enCmd, pstBody,
                            pstClient->pstUnixAsynSock, ullExtParam) != 0) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:Send SynUnixMsg for Getting cmd[%d] failed", static_cast<int>(enCmd));
        return VW_RESULT_COMMON_ERROR;
    }
    KXAPI_LOG(KXAPI_LEVEL_INFO, "[KXAPI]:%s: httpReq[%s %s] sendCmd[%d] ", pszFunc, pstHeader->szMethod,
              pstHeader->szUrl, static_cast<int>(enCmd));
    return VW_RESULT_OK;
}

} // namespace

int GetCommon(tagHTTP_HEADER_S* pstHeader, tagUNIX_SOCKET_S* pstSock, VW_CMD_TYPE enCmd, const vwCmdBody* pstBody,
              void** ppData, unsigned long long ullExtParam, const char* pszDst)
{
    return RunGetExchange("GetCommon", pstHeader, pstSock, enCmd, pstBody, ppData, ullExtParam, pszDst, false);
}

int GetCommonGat1400(tagHTTP_HEADER_S* pstHeader, tagUNIX_SOCKET_S* pstSock, VW_CMD_TYPE enCmd,
                     const vwCmdBody* pstBody, void** ppData, unsigned long long ullExtParam)
{
    return RunGetExchange("GetCommonGat1400", pstHeader, pstSock, enCmd, pstBody, ppData, ullExtParam, "/tmp/GA", true);
}

int GetCommonGat1400_2(tagHTTP_HEADER_S* pstHeader, tagUNIX_SOCKET_S* pstSock, VW_CMD_TYPE enCmd,
                       const vwCmdBody* pstBody, void** ppData, unsigned long long ullExtParam)
{
    return RunGetExchange("GetCommonGat1400_2", pstHeader, pstSock, enCmd, pstBody, ppData, ullExtParam, "/tmp/G2",
                          true);
}

int SetCommon(tagHTTP_HEADER_S* pstHeader, void* pData, unsigned int uiLen, tagUNIX_SOCKET_S* pstSock,
              VW_CMD_TYPE enCmd, unsigned long long ullExtParam, const char* pszDst)
{
    if (pData == nullptr || pstHeader == nullptr || uiLen > VW_CMD_BODY_LEN || pstSock == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s: invalid param, pstHeader[%p] pstClient[%p] pstCtIn[%p] length[%d]",
                  "SetCommon", static_cast<void*>(pstHeader), pData, static_cast<void*>(pstSock),
                  static_cast<int>(uiLen));
        return VW_RESULT_FAILURE;
    }
    // The data goes straight into the request's data block, zero-padded to the whole body there.
    MSG_DATA stRsp;
    if (kxapi_exchange::SendSynInPlace(pszDst, VW_MSG_TYPE_SET_REQ, enCmd, {pData, uiLen}, pstSock, &stRsp,
                                       ullExtParam) != 0) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s: Send SynUnixMsg for set cmd[%d] failed", "SetCommon",
                  static_cast<int>(enCmd));
        return VW_RESULT_COMMON_ERROR;
    }
    KXAPI_LOG(KXAPI_LEVEL_DETAIL, "[KXAPI]:%s: httpReq[%s %s] sendCmd[%d] recvMsg[%d] Result[%d]", "SetCommon",
              pstHeader->szMethod, pstHeader->szUrl, static_cast<int>(enCmd), static_cast<int>(stRsp.enCmdType),
              static_cast<int>(stRsp.enResult));
    return stRsp.enResult;
}

int RunCommonGet(tagHTTP_HEADER_S* pstHeader, tagHTTP_CLIENT_S* pstClient, tagHTTP_CNTENT_INTER_S* pstCtIn,
                 const KXAPI_URI_TABLE* pstTable, unsigned int uiTableNum)
{
    if (pstHeader == nullptr || pstClient == nullptr || pstCtIn == nullptr) {
        LogRoutedInvalidParam("RunCommonGet", pstHeader, pstClient, pstCtIn);
        return VW_RESULT_FAILURE;
    }
    // The field's own address, as the refusal line of GetCommon shows it; the fetch stores bytewise.
    return FetchRoutedData("RunCommonGet", pstHeader, pstClient->pstUnixSock,
                           reinterpret_cast<void**>(&pstCtIn->pRspBody), pstTable, uiTableNum);
}

int PreCommonGet(tagHTTP_HEADER_S* pstHeader, tagUNIX_SOCKET_S* pstSock, tagHTTP_CNTENT_INTER_S* pstCtIn,
                 const KXAPI_URI_TABLE* pstTable, unsigned int uiTableNum)
{
    if (pstHeader == nullptr || pstSock == nullptr || pstCtIn == nullptr) {
        LogRoutedInvalidParam("PreCommonGet", pstHeader, pstSock, pstCtIn);
        return VW_RESULT_FAILURE;
    }
    if (!IsChangeMethod(pstHeader->szMethod, sizeof(pstHeader->szMethod))) {
        return VW_RESULT_OK;
    }
    return FetchRoutedData("PreCommonGet", pstHeader, pstSock, &pstCtIn->pPreData, pstTable, uiTableNum);
}

int RecvCommon(tagHTTP_HEADER_S* pstHeader, tagHTTP_CLIENT_S* pstClient, tagHTTP_CNTENT_INTER_S* pstCtIn)
{
    if (pstHeader == nullptr || pstClient == nullptr || pstCtIn == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s: invalid param, header[%p] client[%p] ctIn[%p]", "RecvCommon",
                  static_cast<void*>(pstHeader), static_cast<void*>(pstClient), static_cast<void*>(pstCtIn));
        return VW_RESULT_FAILURE;
    }
    MSG_DATA stMsg;
    KXAPI_SECUREC_CHECK("memset_s", memset_s(&stMsg, sizeof(stMsg), 0, sizeof(stMsg)));
    KXAPI_SECUREC_CHECK("memcpy_s", memcpy_s(&stMsg, sizeof(stMsg), pstClient->pRecvMsg, sizeof(stMsg)));
    KXAPI_LOG(KXAPI_LEVEL_INFO, "[KXAPI]:%s recv cmd[%d] result[%d]", "RecvCommon", static_cast<int>(stMsg.enCmdType),
              static_cast<int>(stMsg.enResult));
    free(pstClient->pRecvMsg);
    pstClient->pRecvMsg = nullptr;
    if (stMsg.enResult != VW_RESULT_OK) {
        return stMsg.enResult;
    }
    if (stMsg.enMsgType != VW_MSG_TYPE_GET_REQ && stMsg.enMsgType != VW_MSG_TYPE_GET_RSP) {
        return VW_RESULT_OK;
    }
    void* pData = CopyReplyData("RecvCommon", pstHeader, stMsg);
    if (pData == nullptr) {
        return VW_RESULT_NO_RESOURCE;
    }
    pstCtIn->pRspBody = static_cast<char*>(pData);
    return VW_RESULT_OK;
}

int GetCommonAsyn(tagHTTP_HEADER_S* pstHeader, tagHTTP_CLIENT_S* pstClient, VW_CMD_TYPE enCmd, const vwCmdBody* pstBody,
                  unsigned long long ullExtParam)
{
    return SendAsynCommon("GetCommonAsyn", VW_MSG_TYPE_GET_REQ, pstHeader, pstClient, enCmd, pstBody, ullExtParam);
}

int SetCommonAsyn(tagHTTP_HEADER_S* pstHeader, tagHTTP_CLIENT_S* pstClient, VW_CMD_TYPE enCmd, const vwCmdBody* pstBody,
                  unsigned long long ullExtParam)
{
    return SendAsynCommon("SetCommonAsyn", VW_MSG_TYPE_SET_REQ, pstHeader, pstClient, enCmd, pstBody, ullExtParam);
}

VW_CMD_TYPE GetInnerCmdByUrl(char* pszUrl, const KXAPI_URI_TABLE* pstTable, unsigned int uiTableNum)
{
    if (pszUrl == nullptr || pstTable == nullptr || pszUrl[0] == '\0') {
        return INNER_CMD_INVALID;
    }
    // Searched in place: routing must not allocate, so it cannot fail for want of memory.
    size_t uBestLen = 0;
    VW_CMD_TYPE enBest = INNER_CMD_INVALID;
    for (unsigned int i = 0; i < uiTableNum; ++i) {
        const char* pszPattern = pstTable[i].pszUrl;
        if (pszPattern == nullptr || pszPattern[0] == '\0') {
            continue;
        }
        size_t uLen = strlen(pszPattern);
        if (uLen > uBestLen && strstr(pszUrl, pszPattern) != nullptr) {
            uBestLen = uLen;
            enBest = pstTable[i].enInnerCmd;
        }
    }
    if (uBestLen == 0) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:Unsupported Request URL[%s]", pszUrl);
        return INNER_CMD_INVALID;
    }
    return enBest;
}

int GetURIIDValue(tagHEADER_URI_ID_INFO_S* pstUriIdInfo, unsigned int uiNum, long long& llValue)
{
    if (pstUriIdInfo == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s invalid param[%p]", "GetURIIDValue", static_cast<void*>(pstUriIdInfo));
        return 0;
    }
    // IDs are numbered from 1, and the record holds no more than its fixed number of entries.
    if (uiNum == 0 || pstUriIdInfo->uiIDCount < uiNum || uiNum > KXAPI_URI_ID_MAX) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s uiNum[%d] >= uiIDCount[%d]", "GetURIIDValue", static_cast<int>(uiNum),
                  static_cast<int>(pstUriIdInfo->uiIDCount));
        return 0;
    }
    llValue = pstUriIdInfo->astId[uiNum - 1].llValue;
    return 1;
}

int GetAndCheckURIIDValue(tagHTTP_HEADER_S* pstHeader, long long& llValue, unsigned int uiNum, long long llLower,
                          long long llUpper)
{
    if (pstHeader == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:NULL pointer in GetAndCheckURIIDValue!\n");
        return -1;
    }
    if (GetURIIDValue(&pstHeader->stUriIdInfo, uiNum, llValue) != 1) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s: GetURIIDValue fail, num:%u!\n", "GetAndCheckURIIDValue", uiNum);
        return -1;
    }
    if (llValue <= llLower || llValue > llUpper) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:Wrong URL ID!\n");
        return -1;
    }
    return 0;
}

namespace {

// What the integer getters differ in: the type scanned into, its scan format, how the scanned value
// is stored, and the type and format the stored value is logged with.
template <typename T, typename TScan, typename TShown>
struct QueryIntBase {
    using Scan = TScan;
    using Shown = TShown;
    static T Store(TScan v) { return static_cast<T>(v); }
};

template <typename T>
struct QueryInt;

template <>
struct QueryInt<long long> : QueryIntBase<long long, long long, long long> {
    static constexpr const char* kScan = "%lld";
    static constexpr const char* kShown = "[KXAPI]:Get Query Para key:%s, value:%lld";
};
template <>
struct QueryInt<unsigned long long> : QueryIntBase<unsigned long long, unsigned long long, unsigned long long> {
    static constexpr const char* kScan = "%llu";
    static constexpr const char* kShown = "[KXAPI]:Get Query Para key:%s, value:%llu";
};
template <>
struct QueryInt<long> : QueryIntBase<long, long long, long long> {
    static constexpr const char* kScan = "%lld";
    static constexpr const char* kShown = "[KXAPI]:Get Query Para key:%s, value:%lld";
    // long is 32 bits on the camera: keep its wrap on every host.
    static long Store(long long v) { return static_cast<long>(static_cast<int32_t>(static_cast<uint32_t>(v))); }
};
template <>
struct QueryInt<int> : QueryIntBase<int, int, int> {
    static constexpr const char* kScan = "%d";
    static constexpr const char* kShown = "[KXAPI]:Get Query Para key:%s, value:%d";
};
template <>
struct QueryInt<unsigned int> : QueryIntBase<unsigned int, unsigned int, unsigned int> {
    static constexpr const char* kScan = "%u";
    static constexpr const char* kShown = "[KXAPI]:Get Query Para key:%s, value:%u";
};
template <>
struct QueryInt<short> : QueryIntBase<short, short, int> {
    static constexpr const char* kScan = "%hd";
    static constexpr const char* kShown = "[KXAPI]:Get Query Para key:%s, value:%d";
};
template <>
struct QueryInt<unsigned short> : QueryIntBase<unsigned short, unsigned short, unsigned int> {
    static constexpr const char* kScan = "%hu";
    static constexpr const char* kShown = "[KXAPI]:Get Query Para key:%s, value:%u";
};

// The key's text; false (with the get-failed line) when it cannot be had.
bool LookupQueryText(tagHTTP_HEADER_S* pstHeader, const std::string& strKey, std::string& strText)
{
    int iRet = 1;
    try {
        iRet = GetURIQueryParam(pstHeader, strKey, strText); // the key goes by value
    } catch (const std::bad_alloc&) {
        // No memory for the key's copy: the text cannot be had, and nothing may leave the library.
    }
    if (iRet != 0) {
        KXAPI_LOG(KXAPI_LEVEL_DETAIL, "[KXAPI]:key:%s get failed", strKey.c_str());
        return false;
    }
    return true;
}

template <typename T>
VW_RESULT_TYPE GetQueryInteger(tagHTTP_HEADER_S* pstHeader, const std::string& strKey, T* pOut)
{
    using Traits = QueryInt<T>;
    std::string strText;
    if (!LookupQueryText(pstHeader, strKey, strText)) {
        return VW_RESULT_COMMON_ERROR;
    }
    // Scanned into a temporary, so the output is written only after a successful scan.
    typename Traits::Scan value = 0;
    int iRet = sscanf_s(strText.c_str(), Traits::kScan, &value);
    if (iRet <= 0) {
        KXAPI_LOG_SECUREC("sscanf_s", iRet);
        return VW_RESULT_INCORRECT_PARAMETER;
    }
    *pOut = Traits::Store(value);
    KXAPI_LOG(KXAPI_LEVEL_DETAIL, Traits::kShown, strKey.c_str(), static_cast<typename Traits::Shown>(*pOut));
    return VW_RESULT_OK;
}

} // namespace

int GetURIQueryParam(tagHTTP_HEADER_S* pstHeader, std::string strKey, std::string& strValue)
{
    if (pstHeader == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:Invalid param, pstHeader[%p]", static_cast<void*>(pstHeader));
        return 1;
    }
    auto it = pstHeader->mapQueryParam.find(strKey);
    if (it != pstHeader->mapQueryParam.end()) {
        try {
            strValue = it->second;
            return 0;
        } catch (const std::bad_alloc&) {
            // No memory for the copy: answered as a value that cannot be had.
            strValue.clear();
            KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:key:%s value copy failed", strKey.c_str());
            return 1;
        }
    }
    strValue.clear();
    KXAPI_LOG(KXAPI_LEVEL_DETAIL, "[KXAPI]:key:%s not exist", strKey.c_str());
    return 1;
}

template <typename T>
VW_RESULT_TYPE GetURIQueryParamByKey(tagHTTP_HEADER_S* pstHeader, std::string strKey, T* pOut)
{
    return GetQueryInteger(pstHeader, strKey, pOut);
}

template <typename T>
VW_RESULT_TYPE GetURIQueryParamByKey(tagHTTP_HEADER_S* pstHeader, std::string strKey, T* pOut, int iSize)
{
    static_assert(std::is_same_v<T, char>, "the sized form is for char arrays only");
    std::string strText;
    if (!LookupQueryText(pstHeader, strKey, strText)) {
        return VW_RESULT_COMMON_ERROR;
    }
    if (iSize <= 0) {
        // No room even for a terminator: nothing is written, and the output cannot be shown.
        KXAPI_SECUREC_CHECK("strncpy_s", strncpy_s(pOut, 0, strText.c_str(), strText.size()));
        return VW_RESULT_INCORRECT_PARAMETER;
    }
    // A text that does not fit leaves the array empty; the caller still gets 0.
    KXAPI_SECUREC_CHECK("strncpy_s", strncpy_s(pOut, static_cast<size_t>(iSize), strText.c_str(), strText.size()));
    KXAPI_LOG(KXAPI_LEVEL_DETAIL, "[KXAPI]:Get Query Para key:%s, value:%s", strKey.c_str(), pOut);
    return VW_RESULT_OK;
}

template VW_RESULT_TYPE GetURIQueryParamByKey<long long>(tagHTTP_HEADER_S*, std::string, long long*);
template VW_RESULT_TYPE GetURIQueryParamByKey<unsigned long long>(tagHTTP_HEADER_S*, std::string, unsigned long long*);
template VW_RESULT_TYPE GetURIQueryParamByKey<long>(tagHTTP_HEADER_S*, std::string, long*);
template VW_RESULT_TYPE GetURIQueryParamByKey<int>(tagHTTP_HEADER_S*, std::string, int*);
template VW_RESULT_TYPE GetURIQueryParamByKey<unsigned int>(tagHTTP_HEADER_S*, std::string, unsigned int*);
template VW_RESULT_TYPE GetURIQueryParamByKey<short>(tagHTTP_HEADER_S*, std::string, short*);
template VW_RESULT_TYPE GetURIQueryParamByKey<unsigned short>(tagHTTP_HEADER_S*, std::string, unsigned short*);
template VW_RESULT_TYPE GetURIQueryParamByKey<char>(tagHTTP_HEADER_S*, std::string, char*, int);

template char* json_encode<KXAPI_RESPONSE>(const KXAPI_RESPONSE&);

template <>
int FormatCommonResponse<char*>(tagHTTP_HEADER_S* pstHeader, VW_RESULT_TYPE result, tagHTTP_CNTENT_INTER_S* pstCtInt,
                                tagHTTP_BUF_S* pstBuf)
{
    return kxapi_response::SendStatus(KXAPI_LOG_SITE, "FormatCommonResponse<char*>", pstHeader, result, pstCtInt,
                                      pstBuf, true);
}

int SendSynHbtpMsg(int iFd, unsigned short usUrl, unsigned char ucType, REST_HBTP_MSG* pSend, REST_HBTP_MSG* pRecv)
{
    if (pSend == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:invalid param pSend[%p] pRecv[%p]", static_cast<void*>(pSend),
                  static_cast<void*>(pRecv));
        return -1;
    }
    // Declared first so that it goes last: the request is released before the reply.
    kxapi_owned::HbtpMessage pstRsp;
    kxapi_owned::HbtpMessage pstReq(hbtp_message_new(0));
    if (pstReq == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:hbtp_message_new failed.");
        return -1;
    }
    kxapi_hbtp::SetRequest(pstReq.get(), usUrl, ucType);
    if (pSend->pData != nullptr && pSend->uiLen != 0) {
        (void)hbtp_content_add(pstReq.get(), pSend->pData, pSend->uiLen);
    }
    if (hbtp_message_sendfd(pstReq.get(), iFd) == -1) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:hbtp_message_sendfd ret:%lld, errno:%d.", -1LL, errno);
        return -1;
    }
    pstRsp.reset(hbtp_message_new(0));
    if (pstRsp == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:new rcv msg failed\n");
        return -1;
    }
    if (hbtp_message_recvfd(pstRsp.get(), iFd) == -1) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:hbtp_message_recvfd ret:%lld, errno:%d.", -1LL, errno);
        return -1;
    }
    if (kxapi_hbtp::Code(pstRsp.get()) != 200) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:Recv hbtp_code: %d.", static_cast<int>(kxapi_hbtp::Code(pstRsp.get())));
        return -1;
    }
    if (pRecv == nullptr) {
        return 0;
    }
    void* pBody = nullptr;
    unsigned int uiBodyLen = 0;
    int iContent = hbtp_content(pstRsp.get(), &pBody, &uiBodyLen);
    if (iContent != 0) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:hbtp_content ret:%lld, errno:%d.", static_cast<long long>(iContent),
                  errno);
        return -1;
    }
    if (pRecv->pData == nullptr || pRecv->uiLen == 0) {
        return 0;
    }
    int nSRet = memcpy_s(pRecv->pData, pRecv->uiLen, pBody, uiBodyLen);
    if (nSRet != 0) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:nSRet:%d, dstlen:%d, srclen:%d.", nSRet, static_cast<int>(pRecv->uiLen),
                  static_cast<int>(uiBodyLen));
        return -1;
    }
    return 0;
}

int HbtpCommon(tagHTTP_HEADER_S* pstHeader, const char* pServPath, unsigned short usUrl, unsigned char ucType,
               REST_HBTP_MSG* pSend, REST_HBTP_MSG* pRecv, unsigned int uiOption)
{
    if (pServPath == nullptr || pstHeader == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:invalid param, pstHeader[%p] pServPath[%p].",
                  static_cast<void*>(pstHeader), static_cast<const void*>(pServPath));
        return -1;
    }
    KXAPI_LOG(KXAPI_LEVEL_INFO, "[KXAPI]:pServPath[%s] httpReq[%s %s].", pServPath, pstHeader->szMethod,
              pstHeader->szUrl);
    kxapi_owned::Fd stChannel(open(pServPath, O_RDWR));
    if (stChannel.Get() < 0) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:open %s srv fail:%d .", pServPath, errno);
        return 1;
    }
    // The option is the argument itself, not a pointer to it.
    (void)ioctl(stChannel.Get(), static_cast<unsigned long>(KXAPI_HBTP_CHANNEL_OPTION),
                static_cast<unsigned long>(uiOption));
    if (SendSynHbtpMsg(stChannel.Get(), usUrl, ucType, pSend, pRecv) != 0) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:SendSynHbtpMsg pServPath[%s] httpReq[%s %s] fail.", pServPath,
                  pstHeader->szMethod, pstHeader->szUrl);
        return 1;
    }
    return 0;
}

namespace {
// The event loop's mask for a readable descriptor, as the library's callers know it; the value is
// the platform's, so the library does not rely on a board header naming it.
constexpr unsigned int kAbsEvReadable = 2u;
} // namespace

int AddHbtpAsynEvent(tagHTTP_CLIENT_S* client, int fd, hbtp_message* sendMsg)
{
    if (client == nullptr || sendMsg == nullptr || fd <= 0) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:invalid param client[%p], fd[%d], sendMsg[%p]",
                  static_cast<void*>(client), fd, static_cast<void*>(sendMsg));
        return -1;
    }
    if (hbtp_header_set(sendMsg, KXAPI_HBTP_EXT_CLIENT_FD, &client->iClientFd, sizeof(client->iClientFd)) != 0) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:hbtp_header_set fail!");
        return -1;
    }
    client->bAsynPending = 1;
    client->iHbtpFd = fd;
    tagABS_EVENT_S* pstEvent = AbsEvNew(kxapi_hbtp::ClientEventBase(client), fd, kAbsEvReadable, client, HbtpAsynRead);
    if (pstEvent == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s malloc fail", "AddHbtpAsynEvent");
        return VW_RESULT_NO_RESOURCE;
    }
    (void)AbsEvAdd(pstEvent, 0);
    return 0;
}

int DeleteHbtpAsynEvent(tagHTTP_CLIENT_S* client, int fd)
{
    if (client == nullptr || fd <= 0) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:invalid param client[%p], fd[%d]", static_cast<void*>(client), fd);
        return -1;
    }
    tagABS_EVENT_BASE_S* pstBase = kxapi_hbtp::ClientEventBase(client);
    bool bInTable = pstBase != nullptr && static_cast<unsigned int>(fd) < pstBase->uiSize;
    if (bInTable) {
        AbsEvDel(pstBase->ppstEvents[fd]);
    } else {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:Delete abs event fail");
    }
    // Closed either way: a channel outside the table could never be deleted later.
    (void)close(fd);
    client->iHbtpFd = 0;
    return bInTable ? 0 : -1;
}

namespace {

constexpr size_t kJsonTimeTextSize = 64;

// The switch mapping is its own inverse: 0 and 1 exchange, 2 and 3 stay.
int MapSwitchMode(CAM_COMMONMODE_SWITCH enFrom, CAM_COMMONMODE_SWITCH* penTo)
{
    if (penTo == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:null pointer");
        return -1;
    }
    switch (static_cast<int>(enFrom)) {
        case 0:
            *penTo = CAM_COMMONMODE_SWITCH_1;
            return 0;
        case 1:
            *penTo = CAM_COMMONMODE_SWITCH_0;
            return 0;
        case 2:
        case 3:
            *penTo = enFrom;
            return 0;
        default:
            KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:current switch:%d may be not supported", static_cast<int>(enFrom));
            return -1;
    }
}

// a - b with the camera's two's-complement wrap, so no field value of a client's text can overflow.
int WrapSub(int a, int b)
{
    return static_cast<int>(static_cast<unsigned int>(a) - static_cast<unsigned int>(b));
}

json_object* FormatTimeJsonString(const struct tm& stTm, const char* pszFormat)
{
    char szText[kJsonTimeTextSize];
    if (memset_s(szText, sizeof(szText), 0, sizeof(szText)) != EOK) {
        return nullptr;
    }
    (void)strftime(szText, sizeof(szText), pszFormat, &stTm);
    return cJSON_CreateString(szText);
}

} // namespace

int RestTransferTimeStrToSeconds(long* plSeconds, char* pszTime)
{
    if (plSeconds == nullptr || pszTime == nullptr) {
        return -1;
    }
    KXAPI_LOG(KXAPI_LEVEL_INFO, "[KXAPI]:Transfer time string to seconds in!");
    struct tm stTm;
    KXAPI_SECUREC_CHECK("memset_s", memset_s(&stTm, sizeof(stTm), 0, sizeof(stTm)));
    int iYear = 0;
    int iMonth = 0;
    int iDay = 0;
    int iHour = 0;
    int iMinute = 0;
    int iSecond = 0;
    if (sscanf_s(pszTime, "%d/%d/%d %d:%d:%d", &iYear, &iMonth, &iDay, &iHour, &iMinute, &iSecond) != 6) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:Incorrect Time Format(yyyy/MM/dd hh:ss:mm):%s", pszTime);
        return -1;
    }
    stTm.tm_year = WrapSub(iYear, 1900);
    stTm.tm_mon = WrapSub(iMonth, 1);
    stTm.tm_mday = iDay;
    stTm.tm_hour = iHour;
    stTm.tm_min = iMinute;
    stTm.tm_sec = iSecond;
    stTm.tm_isdst = 0;
    // Out-of-range fields are mktime's to normalise; its -1 is passed on as it is.
    *plSeconds = static_cast<long>(mktime(&stTm));
    KXAPI_LOG(KXAPI_LEVEL_INFO, "[KXAPI]:Transfer time string to seconds Return!");
    return 0;
}

int TransSwitchModeToRestFormat(CAM_COMMONMODE_SWITCH enMode, CAM_COMMONMODE_SWITCH* penRest)
{
    return MapSwitchMode(enMode, penRest);
}

int TransRestFormatToSwitchMode(CAM_COMMONMODE_SWITCH* penMode, CAM_COMMONMODE_SWITCH enRest)
{
    return MapSwitchMode(enRest, penMode);
}

json_object* CreateTimeOfDayJsonString(int iMinutes)
{
    struct tm stTm;
    if (memset_s(&stTm, sizeof(stTm), 0, sizeof(stTm)) != EOK) {
        return nullptr;
    }
    stTm.tm_hour = iMinutes / 60;
    stTm.tm_min = iMinutes % 60;
    return FormatTimeJsonString(stTm, "%H:%M");
}

json_object* CreateDateTimeJsonString(time_t tValue)
{
    struct tm stTm;
    if (localtime_r(&tValue, &stTm) == nullptr) {
        return nullptr;
    }
    return FormatTimeJsonString(stTm, "%Y-%m-%d %H:%M:%S");
}

namespace {

// Bytes of fixed multipart framing around the file part: the header block and the closing lines.
constexpr unsigned long long kDownloadFramingHead = 91;
constexpr unsigned long long kDownloadFramingTail = 10;
constexpr size_t kDownloadTextCap = KXAPI_DOWNLOAD_TEXT_LEN + 1;
constexpr size_t kRealPathCap = PATH_MAX + 1;

// Copies a caller's text into one of the record's fields, cutting it at 128 characters.
void CopyDownloadText(char* pszDest, const char* pszSrc)
{
    KXAPI_SECUREC_CHECK("strncpy_s", strncpy_s(pszDest, kDownloadTextCap, pszSrc, KXAPI_DOWNLOAD_TEXT_LEN));
}

} // namespace

int FillDownloadInfo(KXAPI_DOWNLOAD_FILE_INFO_S* pstDownloadInfo, const char* pszPath, const char* pszType,
                     const char* pszName, int nUserData)
{
    if (pstDownloadInfo == nullptr || pszPath == nullptr || pszType == nullptr || pszName == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR,
                  "[KXAPI]:%s: invalid param, pstDownloadInfo[%p] pszPath[%p] pszType[%p] pszName[%p]",
                  "FillDownloadInfo", static_cast<void*>(pstDownloadInfo), static_cast<const void*>(pszPath),
                  static_cast<const void*>(pszType), static_cast<const void*>(pszName));
        return VW_RESULT_FAILURE;
    }
    char szRealPath[kRealPathCap] = {};
    pstDownloadInfo->nUserData = nUserData;
    CopyDownloadText(pstDownloadInfo->szName, pszName);
    CopyDownloadText(pstDownloadInfo->szPath, pszPath);
    // The stored (possibly cut) path is what gets resolved.
    if (realpath(pstDownloadInfo->szPath, szRealPath) == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:Get realpath failed!");
        return VW_RESULT_INCORRECT_PARAMETER;
    }
    CopyDownloadText(pstDownloadInfo->szType, pszType);
    KXAPI_SECUREC_CHECK("GetUrandomString", GetDevRandomString(pstDownloadInfo->szBoundary, KXAPI_DOWNLOAD_BOUNDARY_LEN,
                                                               RANDOM_STR_TYPE_HEX));
    pstDownloadInfo->szBoundary[KXAPI_DOWNLOAD_BOUNDARY_LEN] = '\0';
    KXAPI_LOG(KXAPI_LEVEL_INFO, "[KXAPI]:Boundary : %s", pstDownloadInfo->szBoundary);

    kxapi_owned::File pstFile(fopen(szRealPath, "r"));
    if (pstFile == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:Open file fail %s", pstDownloadInfo->szPath);
        return VW_RESULT_FAILURE;
    }
    int iFd = fileno(pstFile.get());
    if (iFd == -1) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:File fileno is null %s", pstDownloadInfo->szPath);
        return VW_RESULT_FAILURE;
    }
    // The file is handed out read-only from now on, whatever its mode was.
    (void)fchmod(iFd, S_IRUSR);
    struct stat stStat {};
    if (fstat(iFd, &stStat) != 0) {
        // Without a size there is no length to announce.
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:File stat fail %s", pstDownloadInfo->szPath);
        return VW_RESULT_FAILURE;
    }
    auto ullFileLen = static_cast<unsigned long long>(static_cast<long long>(stStat.st_size));
    // Name and type are counted as the caller passed them: the host writes those, not the cut copies.
    pstDownloadInfo->ullBodyLen = ullFileLen + 2ULL * strlen(pstDownloadInfo->szBoundary) + 2ULL * strlen(pszName) +
                                  strlen(pszType) + kDownloadFramingHead + kDownloadFramingTail;
    KXAPI_LOG(KXAPI_LEVEL_DETAIL, "[KXAPI]:File Len: %llu, HTTP Body Len %llu", ullFileLen,
              pstDownloadInfo->ullBodyLen);
    pstDownloadInfo->bValid = 1;
    return VW_RESULT_OK;
}
