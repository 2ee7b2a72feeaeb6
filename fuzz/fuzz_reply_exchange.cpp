// A command exchange whose reply is the fuzz input, through every handler that takes a reply, or
// the same reply as the host's reader stored it for RecvCommon; then the response step that sends
// the pending body. Input: one byte (bit 0: the endpoint's send fails, bit 1: its receive fails,
// the rest: the handler), then the reply message's bytes; what is missing of a whole message reads
// as zero. The request names the command the reply names, so a matching reply is as easy to reach
// as a mismatched one.
#include "fuzz_common.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace {

unsigned char g_ucMode = 0;
const uint8_t* g_pReply = nullptr;
size_t g_uiReply = 0;

int Receive(tagUNIX_SOCKET_S*, MSG_DATA* pstMsg)
{
    memset(pstMsg, 0, sizeof(*pstMsg));
    memcpy(pstMsg, g_pReply, std::min(g_uiReply, sizeof(*pstMsg)));
    return (g_ucMode & 2) != 0 ? -1 : 0;
}

// Readable at once and never emptied: the drain's receive fails on a pipe, so it stops there, and
// the wait for the reply ends at once.
int ReadableFd()
{
    static const int s_iFd = [] {
        int aiPipe[2] = {-1, -1};
        FUZZ_CHECK(pipe(aiPipe) == 0 && write(aiPipe[1], "r", 1) == 1);
        return aiPipe[0];
    }();
    return s_iFd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    g_ucMode = data[0];
    g_pReply = data + 1;
    g_uiReply = size - 1;
    auto pstReply = std::make_unique<MSG_DATA>();
    (void)Receive(nullptr, pstReply.get());
    tagUNIX_SOCKET_S stSock{};
    stSock.iFd = ReadableFd();
    stSock.pfnSendMsg = [](tagUNIX_SOCKET_S*, MSG_DATA*) { return (g_ucMode & 1) != 0 ? -1 : 0; };
    stSock.pfnRecvMsg = Receive;
    auto pstClient = std::make_unique<tagHTTP_CLIENT_S>();
    pstClient->pstUnixSock = &stSock;
    tagHTTP_HEADER_S* pstHeader = &pstClient->stReqHeader;
    memcpy(pstHeader->szMethod, "PUT", 4);
    memcpy(pstHeader->szUrl, "/r", 3);
    const VW_CMD_TYPE enCmd = pstReply->enCmdType;
    const KXAPI_URI_TABLE astTable[] = {{"/r", enCmd}};
    tagHTTP_CNTENT_INTER_S stCt{};
    void** ppBody = reinterpret_cast<void**>(&stCt.pRspBody);
    const unsigned char* pucData = pstReply->aucData;
    switch ((g_ucMode >> 2) % 7) {
        case 0:
            (void)GetCommon(pstHeader, &stSock, enCmd, nullptr, ppBody, 0, "/tmp/A");
            break;
        case 1:
            // A failed exchange puts its mark into the first word: the data is not the reply's.
            (void)GetCommonGat1400(pstHeader, &stSock, enCmd, nullptr, ppBody, 0);
            pucData = nullptr;
            break;
        case 2:
            (void)GetCommonGat1400_2(pstHeader, &stSock, enCmd, nullptr, ppBody, 0);
            pucData = nullptr;
            break;
        case 3:
            (void)RunCommonGet(pstHeader, pstClient.get(), &stCt, astTable, 1);
            break;
        case 4:
            // The current data before a change is parsed as text by hosts: it ends within its block.
            if (PreCommonGet(pstHeader, &stSock, &stCt, astTable, 1) == 0) {
                FUZZ_CHECK(stCt.pPreData != nullptr &&
                           strnlen(static_cast<char*>(stCt.pPreData), VW_CMD_BODY_LEN + 1) <= VW_CMD_BODY_LEN);
            }
            free(stCt.pPreData);
            break;
        case 5:
            (void)SetCommon(pstHeader, const_cast<char*>("{}"), 3, &stSock, enCmd, 0, "/tmp/A");
            break;
        default: {
            // Taken over on every path: the reader's block is RecvCommon's to free.
            pstClient->pRecvMsg = memcpy(malloc(sizeof(MSG_DATA)), pstReply.get(), sizeof(MSG_DATA));
            const int iRet = RecvCommon(pstHeader, pstClient.get(), &stCt);
            FUZZ_CHECK(pstClient->pRecvMsg == nullptr && (iRet == pstReply->enResult || iRet == VW_RESULT_OK));
            break;
        }
    }
    SendPendingBody(pstHeader, &stCt, pucData);
    return 0;
}
