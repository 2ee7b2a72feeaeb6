#include "routes.h"

#include "camera_services.h"

#include <cstring>

namespace kxserver {

namespace {

const Route kRoutes[] = {
    // One route a resource: the handler's URI table matches substrings, so it must see only the
    // paths that name a resource it has.
    {"GET", "/api/v1/system/device", kConfigService, GetSystem},
    {"GET", "/api/v1/system/device/time", kConfigService, GetSystem},
    {"GET", "/api/v1/system/network", kConfigService, GetSystem},
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

// Byte for byte, but that "*" takes one segment, never an empty one: a doubled or trailing slash
// names no resource, even where a handler's substring match would still find one.
bool Matches(const char* pszPattern, const char* pszPath)
{
    while (*pszPattern != '\0') {
        if (*pszPattern == '*') {
            size_t uiSeg = strcspn(pszPath, "/");
            if (uiSeg == 0) {
                return false;
            }
            pszPath += uiSeg;
            ++pszPattern;
        } else if (*pszPattern++ != *pszPath++) {
            return false;
        }
    }
    return *pszPath == '\0';
}

} // namespace

const Route* FindRoute(const std::string& strMethod, const std::string& strPath)
{
    // A HEAD is answered as its GET; the front leaves the body off.
    const char* pszAs = strMethod == "HEAD" ? "GET" : strMethod.c_str();
    for (const Route& stRoute : kRoutes) {
        if (strcmp(pszAs, stRoute.pszMethod) == 0 && Matches(stRoute.pszPattern, strPath.c_str())) {
            return &stRoute;
        }
    }
    return nullptr;
}

} // namespace kxserver
