// The library's one logging macro and the bounded-call check. Each source file defines
// KXAPI_LOG_FILE, its logical name on the camera, before including this header.
#ifndef KXAPI_LOG_H
#define KXAPI_LOG_H

#include "vw_platform.h"
#include "securec.h"

#define KXAPI_MODULE 4
#define KXAPI_LEVEL_INFO 0
#define KXAPI_LEVEL_DETAIL 1
#define KXAPI_LEVEL_ERROR 3

#define KXAPI_LOG(level, fmt, ...) \
    VW_WriteLog(KXAPI_MODULE, (level), g_enDebugFlag, 0, KXAPI_LOG_FILE, __LINE__, fmt, ##__VA_ARGS__)

// A bounded call that returned nonzero is logged, and the caller goes on unless it decides otherwise.
#define KXAPI_LOG_SECUREC(name, ret) \
    KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:[%s] expect Ret %d, actual Ret %d.", (name), 0, (int)(ret))

// Evaluates a bounded call, logs a failure under the given name and yields the call's result.
#define KXAPI_SECUREC_CHECK(name, call)          \
    __extension__({                              \
        int kxRet_ = static_cast<int>(call);     \
        if (kxRet_ != 0) {                       \
            KXAPI_LOG_SECUREC((name), kxRet_);   \
        }                                        \
        kxRet_;                                  \
    })

#endif
