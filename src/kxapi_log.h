// The library's one logging macro and the bounded-call check. Each source file defines
// KXAPI_LOG_FILE, its logical name on the camera, before including this header.
#ifndef KXAPI_LOG_H
#define KXAPI_LOG_H

#include "securec.h"
#include "vw_platform.h"

#define KXAPI_MODULE 4
#define KXAPI_LEVEL_INFO 0
#define KXAPI_LEVEL_DETAIL 1
#define KXAPI_LEVEL_ERROR 3

// The file and line a log line names. A helper shared by operations of two files logs at the site
// of the operation's call to it, so the line points into the operation, not into the helper.
struct KxapiLogSite {
    const char* pszFile;
    int iLine;
};
#define KXAPI_LOG_SITE (KxapiLogSite{KXAPI_LOG_FILE, __LINE__})

#define KXAPI_LOG_AT(site, level, fmt, ...) \
    VW_WriteLog(KXAPI_MODULE, (level), g_enDebugFlag, 0, (site).pszFile, (site).iLine, fmt, ##__VA_ARGS__)
#define KXAPI_LOG(level, fmt, ...) KXAPI_LOG_AT(KXAPI_LOG_SITE, (level), fmt, ##__VA_ARGS__)

// A bounded call that returned nonzero is logged, and the caller goes on unless it decides otherwise.
#define KXAPI_LOG_SECUREC(name, ret) \
    KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:[%s] expect Ret %d, actual Ret %d.", (name), 0, (int)(ret))

// Evaluates a bounded call and logs its failure under the given name; the caller goes on. Calls
// whose failure changes the caller's path check the result themselves.
#define KXAPI_SECUREC_CHECK(name, call)        \
    do {                                       \
        int kxRet_ = static_cast<int>(call);   \
        if (kxRet_ != 0) {                     \
            KXAPI_LOG_SECUREC((name), kxRet_); \
        }                                      \
    } while (0)

#endif
