// Status lookup and the status body with fuzzed codes and request URLs.
#include "fuzz_common.h"
#include "kxapicommon.h"

#include <json-c/json.h>

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    long long llCode = 0;
    if (size < sizeof(llCode)) {
        return 0;
    }
    memcpy(&llCode, data, sizeof(llCode));
    FUZZ_CHECK(GetStatusString(llCode) != nullptr);
    auto pstHeader = std::make_unique<tagHTTP_HEADER_S>();
    FuzzFill(pstHeader->szUrl, data + sizeof(llCode), size - sizeof(llCode));
    g_strSentBody.clear();
    tagHTTP_BUF_S stBuf{{}, CaptureBody};
    tagHTTP_CNTENT_INTER_S stCt{};
    int iRet = FormatCommonResponse<char*>(pstHeader.get(), static_cast<VW_RESULT_TYPE>(static_cast<int>(llCode)),
                                           &stCt, &stBuf);
    // Whenever a body went out, it is valid JSON of the fixed shape.
    json_object* pstTree = json_tokener_parse(g_strSentBody.c_str());
    json_object* pstStatus = nullptr;
    FUZZ_CHECK(iRet != 0 || (pstTree != nullptr && json_object_object_get_ex(pstTree, "ResponseStatus", &pstStatus)));
    json_object_put(pstTree);
    return 0;
}
