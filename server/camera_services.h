// What the reference server knows of the camera's services: their names, the inner commands of
// its URI tables and the layout of the user list. What the services answer is a scenario file
// (share/reference.scenario.json), run by the dev-host kit.
#ifndef KXAPI_CAMERA_SERVICES_H
#define KXAPI_CAMERA_SERVICES_H

#include "kxapicommon.h"

#include <string>

namespace kxserver {

// Inner commands of the reference server's URI tables and services.
enum ServerCmd : int {
    CMD_DEVICE_INFO = 1001,
    CMD_DEVICE_TIME = 1002,
    CMD_NETWORK = 1003,
    CMD_VIDEO_OSD = 2001,
    CMD_CHANNEL_STREAM = 3001,
    CMD_LATEST_EVENT = 4001,
    CMD_GAT1400_STATUS = 5001,
    CMD_STORAGE = 6001,
};

// The service names; "/tmp/SD" is never started, so its resource shows a service that is down.
constexpr const char* kConfigService = "/tmp/A";
constexpr const char* kGatService = "/tmp/GA";
constexpr const char* kStorageService = "/tmp/SD";
constexpr const char* kAuthServicePath = "/mnt/srvfs/auth.paas.opx";
constexpr const char* kAuthServiceName = "auth.paas.opx";

// The user list block of the authentication service: 8 entries of 291 bytes.
constexpr unsigned int kUserListLen = 2328;
constexpr unsigned int kUserCount = 8;
struct UserEntry {
    char szName[64];
    char szRole[32];
    unsigned char aucReserved[195];
};
static_assert(sizeof(UserEntry) * kUserCount == kUserListLen, "user list block is 2328 bytes");

// HBTP URL numbers the authentication service answers.
constexpr unsigned short kAuthUrlUserList = 0;
constexpr unsigned short kAuthUrlSessions = 1;

} // namespace kxserver

#endif
