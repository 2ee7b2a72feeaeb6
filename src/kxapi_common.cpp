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

// ---- end subscriber tables and common helpers ----
