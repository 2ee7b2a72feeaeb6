// Time-string conversion on any text.
#include "fuzz_common.h"
#include "kxapicommon.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    [[maybe_unused]] static bool bTz = (setenv("TZ", "UTC", 1) == 0); // runs must not depend on the host's zone
    std::string strText = FuzzText(data, size, 256);
    long lSeconds = 0;
    (void)RestTransferTimeStrToSeconds(&lSeconds, strText.data());
    return 0;
}
