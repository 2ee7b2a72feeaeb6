#include "kxapicommon.h"
#include "log_capture.h"

#include <set>
#include <string>

namespace {

struct Entry {
    int iCode;
    const char* pszMsg;
};
// The list the table is built from: every code must answer its own text through the lookup.
const Entry g_astExpected[] = {
#include "kxapi_status_table.inc"
};

class StatusTable : public LoggedTest {};

TEST_F(StatusTable, EveryCodeRoundTripsWithoutLogging)
{
    std::set<int> seen;
    for (const auto& e : g_astExpected) {
        EXPECT_TRUE(seen.insert(e.iCode).second) << "code " << e.iCode << " listed twice";
        EXPECT_STREQ(GetStatusString(e.iCode), e.pszMsg) << e.iCode;
    }
    EXPECT_EQ(seen.size(), 338U);
    EXPECT_TRUE(m_log.Records().empty());
}

TEST_F(StatusTable, KnownTextsByteForByte)
{
    EXPECT_STREQ(GetStatusString(0), "OK");
    EXPECT_STREQ(GetStatusString(-1), "Failure");
    EXPECT_STREQ(GetStatusString(18), "Failed to allocate resource");
    EXPECT_STREQ(GetStatusString(5203), "ftp param error");
    EXPECT_STREQ(GetStatusString(2115), "Face algorithm disable ");
    EXPECT_STREQ(GetStatusString(358), "After the version  package upgraded,need to upgrade algorithm package");
    EXPECT_STREQ(GetStatusString(131), GetStatusString(134));
    EXPECT_STREQ(GetStatusString(2101), GetStatusString(2123));
}

TEST_F(StatusTable, MissesGiveFallbackAndOneLine)
{
    const long long misses[] = {25, -2, 4294967296LL, 4294967295LL, -4294967296LL, 9223372036854775807LL};
    for (long long code : misses) {
        m_log.Clear();
        EXPECT_STREQ(GetStatusString(code), "common error status code.") << code;
        auto recs = m_log.Records();
        ASSERT_EQ(recs.size(), 1U);
        EXPECT_EQ(recs[0].strText, "[KXAPI]:common error status code[" + std::to_string(code) + "]");
        ExpectLogFrame(recs[0], 3, kFileCommon);
    }
}

TEST_F(StatusTable, FallbackPointerIsReadAtEveryMiss)
{
    const char* saved = g_pszCommonErrorMsg;
    g_pszCommonErrorMsg = "host fallback";
    EXPECT_STREQ(GetStatusString(25), "host fallback");
    g_pszCommonErrorMsg = saved;
    EXPECT_STREQ(GetStatusString(25), "common error status code.");
}

} // namespace
