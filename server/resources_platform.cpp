// Resources served over HBTP by the authentication service, and by the server itself: the login
// with its lock, and the log download.
#include "camera_services.h"
#include "kxplatform.h"
#include "resources.h"

#include <json-c/json.h>

#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <mutex>
#include <unistd.h>

namespace kxserver {

// An asynchronous HBTP exchange of one request: the client's own event, and what its handler
// took over from the reply.
struct HbtpWait {
    explicit HbtpWait(StrayReplies& stStray) : stray(stStray) {}
    StrayReplies& stray;
    tagABS_EVENT_S* pstClientEvent = nullptr;
    std::mutex mutex;
    std::condition_variable cv;
    bool bDone = false;
    std::string strBody;
};

namespace {

// The multipart framing of a download: fixed texts around boundary, name and type. Their
// lengths add up to the 101 bytes the download description counts.
constexpr const char kPartOpen[] = "--";
constexpr const char kPartDisposition[] = "\r\nContent-Disposition: form-data; name=\"";
constexpr const char kPartFileName[] = "\"; filename=\"";
constexpr const char kPartType[] = "\"\r\nContent-Type: ";
constexpr const char kPartCharset[] = "; charset=\"utf-8\"\r\n\r\n";
constexpr const char kPartClose[] = "\r\n--";
constexpr const char kPartEnd[] = "--\r\n";
static_assert(sizeof(kPartOpen) + sizeof(kPartDisposition) + sizeof(kPartFileName) + sizeof(kPartType) +
                      sizeof(kPartCharset) + sizeof(kPartClose) + sizeof(kPartEnd) - 7 ==
                  101,
              "the fixed multipart text is 101 bytes");

// The client's own handler, run by HbtpAsynRead on the loop thread: it takes the reply over. Any
// service can name any client in a reply; the library moves the state of the channel's owner to 8
// before it calls here, so a reply that came on another client's channel finds this client's
// state still at 7, and is dropped while this client waits on.
void OnSessionsReply(int /*iFd*/, unsigned int /*uiEvents*/, tagABS_EVENT_S* pstEvent)
{
    auto* pstClient = static_cast<tagHTTP_CLIENT_S*>(pstEvent->pArg);
    HbtpWait& stWait = *RequestOf(pstClient)->pHbtpWait;
    auto* pstReply = static_cast<hbtp_message*>(pstClient->pRecvMsg);
    pstClient->pRecvMsg = nullptr;
    if (pstClient->iReqState != 8) {
        hbtp_message_put(pstReply);
        stWait.stray.Drop("a sessions reply for client " + std::to_string(pstClient->iClientFd) +
                          " that came on another client's channel");
        return;
    }
    unsigned short usUrl = 0;
    unsigned short usCode = 0;
    KxHbtpGetHeader(pstReply, nullptr, &usUrl, &usCode);
    void* pData = nullptr;
    unsigned int uiLen = 0;
    std::string strBody;
    if (usUrl == kAuthUrlSessions && usCode == 200 && hbtp_content(pstReply, &pData, &uiLen) == 0 && uiLen > 0) {
        strBody = kxdev::BlockText(pData, uiLen);
    }
    hbtp_message_put(pstReply);
    AbsEvDel(stWait.pstClientEvent);
    stWait.pstClientEvent = nullptr;
    std::lock_guard<std::mutex> lock(stWait.mutex);
    stWait.strBody = std::move(strBody);
    stWait.bDone = true;
    stWait.cv.notify_all();
}

// On the loop thread: opens the channel, registers it for the client and sends the request.
int SendSessionsRequest(EventLoop& loop, Request& req)
{
    tagHTTP_CLIENT_S* pstClient = &req.stClient;
    HbtpWait& stWait = *req.pHbtpWait;
    int iFd = open(kAuthServicePath, O_RDWR | O_CLOEXEC);
    if (iFd < 0) {
        return VW_RESULT_COMMON_ERROR;
    }
    std::unique_ptr<hbtp_message, int (*)(hbtp_message*)> pstMsg(hbtp_message_new(0), hbtp_message_put);
    stWait.pstClientEvent = AbsEvNew(loop.Base(), pstClient->iClientFd, ABS_EV_READ, pstClient, OnSessionsReply);
    int iResult = VW_RESULT_NO_RESOURCE;
    if (pstMsg != nullptr && stWait.pstClientEvent != nullptr) {
        KxHbtpSetHeader(pstMsg.get(), 2, kAuthUrlSessions, 0);
        iResult = AddHbtpAsynEvent(pstClient, iFd, pstMsg.get());
        if (iResult == 0) {
            iFd = -1; // the library's now: closed by HbtpAsynRead or DeleteHbtpAsynEvent
            pstClient->iReqState = 7;
            if (hbtp_message_sendfd(pstMsg.get(), pstClient->iHbtpFd) == -1) {
                (void)DeleteHbtpAsynEvent(pstClient, pstClient->iHbtpFd);
                iResult = VW_RESULT_COMMON_ERROR;
            }
        } else if (iResult != VW_RESULT_NO_RESOURCE) {
            iResult = VW_RESULT_COMMON_ERROR;
        }
    }
    if (iFd >= 0) {
        close(iFd); // never registered: still ours
    }
    if (iResult != VW_RESULT_OK) {
        AbsEvDel(stWait.pstClientEvent);
        stWait.pstClientEvent = nullptr;
    }
    return iResult;
}

// Whether the client's channel is still registered as the library left it. The reader deletes the
// event and closes the channel on every reply, also one it could not deliver; the descriptor may
// then be another channel's already, which must not be dropped in this client's name.
bool ChannelStillRegistered(tagABS_EVENT_BASE_S* pstBase, tagHTTP_CLIENT_S* pstClient)
{
    unsigned int uiFd = static_cast<unsigned int>(pstClient->iHbtpFd);
    tagABS_EVENT_S* pstEvent = pstClient->iHbtpFd > 0 && uiFd < pstBase->uiSize ? pstBase->ppstEvents[uiFd] : nullptr;
    return pstEvent != nullptr && pstEvent->pArg == pstClient && pstEvent->pfnCallback == HbtpAsynRead;
}

} // namespace

int GetUsers(ServerContext& /*ctx*/, Request& req)
{
    auto pstMsg = std::make_unique<MSG_DATA>();
    memset(pstMsg.get(), 0, sizeof(MSG_DATA));
    if (HbtpGetUserList(pstMsg.get()) != 0) {
        return VW_RESULT_COMMON_ERROR;
    }
    json_object* pList = json_object_new_array();
    for (unsigned int i = 0; i < kUserCount; ++i) {
        UserEntry stEntry{};
        memcpy(&stEntry, pstMsg->aucData + i * sizeof(UserEntry), sizeof(stEntry));
        stEntry.szName[sizeof(stEntry.szName) - 1] = '\0';
        stEntry.szRole[sizeof(stEntry.szRole) - 1] = '\0';
        if (stEntry.szName[0] == '\0') {
            continue;
        }
        json_object* pUser = json_object_new_object();
        json_object_object_add(pUser, "UserName", json_object_new_string(stEntry.szName));
        json_object_object_add(pUser, "Role", json_object_new_string(stEntry.szRole));
        json_object_array_add(pList, pUser);
    }
    memset(pstMsg->aucData, 0, kUserListLen); // the list does not outlive the request
    json_object* pRoot = json_object_new_object();
    json_object_object_add(pRoot, "Users", pList);
    int iResult = req.SetPendingBody(kxdev::JsonBody(pRoot));
    json_object_put(pRoot);
    return iResult;
}

// Answered through the event loop: the channel is tagged with the client's descriptor and
// registered; HbtpAsynRead routes the reply to the client's own event and handler.
int GetSessions(ServerContext& ctx, Request& req)
{
    HbtpWait stWait(ctx.strayReplies);
    req.pHbtpWait = &stWait;
    req.stClient.pstServerCtx = ctx.loop.ServerRecord();
    int iResult = VW_RESULT_COMMON_ERROR;
    ctx.loop.Run([&] { iResult = SendSessionsRequest(ctx.loop, req); });
    if (iResult != VW_RESULT_OK) {
        return iResult;
    }
    bool bDone = false;
    {
        std::unique_lock<std::mutex> lock(stWait.mutex);
        bDone = stWait.cv.wait_for(lock, std::chrono::milliseconds(ctx.stOptions.uiAsyncWaitMs),
                                   [&stWait] { return stWait.bDone; });
    }
    // HbtpAsynRead still looks at the client after its handler returns; the loop thread also
    // settles a reply that comes too late.
    ctx.loop.Run([&] {
        if (!bDone && stWait.pstClientEvent != nullptr) {
            if (ChannelStillRegistered(ctx.loop.Base(), &req.stClient)) {
                (void)DeleteHbtpAsynEvent(&req.stClient, req.stClient.iHbtpFd);
            }
            AbsEvDel(stWait.pstClientEvent);
            stWait.pstClientEvent = nullptr;
        }
    });
    std::lock_guard<std::mutex> lock(stWait.mutex);
    if (!stWait.bDone || stWait.strBody.empty()) {
        return VW_RESULT_COMMON_ERROR;
    }
    return req.SetPendingBody(strdup(stWait.strBody.c_str()));
}

// POST /api/v1/login with { "UserName": ..., "Password": ... }: the credentials travel in the
// body, not the query, so they never reach a log line. Too many failures lock the address.
int PostLogin(ServerContext& ctx, Request& req)
{
    req.pLock = &ctx.lock;
    if (ctx.lock.Remaining(req.strPeer) > 0) {
        req.iHttpStatus = 403;
        return KxapiHttpAuthLockRsptContent(&req.stClient, &req.stBuf) == 0 ? 108 : -1;
    }
    json_object* pBody = json_tokener_parse(req.strReqBody.c_str());
    json_object* pUser = nullptr;
    json_object* pPassword = nullptr;
    bool bWellFormed = pBody != nullptr && json_object_object_get_ex(pBody, "UserName", &pUser) &&
                       json_object_object_get_ex(pBody, "Password", &pPassword) &&
                       json_object_is_type(pUser, json_type_string) && json_object_is_type(pPassword, json_type_string);
    bool bOk = bWellFormed && ctx.stOptions.strAdminUser == json_object_get_string(pUser) &&
               ctx.stOptions.strAdminPassword == json_object_get_string(pPassword);
    json_object_put(pBody);
    if (!bWellFormed) {
        return VW_RESULT_INCORRECT_PARAMETER;
    }
    if (!bOk) {
        ctx.lock.Failed(req.strPeer);
        return 102;
    }
    ctx.lock.Succeeded(req.strPeer);
    return VW_RESULT_OK;
}

// GET /api/v1/logs/download: a snapshot of the device log, described by the library and sent as
// one multipart part whose length is exactly the described body length.
int GetLogDownload(ServerContext& ctx, Request& req)
{
    std::string strFile = ctx.stOptions.strRunDir + "/download-" + std::to_string(++ctx.uiDownloadSeq) + ".log";
    {
        std::ofstream ofs(strFile, std::ios::binary);
        ofs << "device log of kx-cam-01\n";
        for (int i = 1; i <= 20; ++i) {
            ofs << "line " << i << ": status ok\n";
        }
        if (!ofs) {
            unlink(strFile.c_str());
            return VW_RESULT_COMMON_ERROR;
        }
    }
    static const char kName[] = "device.log";
    static const char kType[] = "text/plain";
    KXAPI_DOWNLOAD_FILE_INFO_S stInfo{};
    int iResult = FillDownloadInfo(&stInfo, strFile.c_str(), kType, kName, 0);
    std::ifstream ifs(strFile, std::ios::binary);
    std::string strData((std::istreambuf_iterator<char>(ifs)), std::istreambuf_iterator<char>());
    unlink(strFile.c_str());
    if (iResult != 0) {
        return iResult;
    }
    std::string strBody;
    strBody.reserve(static_cast<size_t>(stInfo.ullBodyLen));
    strBody.append(kPartOpen).append(stInfo.szBoundary).append(kPartDisposition).append(kName);
    strBody.append(kPartFileName).append(kName).append(kPartType).append(kType).append(kPartCharset);
    strBody.append(strData).append(kPartClose).append(stInfo.szBoundary).append(kPartEnd);
    if (strBody.size() != stInfo.ullBodyLen) {
        return VW_RESULT_COMMON_ERROR; // never send a length that lies
    }
    req.strContentType = std::string("multipart/form-data; boundary=") + stInfo.szBoundary;
    req.strBody = std::move(strBody); // answered: no status body follows
    return VW_RESULT_OK;
}

} // namespace kxserver
