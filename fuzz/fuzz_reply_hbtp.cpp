// The HBTP exchanges on any bytes a service sends back before it hangs up: reply codes, extension
// headers, bodies of any length, truncated and malformed frames. Input: one byte choosing the
// exchange (low 2 bits) and its details (the rest), then the service's bytes, at most 64 KiB.
//   0: SendSynHbtpMsg into a buffer of 0 to 63 bytes (none at all for 0);
//   1: HbtpGetUserList from the authentication service;
//   2, 3: HbtpAsynRead of a registered channel; bit 2 keeps the owner's state at 7, bit 3 lets the
//         target client's handler keep the reply. The target client's event is at descriptor
//         kTargetFd, another channel's at kOtherChannelFd.
#include "fuzz_common.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

constexpr int kTargetFd = 40;
constexpr int kOtherChannelFd = 41;
constexpr size_t kMaxFrame = 64 * 1024; // within what a stream socket holds unread

const uint8_t* g_pFrame = nullptr;
size_t g_uiFrame = 0;

void SendAll(int iFd, const uint8_t* p, size_t n)
{
    while (n > 0) {
        ssize_t w = send(iFd, p, n, MSG_NOSIGNAL);
        if (w <= 0) {
            return;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
}

// A channel whose service end already holds the reply bytes and is closed for writing behind them.
struct Channel {
    int aiFd[2] = {-1, -1};
    Channel()
    {
        FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, aiFd) == 0);
        SendAll(aiFd[1], g_pFrame, g_uiFrame);
        shutdown(aiFd[1], SHUT_WR);
    }
    ~Channel() { close(aiFd[1]); }
};

// The authentication service sends the bytes raw and hangs up, whatever it was asked. It sends a
// copy: the caller may have its reply, return and let the input go while a send is still returning.
hbtp_message* ServeRaw(void*, KxSrvfsRequest* pstReq, hbtp_message*)
{
    const std::vector<uint8_t> vecFrame(g_pFrame, g_pFrame + g_uiFrame);
    SendAll(pstReq->iChannelFd, vecFrame.data(), vecFrame.size());
    pstReq->bClose = 1;
    return nullptr;
}

// The host of the asynchronous read: a base, a channel's owner, and a waiting client with an event.
struct AsyncHost {
    tagABS_EVENT_BASE_S* pstBase = AbsEvBaseNew(1024);
    tagHTTP_SERVER_S stServer{{}, pstBase};
    std::unique_ptr<tagHTTP_CLIENT_S> pstOwner = std::make_unique<tagHTTP_CLIENT_S>();
    std::unique_ptr<tagHTTP_CLIENT_S> pstTarget = std::make_unique<tagHTTP_CLIENT_S>();
    bool bKeep = false;
    AsyncHost()
    {
        int iNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
        FUZZ_CHECK(pstBase != nullptr && dup2(iNull, kTargetFd) == kTargetFd &&
                   dup2(iNull, kOtherChannelFd) == kOtherChannelFd);
        close(iNull);
        pstOwner->pstServerCtx = &stServer;
        pstOwner->iClientFd = kTargetFd;
        pstTarget->pstServerCtx = &stServer;
        FUZZ_CHECK(AbsEvNew(pstBase, kTargetFd, ABS_EV_READ, pstTarget.get(), OnReply) != nullptr);
        FUZZ_CHECK(AbsEvNew(pstBase, kOtherChannelFd, ABS_EV_READ, pstOwner.get(), HbtpAsynRead) != nullptr);
    }
    static void OnReply(int, unsigned int, tagABS_EVENT_S* pstEv);
};

AsyncHost& Host()
{
    static AsyncHost s_host;
    return s_host;
}

// A handler that keeps the reply takes it out of the slot and releases it when done.
void AsyncHost::OnReply(int, unsigned int, tagABS_EVENT_S* pstEv)
{
    auto* pstClient = static_cast<tagHTTP_CLIENT_S*>(pstEv->pArg);
    if (Host().bKeep) {
        hbtp_message_put(static_cast<hbtp_message*>(pstClient->pRecvMsg));
        pstClient->pRecvMsg = nullptr;
    }
}

void ServeUserListFromTempRoot()
{
    static const bool s_bServing = [] {
        static char szRoot[] = "/tmp/kxfuzz-hbtp-XXXXXX";
        FUZZ_CHECK(mkdtemp(szRoot) != nullptr && KxSrvfsSetRoot(szRoot) == 0);
        static KxSrvfsService* s_pstService = KxSrvfsServe("auth.paas.opx", ServeRaw, nullptr);
        FUZZ_CHECK(s_pstService != nullptr);
        atexit([] {
            KxSrvfsStop(s_pstService);
            rmdir(szRoot);
        });
        return true;
    }();
    (void)s_bServing;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const unsigned char ucMode = data[0];
    g_pFrame = data + 1;
    g_uiFrame = std::min(size - 1, kMaxFrame);
    if ((ucMode & 3) == 0) {
        Channel ch;
        REST_HBTP_MSG stSend{const_cast<char*>("q"), 1};
        // Exactly as large as the caller says, so a copy past it is a heap overflow.
        std::vector<char> vecBuf(ucMode >> 2);
        REST_HBTP_MSG stRecv{vecBuf.data(), static_cast<unsigned int>(vecBuf.size())};
        (void)SendSynHbtpMsg(ch.aiFd[0], 1, 2, &stSend, vecBuf.empty() ? nullptr : &stRecv);
        close(ch.aiFd[0]);
    } else if ((ucMode & 3) == 1) {
        ServeUserListFromTempRoot();
        auto pstMsg = std::make_unique<MSG_DATA>();
        int iRet = HbtpGetUserList(pstMsg.get());
        FUZZ_CHECK(iRet == 0 || iRet == -1);
    } else {
        AsyncHost& host = Host();
        host.bKeep = (ucMode & 8) != 0;
        host.pstOwner->iReqState = (ucMode & 4) != 0 ? 7 : 5;
        Channel ch;
        hbtp_message* pstReq = hbtp_message_new(0);
        FUZZ_CHECK(AddHbtpAsynEvent(host.pstOwner.get(), ch.aiFd[0], pstReq) == 0);
        hbtp_message_put(pstReq);
        HbtpAsynRead(ch.aiFd[0], ABS_EV_READ, host.pstBase->ppstEvents[ch.aiFd[0]]);
        // The channel is gone, every reply is with whoever holds it, and the host's events stay.
        FUZZ_CHECK(host.pstBase->ppstEvents[ch.aiFd[0]] == nullptr && host.pstTarget->pRecvMsg == nullptr);
        FUZZ_CHECK(host.pstBase->ppstEvents[kTargetFd] != nullptr &&
                   host.pstBase->ppstEvents[kOtherChannelFd] != nullptr);
    }
    return 0;
}
