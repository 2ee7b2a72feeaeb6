// Emulated camera services: what the firmware's internal services answer, enough for the
// reference server to show every road through the library on a PC.
#ifndef KXAPI_CAMERA_SERVICES_H
#define KXAPI_CAMERA_SERVICES_H

#include "kxapicommon.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
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

// The configuration service's data: one JSON object per command, kept in a file of the state
// directory and replaced atomically on every change.
class ConfigStore {
public:
    explicit ConfigStore(std::string strFile);
    bool Load();                                         // defaults when the file is missing
    std::string Get(int iCmd) const;                     // JSON text, empty when unknown
    bool Set(int iCmd, const std::string& strJson);      // false when not a settable command
    unsigned int NextEventId() { return ++m_uiEventId; } // the event log, from 1 at each start
private:
    bool Save() const;
    std::string m_strFile;
    mutable std::mutex m_mutex;
    std::map<int, std::string> m_mapData;
    std::atomic<unsigned int> m_uiEventId{0};
};

// Text at the start of a data block, up to its NUL or its end.
std::string BlockText(const unsigned char* pucData, size_t uiLen);

// Answers one command message of the configuration service ("/tmp/A") into rsp.
void AnswerConfigRequest(ConfigStore& store, const MSG_DATA& req, MSG_DATA& rsp);
// Answers one command message of the GAT1400 service ("/tmp/GA").
void AnswerGatRequest(const MSG_DATA& req, MSG_DATA& rsp);
// The authentication service's user list block.
void FillUserList(unsigned char aucBlock[kUserListLen]);

// Which services to start, for CameraServices::Start.
enum ServiceSet : unsigned int {
    kServiceConfig = 1,
    kServiceGat = 2,
    kServiceAuth = 4,
};

// Running services; stopping joins their threads and removes their sockets.
class CameraServices {
public:
    explicit CameraServices(const std::string& strStateDir);
    ~CameraServices();
    bool Start(unsigned int uiWhich); // ServiceSet bits
    void Stop();
    struct Impl;

private:
    std::unique_ptr<Impl> m_pImpl;
};

} // namespace kxserver

#endif
