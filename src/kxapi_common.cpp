// Unix messaging, query parsing, the status table and status body, the IP-lock response, the HBTP
// reply reader and user list, the subscriber tables and common helpers.
#define KXAPI_LOG_FILE "access_server/kxapi/common/kxapi_common"
#include "abs_event.h"
#include "kxapi_hbtp.h"
#include "kxapi_log.h"
#include "kxapi_response.h"
#include "kxapicommon.h"

#include <Poco/URI.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

// ==== Service messaging ==================================================================

// ---- end service messaging ----

// ==== Query parsing ======================================================================

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
    (void)KXAPI_SECUREC_CHECK("memset_s", memset_s(pszKey, kQueryKeySize, 0, kQueryKeySize));
    (void)KXAPI_SECUREC_CHECK("memset_s", memset_s(pszValue, kQueryValueSize, 0, kQueryValueSize));

    size_t uPairLen = strcspn(pszPos, "&");
    char szPair[kQueryPairSize] = {0};
    if (uPairLen > 0) {
        // A pair of 97 characters or more does not fit: the buffer stays empty and the scan fails.
        (void)KXAPI_SECUREC_CHECK("strncpy_s", strncpy_s(szPair, sizeof(szPair), pszPos, uPairLen));
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
        // The first occurrence of a key wins; a repeat is logged with the kept value.
        auto it = pstHeader->mapQueryParam.emplace(std::move(strKey), std::move(strValue)).first;
        KXAPI_LOG(KXAPI_LEVEL_DETAIL, "[KXAPI]:Query Para Parse key:%s, value:%s", it->first.c_str(),
                  it->second.c_str());
        char* pszAmp = strchr(pszPos, '&');
        if (pszAmp == nullptr) {
            return 0;
        }
        pszPos = pszAmp + 1;
    }
}

// ---- end query parsing ----

// ==== Status table =======================================================================

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

// ---- end status table ----

// ==== Status body ========================================================================

KXAPI_RESPONSE FillResponseStatusParam(tagHTTP_HEADER_S* pstHeader, VW_RESULT_TYPE result)
{
    KXAPI_RESPONSE stRsp;
    (void)KXAPI_SECUREC_CHECK("memset_s", memset_s(&stRsp, sizeof(stRsp), 0, sizeof(stRsp)));
    KXAPI_RESPONSE_STATUS& stStatus = stRsp.ResponseStatus;
    // A null header is a failed copy like any other: logged, and the URL stays empty.
    const char* pszUrl = pstHeader != nullptr ? pstHeader->szUrl : nullptr;
    (void)KXAPI_SECUREC_CHECK("strncpy_s", strncpy_s(stStatus.RequestURL, sizeof(stStatus.RequestURL), pszUrl,
                                                     sizeof(stStatus.RequestURL) - 1));
    stStatus.StatusCode = static_cast<long long>(result);
    (void)KXAPI_SECUREC_CHECK("strncpy_s",
                              strncpy_s(stStatus.StatusString, sizeof(stStatus.StatusString),
                                        GetStatusString(stStatus.StatusCode), sizeof(stStatus.StatusString) - 1));
    return stRsp;
}

int FormatCommonStatus(tagHTTP_HEADER_S* pstHeader, VW_RESULT_TYPE result, tagHTTP_CNTENT_INTER_S* pstCtInt,
                       tagHTTP_BUF_S* pstBuf)
{
    return SendStatusResponse("FormatCommonStatus", pstHeader, result, pstCtInt, pstBuf, false);
}

// ---- end status body ----

// ==== IP-lock response ===================================================================

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
    (void)KXAPI_SECUREC_CHECK("memset_s", memset_s(&stLock, sizeof(stLock), 0, sizeof(stLock)));
    stLock.IpLockStatus = FillResponseStatusParam(&pstClient->stReqHeader, static_cast<VW_RESULT_TYPE>(108));
    stLock.remainTime = KxapiHttpGetUnLockTime(pstClient);
    char* pszBody = EncodeResponseBody(kFunc, stLock);
    if (pszBody == nullptr) {
        return -1;
    }
    return HandBodyToBuffer(kFunc, pstBuf, pszBody);
}

// ---- end IP-lock response ----

// ==== HBTP reply reader and user list ====================================================

void HbtpAsynRead(int nfd, unsigned int mask, tagABS_EVENT_S* event)
{
    (void)mask;
    KXAPI_LOG(KXAPI_LEVEL_DETAIL, "[KXAPI]:Handle unixBusinessAsynRead Function!");
    auto* pstOwner = event != nullptr ? static_cast<tagHTTP_CLIENT_S*>(event->pArg) : nullptr;
    tagABS_EVENT_BASE_S* pstBase =
        (pstOwner != nullptr && pstOwner->pstServerCtx != nullptr) ? pstOwner->pstServerCtx->pstEventBase : nullptr;
    if (nfd < 0) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:Invalid nfd:[%d]", nfd);
        return;
    }
    // The received message is ours until it sits in the target client's reply slot.
    hbtp_message* pstMsg = hbtp_message_new(0);
    bool bHanded = false;
    do {
        if (pstMsg == nullptr) {
            KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:new recv msg failed");
            break;
        }
        if (hbtp_message_recvfd(pstMsg, nfd) == -1) {
            KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:hbtp_message_recvfd fail");
            break;
        }
        void* pValue = nullptr;
        unsigned short usLen = 0;
        if (hbtp_header_get(pstMsg, KXAPI_HBTP_EXT_CLIENT_FD, &pValue, &usLen) != 0 || pValue == nullptr ||
            usLen < sizeof(int)) {
            KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:get fd fail!");
            break;
        }
        int iTargetFd = 0;
        (void)memcpy_s(&iTargetFd, sizeof(iTargetFd), pValue, sizeof(iTargetFd));
        if (iTargetFd <= 0 || pstBase == nullptr || static_cast<unsigned int>(iTargetFd) >= pstBase->uiSize) {
            KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:Invalid socket fd");
            break;
        }
        tagABS_EVENT_S* pstTargetEv = pstBase->ppstEvents[iTargetFd];
        if (pstTargetEv == nullptr || pstTargetEv->pArg == nullptr) {
            KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:Invalid event");
            break;
        }
        auto* pstTarget = static_cast<tagHTTP_CLIENT_S*>(pstTargetEv->pArg);
        pstTarget->pRecvMsg = pstMsg;
        bHanded = true;
        KXAPI_LOG(KXAPI_LEVEL_DETAIL, "[KXAPI]:Receive Unix Message! url = %u",
                  static_cast<unsigned int>(kxapi_hbtp::Url(pstMsg)));
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
    } while (false);
    if (pstMsg != nullptr && !bHanded) {
        (void)hbtp_message_put(pstMsg);
    }
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
    int iFd = open(pszPath, O_RDWR);
    if (iFd < 0) {
        int iErr = errno;
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:open %s srv fail, Error: %d, %s\n", pszPath, iErr, strerror(iErr));
        return -1;
    }
    hbtp_message* pstReq = hbtp_message_new(0);
    if (pstReq == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:new send msg failed");
        (void)close(iFd);
        return -1;
    }
    kxapi_hbtp::SetRequest(pstReq, 0, 2);
    (void)hbtp_message_sendfd(pstReq, iFd);
    (void)hbtp_message_put(pstReq);
    hbtp_message* pstRsp = hbtp_message_new(0);
    if (pstRsp == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:Daemon new rcv msg failed\n");
        (void)close(iFd);
        return -1;
    }
    // A failed receive leaves the fresh message's fields, which the check below refuses.
    (void)hbtp_message_recvfd(pstRsp, iFd);
    KXAPI_LOG(KXAPI_LEVEL_DETAIL, "[KXAPI]:Recv hbtp_code: %d\n", static_cast<int>(kxapi_hbtp::Code(pstRsp)));
    if (kxapi_hbtp::Url(pstRsp) != 0 || kxapi_hbtp::Code(pstRsp) != 200 || kxapi_hbtp::Type(pstRsp) != 2) {
        (void)close(iFd);
        (void)hbtp_message_put(pstRsp);
        return -1;
    }
    void* pBody = nullptr;
    unsigned int uiLen = 0;
    (void)hbtp_content(pstRsp, &pBody, &uiLen);
    if (pBody == nullptr || uiLen == 0) {
        (void)close(iFd);
        (void)hbtp_message_put(pstRsp);
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:%s: pRecvContent NULL", "HbtpGetUserList");
        return -1;
    }
    (void)close(iFd);
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
    (void)KXAPI_SECUREC_CHECK("memset_s", memset_s(pBody, uiWipe, 0, uiWipe));
    (void)hbtp_message_put(pstRsp);
    return iRet;
}

// ---- end HBTP reply reader and user list ----

// ==== Subscriber tables and common helpers ===============================================

#include "kxapi_algo_paths.h"

#include <regex.h>

#include <cstddef>
#include <cstdlib>
#include <ctime>

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
    (void)KXAPI_SECUREC_CHECK("memcpy_s",
                              memcpy_s(SubscriberField(pszTable, iIndex, uiOffset), sizeof(T), &value, sizeof(T)));
}

template <typename T>
T GetSubscriberField(char* pszTable, int iIndex, size_t uiOffset)
{
    T value{};
    (void)KXAPI_SECUREC_CHECK("memcpy_s",
                              memcpy_s(&value, sizeof(T), SubscriberField(pszTable, iIndex, uiOffset), sizeof(T)));
    return value;
}

char* const g_apszSubscriberTables[] = {g_szSubscribeInfo, g_szOpxSubscribeInfo};

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
    for (char* pszTable : g_apszSubscriberTables) {
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
        for (char* pszTable : g_apszSubscriberTables) {
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
    (void)KXAPI_SECUREC_CHECK("memset_s", memset_s(pNew, uiNew, 0, uiNew));
    (void)KXAPI_SECUREC_CHECK("memcpy_s", memcpy_s(pNew, uiNew, pMem, static_cast<size_t>(nOldSize)));
    free(pMem);
    return pNew;
}

int CreateJsonFilter(tagHTTP_ARRAY_S* /* pstArray */)
{
    return 0;
}

// ---- end subscriber tables and common helpers ----
