// Request handlers, URI routing and IDs, typed query getters, the response encoder, synchronous
// HBTP exchange and asynchronous event registration, time and mode conversions, download info.
#define KXAPI_LOG_FILE "access_server/kxapi/common/kxapi_business_common"
#include "kxapi_log.h"
#include "kxapicommon.h"

#include <cstring>

// ==== Request handlers ===================================================================

// ---- end request handlers ----

// ==== URI routing and URI IDs ============================================================

// ---- end URI routing and URI IDs ----

// ==== Typed query getters ================================================================

// ---- end typed query getters ----

// ==== Response encoder ===================================================================

// ---- end response encoder ----

// ==== Synchronous HBTP and asynchronous events ===========================================

// ---- end synchronous HBTP and asynchronous events ----

// ==== Time and mode conversions ==========================================================

// ---- end time and mode conversions ----

// ==== Download file info =================================================================

// ---- end download file info ----
