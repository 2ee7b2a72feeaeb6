// The synchronous exchange as the library's own handlers run it. A handler holds a 21 KB reply
// buffer; the request is built in that buffer instead of in a second one, so that a handler
// carries one message on its stack, not three.
#ifndef KXAPI_EXCHANGE_H
#define KXAPI_EXCHANGE_H

#include "kxapicommon.h"

#include <cstddef>

namespace kxapi_exchange {

// A request's data block: uiLen bytes (at most 21208) at pData, then zeros, sent as a whole body
// (ullDataLen 21208). A null pData sends none: ullDataLen 0 and an all-zero block.
struct CmdData {
    const void* pData;
    size_t uiLen;
};

inline CmdData WholeBody(const vwCmdBody* pstBody)
{
    return {pstBody, pstBody != nullptr ? VW_CMD_BODY_LEN : 0};
}

// RestSendSynUnixMsg, the same lines and results, with pstRspMsg (the handler's own buffer, never
// null) as its working space. It is zero-filled first, and it is all zero again whenever the
// exchange ends without a reply, as a reply buffer zero-filled before the exchange would be.
long long SendSynInPlace(const char* pszDst, VW_MSG_TYPE enMsgType, VW_CMD_TYPE enCmd, const CmdData& stData,
                         tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstRspMsg, unsigned long long ullExtParam);

} // namespace kxapi_exchange

#endif
