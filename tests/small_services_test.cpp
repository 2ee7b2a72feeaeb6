#include "kxapicommon.h"
#include "kxplatform.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <thread>

namespace {

TEST(SmallServices, AllocatorZeroFillsAndRefusesSizesBelowOne)
{
    EXPECT_EQ(VW_malloc(0), nullptr);
    EXPECT_EQ(VW_malloc(-5), nullptr);
    auto* p = static_cast<unsigned char*>(VW_malloc(64));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(p[i], 0);
    }
    VW_free(p);
    VW_free(nullptr);
}

TEST(SmallServices, MutexHandles)
{
    EXPECT_EQ(DestroyMutex(nullptr), 2);
    EXPECT_EQ(MutexLock(nullptr), 2);
    EXPECT_EQ(MutexUnlock(nullptr), 2);
    void* m = CreateMutex();
    ASSERT_NE(m, nullptr);
    int counter = 0;
    auto work = [&] {
        for (int i = 0; i < 10000; ++i) {
            EXPECT_EQ(MutexLock(m), 0);
            ++counter;
            EXPECT_EQ(MutexUnlock(m), 0);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 20000);
    EXPECT_EQ(DestroyMutex(m), 0);
}

bool AllOf(const std::string& s, int (*pred)(int))
{
    for (char c : s) {
        if (!pred(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

int IsLowerHex(int c)
{
    return isdigit(c) || (c >= 'a' && c <= 'f');
}

TEST(SmallServices, DevRandomStringLengthsAndKinds)
{
    struct Case {
        unsigned long long len;
        RANDOM_STR_TYPE kind;
        size_t randomChars; // 8 * ((len + 1) / 2 / 4), cut at len
    } cases[] = {
        {4, RANDOM_STR_TYPE_HEX, 0},   {5, RANDOM_STR_TYPE_HEX, 0},  {6, RANDOM_STR_TYPE_HEX, 0},
        {7, RANDOM_STR_TYPE_HEX, 7},   {10, RANDOM_STR_TYPE_HEX, 8}, {20, RANDOM_STR_TYPE_DEC, 16},
        {32, RANDOM_STR_TYPE_HEX, 32}, {1023, RANDOM_STR_TYPE_HEX, 1023},
    };
    for (const auto& c : cases) {
        std::string out(c.len + 8, '#');
        ASSERT_EQ(GetDevRandomString(out.data(), c.len, c.kind), 0) << c.len;
        EXPECT_EQ(strlen(out.c_str()), c.len);
        std::string s = out.substr(0, c.len);
        EXPECT_TRUE(AllOf(s.substr(0, c.randomChars), c.kind == RANDOM_STR_TYPE_HEX ? IsLowerHex : isdigit)) << s;
        EXPECT_EQ(s.substr(c.randomChars), std::string(c.len - c.randomChars, '0')) << s;
        EXPECT_EQ(out[c.len + 1], '#') << "nothing written after the NUL";
    }
}

TEST(SmallServices, DevRandomStringRefusals)
{
    char out[2048];
    memset(out, '#', sizeof(out));
    EXPECT_EQ(GetDevRandomString(nullptr, 32, RANDOM_STR_TYPE_HEX), -1);
    EXPECT_EQ(GetDevRandomString(out, 3, RANDOM_STR_TYPE_HEX), -1);
    EXPECT_EQ(GetDevRandomString(out, 1024, RANDOM_STR_TYPE_HEX), -1);
    EXPECT_EQ(GetDevRandomString(out, 32, static_cast<RANDOM_STR_TYPE>(2)), -1);
    KxPlatformFailRandom(1);
    EXPECT_EQ(GetDevRandomString(out, 32, RANDOM_STR_TYPE_HEX), -1);
    EXPECT_EQ(out[0], '#') << "output untouched on failure";
    EXPECT_EQ(GetUrandomString(nullptr, 4), -1);
    KxPlatformFailRandom(1);
    EXPECT_EQ(GetUrandomString(out, 4), -1);
    EXPECT_EQ(GetUrandomString(out, 16), 0);
}

TEST(SmallServices, DecimalGroupsAreRightAlignedEightDigits)
{
    // Over many draws every decimal group is eight digits, zero-padded on the left when small.
    for (int i = 0; i < 200; ++i) {
        char out[33];
        ASSERT_EQ(GetDevRandomString(out, 32, RANDOM_STR_TYPE_DEC), 0);
        EXPECT_EQ(strlen(out), 32U);
        EXPECT_TRUE(AllOf(out, isdigit)) << out;
    }
}

} // namespace
