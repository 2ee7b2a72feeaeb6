// RecvCommon on any reply a host stored for it, then the response step that sends the pending
// body. Input: the stored message's bytes; what is missing of a whole message reads as zero.
#include "fuzz_common.h"

#include <algorithm>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto pstClient = std::make_unique<tagHTTP_CLIENT_S>();
    auto* pstStored = static_cast<MSG_DATA*>(calloc(1, sizeof(MSG_DATA)));
    FUZZ_CHECK(pstStored != nullptr);
    memcpy(pstStored, data, std::min(size, sizeof(MSG_DATA)));
    auto pstReply = std::make_unique<MSG_DATA>(*pstStored); // the stored one is freed by RecvCommon
    pstClient->pRecvMsg = pstStored;
    tagHTTP_CNTENT_INTER_S stCt{};
    int iRet = RecvCommon(&pstClient->stReqHeader, pstClient.get(), &stCt);
    FUZZ_CHECK(pstClient->pRecvMsg == nullptr && (iRet == pstReply->enResult || iRet == VW_RESULT_OK));
    SendPendingBody(&pstClient->stReqHeader, &stCt, pstReply->aucData);
    return 0;
}
