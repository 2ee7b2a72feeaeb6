// URL routing with a fuzzed table and URL. Input: the URL, then table patterns, separated by
// newlines; an empty line is an empty pattern, "~" a null one. The result must be the command of
// the longest pattern that occurs in the URL, the earliest among equals, found here by brute force.
#include "fuzz_common.h"
#include "kxapicommon.h"

#include <algorithm>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string strText(reinterpret_cast<const char*>(data), size < 4096 ? size : 4096);
    std::vector<std::string> lines; // the URL, then one per table row
    for (size_t iStart = 0; iStart <= strText.size() && lines.size() < 65;) {
        size_t iEnd = std::min(strText.find('\n', iStart), strText.size());
        lines.push_back(FuzzText(data + iStart, iEnd - iStart, iEnd - iStart));
        iStart = iEnd + 1;
    }
    std::vector<KXAPI_URI_TABLE> table;
    size_t iBestLen = 0;
    int iExpect = INNER_CMD_INVALID;
    for (size_t i = 1; i < lines.size(); ++i) {
        bool bNull = lines[i] == "~";
        table.push_back({bNull ? nullptr : lines[i].c_str(), static_cast<VW_CMD_TYPE>(static_cast<int>(i))});
        if (!bNull && lines[i].size() > iBestLen && lines[0].find(lines[i]) != std::string::npos) {
            iBestLen = lines[i].size();
            iExpect = static_cast<int>(i);
        }
    }
    FUZZ_CHECK(GetInnerCmdByUrl(&lines[0][0], table.data(), static_cast<unsigned int>(table.size())) == iExpect);
    return 0;
}
