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

#include "kxapi_algo_paths.h"

#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

// Bytes of fixed multipart framing around the file part: the header block and the closing lines.
constexpr unsigned long long kDownloadFramingHead = 91;
constexpr unsigned long long kDownloadFramingTail = 10;
constexpr size_t kDownloadTextCap = KXAPI_DOWNLOAD_TEXT_LEN + 1;
constexpr size_t kRealPathCap = PATH_MAX + 1;

// Copies a caller's text into one of the record's fields, cutting it at 128 characters.
void CopyDownloadText(char* pszDest, const char* pszSrc)
{
    (void)KXAPI_SECUREC_CHECK("strncpy_s", strncpy_s(pszDest, kDownloadTextCap, pszSrc, KXAPI_DOWNLOAD_TEXT_LEN));
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
    long long llRet = GetDevRandomString(pstDownloadInfo->szBoundary, KXAPI_DOWNLOAD_BOUNDARY_LEN, RANDOM_STR_TYPE_HEX);
    if (llRet != 0) {
        KXAPI_LOG_SECUREC("GetUrandomString", llRet);
    }
    pstDownloadInfo->szBoundary[KXAPI_DOWNLOAD_BOUNDARY_LEN] = '\0';
    KXAPI_LOG(KXAPI_LEVEL_INFO, "[KXAPI]:Boundary : %s", pstDownloadInfo->szBoundary);

    FILE* pstFile = fopen(szRealPath, "r");
    if (pstFile == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:Open file fail %s", pstDownloadInfo->szPath);
        return VW_RESULT_FAILURE;
    }
    int iFd = fileno(pstFile);
    if (iFd == -1) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:File fileno is null %s", pstDownloadInfo->szPath);
        (void)fclose(pstFile);
        return VW_RESULT_FAILURE;
    }
    // The file is handed out read-only from now on, whatever its mode was.
    (void)fchmod(iFd, S_IRUSR);
    struct stat stStat {};
    if (fstat(iFd, &stStat) != 0) {
        // Without a size there is no length to announce.
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:File stat fail %s", pstDownloadInfo->szPath);
        (void)fclose(pstFile);
        return VW_RESULT_FAILURE;
    }
    auto ullFileLen = static_cast<unsigned long long>(static_cast<long long>(stStat.st_size));
    // Name and type are counted as the caller passed them: the host writes those, not the cut copies.
    pstDownloadInfo->ullBodyLen = ullFileLen + 2ULL * strlen(pstDownloadInfo->szBoundary) + 2ULL * strlen(pszName) +
                                  strlen(pszType) + kDownloadFramingHead + kDownloadFramingTail;
    KXAPI_LOG(KXAPI_LEVEL_DETAIL, "[KXAPI]:File Len: %llu, HTTP Body Len %llu", ullFileLen,
              pstDownloadInfo->ullBodyLen);
    pstDownloadInfo->bValid = 1;
    (void)fclose(pstFile);
    return VW_RESULT_OK;
}

// ---- end download file info ----
