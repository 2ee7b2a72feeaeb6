// Time texts and switch modes, in a fixed time zone with daylight saving so that the "no daylight
// saving" reading of REST texts shows.
#include "kxapicommon.h"
#include "library_symbol.h"
#include "log_capture.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

// Central European time: UTC+1, daylight saving (UTC+2) from the last Sunday of March to the last
// Sunday of October.
constexpr const char* kZone = "CET-1CEST,M3.5.0,M10.5.0/3";

time_t Utc(int iYear, int iMonth, int iDay, int iHour, int iMinute, int iSecond)
{
    struct tm stTm {};
    stTm.tm_year = iYear - 1900;
    stTm.tm_mon = iMonth - 1;
    stTm.tm_mday = iDay;
    stTm.tm_hour = iHour;
    stTm.tm_min = iMinute;
    stTm.tm_sec = iSecond;
    return timegm(&stTm);
}

class TimeModeTest : public LoggedTest {
protected:
    void SetUp() override
    {
        setenv("TZ", kZone, 1);
        tzset();
    }
};

TEST_F(TimeModeTest, TimeTextToSeconds)
{
    const struct {
        const char* pszText;
        time_t tExpected;
    } cases[] = {
        {"2020/1/2 3:4:5", Utc(2020, 1, 2, 2, 4, 5)},
        {"2020/01/02 03:04:05Z", Utc(2020, 1, 2, 2, 4, 5)}, // text after the sixth number is ignored
        {"2020/13/01 00:00:00", Utc(2020, 12, 31, 23, 0, 0)}, // month 13 is January 2021
        {"2020/1/1 0:0:60", Utc(2019, 12, 31, 23, 1, 0)},
        // A summer time read without daylight saving: one hour later than the wall clock says.
        {"2020/7/1 12:00:00", Utc(2020, 7, 1, 11, 0, 0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszText);
        m_log.Clear();
        std::string strText = c.pszText;
        long lSeconds = 0;
        EXPECT_EQ(RestTransferTimeStrToSeconds(&lSeconds, &strText[0]), 0);
        EXPECT_EQ(lSeconds, static_cast<long>(c.tExpected));
        auto recs = m_log.Records();
        ASSERT_EQ(recs.size(), 2U);
        EXPECT_EQ(recs[0].strText, "[KXAPI]:Transfer time string to seconds in!");
        EXPECT_EQ(recs[1].strText, "[KXAPI]:Transfer time string to seconds Return!");
        ExpectLogFrame(recs[0], 0, kFileBusiness);
        ExpectLogFrame(recs[1], 0, kFileBusiness);
    }
}

TEST_F(TimeModeTest, MalformedTimeTexts)
{
    for (const char* pszText : {"2020-01-02 03:04:05", "2020/01/02", "", "x", "2020/1/2 3:4"}) {
        SCOPED_TRACE(pszText);
        m_log.Clear();
        std::string strText = pszText;
        long lSeconds = 77;
        EXPECT_EQ(RestTransferTimeStrToSeconds(&lSeconds, &strText[0]), -1);
        EXPECT_EQ(lSeconds, 77);
        ExpectLogFrame(m_log.One(std::string("[KXAPI]:Incorrect Time Format(yyyy/MM/dd hh:ss:mm):") + pszText), 3,
                       kFileBusiness);
    }
    // Extreme fields wrap like the camera's int arithmetic instead of overflowing.
    std::string strExtreme = "-2147483648/-2147483648/1 0:0:0";
    long lSeconds = 0;
    EXPECT_EQ(RestTransferTimeStrToSeconds(&lSeconds, &strExtreme[0]), 0);

    m_log.Clear();
    char szText[] = "2020/1/2 3:4:5";
    EXPECT_EQ(RestTransferTimeStrToSeconds(nullptr, szText), -1);
    EXPECT_EQ(RestTransferTimeStrToSeconds(&lSeconds, nullptr), -1);
    EXPECT_TRUE(m_log.Records().empty());
}

TEST_F(TimeModeTest, SwitchModesBothWays)
{
    const struct {
        int iFrom;
        int iTo;
    } known[] = {{0, 1}, {1, 0}, {2, 2}, {3, 3}};
    for (const auto& c : known) {
        CAM_COMMONMODE_SWITCH enOut = static_cast<CAM_COMMONMODE_SWITCH>(99);
        EXPECT_EQ(TransSwitchModeToRestFormat(static_cast<CAM_COMMONMODE_SWITCH>(c.iFrom), &enOut), 0);
        EXPECT_EQ(enOut, c.iTo);
        enOut = static_cast<CAM_COMMONMODE_SWITCH>(99);
        EXPECT_EQ(TransRestFormatToSwitchMode(&enOut, static_cast<CAM_COMMONMODE_SWITCH>(c.iFrom)), 0);
        EXPECT_EQ(enOut, c.iTo);
    }
    EXPECT_TRUE(m_log.Records().empty());

    for (int iBad : {4, -1}) {
        m_log.Clear();
        CAM_COMMONMODE_SWITCH enOut = static_cast<CAM_COMMONMODE_SWITCH>(99);
        EXPECT_EQ(TransSwitchModeToRestFormat(static_cast<CAM_COMMONMODE_SWITCH>(iBad), &enOut), -1);
        EXPECT_EQ(TransRestFormatToSwitchMode(&enOut, static_cast<CAM_COMMONMODE_SWITCH>(iBad)), -1);
        EXPECT_EQ(enOut, 99);
        const std::string strLine = "[KXAPI]:current switch:" + std::to_string(iBad) + " may be not supported";
        EXPECT_EQ(m_log.Count(strLine), 2U);
        ExpectLogFrame(m_log.Records()[0], 3, kFileBusiness);
    }

    m_log.Clear();
    EXPECT_EQ(TransSwitchModeToRestFormat(static_cast<CAM_COMMONMODE_SWITCH>(4), nullptr), -1);
    EXPECT_EQ(TransRestFormatToSwitchMode(nullptr, CAM_COMMONMODE_SWITCH_0), -1);
    auto recs = m_log.Records();
    ASSERT_EQ(recs.size(), 2U); // the value is not looked at
    EXPECT_EQ(recs[0].strText, "[KXAPI]:null pointer");
    EXPECT_EQ(recs[1].strText, "[KXAPI]:null pointer");
    ExpectLogFrame(recs[0], 3, kFileBusiness);
}

// The encoder's time helpers are internal; they are reached through the library's symbol table.
using PfnTimeOfDay = json_object* (*)(int);
using PfnDateTime = json_object* (*)(time_t);

std::string TextOf(json_object* pstObj)
{
    std::string str = pstObj != nullptr ? json_object_get_string(pstObj) : "<null>";
    json_object_put(pstObj);
    return str;
}

TEST_F(TimeModeTest, TimeOfDayStrings)
{
    auto pfn = reinterpret_cast<PfnTimeOfDay>(FindLibrarySymbol("CreateTimeOfDayJsonString(int)"));
    if (pfn == nullptr) {
        GTEST_SKIP() << "library carries no symbol table";
    }
    const struct {
        int iMinutes;
        const char* pszText;
    } cases[] = {{0, "00:00"}, {59, "00:59"}, {60, "01:00"}, {1439, "23:59"}, {1500, "25:00"}};
    for (const auto& c : cases) {
        EXPECT_EQ(TextOf(pfn(c.iMinutes)), c.pszText) << c.iMinutes;
    }
    EXPECT_TRUE(m_log.Records().empty());
}

TEST_F(TimeModeTest, DateTimeStringsInLocalTime)
{
    auto pfn = reinterpret_cast<PfnDateTime>(FindLibrarySymbol("CreateDateTimeJsonString(long)"));
    if (pfn == nullptr) {
        pfn = reinterpret_cast<PfnDateTime>(FindLibrarySymbol("CreateDateTimeJsonString(long long)"));
    }
    if (pfn == nullptr) {
        GTEST_SKIP() << "library carries no symbol table";
    }
    EXPECT_EQ(TextOf(pfn(0)), "1970-01-01 01:00:00");
    EXPECT_EQ(TextOf(pfn(Utc(2020, 1, 2, 2, 4, 5))), "2020-01-02 03:04:05");
    EXPECT_EQ(TextOf(pfn(Utc(2020, 7, 1, 10, 0, 0))), "2020-07-01 12:00:00"); // daylight saving applies here
}

} // namespace
