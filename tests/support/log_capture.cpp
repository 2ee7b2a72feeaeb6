#include "log_capture.h"

#include "kxapicommon.h"
#include "kxplatform.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

LogCapture::LogCapture()
{
    KxPlatformSetLogSink(
        [](void* pUser, int iModule, int iLevel, int iFlag, int iReserved, const char* pszFile, int iLine,
           const char* pszText) {
            auto* self = static_cast<LogCapture*>(pUser);
            std::lock_guard<std::mutex> lock(self->m_mutex);
            self->m_records.push_back({iModule, iLevel, iFlag, iReserved, pszFile, iLine, pszText});
        },
        this);
}

LogCapture::~LogCapture()
{
    KxPlatformSetLogSink(nullptr, nullptr);
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
    auto texts = Texts();
    return static_cast<size_t>(std::count(texts.begin(), texts.end(), strText));
}

LogRecord LogCapture::One(const std::string& strText) const
{
    EXPECT_EQ(Count(strText), 1U) << "log line \"" << strText << "\"";
    auto recs = Records();
    auto it = std::find_if(recs.begin(), recs.end(), [&](const LogRecord& r) { return r.strText == strText; });
    return it != recs.end() ? *it : LogRecord{};
}

void ExpectLogFrame(const LogRecord& rec, int iLevel, const char* pszFile)
{
    char szExpected[256];
    snprintf(szExpected, sizeof(szExpected), "4 %d %d 0 1 %s", iLevel, static_cast<int>(g_enDebugFlag), pszFile);
    EXPECT_EQ(std::to_string(rec.iModule) + " " + std::to_string(rec.iLevel) + " " + std::to_string(rec.iDebugFlag) +
                  " " + std::to_string(rec.iReserved) + " " + std::to_string(rec.iLine > 0) + " " + rec.strFile,
              szExpected)
        << rec.strText;
}

std::pair<int, int> SourceFunctionLines(const char* pszSource, const char* pszSignature)
{
    std::ifstream in(std::string(KXAPI_SOURCE_DIR "/src/") + pszSource);
    std::string strLine;
    int iFirst = 0;
    for (int iLine = 1; std::getline(in, strLine); ++iLine) {
        if (iFirst == 0 && strLine.rfind(pszSignature, 0) == 0) {
            iFirst = iLine;
        } else if (iFirst != 0 && strLine == "}") {
            return {iFirst, iLine};
        }
    }
    return {0, 0};
}

std::string Ptr(const void* p)
{
    char sz[32];
    snprintf(sz, sizeof(sz), "%p", p);
    return sz;
}
