// The query parser on any client bytes, then every typed getter on every parsed key.
#include "fuzz_common.h"
#include "kxapicommon.h"

#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuietLogs();
    auto header = std::make_unique<tagHTTP_HEADER_S>();
    std::string text = FuzzText(data, size, sizeof(header->szQuery) - 1);
    memcpy(header->szQuery, text.c_str(), text.size() + 1);
    int r = URIQueryParamParse(header.get());
    if (r != 0 && r != 1 && r != 4) {
        __builtin_trap();
    }
    for (const auto& kv : header->mapQueryParam) {
        long long ll = 0;
        unsigned long long ull = 0;
        long l = 0;
        int i = 0;
        unsigned int ui = 0;
        short s = 0;
        unsigned short us = 0;
        char sz[16];
        (void)GetURIQueryParamByKey(header.get(), kv.first, &ll);
        (void)GetURIQueryParamByKey(header.get(), kv.first, &ull);
        (void)GetURIQueryParamByKey(header.get(), kv.first, &l);
        (void)GetURIQueryParamByKey(header.get(), kv.first, &i);
        (void)GetURIQueryParamByKey(header.get(), kv.first, &ui);
        (void)GetURIQueryParamByKey(header.get(), kv.first, &s);
        (void)GetURIQueryParamByKey(header.get(), kv.first, &us);
        (void)GetURIQueryParamByKey(header.get(), kv.first, sz, static_cast<int>(sizeof(sz)));
        if (kv.first.size() > 31 || kv.second.size() > 63) {
            __builtin_trap(); // decoded texts are never longer than their encoded bounds
        }
    }
    return 0;
}
