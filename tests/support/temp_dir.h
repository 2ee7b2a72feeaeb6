// A per-test temporary directory, removed with everything in it when the test ends. Every socket,
// file and run directory a test makes lives under one, so tests can run in parallel.
#ifndef KXAPI_TEST_TEMP_DIR_H
#define KXAPI_TEST_TEMP_DIR_H

#include <string>

class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return m_strPath; }
    std::string File(const std::string& strName) const { return m_strPath + "/" + strName; }

private:
    std::string m_strPath;
};

// Number of descriptors open in this process (for before/after hygiene checks).
int CountOpenFds();

#endif
