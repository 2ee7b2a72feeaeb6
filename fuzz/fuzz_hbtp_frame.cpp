// The HBTP frame decoder on arbitrary bytes: it either refuses with EPROTO/EMSGSIZE or yields a
// message that encodes back to exactly the input.
#include "kxapicommon.h"
#include "kxplatform.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    hbtp_message* msg = nullptr;
    if (hbtp_frame_decode(data, size, &msg) != 0) {
        if (msg != nullptr || (errno != EPROTO && errno != EMSGSIZE)) {
            __builtin_trap();
        }
        return 0;
    }
    void* buf = nullptr;
    size_t len = 0;
    if (hbtp_frame_encode(msg, &buf, &len) != 0 || len != size || memcmp(buf, data, size) != 0) {
        __builtin_trap();
    }
    free(buf);
    void* value = nullptr;
    unsigned short vlen = 0;
    (void)hbtp_header_get(msg, KXAPI_HBTP_EXT_CLIENT_FD, &value, &vlen);
    hbtp_message_put(msg);
    return 0;
}
