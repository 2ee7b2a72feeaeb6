// Resources served with command messages: the configuration service ("/tmp/A"), the GAT1400
// service ("/tmp/GA") and one that is never started ("/tmp/SD").
#include "camera_services.h"
#include "kxdevhost.h"
#include "resources.h"

#include <json-c/json.h>

#include <cstring>
#include <memory>

namespace kxserver {

namespace {

const KXAPI_URI_TABLE kSystemTable[] = {
    {"/system/device", static_cast<VW_CMD_TYPE>(CMD_DEVICE_INFO)},
    {"/system/device/time", static_cast<VW_CMD_TYPE>(CMD_DEVICE_TIME)}, // longer: wins for .../time
    {"/system/network", static_cast<VW_CMD_TYPE>(CMD_NETWORK)},
};
const KXAPI_URI_TABLE kVideoTable[] = {
    {"/video/osd", static_cast<VW_CMD_TYPE>(CMD_VIDEO_OSD)},
};

constexpr const char* kSyncPrefix = "/tmp/s";

template <size_t N>
constexpr unsigned int Count(const KXAPI_URI_TABLE (&)[N])
{
    return N;
}

// Table-driven GETs: the longest pattern of the table that occurs in the URL picks the command.
int RunTableGet(ServerContext& ctx, Request& req, const KXAPI_URI_TABLE* pstTable, unsigned int uiCount)
{
    Endpoint ep(ctx, kSyncPrefix);
    req.stClient.pstUnixSock = ep.pstSock;
    int iResult = RunCommonGet(req.Header(), &req.stClient, &req.stContent, pstTable, uiCount);
    req.stClient.pstUnixSock = nullptr;
    return iResult;
}

// A plain GET whose reply block becomes the pending body.
int GetInto(ServerContext& ctx, Request& req, int iCmd, vwCmdBody* pstCmd, const char* pszService)
{
    Endpoint ep(ctx, kSyncPrefix);
    void* pData = nullptr;
    int iResult = GetCommon(req.Header(), ep.pstSock, static_cast<VW_CMD_TYPE>(iCmd), pstCmd, &pData, 0, pszService);
    if (iResult == VW_RESULT_OK) {
        req.stContent.pRspBody = static_cast<char*>(pData);
    }
    return iResult;
}

// Merges the changed members of the request body into the current data; only known members of
// the same JSON type may change. Null when the body is not acceptable.
json_object* MergeChange(const char* pszCurrent, const std::string& strChange)
{
    json_object* pCurrent = json_tokener_parse(pszCurrent);
    json_object* pChange = json_tokener_parse(strChange.c_str());
    bool bOk = pCurrent != nullptr && pChange != nullptr && json_object_is_type(pChange, json_type_object) &&
               json_object_object_length(pChange) > 0;
    if (bOk) {
        json_object_object_foreach(pChange, pszKey, pVal)
        {
            json_object* pOld = nullptr;
            if (!json_object_object_get_ex(pCurrent, pszKey, &pOld) ||
                json_object_get_type(pOld) != json_object_get_type(pVal)) {
                bOk = false;
                break;
            }
            json_object_object_add(pCurrent, pszKey, json_object_get(pVal));
        }
    }
    json_object_put(pChange);
    if (!bOk) {
        json_object_put(pCurrent);
        return nullptr;
    }
    return pCurrent;
}

} // namespace

Endpoint::Endpoint(ServerContext& ctx, const char* pszPrefix)
    : strName(pszPrefix + std::to_string(++ctx.uiEndpointSeq)), pstSock(KxUnixEndpointCreate(strName.c_str()))
{
}

Endpoint::~Endpoint()
{
    KxUnixEndpointDestroy(pstSock);
}

int GetSystem(ServerContext& ctx, Request& req)
{
    return RunTableGet(ctx, req, kSystemTable, Count(kSystemTable));
}

int GetVideoOsd(ServerContext& ctx, Request& req)
{
    return RunTableGet(ctx, req, kVideoTable, Count(kVideoTable));
}

// The settings are fetched first, the change merged in and the whole record set.
int PutVideoOsd(ServerContext& ctx, Request& req)
{
    Endpoint ep(ctx, kSyncPrefix);
    tagHTTP_HEADER_S* pstHeader = req.Header();
    int iResult = PreCommonGet(pstHeader, ep.pstSock, &req.stContent, kVideoTable, Count(kVideoTable));
    if (iResult != VW_RESULT_OK) {
        return iResult;
    }
    json_object* pMerged = MergeChange(static_cast<const char*>(req.stContent.pPreData), req.strReqBody);
    if (pMerged == nullptr) {
        return VW_RESULT_INCORRECT_PARAMETER;
    }
    std::string strNew = json_object_to_json_string(pMerged);
    json_object_put(pMerged);
    return SetCommon(pstHeader, strNew.data(), static_cast<unsigned int>(strNew.size() + 1), ep.pstSock,
                     static_cast<VW_CMD_TYPE>(CMD_VIDEO_OSD), 0, kConfigService);
}

// /api/v1/channels/{id}/stream?profile=...&bitrate=...: the ID is range-checked, the query read
// through the typed getters, and both go to the service in the command body.
int GetChannelStream(ServerContext& ctx, Request& req)
{
    tagHTTP_HEADER_S* pstHeader = req.Header();
    long long llChannel = 0;
    if (GetAndCheckURIIDValue(pstHeader, llChannel, 1, 0, 4) != 0) {
        return VW_RESULT_INCORRECT_PARAMETER;
    }
    // Any query the parser refuses (a bad escape, a pair too long) is the client's fault.
    if (URIQueryParamParse(pstHeader) != VW_RESULT_OK) {
        return VW_RESULT_INCORRECT_PARAMETER;
    }
    char szProfile[16] = "main";
    if (pstHeader->mapQueryParam.count("profile") != 0 &&
        (GetURIQueryParamByKey<char>(pstHeader, "profile", szProfile, sizeof(szProfile)) != VW_RESULT_OK ||
         (strcmp(szProfile, "main") != 0 && strcmp(szProfile, "sub") != 0))) {
        return VW_RESULT_INCORRECT_PARAMETER;
    }
    unsigned int uiBitrate = 4096;
    if (pstHeader->mapQueryParam.count("bitrate") != 0 &&
        GetURIQueryParamByKey<unsigned int>(pstHeader, "bitrate", &uiBitrate) != VW_RESULT_OK) {
        return VW_RESULT_INCORRECT_PARAMETER;
    }
    json_object* pBody = json_object_new_object();
    json_object_object_add(pBody, "Channel", json_object_new_int64(llChannel));
    json_object_object_add(pBody, "Profile", json_object_new_string(szProfile));
    json_object_object_add(pBody, "Bitrate", json_object_new_int64(uiBitrate));
    auto pstCmd = std::make_unique<vwCmdBody>();
    memset(pstCmd.get(), 0, sizeof(vwCmdBody));
    snprintf(reinterpret_cast<char*>(pstCmd->aucData), sizeof(pstCmd->aucData), "%s",
             json_object_to_json_string(pBody));
    json_object_put(pBody);
    return GetInto(ctx, req, CMD_CHANNEL_STREAM, pstCmd.get(), kConfigService);
}

// Answered asynchronously: the request goes out with the client's descriptor as cookie.
int GetLatestEvent(ServerContext& ctx, Request& req)
{
    return GetAsync(ctx, req, static_cast<VW_CMD_TYPE>(CMD_LATEST_EVENT));
}

// The GAT1400 service reports a link it cannot reach in the data, never in the result.
int GetGat1400Status(ServerContext& ctx, Request& req)
{
    Endpoint ep(ctx, kSyncPrefix);
    void* pData = nullptr;
    int iResult = GetCommonGat1400(req.Header(), ep.pstSock, static_cast<VW_CMD_TYPE>(CMD_GAT1400_STATUS), nullptr,
                                   &pData, 0);
    if (iResult != VW_RESULT_OK) {
        return iResult;
    }
    auto* pucData = static_cast<unsigned char*>(pData);
    int iLink = 0;
    memcpy(&iLink, pucData, sizeof(iLink));
    if (iLink != 0) {
        free(pData);
        return VW_RESULT_COMMON_ERROR;
    }
    // The JSON text follows the link word; the block becomes the pending body.
    memmove(pucData, pucData + sizeof(iLink), VW_CMD_BODY_LEN - sizeof(iLink));
    pucData[VW_CMD_BODY_LEN - sizeof(iLink)] = '\0';
    req.stContent.pRspBody = static_cast<char*>(pData);
    return VW_RESULT_OK;
}

// Served by a service that this server never starts: shows a service that is down.
int GetStorage(ServerContext& ctx, Request& req)
{
    return GetInto(ctx, req, CMD_STORAGE, nullptr, kStorageService);
}

} // namespace kxserver
