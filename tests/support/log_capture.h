// Captures every VW_WriteLog call of the library through the platform's log sink.
#ifndef KXAPI_TEST_LOG_CAPTURE_H
#define KXAPI_TEST_LOG_CAPTURE_H

#include "kxplatform.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

struct LogRecord {
    int iModule, iLevel, iDebugFlag, iReserved;
    std::string strFile;
    int iLine;
    std::string strText;
};

class LogCapture {
public:
    LogCapture() { KxPlatformSetLogSink(Sink, this); }
    ~LogCapture() { KxPlatformSetLogSink(nullptr, nullptr); }
    // The platform log sink it installs, for a test that puts a wrapper of its own around it.
    static void Sink(void* pUser, int iModule, int iLevel, int iFlag, int iReserved, const char* pszFile, int iLine,
                     const char* pszText);
    std::vector<LogRecord> Records() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_records;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_records.clear();
    }
    // The records as golden text, a line each: the level's letter (I, D, E), the file ("common",
    // "business" or "list" for the library's own, else its name) and the text without its
    // "[KXAPI]:" (a "?" where that is missing). A frame other than module 4, g_enDebugFlag,
    // reserved 0 and a line number follows the text as " {module level flag reserved has-a-line file}".
    std::string Lines() const;

private:
    mutable std::mutex m_mutex;
    std::vector<LogRecord> m_records;
};

// A fixture whose tests see the library's log lines in m_log and leave no descriptor open: the
// count is taken again after the derived fixture and its members are gone.
class LoggedTest : public ::testing::Test {
protected:
    ~LoggedTest() override { EXPECT_EQ(CountOpenFds(), m_iFds) << "descriptors left open"; }
    // A call's result and the lines logged since the last look, as golden text; the log starts over.
    std::string Outcome(const std::string& strResult)
    {
        std::string strOut = strResult + " " + m_log.Lines();
        m_log.Clear();
        return strOut;
    }
    std::string Outcome(long long llResult) { return Outcome(std::to_string(llResult)); }
    int m_iFds = CountOpenFds();
    LogCapture m_log;
};

// A pointer as the library's "%p" shows it.
std::string Ptr(const void* p);

#endif
