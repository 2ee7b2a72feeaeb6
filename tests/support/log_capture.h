// Captures every VW_WriteLog call of the library through the platform's log sink.
#ifndef KXAPI_TEST_LOG_CAPTURE_H
#define KXAPI_TEST_LOG_CAPTURE_H

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct LogRecord {
    int iModule, iLevel, iDebugFlag, iReserved;
    std::string strFile;
    int iLine;
    std::string strText;
};

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<LogRecord> Records() const;
    std::vector<std::string> Texts() const;
    void Clear();
    size_t Count(const std::string& strText) const; // records whose text is exactly strText
    // The one record with this exact text; fails the test when there is not exactly one.
    LogRecord One(const std::string& strText) const;

private:
    mutable std::mutex m_mutex;
    std::vector<LogRecord> m_records;
};

// A fixture whose tests see the library's log lines in m_log.
class LoggedTest : public ::testing::Test {
protected:
    LogCapture m_log;
};

// The library's source names as they appear in its log calls.
inline const char* kFileCommon = "access_server/kxapi/common/kxapi_common";
inline const char* kFileBusiness = "access_server/kxapi/common/kxapi_business_common";
inline const char* kFileList = "access_server/kxapi/common/kxapi_commonlist";

// Checks module 4, flag g_enDebugFlag, reserved 0, a line number and the given level and file.
void ExpectLogFrame(const LogRecord& rec, int iLevel, const char* pszFile);

// A pointer as the library's "%p" shows it.
std::string Ptr(const void* p);

// The first and last line of the function whose definition starts a line with pszSignature in the
// library's source pszSource (a name under src/), so a test can tell which function a log line's
// number points into. {0, 0} when there is no such definition.
std::pair<int, int> SourceFunctionLines(const char* pszSource, const char* pszSignature);

#endif
