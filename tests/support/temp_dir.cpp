#include "temp_dir.h"

#include <dirent.h>
#include <ftw.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

TempDir::TempDir()
{
    const char* pszBase = getenv("TMPDIR");
    m_strPath = std::string(pszBase != nullptr && *pszBase != '\0' ? pszBase : "/tmp") + "/kxapi-test-XXXXXX";
    if (mkdtemp(m_strPath.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
}

TempDir::~TempDir()
{
    (void)nftw(
        m_strPath.c_str(), [](const char* pszPath, const struct stat*, int, FTW*) { return remove(pszPath); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

int CountOpenFds()
{
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (d != nullptr && readdir(d) != nullptr) {
        ++n;
    }
    return d != nullptr && closedir(d) == 0 ? n - 3 : -1; // ".", ".." and the directory's own descriptor
}
