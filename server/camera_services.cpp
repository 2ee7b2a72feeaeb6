// Emulated camera services. The data handling here is what a firmware service would do with a
// command message; the transport comes from the platform stand-in (datagram services for the
// command messages, a service-file-system service for HBTP).
#include "camera_services.h"

#include "kxplatform.h"
#include "kxservices.h"

#include <json-c/json.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace kxserver {

// Services put NUL-terminated text at the start of a data block.
std::string BlockText(const unsigned char* pucData, size_t uiLen)
{
    const void* pEnd = memchr(pucData, '\0', uiLen);
    size_t uiText = pEnd == nullptr ? uiLen : static_cast<size_t>(static_cast<const unsigned char*>(pEnd) - pucData);
    return std::string(reinterpret_cast<const char*>(pucData), uiText);
}

namespace {

const std::map<int, std::string>& Defaults()
{
    static const std::map<int, std::string> mapDefaults = {
        {CMD_DEVICE_INFO, R"({ "DeviceName": "kx-cam-01", "Model": "KX-IPC-2", "FirmwareVersion": "1.0.0" })"},
        {CMD_NETWORK, R"({ "IPAddress": "192.168.0.64", "Netmask": "255.255.255.0", "Gateway": "192.168.0.1" })"},
        {CMD_VIDEO_OSD, R"({ "ShowTime": true, "ShowName": true, "Text": "Gate 1" })"},
    };
    return mapDefaults;
}

bool IsSettable(int iCmd)
{
    return iCmd == CMD_VIDEO_OSD || iCmd == CMD_NETWORK;
}

void PutText(MSG_DATA& rsp, size_t uiOffset, const std::string& strText)
{
    size_t uiRoom = sizeof(rsp.aucData) - uiOffset - 1;
    size_t uiLen = strText.size() < uiRoom ? strText.size() : uiRoom;
    memcpy(rsp.aucData + uiOffset, strText.data(), uiLen);
    rsp.aucData[uiOffset + uiLen] = '\0';
    rsp.ullDataLen = sizeof(rsp.aucData);
}

void StartReply(const MSG_DATA& req, MSG_DATA& rsp, int iResult)
{
    memset(&rsp, 0, sizeof(rsp));
    rsp.enMsgType = req.enMsgType == VW_MSG_TYPE_GET_REQ ? VW_MSG_TYPE_GET_RSP : VW_MSG_TYPE_SET_RSP;
    rsp.enCmdType = req.enCmdType;
    rsp.ullMsgNum = 1;
    rsp.enResult = static_cast<VW_RESULT_TYPE>(iResult);
    rsp.pUserData = req.pUserData; // the sequence cookie goes back unchanged
}

std::string NowText()
{
    time_t tNow = time(nullptr);
    struct tm stTm {};
    localtime_r(&tNow, &stTm);
    char szBuf[32];
    strftime(szBuf, sizeof(szBuf), "%Y-%m-%dT%H:%M:%S", &stTm);
    return szBuf;
}

std::string JsonText(json_object* pObj)
{
    std::string strText = json_object_to_json_string(pObj);
    json_object_put(pObj);
    return strText;
}

std::string StreamAnswer(const MSG_DATA& req)
{
    json_object* pReq = json_tokener_parse(BlockText(req.aucData, sizeof(req.aucData)).c_str());
    if (pReq == nullptr) {
        return {};
    }
    json_object* pChannel = nullptr;
    json_object* pProfile = nullptr;
    json_object* pBitrate = nullptr;
    json_object_object_get_ex(pReq, "Channel", &pChannel);
    json_object_object_get_ex(pReq, "Profile", &pProfile);
    json_object_object_get_ex(pReq, "Bitrate", &pBitrate);
    int iChannel = json_object_get_int(pChannel);
    std::string strProfile = pProfile != nullptr ? json_object_get_string(pProfile) : "main";
    json_object* pRsp = json_object_new_object();
    json_object_object_add(pRsp, "Channel", json_object_new_int(iChannel));
    json_object_object_add(pRsp, "Profile", json_object_new_string(strProfile.c_str()));
    json_object_object_add(pRsp, "Bitrate",
                           json_object_new_int(pBitrate != nullptr ? json_object_get_int(pBitrate) : 4096));
    std::string strUrl = "rtsp://127.0.0.1/ch" + std::to_string(iChannel) + "/" + strProfile;
    json_object_object_add(pRsp, "Url", json_object_new_string(strUrl.c_str()));
    json_object_put(pReq);
    return JsonText(pRsp);
}

} // namespace

ConfigStore::ConfigStore(std::string strFile) : m_strFile(std::move(strFile)) {}

bool ConfigStore::Load()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mapData = Defaults();
    json_object* pRoot = json_object_from_file(m_strFile.c_str());
    if (pRoot == nullptr) {
        return access(m_strFile.c_str(), F_OK) != 0; // missing is fine, unreadable is not
    }
    json_object_object_foreach(pRoot, pszKey, pVal)
    {
        int iCmd = atoi(pszKey);
        if (IsSettable(iCmd) && json_object_is_type(pVal, json_type_object)) {
            m_mapData[iCmd] = json_object_to_json_string(pVal);
        }
    }
    json_object_put(pRoot);
    return true;
}

std::string ConfigStore::Get(int iCmd) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_mapData.find(iCmd);
    return it == m_mapData.end() ? std::string() : it->second;
}

bool ConfigStore::Set(int iCmd, const std::string& strJson)
{
    if (!IsSettable(iCmd)) {
        return false;
    }
    json_object* pObj = json_tokener_parse(strJson.c_str());
    bool bObject = pObj != nullptr && json_object_is_type(pObj, json_type_object);
    json_object_put(pObj);
    if (!bObject) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string strOld = m_mapData[iCmd];
    m_mapData[iCmd] = strJson;
    if (!Save()) {
        m_mapData[iCmd] = strOld; // what is not on disk did not happen
        return false;
    }
    return true;
}

// Written to a temporary file, flushed and renamed over the old one: a crash leaves either the
// old or the new state, never half of one.
bool ConfigStore::Save() const
{
    json_object* pRoot = json_object_new_object();
    for (const auto& [iCmd, strJson] : m_mapData) {
        if (IsSettable(iCmd)) {
            json_object_object_add(pRoot, std::to_string(iCmd).c_str(), json_tokener_parse(strJson.c_str()));
        }
    }
    std::string strText = JsonText(pRoot);
    std::string strTmp = m_strFile + ".tmp";
    int iFd = open(strTmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (iFd < 0) {
        return false;
    }
    bool bOk = write(iFd, strText.data(), strText.size()) == static_cast<ssize_t>(strText.size()) && fsync(iFd) == 0;
    bOk = close(iFd) == 0 && bOk;
    if (!bOk || rename(strTmp.c_str(), m_strFile.c_str()) != 0) {
        unlink(strTmp.c_str());
        return false;
    }
    return true;
}

void AnswerConfigRequest(ConfigStore& store, const MSG_DATA& req, MSG_DATA& rsp)
{
    const int iCmd = req.enCmdType;
    if (req.enMsgType == VW_MSG_TYPE_SET_REQ) {
        bool bKnown = IsSettable(iCmd);
        bool bStored = bKnown && store.Set(iCmd, BlockText(req.aucData, sizeof(req.aucData)));
        StartReply(req, rsp,
                   bStored ? VW_RESULT_OK : (bKnown ? VW_RESULT_INCORRECT_PARAMETER : VW_RESULT_UNSUPPORTED_REQUEST));
        return;
    }
    std::string strText;
    if (iCmd == CMD_DEVICE_TIME) {
        strText = R"({ "LocalTime": ")" + NowText() + R"(" })";
    } else if (iCmd == CMD_CHANNEL_STREAM) {
        strText = StreamAnswer(req);
    } else if (iCmd == CMD_LATEST_EVENT) {
        strText = R"({ "EventId": )" + std::to_string(store.NextEventId()) +
                  R"(, "Type": "motion", "Channel": 1, "Time": ")" + NowText() + R"(" })";
    } else {
        strText = store.Get(iCmd);
    }
    StartReply(req, rsp, strText.empty() ? VW_RESULT_UNSUPPORTED_REQUEST : VW_RESULT_OK);
    if (!strText.empty()) {
        PutText(rsp, 0, strText);
    }
}

void AnswerGatRequest(const MSG_DATA& req, MSG_DATA& rsp)
{
    if (static_cast<int>(req.enCmdType) != CMD_GAT1400_STATUS || req.enMsgType != VW_MSG_TYPE_GET_REQ) {
        StartReply(req, rsp, VW_RESULT_UNSUPPORTED_REQUEST);
        return;
    }
    StartReply(req, rsp, VW_RESULT_OK);
    // The first 32-bit word is the link state (0 up); the GET family puts 1 there itself when
    // the service cannot be reached.
    PutText(rsp, 4, R"({ "Registered": true, "Server": "192.168.0.10:80", "DeviceID": "KX-CAM-01-0001" })");
}

void FillUserList(unsigned char aucBlock[kUserListLen])
{
    static const char* const kUsers[][2] = {{"admin", "Administrator"}, {"operator", "Operator"}, {"viewer", "Viewer"}};
    memset(aucBlock, 0, kUserListLen);
    for (size_t i = 0; i < sizeof(kUsers) / sizeof(kUsers[0]); ++i) {
        UserEntry stEntry{};
        snprintf(stEntry.szName, sizeof(stEntry.szName), "%s", kUsers[i][0]);
        snprintf(stEntry.szRole, sizeof(stEntry.szRole), "%s", kUsers[i][1]);
        memcpy(aucBlock + i * sizeof(UserEntry), &stEntry, sizeof(stEntry));
    }
}

struct CameraServices::Impl {
    ConfigStore store;
    KXSERVICE* pConfig = nullptr;
    KXSERVICE* pGat = nullptr;
    KxSrvfsService* pAuth = nullptr;
    explicit Impl(const std::string& strStateDir) : store(strStateDir + "/config.json") {}
};

namespace {

int ServeConfig(void* pUser, const MSG_DATA* pstReq, MSG_DATA* pstReply, unsigned int* /*puiDelayMs*/)
{
    AnswerConfigRequest(static_cast<CameraServices::Impl*>(pUser)->store, *pstReq, *pstReply);
    return 1;
}

int ServeGat(void* /*pUser*/, const MSG_DATA* pstReq, MSG_DATA* pstReply, unsigned int* /*puiDelayMs*/)
{
    AnswerGatRequest(*pstReq, *pstReply);
    return 1;
}

// The authentication service: URL 0 the user list block, URL 1 the open sessions as JSON.
hbtp_message* ServeAuth(void* /*pUser*/, KxSrvfsRequest* /*pstReq*/, hbtp_message* pstMsg)
{
    hbtp_message* pstReply = hbtp_message_new(0);
    if (pstReply == nullptr) {
        return nullptr;
    }
    unsigned short usUrl = 0;
    KxHbtpGetHeader(pstMsg, nullptr, &usUrl, nullptr);
    bool bKnown = usUrl == kAuthUrlUserList || usUrl == kAuthUrlSessions;
    KxHbtpSetHeader(pstReply, 2, usUrl, bKnown ? 200 : 404);
    void* pTag = nullptr;
    unsigned short usTagLen = 0;
    if (hbtp_header_get(pstMsg, KXAPI_HBTP_EXT_CLIENT_FD, &pTag, &usTagLen) == 0) {
        hbtp_header_set(pstReply, KXAPI_HBTP_EXT_CLIENT_FD, pTag, usTagLen); // the waiting client goes back
    }
    if (usUrl == kAuthUrlUserList) {
        unsigned char aucBlock[kUserListLen];
        FillUserList(aucBlock);
        hbtp_content_add(pstReply, aucBlock, kUserListLen);
    } else if (usUrl == kAuthUrlSessions) {
        static const char kSessions[] = R"({ "Sessions": [ { "UserName": "admin", "Address": "127.0.0.1" } ] })";
        hbtp_content_add(pstReply, kSessions, sizeof(kSessions));
    }
    return pstReply;
}

} // namespace

CameraServices::CameraServices(const std::string& strStateDir) : m_pImpl(std::make_unique<Impl>(strStateDir)) {}

CameraServices::~CameraServices()
{
    Stop();
}

bool CameraServices::Start(unsigned int uiWhich)
{
    Impl& s = *m_pImpl;
    if (!s.store.Load()) {
        return false;
    }
    bool bOk = true;
    if ((uiWhich & kServiceConfig) != 0) {
        bOk = (s.pConfig = KxServiceStart(kConfigService, ServeConfig, &s)) != nullptr;
    }
    if ((uiWhich & kServiceGat) != 0) {
        bOk = bOk && (s.pGat = KxServiceStart(kGatService, ServeGat, &s)) != nullptr;
    }
    if ((uiWhich & kServiceAuth) != 0) {
        bOk = bOk && (s.pAuth = KxSrvfsServe(kAuthServiceName, ServeAuth, &s)) != nullptr;
    }
    if (!bOk) {
        Stop();
        return false;
    }
    return true;
}

void CameraServices::Stop()
{
    Impl& s = *m_pImpl;
    if (s.pConfig != nullptr) {
        KxServiceStop(s.pConfig);
        s.pConfig = nullptr;
    }
    if (s.pGat != nullptr) {
        KxServiceStop(s.pGat);
        s.pGat = nullptr;
    }
    if (s.pAuth != nullptr) {
        KxSrvfsStop(s.pAuth);
        s.pAuth = nullptr;
    }
}

} // namespace kxserver
