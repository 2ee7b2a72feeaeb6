#include "temp_dir.h"

#include <dirent.h>
#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

TempDir::TempDir()
{
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kxapi-test-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_strPath = tmpl;
}

static int RemoveEntry(const char* path, const struct stat*, int, struct FTW*)
{
    return remove(path);
}

TempDir::~TempDir()
{
    (void)nftw(m_strPath.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

int CountOpenFds()
{
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) {
        return -1;
    }
    while (readdir(d) != nullptr) {
        ++n;
    }
    closedir(d);
    return n - 3; // ".", ".." and the directory's own descriptor
}
