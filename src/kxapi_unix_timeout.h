// How long the synchronous exchange waits for a service's reply, and which reply type it accepts.
// Kept as data, apart from the exchange, so the selection can be checked entry by entry.
#ifndef KXAPI_UNIX_TIMEOUT_H
#define KXAPI_UNIX_TIMEOUT_H

#include "kxapicommon.h"

namespace {

// SET commands whose services need longer than the default to answer.
struct KxapiSetWait {
    int iCmd;
    int iTimeoutSec;
};
constexpr KxapiSetWait g_astKxapiSetWaits[] = {
    {VW_CMD_SET_LONG_22026, 60}, {VW_CMD_SET_LONG_7020, 120}, {VW_CMD_SET_LONG_7038, 180},
    {VW_CMD_SET_LONG_7039, 180}, {VW_CMD_SET_LONG_7013, 360},
};
constexpr int g_iKxapiGetWaitSec = 30;
constexpr int g_iKxapiDefaultWaitSec = 15;

struct KxapiReplyWait {
    int iTimeoutSec;
    VW_MSG_TYPE enReplyType;
};

// Commands are compared by value; a request type other than GET and SET waits the default time
// for a SET reply.
inline KxapiReplyWait KxapiSelectReplyWait(VW_MSG_TYPE enMsgType, VW_CMD_TYPE enCmd)
{
    if (enMsgType == VW_MSG_TYPE_GET_REQ) {
        return {g_iKxapiGetWaitSec, VW_MSG_TYPE_GET_RSP};
    }
    if (enMsgType == VW_MSG_TYPE_SET_REQ) {
        for (const KxapiSetWait& stWait : g_astKxapiSetWaits) {
            if (stWait.iCmd == static_cast<int>(enCmd)) {
                return {stWait.iTimeoutSec, VW_MSG_TYPE_SET_RSP};
            }
        }
    }
    return {g_iKxapiDefaultWaitSec, VW_MSG_TYPE_SET_RSP};
}

} // namespace

#endif
