// Download description with real files: body length, stored fields, mode, boundary, and what each
// kind of bad path answers. Tests run as root, so "cannot be opened" is a Unix socket file: it
// resolves, but opening it fails with ENXIO for every user.
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
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace {

constexpr unsigned long long kFraming = 101;
constexpr unsigned long long kBoundaryLen = 32;

void WriteFile(const std::string& strPath, size_t uiBytes)
{
    std::ofstream out(strPath, std::ios::binary);
    out << std::string(uiBytes, 'x');
    out.close();
    ASSERT_EQ(chmod(strPath.c_str(), 0644), 0);
}

mode_t ModeOf(const std::string& strPath)
{
    struct stat st {};
    EXPECT_EQ(lstat(strPath.c_str(), &st), 0) << strPath;
    return st.st_mode & 07777;
}

// A bound Unix socket left in the file system; the descriptor is closed at once.
void MakeSocketFile(const std::string& strPath)
{
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(strPath.size(), sizeof(addr.sun_path));
    memcpy(addr.sun_path, strPath.c_str(), strPath.size() + 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    close(fd);
}

bool IsLowerHex(const char* psz, size_t uiLen)
{
    for (size_t i = 0; i < uiLen; ++i) {
        if (strchr("0123456789abcdef", psz[i]) == nullptr || psz[i] == '\0') {
            return false;
        }
    }
    return psz[uiLen] == '\0';
}

class DownloadInfoTest : public LoggedTest {
protected:
    void SetUp() override
    {
        // A record full of marks shows exactly which fields a call wrote.
        memset(&m_stInfo, 0x5A, sizeof(m_stInfo));
        memset(&m_stMarked, 0x5A, sizeof(m_stMarked));
        m_iFds = CountOpenFds();
    }
    void TearDown() override { EXPECT_EQ(CountOpenFds(), m_iFds); }

    std::string Logged(const char* pszFormat, const std::string& strArg) const
    {
        char sz[512];
        snprintf(sz, sizeof(sz), pszFormat, strArg.c_str());
        return sz;
    }

    TempDir m_dir;
    KXAPI_DOWNLOAD_FILE_INFO_S m_stInfo;
    KXAPI_DOWNLOAD_FILE_INFO_S m_stMarked;
    int m_iFds = 0;
};

TEST_F(DownloadInfoTest, BodyLengthCountsFileBoundaryTwiceNameTwiceTypeOnce)
{
    const std::string strLongName(200, 'n');
    struct Case {
        size_t uiFileBytes;
        std::string strName;
        std::string strType;
        int nUserData;
        unsigned long long ullExpected;
    };
    const Case aCases[] = {
        {0, "a.jpg", "application/octet-stream", 0, 199},
        {1000, "data.bin", "text/plain", -7, 1191},
        // Stored cut to 128 characters, counted with all 200.
        {3, strLongName, "t", INT_MIN, 3 + 2 * kBoundaryLen + 400 + 1 + kFraming},
        {5, "", "", INT_MAX, 5 + 2 * kBoundaryLen + kFraming},
    };
    int i = 0;
    for (const Case& c : aCases) {
        SCOPED_TRACE(c.ullExpected);
        std::string strPath = m_dir.File("file" + std::to_string(i++));
        WriteFile(strPath, c.uiFileBytes);
        m_log.Clear();
        ASSERT_EQ(FillDownloadInfo(&m_stInfo, strPath.c_str(), c.strType.c_str(), c.strName.c_str(), c.nUserData), 0);
        EXPECT_EQ(m_stInfo.ullBodyLen, c.ullExpected);
        EXPECT_EQ(m_stInfo.bValid, 1);
        EXPECT_EQ(m_stInfo.nUserData, c.nUserData);
        EXPECT_EQ(std::string(m_stInfo.szPath), strPath);
        EXPECT_EQ(std::string(m_stInfo.szName), c.strName.substr(0, 128));
        EXPECT_EQ(std::string(m_stInfo.szType), c.strType);
        EXPECT_TRUE(IsLowerHex(m_stInfo.szBoundary, kBoundaryLen)) << m_stInfo.szBoundary;
        EXPECT_EQ(ModeOf(strPath), 0400U);

        ExpectLogFrame(m_log.One(std::string("[KXAPI]:Boundary : ") + m_stInfo.szBoundary), 0, kFileBusiness);
        char szLen[128];
        snprintf(szLen, sizeof(szLen), "[KXAPI]:File Len: %zu, HTTP Body Len %llu", c.uiFileBytes, c.ullExpected);
        ExpectLogFrame(m_log.One(szLen), 1, kFileBusiness);
        EXPECT_EQ(m_log.Records().size(), 2U);
    }
}

TEST_F(DownloadInfoTest, SymbolicLinkIsExaminedThroughItsTarget)
{
    std::string strTarget = m_dir.File("target.bin");
    std::string strLink = m_dir.File("link.bin");
    WriteFile(strTarget, 10);
    ASSERT_EQ(symlink(strTarget.c_str(), strLink.c_str()), 0);
    ASSERT_EQ(FillDownloadInfo(&m_stInfo, strLink.c_str(), "t", "n", 1), 0);
    EXPECT_EQ(m_stInfo.ullBodyLen, 10 + 2 * kBoundaryLen + 2 + 1 + kFraming); // the target's size
    EXPECT_EQ(std::string(m_stInfo.szPath), strLink);
    EXPECT_EQ(ModeOf(strTarget), 0400U);
}

// Only the first 128 characters of a path are kept, and those are what gets resolved.
TEST_F(DownloadInfoTest, LongPathIsResolvedAsStored)
{
    std::string strPrefix = m_dir.Path() + "/";
    ASSERT_LT(strPrefix.size(), 100U);
    std::string strStored = strPrefix + std::string(128 - strPrefix.size(), 'p');
    WriteFile(strStored, 4);
    ASSERT_EQ(FillDownloadInfo(&m_stInfo, (strStored + "-not-there").c_str(), "t", "n", 0), 0);
    EXPECT_EQ(std::string(m_stInfo.szPath), strStored);
    EXPECT_EQ(m_stInfo.ullBodyLen, 4 + 2 * kBoundaryLen + 2 + 1 + kFraming);
}

// A directory resolves and opens for reading like a file: nothing here refuses it.
TEST_F(DownloadInfoTest, DirectoryIsNotRefused)
{
    std::string strDir = m_dir.File("dir");
    ASSERT_EQ(mkdir(strDir.c_str(), 0755), 0);
    struct stat st {};
    ASSERT_EQ(stat(strDir.c_str(), &st), 0);
    ASSERT_EQ(FillDownloadInfo(&m_stInfo, strDir.c_str(), "t", "n", 0), 0);
    EXPECT_EQ(m_stInfo.ullBodyLen, static_cast<unsigned long long>(st.st_size) + 2 * kBoundaryLen + 3 + kFraming);
    EXPECT_EQ(ModeOf(strDir), 0400U);
}

// Failures before the path resolves keep type, boundary, length and bValid as they were; only user
// value, name and path are written.
TEST_F(DownloadInfoTest, PathsThatDoNotResolveAnswerIncorrectParameter)
{
    std::string strFile = m_dir.File("plain");
    WriteFile(strFile, 1);
    std::string strDangling = m_dir.File("dangling");
    ASSERT_EQ(symlink(m_dir.File("nowhere").c_str(), strDangling.c_str()), 0);
    std::string strLoop = m_dir.File("loop");
    ASSERT_EQ(symlink(strLoop.c_str(), strLoop.c_str()), 0);
    const std::string aPaths[] = {
        m_dir.File("missing"),
        strDangling,
        strLoop,
        strFile + "/below", // a component that is not a directory
        m_dir.Path() + "/" + std::string(200, 'q'),
        "",
    };
    for (const std::string& strPath : aPaths) {
        SCOPED_TRACE(strPath);
        memset(&m_stInfo, 0x5A, sizeof(m_stInfo));
        m_log.Clear();
        EXPECT_EQ(FillDownloadInfo(&m_stInfo, strPath.c_str(), "text/plain", "name", 9), 4);
        ExpectLogFrame(m_log.One("[KXAPI]:Get realpath failed!"), 3, kFileBusiness);
        EXPECT_EQ(m_log.Records().size(), 1U);
        EXPECT_EQ(m_stInfo.nUserData, 9);
        EXPECT_STREQ(m_stInfo.szName, "name");
        EXPECT_EQ(std::string(m_stInfo.szPath), strPath.substr(0, 128));
        EXPECT_EQ(memcmp(m_stInfo.szType, m_stMarked.szType, sizeof(m_stInfo.szType)), 0);
        EXPECT_EQ(memcmp(m_stInfo.szBoundary, m_stMarked.szBoundary, sizeof(m_stInfo.szBoundary)), 0);
        EXPECT_EQ(m_stInfo.bValid, m_stMarked.bValid);
        EXPECT_EQ(m_stInfo.ullBodyLen, m_stMarked.ullBodyLen);
    }
    EXPECT_EQ(ModeOf(strFile), 0644U);
}

TEST_F(DownloadInfoTest, FileThatCannotBeOpenedFailsNamingThePathAsGiven)
{
    std::string strSocket = m_dir.File("sock");
    MakeSocketFile(strSocket);
    std::string strLink = m_dir.File("sock-link");
    ASSERT_EQ(symlink(strSocket.c_str(), strLink.c_str()), 0);
    const mode_t uiMode = ModeOf(strSocket);
    for (const std::string& strPath : {strSocket, strLink}) {
        SCOPED_TRACE(strPath);
        memset(&m_stInfo, 0x5A, sizeof(m_stInfo));
        m_log.Clear();
        EXPECT_EQ(FillDownloadInfo(&m_stInfo, strPath.c_str(), "text/plain", "name", 3), -1);
        ExpectLogFrame(m_log.One(Logged("[KXAPI]:Open file fail %s", strPath)), 3, kFileBusiness);
        // Type and boundary are written by then; length and bValid are not.
        EXPECT_STREQ(m_stInfo.szType, "text/plain");
        EXPECT_TRUE(IsLowerHex(m_stInfo.szBoundary, kBoundaryLen));
        EXPECT_EQ(m_stInfo.bValid, m_stMarked.bValid);
        EXPECT_EQ(m_stInfo.ullBodyLen, m_stMarked.ullBodyLen);
    }
    EXPECT_EQ(ModeOf(strSocket), uiMode);
}

TEST_F(DownloadInfoTest, NullArgumentsAreRefusedAndTheRecordIsUntouched)
{
    std::string strFile = m_dir.File("f");
    WriteFile(strFile, 1);
    const char* pszPath = strFile.c_str();
    struct Case {
        KXAPI_DOWNLOAD_FILE_INFO_S* pstInfo;
        const char* pszPath;
        const char* pszType;
        const char* pszName;
    };
    const Case aCases[] = {
        {nullptr, pszPath, "t", "n"},
        {&m_stInfo, nullptr, "t", "n"},
        {&m_stInfo, pszPath, nullptr, "n"},
        {&m_stInfo, pszPath, "t", nullptr},
    };
    for (const Case& c : aCases) {
        m_log.Clear();
        EXPECT_EQ(FillDownloadInfo(c.pstInfo, c.pszPath, c.pszType, c.pszName, 5), -1);
        char szExpected[256];
        snprintf(szExpected, sizeof(szExpected),
                 "[KXAPI]:%s: invalid param, pstDownloadInfo[%p] pszPath[%p] pszType[%p] pszName[%p]",
                 "FillDownloadInfo", static_cast<void*>(c.pstInfo), static_cast<const void*>(c.pszPath),
                 static_cast<const void*>(c.pszType), static_cast<const void*>(c.pszName));
        ExpectLogFrame(m_log.One(szExpected), 3, kFileBusiness);
        EXPECT_EQ(memcmp(&m_stInfo, &m_stMarked, sizeof(m_stInfo)), 0);
    }
    EXPECT_EQ(ModeOf(strFile), 0644U);
}

// Without random bytes the boundary keeps what the record held, cut to 32 characters, and the
// length counts what is stored there.
TEST_F(DownloadInfoTest, FailedBoundaryIsLoggedAndTheCallGoesOn)
{
    std::string strFile = m_dir.File("f");
    WriteFile(strFile, 7);
    struct Case {
        std::string strOld;
        std::string strKept;
    };
    for (const Case& c : {Case{std::string(33, 'Z'), std::string(32, 'Z')}, Case{"abc", "abc"}}) {
        memcpy(m_stInfo.szBoundary, c.strOld.data(), c.strOld.size());
        if (c.strOld.size() < sizeof(m_stInfo.szBoundary)) {
            m_stInfo.szBoundary[c.strOld.size()] = '\0';
        }
        m_log.Clear();
        KxPlatformFailRandom(1);
        ASSERT_EQ(FillDownloadInfo(&m_stInfo, strFile.c_str(), "t", "n", 0), 0);
        EXPECT_EQ(std::string(m_stInfo.szBoundary), c.strKept);
        ExpectLogFrame(m_log.One("[KXAPI]:[GetUrandomString] expect Ret 0, actual Ret -1."), 3, kFileBusiness);
        ExpectLogFrame(m_log.One("[KXAPI]:Boundary : " + c.strKept), 0, kFileBusiness);
        EXPECT_EQ(m_stInfo.ullBodyLen, 7 + 2 * c.strKept.size() + 2 + 1 + kFraming);
        EXPECT_EQ(m_stInfo.bValid, 1);
    }
}

} // namespace
