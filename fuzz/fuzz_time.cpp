// Time-string conversion on any text.
#include "fuzz_common.h"
#include "kxapicommon.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuietLogs();
    static bool bTz = (setenv("TZ", "UTC", 1) == 0);
    (void)bTz;
    std::string text = FuzzText(data, size, 256);
    long lSeconds = 0;
    (void)RestTransferTimeStrToSeconds(&lSeconds, text.data());
    return 0;
}
