// A process whose host does not define KxapiHttpGetUnLockTime: the library still loads, and the
// IP-lock response refuses instead of calling through a null address.
#include "fake_response_buffer.h"
#include "kxapicommon.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

TEST(IpLockWithoutHost, FailsWithALine)
{
    LogCapture log;
    auto pstClient = std::make_unique<tagHTTP_CLIENT_S>();
    FakeResponseBuffer buf;
    EXPECT_EQ(KxapiHttpAuthLockRsptContent(pstClient.get(), buf.Buf()), -1);
    EXPECT_EQ(buf.Calls(), 0);
    ExpectLogFrame(log.One("[KXAPI]:KxapiHttpAuthLockRsptContent: KxapiHttpGetUnLockTime is not provided"), 3,
                   "access_server/kxapi/common/kxapi_common");
}

} // namespace
