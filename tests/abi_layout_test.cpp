// The layout the host relies on, seen at run time: on the camera ABI (ILP32) every record must
// sit exactly where the separately built access server expects it. The header's static_asserts
// already stop a wrong build; this test shows which ABI a run checked and fails loudly if the
// asserts were switched off for a 4-byte-pointer build.
#include "kxapicommon.h"

#include <gtest/gtest.h>

#include <cstddef>

namespace {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
struct Offset {
    const char* pszField;
    size_t uiActual;
    size_t uiTarget;
};

const Offset kOffsets[] = {
    {"MSG_DATA.szClientUserName", offsetof(MSG_DATA, szClientUserName), 16},
    {"MSG_DATA.enMsgType", offsetof(MSG_DATA, enMsgType), 160},
    {"MSG_DATA.enCmdType", offsetof(MSG_DATA, enCmdType), 164},
    {"MSG_DATA.ullMsgNum", offsetof(MSG_DATA, ullMsgNum), 168},
    {"MSG_DATA.enResult", offsetof(MSG_DATA, enResult), 176},
    {"MSG_DATA.pUserData", offsetof(MSG_DATA, pUserData), 180},
    {"MSG_DATA.ullDataLen", offsetof(MSG_DATA, ullDataLen), 184},
    {"MSG_DATA.ullExtParam", offsetof(MSG_DATA, ullExtParam), 192},
    {"MSG_DATA.aucData", offsetof(MSG_DATA, aucData), 200},
    {"header.szUrl", offsetof(tagHTTP_HEADER_S, szUrl), 12},
    {"header.stUriIdInfo", offsetof(tagHTTP_HEADER_S, stUriIdInfo), 3088},
    {"header.szQuery", offsetof(tagHTTP_HEADER_S, szQuery), 11352},
    {"header.mapQueryParam", offsetof(tagHTTP_HEADER_S, mapQueryParam), 12504},
    {"URI ID 3 value", offsetof(tagHEADER_URI_ID_INFO_S, astId[2].llValue), 1032 * 3},
    {"client.pstServerCtx", offsetof(tagHTTP_CLIENT_S, pstServerCtx), 2192},
    {"client.pstUnixSock", offsetof(tagHTTP_CLIENT_S, pstUnixSock), 2256},
    {"client.pstUnixAsynSock", offsetof(tagHTTP_CLIENT_S, pstUnixAsynSock), 2260},
    {"client.iReqState", offsetof(tagHTTP_CLIENT_S, iReqState), 2944},
    {"client.bAsynPending", offsetof(tagHTTP_CLIENT_S, bAsynPending), 2948},
    {"client.pRecvMsg", offsetof(tagHTTP_CLIENT_S, pRecvMsg), 2952},
    {"client.iHbtpFd", offsetof(tagHTTP_CLIENT_S, iHbtpFd), 2956},
    {"client.stReqHeader", offsetof(tagHTTP_CLIENT_S, stReqHeader), 4376},
    {"content.pRspBody", offsetof(tagHTTP_CNTENT_INTER_S, pRspBody), 8},
    {"buffer.Copy2Buf", offsetof(tagHTTP_BUF_S, Copy2Buf), 20},
    {"endpoint.szDstName", offsetof(tagUNIX_SOCKET_S, szDstName), 12},
    {"endpoint.pfnSendMsg", offsetof(tagUNIX_SOCKET_S, pfnSendMsg), 84},
    {"endpoint.pfnRecvMsg", offsetof(tagUNIX_SOCKET_S, pfnRecvMsg), 88},
    {"server.pstEventBase", offsetof(tagHTTP_SERVER_S, pstEventBase), 44},
    {"subscriber.uiStatus", offsetof(tagSUBSCRIBER_INFO_S, uiStatus), 8},
    {"subscriber.lExpireTime", offsetof(tagSUBSCRIBER_INFO_S, lExpireTime), 32},
};
#pragma GCC diagnostic pop

TEST(AbiLayoutTest, TargetAbiIsDetectedFromThePointerWidth)
{
    EXPECT_EQ(KXAPI_TARGET_ABI, sizeof(void*) == 4 ? 1 : 0);
    if (KXAPI_TARGET_ABI) {
        // 32-bit ARM EABI: 4-byte long and pointers, 64-bit integers aligned to 8.
        EXPECT_EQ(sizeof(long), 4U);
        EXPECT_EQ(alignof(unsigned long long), 8U);
    }
}

TEST(AbiLayoutTest, RecordsSitWhereTheHostExpectsThem)
{
    // Sizes that do not depend on the ABI hold everywhere.
    EXPECT_EQ(sizeof(vwCmdBody), 21208U);
    if (!KXAPI_TARGET_ABI) {
        GTEST_SKIP() << "dev host ABI: offsets are checked on the camera target (ILP32)";
    }
    EXPECT_EQ(sizeof(MSG_DATA), 21408U);
    EXPECT_EQ(sizeof(tagSUBSCRIBER_INFO_S), 21208U);
    for (const Offset& stOffset : kOffsets) {
        EXPECT_EQ(stOffset.uiActual, stOffset.uiTarget) << stOffset.pszField;
    }
}

} // namespace
