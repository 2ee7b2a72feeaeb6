// The bounded layer is the last line of defence: a bound that does not fit is an error result and
// a reset destination, never a write past the bound.
#include "securec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr unsigned char kGuard = 0xA5;

// A destination of the given capacity followed by guard bytes that must survive every call.
struct Guarded {
    explicit Guarded(size_t n) : buf(n + 8, kGuard), cap(n) {}
    char* p() { return reinterpret_cast<char*>(buf.data()); }
    bool GuardIntact() const
    {
        for (size_t i = cap; i < buf.size(); ++i) {
            if (buf[i] != kGuard) {
                return false;
            }
        }
        return true;
    }
    std::vector<unsigned char> buf;
    size_t cap;
};

TEST(BoundedLayer, StrncpyFitsUpToCapacityMinusOne)
{
    struct Case {
        size_t cap;
        size_t len;
        bool fits;
    } cases[] = {{32, 31, true}, {32, 32, false}, {64, 63, true}, {64, 64, false}, {97, 96, true}, {97, 97, false}};
    for (const auto& c : cases) {
        Guarded g(c.cap);
        std::string src(c.len, 'x');
        errno_t r = strncpy_s(g.p(), c.cap, src.c_str(), src.size());
        if (c.fits) {
            EXPECT_EQ(r, EOK) << c.cap << "/" << c.len;
            EXPECT_EQ(std::string(g.p()), src);
        } else {
            EXPECT_EQ(r, ERANGE_AND_RESET) << c.cap << "/" << c.len;
            EXPECT_EQ(g.p()[0], '\0') << "destination must be reset to the empty string";
        }
        EXPECT_TRUE(g.GuardIntact());
    }
}

TEST(BoundedLayer, StrncpyCountCutsAndInvalidArguments)
{
    char d[8] = "old";
    EXPECT_EQ(strncpy_s(d, sizeof(d), "abcdefghijk", 3), EOK);
    EXPECT_STREQ(d, "abc");
    EXPECT_EQ(strncpy_s(d, sizeof(d), nullptr, 3), EINVAL_AND_RESET);
    EXPECT_STREQ(d, "");
    EXPECT_EQ(strncpy_s(nullptr, 8, "a", 1), SECUREC_EINVAL);
    strcpy(d, "keep");
    EXPECT_EQ(strncpy_s(d, 0, "a", 1), SECUREC_ERANGE);
    EXPECT_STREQ(d, "keep") << "a zero bound writes nothing";
    EXPECT_NE(strncpy_s(d, sizeof(d), d + 1, 2), EOK) << "overlap is refused";
}

TEST(BoundedLayer, MemcpyAndMemsetResetOnOverflow)
{
    Guarded g(16);
    std::vector<char> src(17, 'q');
    EXPECT_EQ(memcpy_s(g.p(), 16, src.data(), 16), EOK);
    EXPECT_EQ(g.p()[15], 'q');
    EXPECT_EQ(memcpy_s(g.p(), 16, src.data(), 17), ERANGE_AND_RESET);
    for (size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(g.p()[i], 0) << "cleared at " << i;
    }
    EXPECT_TRUE(g.GuardIntact());
    EXPECT_EQ(memcpy_s(g.p(), 16, nullptr, 4), EINVAL_AND_RESET);
    EXPECT_EQ(memcpy_s(g.p(), 16, g.p() + 2, 8), EOVERLAP_AND_RESET);

    EXPECT_EQ(memset_s(g.p(), 16, 'z', 16), EOK);
    EXPECT_EQ(memset_s(g.p(), 16, 0, 17), ERANGE_AND_RESET);
    EXPECT_EQ(g.p()[15], 0);
    EXPECT_TRUE(g.GuardIntact());
    EXPECT_EQ(memset_s(nullptr, 16, 0, 1), SECUREC_EINVAL);
}

TEST(BoundedLayer, SnprintfCountAndDestMax)
{
    Guarded g(8);
    EXPECT_EQ(snprintf_s(g.p(), 8, 7, "%s", "1234567"), 7);
    EXPECT_STREQ(g.p(), "1234567");
    // The whole text was asked for (count >= destMax) and does not fit: emptied, -1.
    EXPECT_EQ(snprintf_s(g.p(), 8, 8, "%s", "12345678"), -1);
    EXPECT_STREQ(g.p(), "");
    // A smaller count accepts a cut at count characters.
    EXPECT_EQ(snprintf_s(g.p(), 8, 3, "%d", 123456), -1);
    EXPECT_STREQ(g.p(), "123");
    EXPECT_TRUE(g.GuardIntact());
    EXPECT_EQ(snprintf_s(nullptr, 8, 3, "x"), -1);
}

TEST(BoundedLayer, ScanPairSplitBounds)
{
    // The key/value split used on query pairs: key bound 32, value bound 64.
    struct Case {
        std::string in;
        int ret;
        std::string key;
        std::string value;
    } cases[] = {
        {"a=b", 2, "a", "b"},
        {std::string(31, 'k') + "=v", 2, std::string(31, 'k'), "v"},
        {std::string(32, 'k') + "=v", 0, "", ""},
        {"k=" + std::string(63, 'v'), 2, "k", std::string(63, 'v')},
        {"k=" + std::string(64, 'v'), 1, "k", ""},
        {"=v", 0, "", ""},
        {"k=", 1, "k", ""},
        {"k=  v w", 2, "k", "v"},
        {"a=b=c", 2, "a", "b=c"},
        {"", -1, "", ""},
    };
    for (const auto& c : cases) {
        char key[32] = {0};
        char value[64] = {0};
        int r = sscanf_s(c.in.c_str(), "%[^=]=%s", key, static_cast<unsigned>(sizeof(key)), value,
                         static_cast<unsigned>(sizeof(value)));
        EXPECT_EQ(r, c.ret) << c.in;
        EXPECT_EQ(std::string(key), c.key) << c.in;
        EXPECT_EQ(std::string(value), c.value) << c.in;
    }
}

TEST(BoundedLayer, ScanIntegers)
{
    long long ll = 7;
    EXPECT_EQ(sscanf_s("  -42xyz", "%lld", &ll), 1);
    EXPECT_EQ(ll, -42);
    unsigned long long ull = 0;
    EXPECT_EQ(sscanf_s("18446744073709551615", "%llu", &ull), 1);
    EXPECT_EQ(ull, 18446744073709551615ULL);
    short s = 0;
    unsigned short us = 0;
    EXPECT_EQ(sscanf_s("-5 65535", "%hd %hu", &s, &us), 2);
    EXPECT_EQ(s, -5);
    EXPECT_EQ(us, 65535);
    int i = 99;
    EXPECT_EQ(sscanf_s("abc", "%d", &i), 0);
    EXPECT_EQ(i, 99) << "a failed conversion stores nothing";
    EXPECT_EQ(sscanf_s("", "%d", &i), -1);
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, se = 0;
    EXPECT_EQ(sscanf_s("2024/02/29 23:59:58", "%d/%d/%d %d:%d:%d", &y, &mo, &d, &h, &mi, &se), 6);
    EXPECT_EQ(y * 10000 + mo * 100 + d, 20240229);
    EXPECT_EQ(h * 10000 + mi * 100 + se, 235958);
    EXPECT_EQ(sscanf_s("2024-02-29", "%d/%d/%d", &y, &mo, &d), 1);
}

TEST(BoundedLayer, ScanCharAndStringBounds)
{
    char c2[2] = {'x', 'y'};
    EXPECT_EQ(sscanf_s("ab", "%c", c2, 1U), 1);
    EXPECT_EQ(c2[0], 'a');
    EXPECT_EQ(c2[1], 'y') << "%c stores no terminator";
    Guarded g(4);
    EXPECT_EQ(sscanf_s("abcd", "%s", g.p(), 4U), 0);
    EXPECT_EQ(g.p()[0], '\0');
    EXPECT_TRUE(g.GuardIntact());
    EXPECT_EQ(sscanf_s("abc", "%s", g.p(), 4U), 1);
    EXPECT_STREQ(g.p(), "abc");
}

} // namespace
