// The platform stand-in's service file system and event loop on their own.
#include "kxplatform.h"
#include "hbtp_service.h"
#include "temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <thread>

namespace {

class SrvfsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(KxSrvfsSetRoot(m_dir.Path().c_str()), 0);
        m_iFds = CountOpenFds();
    }
    void TearDown() override
    {
        EXPECT_EQ(CountOpenFds(), m_iFds);
        KxSrvfsSetRoot(nullptr);
        unsetenv("KXPLATFORM_SRVFS_DIR");
    }
    TempDir m_dir;
    int m_iFds = 0;
};

hbtp_message* Echo(KxSrvfsRequest*, hbtp_message* pstMsg)
{
    pstMsg->pstHeader->usCode = 200;
    return pstMsg;
}

TEST_F(SrvfsTest, EachOpenIsAChannelWithItsOwnOption)
{
    EmulatedService service("echo", Echo);
    int a = open("/mnt/srvfs/echo", O_RDWR);
    int b = open64("/mnt/srvfs/echo", O_RDWR | O_CLOEXEC);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    EXPECT_EQ(ioctl(a, 769, 0xFFFFFFFFUL), 0);
    EXPECT_EQ(ioctl(b, 769, 3UL), 0);
    int avail = -1;
    EXPECT_EQ(ioctl(a, FIONREAD, &avail), 0); // other requests reach the socket itself
    EXPECT_EQ(avail, 0);
    for (int fd : {a, b}) {
        hbtp_message* m = MakeHbtp(0, static_cast<unsigned short>(fd), 1, "ping");
        ASSERT_EQ(hbtp_message_sendfd(m, fd), 0);
        ASSERT_EQ(hbtp_message_recvfd(m, fd), 0);
        EXPECT_EQ(m->pstHeader->usCode, 200);
        EXPECT_EQ(m->pstHeader->usUrl, fd);
        hbtp_message_put(m);
    }
    close(a);
    close(b);
    auto seen = service.Seen();
    ASSERT_EQ(seen.size(), 2U);
    EXPECT_EQ(seen[0].uiOption, 0xFFFFFFFFu);
    EXPECT_EQ(seen[1].uiOption, 3u);
    EXPECT_NE(seen[0].uiChannel, seen[1].uiChannel);
    EXPECT_EQ(service.Channels(), 2U);
}

// The checked forms that a host built with _FORTIFY_SOURCE calls instead of open and openat.
extern "C" int __open_2(const char*, int);
extern "C" int __open64_2(const char*, int);
extern "C" int __openat_2(int, const char*, int);
extern "C" int __openat64_2(int, const char*, int);

TEST_F(SrvfsTest, EveryOpenEntryPointReachesTheServiceAndPassesOtherPathsOn)
{
    EmulatedService service("echo", Echo);
    std::string strPlain = m_dir.File("plain");
    close(open(strPlain.c_str(), O_RDWR | O_CREAT, 0600));
    struct Case {
        const char* pszName;
        int (*pfnOpen)(const char* pszPath, int iFlags);
    };
    const Case cases[] = {
        {"open", [](const char* p, int f) { return open(p, f); }},
        {"open64", [](const char* p, int f) { return open64(p, f); }},
        {"openat", [](const char* p, int f) { return openat(AT_FDCWD, p, f); }},
        {"openat64", [](const char* p, int f) { return openat64(AT_FDCWD, p, f); }},
        {"__open_2", [](const char* p, int f) { return __open_2(p, f); }},
        {"__open64_2", [](const char* p, int f) { return __open64_2(p, f); }},
        {"__openat_2", [](const char* p, int f) { return __openat_2(AT_FDCWD, p, f); }},
        {"__openat64_2", [](const char* p, int f) { return __openat64_2(AT_FDCWD, p, f); }},
    };
    for (const Case& c : cases) {
        int fd = c.pfnOpen("/mnt/srvfs/echo", O_RDWR);
        ASSERT_GT(fd, 0) << c.pszName;
        hbtp_message* m = MakeHbtp(0, 7, 1, "ping");
        EXPECT_EQ(hbtp_message_sendfd(m, fd), 0) << c.pszName;
        EXPECT_EQ(hbtp_message_recvfd(m, fd), 0) << c.pszName;
        EXPECT_EQ(m->pstHeader->usCode, 200) << c.pszName;
        hbtp_message_put(m);
        close(fd);
        fd = c.pfnOpen(strPlain.c_str(), O_RDONLY);
        EXPECT_GE(fd, 0) << c.pszName << " on a plain file";
        close(fd);
    }
    EXPECT_EQ(service.Channels(), 8U);
}

TEST_F(SrvfsTest, UnopenablePathsSetErrno)
{
    EmulatedService service("svc", Echo);
    struct Case {
        const char* pszPath;
        int iFlags;
        int iErr;
    };
    const Case cases[] = {
        {"/mnt/srvfs/absent", O_RDWR, ENOENT},
        {"/mnt/srvfs/", O_RDWR, ENOENT},
        {"/mnt/srvfs/a/svc", O_RDWR, ENOENT},
        {"/mnt/srvfs/..", O_RDWR, ENOENT},
        {"/mnt/srvfs/svc", O_RDONLY, EACCES},
        {"/mnt/srvfs/svc", O_WRONLY, EACCES},
    };
    for (const Case& c : cases) {
        errno = 0;
        EXPECT_EQ(open(c.pszPath, c.iFlags), -1) << c.pszPath;
        EXPECT_EQ(errno, c.iErr) << c.pszPath;
    }
    // Other paths go to the real file system; request 769 on a plain file goes to the kernel,
    // which reads it as a request with an out-pointer (hence a real buffer here) and refuses it.
    int fd = open(m_dir.File("plain").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    unsigned char aucOut[64] = {};
    EXPECT_EQ(ioctl(fd, 769, aucOut), -1);
    EXPECT_EQ(errno, ENOTTY);
    close(fd);
}

TEST_F(SrvfsTest, RootFromTheEnvironmentAndNoRootAtAll)
{
    KxSrvfsSetRoot(nullptr);
    errno = 0;
    EXPECT_EQ(open("/mnt/srvfs/svc", O_RDWR), -1); // the real, absent file system
    EXPECT_EQ(errno, ENOENT);
    setenv("KXPLATFORM_SRVFS_DIR", m_dir.Path().c_str(), 1);
    EmulatedService service("svc", Echo);
    int fd = open("/mnt/srvfs/svc", O_RDWR);
    EXPECT_GT(fd, 0);
    close(fd);
    EXPECT_EQ(KxSrvfsSetRoot(std::string(200, 'd').c_str()), -1);
}

struct Fired {
    int iCalls = 0;
    unsigned int uiMask = 0;
    tagABS_EVENT_S* pstOther = nullptr; // deleted by the first callback that runs
};

void OnReadable(int iFd, unsigned int uiMask, tagABS_EVENT_S* pstEvent)
{
    auto* f = static_cast<Fired*>(pstEvent->pArg);
    ++f->iCalls;
    f->uiMask = uiMask;
    char c;
    (void)!read(iFd, &c, 1);
    if (f->pstOther != nullptr) {
        AbsEvDel(f->pstOther);
        f->pstOther = nullptr;
    }
}

TEST(EventLoop, TableRangeArmingAndDeletionDuringDispatch)
{
    int fds = CountOpenFds();
    tagABS_EVENT_BASE_S* base = AbsEvBaseNew(64);
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(base->uiSize, 64U);
    Fired f;
    EXPECT_EQ(AbsEvNew(base, 64, ABS_EV_READ, &f, OnReadable), nullptr);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(AbsEvNew(base, -1, ABS_EV_READ, &f, OnReadable), nullptr);
    EXPECT_EQ(AbsEvNew(nullptr, 3, ABS_EV_READ, &f, OnReadable), nullptr);
    EXPECT_EQ(AbsEvNew(base, 3, ABS_EV_READ, &f, nullptr), nullptr);
    int p1[2], p2[2];
    ASSERT_EQ(pipe(p1), 0);
    ASSERT_EQ(pipe(p2), 0);
    tagABS_EVENT_S* e1 = AbsEvNew(base, p1[0], ABS_EV_READ, &f, OnReadable);
    ASSERT_NE(e1, nullptr);
    EXPECT_EQ(AbsEvNew(base, p1[0], ABS_EV_READ, &f, OnReadable), nullptr);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(base->ppstEvents[p1[0]], e1);
    EXPECT_EQ(e1->iFd, p1[0]);
    EXPECT_EQ(e1->uiEvents, ABS_EV_READ);
    EXPECT_EQ(e1->pArg, &f);

    // Not armed yet: nothing runs.
    ASSERT_EQ(write(p1[1], "x", 1), 1);
    EXPECT_EQ(AbsEvBaseRunOnce(base, 0), 0);
    EXPECT_EQ(AbsEvAdd(e1, 0), 0);
    EXPECT_EQ(AbsEvBaseRunOnce(base, 1000), 1);
    EXPECT_EQ(f.iCalls, 1);
    EXPECT_EQ(f.uiMask, ABS_EV_READ);

    // Both ready; whichever runs first deletes the other, which then must not run.
    Fired g;
    tagABS_EVENT_S* e2 = AbsEvNew(base, p2[0], ABS_EV_READ, &g, OnReadable);
    AbsEvAdd(e2, 0);
    f.pstOther = e2;
    g.pstOther = e1;
    ASSERT_EQ(write(p1[1], "x", 1), 1);
    ASSERT_EQ(write(p2[1], "x", 1), 1);
    EXPECT_EQ(AbsEvBaseRunOnce(base, 1000), 1);
    EXPECT_EQ(f.iCalls + g.iCalls, 2);
    EXPECT_TRUE(base->ppstEvents[p1[0]] == nullptr || base->ppstEvents[p2[0]] == nullptr);
    AbsEvDel(nullptr);
    AbsEvBaseFree(base); // releases the survivor
    for (int fd : {p1[0], p1[1], p2[0], p2[1]}) close(fd);
    EXPECT_EQ(CountOpenFds(), fds);
}

TEST(EventLoop, RunUntilStoppedFromAnotherThread)
{
    tagABS_EVENT_BASE_S* base = AbsEvBaseNew(1024);
    ASSERT_NE(base, nullptr);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    Fired f;
    AbsEvAdd(AbsEvNew(base, p[0], ABS_EV_READ, &f, OnReadable), 0);
    std::atomic<int> ret{-2};
    std::thread loop([&] { ret = AbsEvBaseRun(base); });
    ASSERT_EQ(write(p[1], "x", 1), 1);
    AbsEvBaseStop(base);
    loop.join();
    EXPECT_EQ(ret.load(), 0);
    // A stop before the run makes the next run return at once.
    AbsEvBaseStop(base);
    EXPECT_EQ(AbsEvBaseRun(base), 0);
    EXPECT_EQ(AbsEvBaseRunOnce(nullptr, 0), -1);
    AbsEvBaseFree(base);
    close(p[0]);
    close(p[1]);
}

} // namespace
