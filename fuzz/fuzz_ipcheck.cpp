// The IPv4 check on any text, against an independent reading of what it accepts: four
// dot-separated groups, each one or two digits, or three digits without a leading zero, at most 255.
#include "fuzz_common.h"
#include "kxapicommon.h"

#include <cctype>

namespace {

bool IsDottedQuad(const std::string& text)
{
    int groups = 0;
    size_t i = 0;
    while (true) {
        size_t start = i;
        while (i < text.size() && isdigit(static_cast<unsigned char>(text[i])) != 0) {
            ++i;
        }
        size_t len = i - start;
        if (len == 0 || len > 3) {
            return false;
        }
        if (len == 3 && (text[start] == '0' || std::stoi(text.substr(start, 3)) > 255)) {
            return false;
        }
        ++groups;
        if (i == text.size()) {
            return groups == 4;
        }
        if (text[i] != '.' || groups == 4) {
            return false;
        }
        ++i;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuietLogs();
    std::string text = FuzzText(data, size, 64);
    int r = CheckIpAddress(text.c_str());
    if (r != (IsDottedQuad(text) ? 1 : 0)) {
        __builtin_trap();
    }
    return 0;
}
