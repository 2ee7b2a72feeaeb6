// The bounded scanner with the formats the library uses, on any input; guard bytes behind every
// buffer must survive.
#include "fuzz_common.h"
#include "securec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string strText = FuzzText(data, size, 4096);
    const char* pszText = strText.c_str();
    struct {
        char szKey[32];
        char acGuard1[8];
        char szValue[64];
        char acGuard2[8];
    } st;
    memset(&st, 'Z', sizeof(st));
    int iRet = sscanf_s(pszText, "%[^=]=%s", st.szKey, 32U, st.szValue, 64U);
    FUZZ_CHECK(memcmp(st.acGuard1, "ZZZZZZZZ", 8) == 0 && memcmp(st.acGuard2, "ZZZZZZZZ", 8) == 0);
    FUZZ_CHECK(iRet >= -1 && iRet <= 2);
    int a[6];
    (void)sscanf_s(pszText, "%d/%d/%d %d:%d:%d", &a[0], &a[1], &a[2], &a[3], &a[4], &a[5]);
    struct {
        long long ll;
        unsigned long long ull;
        short s;
        unsigned short us;
        unsigned int u;
    } n;
    (void)sscanf_s(pszText, "%lld %llu %hd %hu %u", &n.ll, &n.ull, &n.s, &n.us, &n.u);
    char acOne[1];
    char szFour[4];
    (void)sscanf_s(pszText, "%c%s", acOne, 1U, szFour, 4U);
    return 0;
}
