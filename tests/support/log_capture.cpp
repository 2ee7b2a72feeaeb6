#include "log_capture.h"

#include "kxapicommon.h"
#include "kxplatform.h"

#include <cstdio>

void LogCapture::Sink(void* pUser, int iModule, int iLevel, int iFlag, int iReserved, const char* pszFile, int iLine,
                      const char* pszText)
{
    auto* self = static_cast<LogCapture*>(pUser);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_records.push_back({iModule, iLevel, iFlag, iReserved, pszFile, iLine, pszText});
}

namespace {
// The library's source names as they appear in its log calls.
const char* const kFileCommon = "access_server/kxapi/common/kxapi_common";
const char* const kFileBusiness = "access_server/kxapi/common/kxapi_business_common";
const char* const kFileList = "access_server/kxapi/common/kxapi_commonlist";

// What a line carries besides its text: "module level flag reserved has-a-line file".
std::string Frame(const LogRecord& r)
{
    return std::to_string(r.iModule) + " " + std::to_string(r.iLevel) + " " + std::to_string(r.iDebugFlag) + " " +
           std::to_string(r.iReserved) + " " + std::to_string(r.iLine > 0) + " " + r.strFile;
}
} // namespace

std::string LogCapture::Lines() const
{
    std::string strOut;
    for (const LogRecord& r : Records()) {
        const std::string strFile = r.strFile == kFileCommon     ? "common"
                                    : r.strFile == kFileBusiness ? "business"
                                    : r.strFile == kFileList     ? "list"
                                                                 : r.strFile;
        const bool bPrefix = r.strText.rfind("[KXAPI]:", 0) == 0;
        strOut += std::string(1, r.iLevel >= 0 && r.iLevel <= 3 ? "ID?E"[r.iLevel] : '?') + " " + strFile + " " +
                  (bPrefix ? r.strText.substr(8) : "?" + r.strText);
        if (Frame(r) != Frame({4, r.iLevel, g_enDebugFlag, 0, r.strFile, 1, ""})) {
            strOut += " {" + Frame(r) + "}";
        }
        strOut += "\n";
    }
    return strOut;
}

std::string Ptr(const void* p)
{
    char sz[32];
    snprintf(sz, sizeof(sz), "%p", p);
    return sz;
}
