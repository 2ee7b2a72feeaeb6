// Unix messaging, query parsing, the status table and status body, the IP-lock response, the HBTP
// reply reader and user list, the subscriber tables and common helpers.
#define KXAPI_LOG_FILE "access_server/kxapi/common/kxapi_common"
#include "kxapi_log.h"
#include "kxapicommon.h"

#include <cstring>

// ==== Service messaging ==================================================================

// ---- end service messaging ----

// ==== Query parsing ======================================================================

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

// ---- end status body ----

// ==== IP-lock response ===================================================================

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
