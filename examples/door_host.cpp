#include "door_host.h"

#include "kxdevhost.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>

namespace door {

namespace {

struct EndpointDeleter {
    void operator()(tagUNIX_SOCKET_S* pstSock) const { KxUnixEndpointDestroy(pstSock); }
};

} // namespace

int GetDoorState(kxdev::RequestContext& ctx)
{
    tagHTTP_HEADER_S* pstHeader = ctx.Header();
    long long llDoor = 0;
    if (GetAndCheckURIIDValue(pstHeader, llDoor, 1, 0, 4) != 0) {
        return VW_RESULT_INCORRECT_PARAMETER;
    }
    // The exchange takes some 50 KB of stack itself: the 21 KB command body goes on the heap.
    auto pstCmd = std::make_unique<vwCmdBody>();
    snprintf(reinterpret_cast<char*>(pstCmd->aucData), sizeof(pstCmd->aucData), "{ \"Door\": %lld }", llDoor);
    // Bound at its first send: this host serves one request at a time.
    std::unique_ptr<tagUNIX_SOCKET_S, EndpointDeleter> pstSock(KxUnixEndpointCreate(nullptr));
    if (pstSock == nullptr) {
        return VW_RESULT_NO_RESOURCE;
    }
    void* pData = nullptr;
    int iResult = GetCommon(pstHeader, pstSock.get(), static_cast<VW_CMD_TYPE>(kCmdDoorState), pstCmd.get(), &pData, 0,
                            kDoorService);
    if (iResult != VW_RESULT_OK) {
        return iResult; // the service's own result, or 1 when it did not answer: the status body says which
    }
    // The block ends in a NUL however full the service filled it, so it reads as a text.
    json_object* pstRoot = cJSON_CreateObject();
    cJSON_AddItemToObject(pstRoot, "Door", cJSON_CreateNumber(llDoor));
    cJSON_AddItemToObject(pstRoot, "State", cJSON_CreateString(static_cast<const char*>(pData)));
    free(pData);
    iResult = ctx.SetPendingBody(kxdev::JsonBody(pstRoot));
    cJSON_Delete(pstRoot);
    return iResult;
}

Answer Serve(const std::string& strMethod, const std::string& strTarget, const std::string& strBody)
{
    static const std::regex kDoorStatePath("/api/v1/doors/[0-9]+/state");
    kxdev::RequestContext ctx;
    std::string strPath = kxdev::PathOf(strTarget);
    int iResult = ctx.Fill(strMethod, strPath, kxdev::QueryOf(strTarget), strBody);
    if (iResult == VW_RESULT_OK) {
        bool bRouted = strMethod == "GET" && std::regex_match(strPath, kDoorStatePath);
        iResult = bRouted ? GetDoorState(ctx) : VW_RESULT_UNSUPPORTED_REQUEST;
    }
    if (ctx.Respond(iResult) != 0) {
        return Answer{500, ""};
    }
    return Answer{kxdev::HttpStatusOf(iResult), std::move(ctx.strBody)};
}

} // namespace door
