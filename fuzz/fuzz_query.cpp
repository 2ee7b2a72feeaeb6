// The query parser on any client bytes, then every typed getter on every parsed key.
#include "fuzz_common.h"
#include "kxapicommon.h"

#include <memory>
#include <tuple>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto pstHeader = std::make_unique<tagHTTP_HEADER_S>();
    FuzzFill(pstHeader->szQuery, data, size);
    int iRet = URIQueryParamParse(pstHeader.get());
    FUZZ_CHECK(iRet == 0 || iRet == 1 || iRet == 4);
    for (const auto& kv : pstHeader->mapQueryParam) {
        std::tuple<long long, unsigned long long, long, int, unsigned int, short, unsigned short> values{};
        std::apply([&](auto&... v) { ((void)GetURIQueryParamByKey(pstHeader.get(), kv.first, &v), ...); }, values);
        char szText[16];
        (void)GetURIQueryParamByKey(pstHeader.get(), kv.first, szText, static_cast<int>(sizeof(szText)));
        // Decoding only ever shrinks a text, so the field bounds of the encoded form still hold.
        FUZZ_CHECK(kv.first.size() <= 31 && kv.second.size() <= 63);
    }
    return 0;
}
