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
// Within what a stream socket holds unread: one blocking send queues all of a frame (or finds the
// peer gone) even before anyone reads.
constexpr size_t kMaxFrame = 64 * 1024;

std::vector<uint8_t> g_vecFrame;
bool g_bKeep = false;

// A channel whose service end already holds the reply bytes and is closed for writing behind them.
struct Channel {
    int aiFd[2] = {-1, -1};
    Channel()
    {
        FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, aiFd) == 0);
        (void)send(aiFd[1], g_vecFrame.data(), g_vecFrame.size(), MSG_NOSIGNAL);
        shutdown(aiFd[1], SHUT_WR);
    }
    ~Channel() { close(aiFd[1]); }
};

// The authentication service sends the bytes raw and hangs up, whatever it was asked. It sends a
// copy: the caller may have its reply, return and take the next input while a send still returns.
void ServeUserListFromTempRoot()
{
    static char s_szRoot[] = "/tmp/kxfuzz-hbtp-XXXXXX";
    static KxSrvfsService* s_pstService = [] {
        FUZZ_CHECK(mkdtemp(s_szRoot) != nullptr && KxSrvfsSetRoot(s_szRoot) == 0);
        KxSrvfsService* pstService = KxSrvfsServe(
            "auth.paas.opx",
            [](void*, KxSrvfsRequest* pstReq, hbtp_message*) -> hbtp_message* {
                const std::vector<uint8_t> vecCopy(g_vecFrame);
                (void)send(pstReq->iChannelFd, vecCopy.data(), vecCopy.size(), MSG_NOSIGNAL);
                pstReq->bClose = 1;
                return nullptr;
            },
            nullptr);
        FUZZ_CHECK(pstService != nullptr);
        atexit([] {
            KxSrvfsStop(s_pstService);
            rmdir(s_szRoot);
        });
        return pstService;
    }();
}

// The host of the asynchronous read: a base, a channel's owner and a waiting client with an event;
// a handler that keeps the reply takes it out of the slot and releases it when done.
struct AsyncHost {
    tagABS_EVENT_BASE_S* pstBase = AbsEvBaseNew(1024);
    tagHTTP_SERVER_S stServer{{}, pstBase};
    std::unique_ptr<tagHTTP_CLIENT_S> pstOwner = std::make_unique<tagHTTP_CLIENT_S>();
    std::unique_ptr<tagHTTP_CLIENT_S> pstTarget = std::make_unique<tagHTTP_CLIENT_S>();
    AsyncHost()
    {
        int iNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
        FUZZ_CHECK(pstBase != nullptr && dup2(iNull, kTargetFd) == kTargetFd &&
                   dup2(iNull, kOtherChannelFd) == kOtherChannelFd);
        close(iNull);
        pstOwner->pstServerCtx = &stServer;
        pstTarget->pstServerCtx = &stServer;
        FUZZ_CHECK(
            AbsEvNew(pstBase, kTargetFd, ABS_EV_READ, pstTarget.get(), [](int, unsigned int, tagABS_EVENT_S* pstEv) {
                auto* pstClient = static_cast<tagHTTP_CLIENT_S*>(pstEv->pArg);
                if (g_bKeep) {
                    hbtp_message_put(static_cast<hbtp_message*>(pstClient->pRecvMsg));
                    pstClient->pRecvMsg = nullptr;
                }
            }) != nullptr);
        FUZZ_CHECK(AbsEvNew(pstBase, kOtherChannelFd, ABS_EV_READ, pstOwner.get(), HbtpAsynRead) != nullptr);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const unsigned char ucMode = data[0];
    g_vecFrame.assign(data + 1, data + 1 + std::min(size - 1, kMaxFrame));
    if ((ucMode & 3) == 0) {
        Channel ch;
        REST_HBTP_MSG stSend{const_cast<char*>("q"), 1};
        std::vector<char> vecBuf(ucMode >> 2); // exactly as large as said: a copy past it overflows
        REST_HBTP_MSG stRecv{vecBuf.data(), static_cast<unsigned int>(vecBuf.size())};
        (void)SendSynHbtpMsg(ch.aiFd[0], 1, 2, &stSend, vecBuf.empty() ? nullptr : &stRecv);
        close(ch.aiFd[0]);
    } else if ((ucMode & 3) == 1) {
        ServeUserListFromTempRoot();
        auto pstMsg = std::make_unique<MSG_DATA>();
        int iRet = HbtpGetUserList(pstMsg.get());
        FUZZ_CHECK(iRet == 0 || iRet == -1);
    } else {
        static AsyncHost s_host;
        g_bKeep = (ucMode & 8) != 0;
        s_host.pstOwner->iReqState = (ucMode & 4) != 0 ? 7 : 5;
        Channel ch;
        hbtp_message* pstReq = hbtp_message_new(0);
        FUZZ_CHECK(AddHbtpAsynEvent(s_host.pstOwner.get(), ch.aiFd[0], pstReq) == 0);
        hbtp_message_put(pstReq);
        tagABS_EVENT_S** ppstEvents = s_host.pstBase->ppstEvents;
        HbtpAsynRead(ch.aiFd[0], ABS_EV_READ, ppstEvents[ch.aiFd[0]]);
        // The channel is gone, every reply is with whoever holds it, and the host's events stay.
        FUZZ_CHECK(ppstEvents[ch.aiFd[0]] == nullptr && s_host.pstTarget->pRecvMsg == nullptr);
        FUZZ_CHECK(ppstEvents[kTargetFd] != nullptr && ppstEvents[kOtherChannelFd] != nullptr);
    }
    return 0;
}
