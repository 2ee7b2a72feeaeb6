// Unix messaging, query parsing, the status table and status body, the IP-lock response, the HBTP
// reply reader and user list, the subscriber tables and common helpers.
#define KXAPI_LOG_FILE "access_server/kxapi/common/kxapi_common"
#include "kxapi_log.h"
#include "kxapi_response.h"
#include "kxapicommon.h"

#include <Poco/URI.h>

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
