// The common list of fixed-size elements.
#define KXAPI_LOG_FILE "access_server/kxapi/common/kxapi_commonlist"
#include "kxapi_log.h"
#include "kxapicommon.h"

// ==== Common list ========================================================================

// ---- end common list ----
