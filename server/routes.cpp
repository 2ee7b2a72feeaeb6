#include "routes.h"

#include "camera_services.h"

#include <cstring>

namespace kxserver {

namespace {

const Route kRoutes[] = {
    {"GET", "/api/v1/system/**", kConfigService, GetSystem},
    {"GET", "/api/v1/video/osd", kConfigService, GetVideoOsd},
    {"PUT", "/api/v1/video/osd", kConfigService, PutVideoOsd},
    {"GET", "/api/v1/channels/*/stream", kConfigService, GetChannelStream}, // the ID check refuses non-numbers
    {"GET", "/api/v1/events/latest", kConfigService, GetLatestEvent},
    {"GET", "/api/v1/gat1400/status", kGatService, GetGat1400Status},
    {"GET", "/api/v1/storage", kStorageService, GetStorage},
    {"GET", "/api/v1/users", kAuthServicePath, GetUsers},
    {"GET", "/api/v1/users/sessions", kAuthServicePath, GetSessions},
    {"POST", "/api/v1/login", "", PostLogin},
    {"GET", "/api/v1/logs/download", "", GetLogDownload},
};

// Next segment of a path or pattern at *pszText, advancing past it; false at the end.
bool NextSegment(const char*& pszText, std::string& strSeg)
{
    while (*pszText == '/') {
        ++pszText;
    }
    if (*pszText == '\0') {
        return false;
    }
    const char* pszEnd = strchr(pszText, '/');
    size_t uiLen = pszEnd == nullptr ? strlen(pszText) : static_cast<size_t>(pszEnd - pszText);
    strSeg.assign(pszText, uiLen);
    pszText += uiLen;
    return true;
}

bool Matches(const char* pszPattern, const char* pszPath)
{
    std::string strWant;
    std::string strGot;
    while (NextSegment(pszPattern, strWant)) {
        if (!NextSegment(pszPath, strGot)) {
            return false;
        }
        if (strWant == "**") {
            return true;
        }
        if (strWant != "*" && strWant != strGot) {
            return false;
        }
    }
    return !NextSegment(pszPath, strGot);
}

} // namespace

const Route* FindRoute(const std::string& strMethod, const std::string& strPath)
{
    for (const Route& stRoute : kRoutes) {
        if (strMethod == stRoute.pszMethod && Matches(stRoute.pszPattern, strPath.c_str())) {
            return &stRoute;
        }
    }
    return nullptr;
}

} // namespace kxserver
