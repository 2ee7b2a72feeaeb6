// Subscriber tables, the IPv4 check, grow-only reallocation and the JSON-filter stub. The tables are
// read and written here at raw byte positions, as the host lays them out, so a field the library
// puts at the wrong offset shows up on every ABI.
#include "kxapicommon.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

constexpr size_t kRecord = 21208;
constexpr size_t kSlotNo = 0;
constexpr size_t kStatus = 8;
constexpr size_t kExpire = 32;
// No pointer in the record, so its layout is the camera's on every ABI.
static_assert(sizeof(tagSUBSCRIBER_INFO_S) == kRecord, "subscriber record size");
static_assert(offsetof(tagSUBSCRIBER_INFO_S, lExpireTime) == kExpire, "expiry position");
static_assert(sizeof(g_szSubscribeInfo) == 169664 && sizeof(g_szOpxSubscribeInfo) == 169664, "table sizes");

char* const kTables[] = {g_szSubscribeInfo, g_szOpxSubscribeInfo};

template <typename T>
T Get(const char* pszTable, int iRecord, size_t uiPos)
{
    T v;
    memcpy(&v, pszTable + iRecord * kRecord + uiPos, sizeof(T));
    return v;
}

template <typename T>
void Put(char* pszTable, int iRecord, size_t uiPos, T v)
{
    memcpy(pszTable + iRecord * kRecord + uiPos, &v, sizeof(T));
}

class SubscriberTest : public LoggedTest {
};

TEST_F(SubscriberTest, InitNumbersTheSlotsAndTouchesNothingElse)
{
    for (char* pszTable : kTables) {
        memset(pszTable, 0xA5, sizeof(g_szSubscribeInfo));
    }
    ASSERT_EQ(InitSubscribeInfo(), 0);
    for (char* pszTable : kTables) {
        std::string strExpected(sizeof(g_szSubscribeInfo), static_cast<char>(0xA5));
        for (int i = 0; i < 8; ++i) {
            uint64_t ullSlot = static_cast<uint64_t>(i) + 1;
            uint32_t uiStatus = 0;
            memcpy(&strExpected[i * kRecord + kSlotNo], &ullSlot, sizeof(ullSlot));
            memcpy(&strExpected[i * kRecord + kStatus], &uiStatus, sizeof(uiStatus));
        }
        EXPECT_EQ(memcmp(pszTable, strExpected.data(), strExpected.size()), 0);
        EXPECT_EQ(Get<uint64_t>(pszTable, 0, kSlotNo), 1U);
        EXPECT_EQ(Get<uint64_t>(pszTable, 7, kSlotNo), 8U);
    }
    EXPECT_EQ(pthread_mutex_lock(&g_stOpxSubscribeMutex), 0);
    EXPECT_EQ(pthread_mutex_unlock(&g_stOpxSubscribeMutex), 0);
    // Again, with the mutex free: same result.
    EXPECT_EQ(InitSubscribeInfo(), 0);
    EXPECT_EQ(Get<uint64_t>(g_szOpxSubscribeInfo, 7, kSlotNo), 8U);
    EXPECT_TRUE(m_log.Records().empty());
    EXPECT_EQ(g_enRestProtocol, 2);
}

// A record stays live through its expiry second and is dropped after it. The sweep reads the clock
// once; a run that straddles a second change is repeated, so the boundary is seen exactly.
TEST_F(SubscriberTest, UpdateDropsRecordsWhoseExpiryHasPassed)
{
    ASSERT_EQ(InitSubscribeInfo(), 0);
    struct Slot {
        long long llOffset; // expiry relative to now, or an absolute value when bAbsolute
        bool bAbsolute;
        bool bLive;
    };
    const Slot aSlots[8] = {
        {-1, false, false}, {0, false, true},       {1, false, true},         {0, true, false},
        {-5, true, false},  {INT_MIN, true, false}, {INT_MAX, true, true},    {-3600, false, false},
    };
    bool bSameSecond = false;
    for (int iTry = 0; iTry < 5 && !bSameSecond; ++iTry) {
        const time_t now = time(nullptr);
        for (int t = 0; t < 2; ++t) {
            for (int i = 0; i < 8; ++i) {
                // The second table gets the slots in reverse, so each record is judged on its own.
                const Slot& s = aSlots[t == 0 ? i : 7 - i];
                long long llExpire = s.bAbsolute ? s.llOffset : static_cast<long long>(now) + s.llOffset;
                Put<int32_t>(kTables[t], i, kExpire, static_cast<int32_t>(llExpire));
                Put<uint32_t>(kTables[t], i, kStatus, 0xC0DE0000U + static_cast<uint32_t>(i));
            }
        }
        UpdateSubscriberInfo();
        bSameSecond = time(nullptr) == now;
    }
    ASSERT_TRUE(bSameSecond);
    for (int t = 0; t < 2; ++t) {
        for (int i = 0; i < 8; ++i) {
            SCOPED_TRACE(testing::Message() << "table " << t << " record " << i);
            const Slot& s = aSlots[t == 0 ? i : 7 - i];
            EXPECT_EQ(Get<uint32_t>(kTables[t], i, kStatus), s.bLive ? 0xC0DE0000U + static_cast<uint32_t>(i) : 0U);
            EXPECT_EQ(Get<uint64_t>(kTables[t], i, kSlotNo), static_cast<uint64_t>(i) + 1);
        }
    }
    EXPECT_TRUE(m_log.Records().empty());
}

TEST_F(SubscriberTest, CheckIpAddressAcceptsOnlyDottedQuads)
{
    const char* const apszValid[] = {"192.168.0.1", "0.0.0.0", "255.255.255.255", "01.02.03.04",
                                     "00.0.0.99", "199.249.250.100"};
    const char* const apszInvalid[] = {"256.1.1.1", "001.1.1.1", "1.1.1", "1.1.1.1 ", " 1.1.1.1", "",
                                       "1.1.1.1.1", "1.1.1.256", "1..1.1", "a.b.c.d", "1.1.1.1\n", "-1.1.1.1",
                                       "260.0.0.1", "1.1.1.0255", "1,1,1,1", "1a1.1.1"};
    for (const char* psz : apszValid) {
        EXPECT_EQ(CheckIpAddress(psz), 1) << psz;
    }
    for (const char* psz : apszInvalid) {
        EXPECT_EQ(CheckIpAddress(psz), 0) << "\"" << psz << "\"";
    }
    EXPECT_TRUE(m_log.Records().empty());
    EXPECT_EQ(CheckIpAddress(nullptr), 0);
    ExpectLogFrame(m_log.One("[KXAPI]:pointer is null !"), 3, kFileCommon);
}

TEST_F(SubscriberTest, ReallocGrowsAndNeverShrinks)
{
    // A null block gets a fresh one of the new size; its bytes are the caller's to fill.
    auto* pucFresh = static_cast<unsigned char*>(KxapiRealloc(nullptr, 0, 16));
    ASSERT_NE(pucFresh, nullptr);
    memset(pucFresh, 0x33, 16);
    free(pucFresh);

    auto* pucBlock = static_cast<unsigned char*>(malloc(16));
    ASSERT_NE(pucBlock, nullptr);
    memset(pucBlock, 0x11, 16);
    EXPECT_EQ(KxapiRealloc(pucBlock, 16, 8), pucBlock);
    EXPECT_EQ(KxapiRealloc(pucBlock, 16, 16), pucBlock);
    EXPECT_EQ(KxapiRealloc(pucBlock, INT_MAX - 16, INT_MAX - 16), pucBlock); // both sizes at the limit

    auto* pucSmall = static_cast<unsigned char*>(malloc(8));
    ASSERT_NE(pucSmall, nullptr);
    memset(pucSmall, 0x22, 8);
    auto* pucGrown = static_cast<unsigned char*>(KxapiRealloc(pucSmall, 8, 16)); // pucSmall is freed
    ASSERT_NE(pucGrown, nullptr);
    const unsigned char aucExpected[16] = {0x22, 0x22, 0x22, 0x22, 0x22, 0x22, 0x22, 0x22};
    EXPECT_EQ(memcmp(pucGrown, aucExpected, sizeof(aucExpected)), 0);
    VW_free(pucGrown); // same heap as VW_malloc
    EXPECT_TRUE(m_log.Records().empty());

    // Refused sizes: null, one line, and the caller's block still the caller's, unchanged.
    struct Case {
        void* pMem;
        int nOld;
        int nNew;
        std::string strLog;
    };
    const Case aCases[] = {
        {pucBlock, 16, 0, "[KXAPI]:KxapiRealloc fail, nNewSize:0."},
        {pucBlock, 16, -1, "[KXAPI]:KxapiRealloc fail, nNewSize:4294967295."},
        {pucBlock, 16, INT_MAX - 15, "[KXAPI]:KxapiRealloc fail, nNewSize:2147483632."},
        {pucBlock, 16, INT_MIN, "[KXAPI]:KxapiRealloc fail, nNewSize:2147483648."},
        {nullptr, 16, 0, "[KXAPI]:KxapiRealloc fail, nNewSize:0."},
        {pucBlock, 0, 32, "[KXAPI]:KxapiRealloc fail, nOldSize:0."},
        {pucBlock, -5, 32, "[KXAPI]:KxapiRealloc fail, nOldSize:4294967291."},
        {pucBlock, INT_MAX - 15, 32, "[KXAPI]:KxapiRealloc fail, nOldSize:2147483632."},
    };
    for (const Case& c : aCases) {
        m_log.Clear();
        EXPECT_EQ(KxapiRealloc(c.pMem, c.nOld, c.nNew), nullptr) << c.strLog;
        ExpectLogFrame(m_log.One(c.strLog), 3, kFileCommon);
        EXPECT_EQ(m_log.Records().size(), 1U);
    }
    const unsigned char aucOnes[16] = {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                       0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11};
    EXPECT_EQ(memcmp(pucBlock, aucOnes, sizeof(aucOnes)), 0);
    free(pucBlock);

    // A null block ignores the old size.
    void* pAny = KxapiRealloc(nullptr, -1, 1);
    EXPECT_NE(pAny, nullptr);
    free(pAny);
}

TEST_F(SubscriberTest, CreateJsonFilterLooksAtNothing)
{
    EXPECT_EQ(CreateJsonFilter(nullptr), 0);
    char acNotAnArray[1] = {0};
    EXPECT_EQ(CreateJsonFilter(reinterpret_cast<tagHTTP_ARRAY_S*>(acNotAnArray)), 0);
    EXPECT_TRUE(m_log.Records().empty());
}

} // namespace
