// The IPv4 check on any text, against an independent reading of what it accepts: four
// dot-separated groups, each one or two digits, or three digits without a leading zero, at most 255.
#include "fuzz_common.h"
#include "kxapicommon.h"

#include <algorithm>

namespace {
bool IsDottedQuad(const std::string& strText)
{
    int iGroups = 0;
    for (size_t iPos = 0; iPos <= strText.size(); ++iGroups) {
        size_t iEnd = std::min(strText.find('.', iPos), strText.size());
        std::string strGroup = strText.substr(iPos, iEnd - iPos);
        if (strGroup.empty() || strGroup.size() > 3 || strGroup.find_first_not_of("0123456789") != std::string::npos ||
            (strGroup.size() == 3 && (strGroup[0] == '0' || std::stoi(strGroup) > 255))) {
            return false;
        }
        iPos = iEnd + 1;
    }
    return iGroups == 4;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string strText = FuzzText(data, size, 64);
    FUZZ_CHECK(CheckIpAddress(strText.c_str()) == (IsDottedQuad(strText) ? 1 : 0));
    return 0;
}
