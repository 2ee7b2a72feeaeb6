#include "log_capture.h"

#include "kxplatform.h"

LogCapture::LogCapture()
{
    KxPlatformSetLogSink(&LogCapture::Sink, this);
}

LogCapture::~LogCapture()
{
    KxPlatformSetLogSink(nullptr, nullptr);
}

void LogCapture::Sink(void* pUser, int iModule, int iLevel, int iDebugFlag, int iReserved, const char* pszFile,
                      int iLine, const char* pszText)
{
    auto* self = static_cast<LogCapture*>(pUser);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_records.push_back({iModule, iLevel, iDebugFlag, iReserved, pszFile != nullptr ? pszFile : "", iLine,
                               pszText != nullptr ? pszText : ""});
}

std::vector<LogRecord> LogCapture::Records() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
}

std::vector<std::string> LogCapture::Texts() const
{
    std::vector<std::string> out;
    for (const auto& r : Records()) {
        out.push_back(r.strText);
    }
    return out;
}

void LogCapture::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.clear();
}

size_t LogCapture::Count(const std::string& strText) const
{
    size_t n = 0;
    for (const auto& r : Records()) {
        n += (r.strText == strText) ? 1 : 0;
    }
    return n;
}

LogRecord LogCapture::One(const std::string& strText) const
{
    LogRecord found{};
    size_t n = 0;
    for (const auto& r : Records()) {
        if (r.strText == strText) {
            found = r;
            ++n;
        }
    }
    EXPECT_EQ(n, 1U) << "log line \"" << strText << "\"";
    return found;
}

void ExpectLogFrame(const LogRecord& rec, int iLevel, const char* pszFile)
{
    EXPECT_EQ(rec.iModule, 4);
    EXPECT_EQ(rec.iLevel, iLevel) << rec.strText;
    EXPECT_EQ(rec.iDebugFlag, g_enDebugFlag);
    EXPECT_EQ(rec.iReserved, 0);
    EXPECT_EQ(rec.strFile, pszFile);
    EXPECT_GT(rec.iLine, 0);
}
