// The bounded scanner with the formats the library uses, on any input; guard bytes behind every
// buffer must survive.
#include "fuzz_common.h"
#include "securec.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text = FuzzText(data, size, 4096);
    struct {
        char key[32];
        char guard1[8];
        char value[64];
        char guard2[8];
    } b;
    memset(&b, 0x5a, sizeof(b));
    int r = sscanf_s(text.c_str(), "%[^=]=%s", b.key, 32U, b.value, 64U);
    for (char c : b.guard1) {
        if (c != 0x5a) __builtin_trap();
    }
    for (char c : b.guard2) {
        if (c != 0x5a) __builtin_trap();
    }
    if (r > 2 || r < -1) __builtin_trap();
    int a[6];
    (void)sscanf_s(text.c_str(), "%d/%d/%d %d:%d:%d", &a[0], &a[1], &a[2], &a[3], &a[4], &a[5]);
    long long ll;
    unsigned long long ull;
    short s;
    unsigned short us;
    unsigned int u;
    (void)sscanf_s(text.c_str(), "%lld %llu %hd %hu %u", &ll, &ull, &s, &us, &u);
    char c1[1];
    char sz[4];
    (void)sscanf_s(text.c_str(), "%c%s", c1, 1U, sz, 4U);
    return 0;
}
