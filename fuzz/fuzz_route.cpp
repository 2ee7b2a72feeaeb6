// URL routing with a fuzzed table and URL. Input: the URL, then table patterns, separated by
// newlines; an empty line is an empty pattern, "~" a null one. The result must be the command of
// the longest pattern that occurs in the URL, the earliest among equals, found here by brute force.
#include "fuzz_common.h"
#include "kxapicommon.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuietLogs();
    std::string text(reinterpret_cast<const char*>(data), size < 4096 ? size : 4096);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size() && lines.size() < 65) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    std::string url = lines[0].substr(0, lines[0].find('\0'));
    std::vector<std::string> patterns;
    std::vector<KXAPI_URI_TABLE> table;
    for (size_t i = 1; i < lines.size(); ++i) {
        patterns.push_back(lines[i].substr(0, lines[i].find('\0')));
    }
    for (size_t i = 0; i < patterns.size(); ++i) {
        const char* pattern = patterns[i] == "~" ? nullptr : patterns[i].c_str();
        table.push_back({pattern, static_cast<VW_CMD_TYPE>(static_cast<int>(i) + 1)});
    }
    size_t bestLen = 0;
    int best = INNER_CMD_INVALID;
    for (size_t i = 0; i < table.size(); ++i) {
        if (table[i].pszUrl != nullptr && !patterns[i].empty() && patterns[i].size() > bestLen &&
            url.find(patterns[i]) != std::string::npos) {
            bestLen = patterns[i].size();
            best = table[i].enInnerCmd;
        }
    }
    int got = GetInnerCmdByUrl(&url[0], table.data(), static_cast<unsigned int>(table.size()));
    if (got != best) {
        __builtin_trap();
    }
    return 0;
}
