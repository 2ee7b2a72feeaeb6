// Status lookup and the status body with fuzzed codes and request URLs.
#include "fuzz_common.h"
#include "kxapicommon.h"

#include <json-c/json.h>

#include <cstring>
#include <memory>

namespace {
struct Buf {
    tagHTTP_BUF_S stBuf;
    std::string strOut;
};
int Copy2Buf(tagHTTP_BUF_S* pstBuf, const char* pData, unsigned int uiLen)
{
    reinterpret_cast<Buf*>(pstBuf)->strOut.assign(pData, uiLen);
    return 0;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuietLogs();
    if (size < 8) {
        return 0;
    }
    long long code = 0;
    memcpy(&code, data, sizeof(code));
    if (GetStatusString(code) == nullptr) {
        __builtin_trap();
    }
    auto header = std::make_unique<tagHTTP_HEADER_S>();
    std::string url = FuzzText(data + 8, size - 8, sizeof(header->szUrl) - 1);
    memcpy(header->szUrl, url.c_str(), url.size() + 1);
    tagHTTP_CNTENT_INTER_S stCt{};
    Buf buf{};
    buf.stBuf.Copy2Buf = Copy2Buf;
    int r = FormatCommonResponse<char*>(header.get(), static_cast<VW_RESULT_TYPE>(static_cast<int>(code)), &stCt,
                                        &buf.stBuf);
    if (r != 0) {
        return 0;
    }
    // The body is always valid JSON of the fixed shape.
    json_object* tree = json_tokener_parse(buf.strOut.c_str());
    json_object* status = nullptr;
    if (tree == nullptr || !json_object_object_get_ex(tree, "ResponseStatus", &status)) {
        __builtin_trap();
    }
    json_object_put(tree);
    return 0;
}
