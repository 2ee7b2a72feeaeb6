// The small services: download descriptions of real files, time texts and switch modes, the
// subscriber tables at the host's byte positions, the IPv4 check, blocks, mutexes, random strings.
#include "kxapicommon.h"
#include "kxplatform.h"
#include "log_capture.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>

namespace {

class UtilityTest : public LoggedTest {
protected:
    void TearDown() override { EXPECT_EQ(CountOpenFds(), m_iFds); }
    std::string File(const std::string& strName, size_t uBytes)
    {
        std::ofstream(m_dir.File(strName), std::ios::binary) << std::string(uBytes, 'x');
        chmod(m_dir.File(strName).c_str(), 0644);
        return m_dir.File(strName);
    }
    TempDir m_dir;
    int m_iFds = CountOpenFds();
};

// The body is the file, the 32-character boundary twice, the name twice, the type once and 101
// bytes of framing; the file is made read-only. A path that does not resolve writes user value,
// name and path only (4); one that cannot be opened has type and boundary written too (-1). Tests
// run as root, so what cannot be opened is a Unix socket file: opening it fails for every user.
TEST_F(UtilityTest, DownloadInfo)
{
    ASSERT_EQ(symlink(File("target", 10).c_str(), m_dir.File("link").c_str()), 0);
    std::string strStored = File(std::string(127 - m_dir.Path().size(), 'p'), 4); // 128 characters kept
    ASSERT_EQ(symlink(m_dir.File("loop").c_str(), m_dir.File("loop").c_str()), 0);
    int iFd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un stAddr{AF_UNIX, {}};
    snprintf(stAddr.sun_path, sizeof(stAddr.sun_path), "%s", m_dir.File("sock").c_str());
    ASSERT_EQ(bind(iFd, reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr)) + close(iFd), 0);
    const struct {
        std::string strPath;
        std::string strName;
        int nUserData;
        int iResult;
        unsigned long long ullFile; // and the body length
    } aCases[] = {
        {File("a", 0), "a.jpg", 0, 0, 0},
        {File("b", 1000), std::string(200, 'n'), INT_MIN, 0, 1000}, // stored cut, counted whole
        {m_dir.File("link"), "", INT_MAX, 0, 10},                   // examined through its target
        {strStored + "-not-there", "n", 1, 0, 4},
        {m_dir.File("missing"), "n", 9, 4, 0},
        {m_dir.File("loop"), "n", 9, 4, 0},
        {m_dir.File("a") + "/below", "n", 9, 4, 0},
        {m_dir.Path() + "/" + std::string(200, 'q'), "n", 9, 4, 0},
        {"", "n", 9, 4, 0},
        {m_dir.File("sock"), "n", 9, -1, 0},
    };
    for (const auto& c : aCases) {
        SCOPED_TRACE(c.strPath);
        KXAPI_DOWNLOAD_FILE_INFO_S stInfo;
        memset(&stInfo, 0x5A, sizeof(stInfo));
        m_log.Clear();
        ASSERT_EQ(FillDownloadInfo(&stInfo, c.strPath.c_str(), "text/plain", c.strName.c_str(), c.nUserData), c.iResult);
        EXPECT_EQ(std::string(stInfo.szPath) + "|" + stInfo.szName + "|" + std::to_string(stInfo.nUserData),
                  c.strPath.substr(0, 128) + "|" + c.strName.substr(0, 128) + "|" + std::to_string(c.nUserData));
        const std::string strBoundary(stInfo.szBoundary, c.iResult == 4 ? 1 : 33);
        EXPECT_EQ(strBoundary.find_first_not_of("0123456789abcdef"), c.iResult == 4 ? 0 : 32U) << strBoundary;
        EXPECT_EQ(std::string(stInfo.szType, c.iResult == 4 ? 1 : 11), c.iResult == 4 ? "Z" : std::string("text/plain", 11));
        const unsigned long long ullLen = c.ullFile + 64 + 2 * c.strName.size() + 10 + 101;
        EXPECT_EQ(stInfo.ullBodyLen, c.iResult == 0 ? ullLen : 0x5A5A5A5A5A5A5A5AULL);
        EXPECT_EQ(stInfo.bValid, c.iResult == 0 ? 1 : 0x5A5A5A5A);
        const std::string strLast = c.iResult == 0 ? "[KXAPI]:File Len: " + std::to_string(c.ullFile) +
                                                         ", HTTP Body Len " + std::to_string(ullLen)
                                    : c.iResult == 4 ? "[KXAPI]:Get realpath failed!"
                                                     : "[KXAPI]:Open file fail " + c.strPath;
        EXPECT_EQ(m_log.Texts().back(), strLast);
        ExpectLogFrame(m_log.Records().back(), c.iResult == 0 ? 1 : 3, kFileBusiness);
        EXPECT_TRUE(c.iResult == 4 || m_log.Texts().front() == "[KXAPI]:Boundary : " + strBoundary.substr(0, 32));
    }
    struct stat st {};
    EXPECT_EQ(stat(m_dir.File("target").c_str(), &st) + static_cast<int>(st.st_mode & 0777), 0400);
    EXPECT_EQ(stat(m_dir.File("sock").c_str(), &st) + static_cast<int>(st.st_mode & 0200), 0200);

    // Without random bytes the boundary keeps what the record held, cut to 32 characters.
    for (const std::string& strOld : {std::string(33, 'Z'), std::string("abc")}) {
        KXAPI_DOWNLOAD_FILE_INFO_S stInfo{};
        memcpy(stInfo.szBoundary, strOld.c_str(), strOld.size() + (strOld.size() < 33 ? 1 : 0));
        m_log.Clear();
        KxPlatformFailRandom(1);
        ASSERT_EQ(FillDownloadInfo(&stInfo, m_dir.File("a").c_str(), "t", "n", 0), 0);
        EXPECT_EQ(std::string(stInfo.szBoundary), strOld.substr(0, 32));
        EXPECT_EQ(m_log.Texts().at(0), "[KXAPI]:[GetUrandomString] expect Ret 0, actual Ret -1.");
        EXPECT_EQ(stInfo.ullBodyLen, 2 * strlen(stInfo.szBoundary) + 2 + 1 + 101);
    }
    for (int i = 0; i < 4; ++i) { // each null argument in turn
        KXAPI_DOWNLOAD_FILE_INFO_S stInfo{};
        const char* apsz[3] = {"/x", "t", "n"};
        apsz[i % 3] = i < 3 ? nullptr : apsz[0];
        KXAPI_DOWNLOAD_FILE_INFO_S* pstInfo = i == 3 ? nullptr : &stInfo;
        m_log.Clear();
        EXPECT_EQ(FillDownloadInfo(pstInfo, apsz[0], apsz[1], apsz[2], 5) + stInfo.nUserData, -1);
        char szExpected[256];
        snprintf(szExpected, sizeof(szExpected),
                 "[KXAPI]:FillDownloadInfo: invalid param, pstDownloadInfo[%p] pszPath[%p] pszType[%p] pszName[%p]",
                 static_cast<void*>(pstInfo), static_cast<const void*>(apsz[0]), static_cast<const void*>(apsz[1]),
                 static_cast<const void*>(apsz[2]));
        EXPECT_EQ(m_log.Texts(), std::vector<std::string>{szExpected});
    }
}

// Central European time, so the "no daylight saving" reading of REST texts shows.
TEST_F(UtilityTest, TimeTextsAndSwitchModes)
{
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    const std::pair<std::string, long> aTexts[] = {
        {"2020/1/2 3:4:5", 1577930645},  {"2020/01/02 03:04:05Z", 1577930645}, // text after the sixth number
        {"2020/13/01 00:00:00", 1609455600}, {"2020/1/1 0:0:60", 1577833260},  // fields carry over
        {"2020/7/1 12:00:00", 1593601200}, // summer time read as winter time: an hour later
        {"2020-01-02 03:04:05", -1}, {"2020/01/02", -1}, {"", -1}, {"2020/1/2 3:4", -1}};
    for (auto [strText, lExpected] : aTexts) {
        m_log.Clear();
        long lSeconds = -1;
        EXPECT_EQ(RestTransferTimeStrToSeconds(&lSeconds, strText.data()) * 1000000000L + lSeconds,
                  lExpected == -1 ? -1000000001L : lExpected) << strText;
        EXPECT_EQ(m_log.Texts(), (std::vector<std::string>{"[KXAPI]:Transfer time string to seconds in!",
                                                           lExpected == -1 ? "[KXAPI]:Incorrect Time Format(yyyy/MM/dd hh:ss:mm):" + strText
                                                                           : "[KXAPI]:Transfer time string to seconds Return!"}));
        ExpectLogFrame(m_log.Records().at(1), lExpected == -1 ? 3 : 0, kFileBusiness);
    }
    std::string strExtreme = "-2147483648/-2147483648/1 0:0:0"; // wraps like the camera's int arithmetic
    long lSeconds = 0;
    EXPECT_EQ(RestTransferTimeStrToSeconds(&lSeconds, &strExtreme[0]), 0);
    m_log.Clear();
    EXPECT_EQ(RestTransferTimeStrToSeconds(nullptr, &strExtreme[0]) + RestTransferTimeStrToSeconds(&lSeconds, nullptr), -2);

    auto Mode = [](int i) { return static_cast<CAM_COMMONMODE_SWITCH>(i); };
    for (auto [iFrom, iTo] : {std::make_pair(0, 1), {1, 0}, {2, 2}, {3, 3}, {4, -1}, {-1, -1}}) {
        CAM_COMMONMODE_SWITCH enOut = Mode(99);
        CAM_COMMONMODE_SWITCH enBack = Mode(99);
        EXPECT_EQ(TransSwitchModeToRestFormat(Mode(iFrom), &enOut) + TransRestFormatToSwitchMode(&enBack, Mode(iFrom)),
                  iTo < 0 ? -2 : 0);
        EXPECT_EQ(enOut * 1000 + enBack, iTo < 0 ? 99099 : iTo * 1001);
        EXPECT_EQ(m_log.Count("[KXAPI]:current switch:" + std::to_string(iFrom) + " may be not supported"), iTo < 0 ? 2U : 0U);
    }
    m_log.Clear();
    EXPECT_EQ(TransSwitchModeToRestFormat(Mode(4), nullptr) + TransRestFormatToSwitchMode(nullptr, Mode(0)), -2);
    EXPECT_EQ(m_log.Texts(), (std::vector<std::string>{"[KXAPI]:null pointer", "[KXAPI]:null pointer"}));
    ExpectLogFrame(m_log.Records()[0], 3, kFileBusiness);
}

// The tables are read and written at raw byte positions, as the host lays them out: slot number at
// 0, status at 8, expiry at 32, 21208 bytes a record.
template <typename T>
T& At(char* pszTable, int iRecord, size_t uPos)
{
    return *reinterpret_cast<T*>(pszTable + iRecord * 21208 + uPos);
}

TEST_F(UtilityTest, SubscriberTablesAndIpCheck)
{
    static_assert(sizeof(g_szSubscribeInfo) == 169664 && sizeof(g_szOpxSubscribeInfo) == 169664, "table sizes");
    char* const apszTables[] = {g_szSubscribeInfo, g_szOpxSubscribeInfo};
    std::string strExpected(169664, static_cast<char>(0xA5)); // nothing else is touched
    for (int i = 0; i < 8; ++i) {
        At<uint64_t>(&strExpected[0], i, 0) = static_cast<uint64_t>(i) + 1;
        At<uint32_t>(&strExpected[0], i, 8) = 0;
    }
    for (char* pszTable : apszTables) {
        memset(pszTable, 0xA5, 169664);
    }
    ASSERT_EQ(InitSubscribeInfo(), 0);
    for (char* pszTable : apszTables) {
        EXPECT_EQ(memcmp(pszTable, strExpected.data(), strExpected.size()), 0);
    }
    EXPECT_EQ(pthread_mutex_lock(&g_stOpxSubscribeMutex) + pthread_mutex_unlock(&g_stOpxSubscribeMutex) + g_enRestProtocol, 2);

    // A record stays live through its expiry second. The sweep reads the clock once; a run that
    // straddles a second change is repeated, so the boundary is seen exactly.
    const long long aExpire[8] = {-1, 0, 1, 0, -5, INT_MIN, INT_MAX, -3600}; // relative to now up to 2, and 7
    const char* const pszLive = "01100010";
    time_t now = 0;
    for (int iTry = 0; iTry < 5 && (iTry == 0 || time(nullptr) != now); ++iTry) {
        now = time(nullptr);
        for (int t = 0; t < 2; ++t) {
            for (int i = 0; i < 8; ++i) { // the second table in reverse: each record is judged alone
                int k = t == 0 ? i : 7 - i;
                At<int32_t>(apszTables[t], i, 32) = static_cast<int32_t>(aExpire[k] + (k < 3 || k == 7 ? now : 0));
                At<uint32_t>(apszTables[t], i, 8) = 0xC0DE0000U + static_cast<uint32_t>(i);
            }
        }
        UpdateSubscriberInfo();
    }
    ASSERT_EQ(time(nullptr), now);
    for (int t = 0; t < 2; ++t) {
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(At<uint32_t>(apszTables[t], i, 8), pszLive[t == 0 ? i : 7 - i] == '1' ? 0xC0DE0000U + i : 0U) << t << i;
            EXPECT_EQ(At<uint64_t>(apszTables[t], i, 0), static_cast<uint64_t>(i) + 1);
        }
    }

    std::string strValid;
    for (const char* psz : {"192.168.0.1", "0.0.0.0", "255.255.255.255", "01.02.03.04", "00.0.0.99", "199.249.250.100",
                            "256.1.1.1", "001.1.1.1", "1.1.1", "1.1.1.1 ", " 1.1.1.1", "", "1.1.1.1.1", "1.1.1.256", "1..1.1",
                            "a.b.c.d", "1.1.1.1\n", "-1.1.1.1", "260.0.0.1", "1.1.1.0255", "1,1,1,1", "1a1.1.1"}) {
        strValid += std::to_string(CheckIpAddress(psz));
    }
    EXPECT_EQ(strValid, "1111110000000000000000");
    EXPECT_TRUE(m_log.Records().empty());
    EXPECT_EQ(CheckIpAddress(nullptr) + CreateJsonFilter(nullptr), 0);
    ExpectLogFrame(m_log.One("[KXAPI]:pointer is null !"), 3, kFileCommon);
}

TEST_F(UtilityTest, BlocksMutexesAndRandomStrings)
{
    auto* puc = static_cast<unsigned char*>(memset(malloc(16), 0x11, 16));
    EXPECT_EQ(KxapiRealloc(puc, 16, 8), puc); // never shrinks
    EXPECT_EQ(KxapiRealloc(puc, INT_MAX - 16, INT_MAX - 16), puc);
    for (auto [iOld, iNew] : {std::make_pair(16, 0), {16, -1}, {16, INT_MAX - 15}, {16, INT_MIN}, {0, 32}, {-5, 32},
                              {INT_MAX - 15, 32}}) {
        m_log.Clear();
        EXPECT_EQ(KxapiRealloc(puc, iOld, iNew), nullptr);
        const bool bNew = iNew <= 0 || iNew > INT_MAX - 16;
        EXPECT_EQ(m_log.Texts(), std::vector<std::string>{"[KXAPI]:KxapiRealloc fail, " + std::string(bNew ? "nNewSize:" : "nOldSize:") +
                                                          std::to_string(static_cast<unsigned>(bNew ? iNew : iOld)) + "."});
        ExpectLogFrame(m_log.Records()[0], 3, kFileCommon);
    }
    EXPECT_EQ(KxapiRealloc(nullptr, 16, 0), nullptr);
    puc = static_cast<unsigned char*>(KxapiRealloc(puc, 16, 24)); // the old block is freed
    EXPECT_EQ(std::string(reinterpret_cast<char*>(puc), 24), std::string(16, '\x11') + std::string(8, '\0'));
    VW_free(puc); // the same heap as VW_malloc
    free(KxapiRealloc(nullptr, -1, 1)); // a null block ignores the old size

    EXPECT_EQ(VW_malloc(0), VW_malloc(-5));
    puc = static_cast<unsigned char*>(VW_malloc(64));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(puc), 64), std::string(64, '\0'));
    VW_free(puc);
    EXPECT_EQ(DestroyMutex(nullptr) + MutexLock(nullptr) + MutexUnlock(nullptr), 6);
    void* pMutex = CreateMutex();
    int iCounter = 0;
    auto work = [&] {
        for (int i = 0; i < 10000; ++i) {
            EXPECT_EQ(MutexLock(pMutex), 0);
            ++iCounter;
            EXPECT_EQ(MutexUnlock(pMutex), 0);
        }
    };
    std::thread a(work);
    work();
    a.join();
    EXPECT_EQ(iCounter + DestroyMutex(pMutex), 20000);

    // 8 random characters per 4 random bytes, (len + 1) / 2 bytes asked for; the rest is '0'.
    const struct {
        unsigned long long ullLen;
        RANDOM_STR_TYPE enKind;
        size_t uRandom;
    } aCases[] = {{4, RANDOM_STR_TYPE_HEX, 0},  {6, RANDOM_STR_TYPE_HEX, 0},   {7, RANDOM_STR_TYPE_HEX, 7},
                  {10, RANDOM_STR_TYPE_HEX, 8}, {20, RANDOM_STR_TYPE_DEC, 16}, {1023, RANDOM_STR_TYPE_HEX, 1023}};
    int aiLastDrawn[std::size(aCases)] = {}; // draws whose last random character is not the filler
    for (int iDraw = 0; iDraw < 50; ++iDraw) {
        for (const auto& c : aCases) {
            std::string strOut(c.ullLen + 8, '#');
            ASSERT_EQ(GetDevRandomString(strOut.data(), c.ullLen, c.enKind), 0) << c.ullLen;
            EXPECT_EQ(strOut.substr(c.ullLen), std::string(1, '\0') + std::string(7, '#')) << "nothing after the NUL";
            EXPECT_EQ(strOut.find_first_not_of(c.enKind == RANDOM_STR_TYPE_HEX ? "0123456789abcdef" : "0123456789"), c.ullLen);
            EXPECT_EQ(strOut.substr(c.uRandom, c.ullLen - c.uRandom), std::string(c.ullLen - c.uRandom, '0'));
            aiLastDrawn[&c - aCases] += c.uRandom > 0 && strOut[c.uRandom - 1] != '0' ? 1 : 0;
        }
    }
    for (size_t i = 0; i < std::size(aCases); ++i) {
        EXPECT_EQ(aiLastDrawn[i] > 0, aCases[i].uRandom > 0) << "length " << aCases[i].ullLen;
    }
    char szOut[2048] = "#";
    EXPECT_EQ(GetDevRandomString(nullptr, 32, RANDOM_STR_TYPE_HEX) + GetDevRandomString(szOut, 3, RANDOM_STR_TYPE_HEX) +
                  GetDevRandomString(szOut, 1024, RANDOM_STR_TYPE_HEX) + GetDevRandomString(szOut, 32, static_cast<RANDOM_STR_TYPE>(2)),
              -4);
    KxPlatformFailRandom(1);
    EXPECT_EQ(GetDevRandomString(szOut, 32, RANDOM_STR_TYPE_HEX), -1);
    EXPECT_EQ(szOut[0], '#') << "output untouched on failure";
    KxPlatformFailRandom(1);
    EXPECT_EQ(GetUrandomString(nullptr, 4) + GetUrandomString(szOut, 4) + GetUrandomString(szOut, 16), -2);
}

} // namespace
