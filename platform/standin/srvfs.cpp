// Service file system stand-in. On the camera, opening "/mnt/srvfs/NAME" read-write yields a
// channel to service NAME and ioctl 769 sets a per-channel option. Here every open entry point
// and ioctl are interposed: such paths become connected Unix stream sockets at "<root>/NAME", and
// ioctl 769 on one of them travels to the service as a small option frame ahead of the HBTP
// frames. Every other call goes on to the next definition (the C library, or a sanitizer runtime
// before it). Only this dev-host stand-in does this; the library and the camera never see it.
// The definitions below are the entry points themselves: no header may redirect or wrap them.
#undef _FILE_OFFSET_BITS
#undef _FORTIFY_SOURCE
#include "hbtp_internal.h"
#include "kxapicommon.h" // the option request the library sends: one number, defined where it is used
#include "kxplatform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kPrefix[] = "/mnt/srvfs/";

std::mutex g_mutex;
std::string g_strRoot;
// Channels opened here, by descriptor, with the socket's inode: a descriptor that was closed and
// reused for something else no longer matches. The usual descriptors have fixed slots, so that
// opening a channel leaves no heap record behind that outlives the caller's work with it.
constexpr int kChannelSlots = 4096;
struct ChannelSlot {
    bool bUsed;
    ino_t ino;
};
ChannelSlot g_aChannelSlots[kChannelSlots];
std::map<int, ino_t> g_channels; // descriptors beyond the slots

// Under g_mutex. false when there is no memory for the record.
bool RecordChannel(int iFd, ino_t ino)
{
    if (iFd >= 0 && iFd < kChannelSlots) {
        g_aChannelSlots[iFd] = ChannelSlot{true, ino};
        return true;
    }
    try {
        g_channels[iFd] = ino;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// Under g_mutex: the recorded inode of iFd, or false.
bool RecordedChannel(int iFd, ino_t* pIno)
{
    if (iFd >= 0 && iFd < kChannelSlots) {
        *pIno = g_aChannelSlots[iFd].ino;
        return g_aChannelSlots[iFd].bUsed;
    }
    auto it = g_channels.find(iFd);
    if (it == g_channels.end()) {
        return false;
    }
    *pIno = it->second;
    return true;
}

void ForgetChannel(int iFd)
{
    if (iFd >= 0 && iFd < kChannelSlots) {
        g_aChannelSlots[iFd].bUsed = false;
    } else {
        g_channels.erase(iFd);
    }
}

template <typename F>
F Next(const char* pszName)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, pszName));
}

std::string Root()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_strRoot.empty()) {
        return g_strRoot;
    }
    const char* env = getenv("KXPLATFORM_SRVFS_DIR");
    return env != nullptr ? env : "";
}

bool SocketAddress(const std::string& strRoot, const char* pszName, sockaddr_un* pAddr)
{
    std::string path = strRoot + "/" + pszName;
    if (path.size() >= sizeof(pAddr->sun_path)) {
        return false;
    }
    memset(pAddr, 0, sizeof(*pAddr));
    pAddr->sun_family = AF_UNIX;
    memcpy(pAddr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// -2: not ours (go to the real open); otherwise the channel or -1 with errno.
int OpenChannelIn(const std::string& root, const char* pszPath, int iFlags);

// open() is a C function: no memory for the paths or the channel record is ENOMEM, not an exception.
int OpenChannel(const char* pszPath, int iFlags)
{
    if (pszPath == nullptr || strncmp(pszPath, kPrefix, sizeof(kPrefix) - 1) != 0) {
        return -2;
    }
    try {
        return OpenChannelIn(Root(), pszPath, iFlags);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return -1;
    }
}

int OpenChannelIn(const std::string& root, const char* pszPath, int iFlags)
{
    if (root.empty()) {
        return -2;
    }
    const char* name = pszPath + sizeof(kPrefix) - 1;
    if (*name == '\0' || strchr(name, '/') != nullptr || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
        errno = ENOENT;
        return -1;
    }
    if ((iFlags & O_ACCMODE) != O_RDWR) {
        errno = EACCES;
        return -1;
    }
    sockaddr_un addr;
    if (!SocketAddress(root, name, &addr)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | ((iFlags & O_CLOEXEC) != 0 ? SOCK_CLOEXEC : 0), 0);
    if (fd < 0) {
        return -1;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        int saved = errno == ECONNREFUSED ? ENOENT : errno; // a stale socket: no such service
        close(fd);
        errno = saved;
        return -1;
    }
    struct stat st;
    fstat(fd, &st);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!RecordChannel(fd, st.st_ino)) {
        close(fd);
        errno = ENOMEM;
        return -1;
    }
    return fd;
}

bool IsChannel(int iFd)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    ino_t ino = 0;
    if (!RecordedChannel(iFd, &ino)) {
        return false;
    }
    struct stat st;
    if (fstat(iFd, &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_ino != ino) {
        ForgetChannel(iFd);
        return false;
    }
    return true;
}

int ModeArg(int iFlags, va_list ap)
{
    return ((iFlags & O_CREAT) != 0 || (iFlags & O_TMPFILE) == O_TMPFILE) ? va_arg(ap, int) : 0;
}

} // namespace

extern "C" int KxSrvfsSetRoot(const char* pszDir)
{
    sockaddr_un addr;
    if (pszDir != nullptr && *pszDir != '\0' && strlen(pszDir) + 2 >= sizeof(addr.sun_path)) {
        errno = EINVAL;
        return -1;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    g_strRoot = pszDir != nullptr ? pszDir : "";
    return 0;
}

// The entry points a program may reach open through: the plain ones, their large-file twins, the
// directory-relative ones (service paths are absolute, so the directory never matters) and the
// checked forms a _FORTIFY_SOURCE build calls when it cannot prove its flags safe. A service path
// becomes a channel; anything else goes on to the next definition of the same name.
namespace {
using PfnOpen = int (*)(const char*, int, ...);
using PfnOpenAt = int (*)(int, const char*, int, ...);
using PfnOpenChecked = int (*)(const char*, int);
using PfnOpenAtChecked = int (*)(int, const char*, int);

template <typename Pfn, typename... Args>
int ChannelOr(const char* pszPath, int iFlags, Pfn pfnNext, Args... args)
{
    int fd = OpenChannel(pszPath, iFlags);
    return fd != -2 ? fd : pfnNext(args...);
}
} // namespace

extern "C" int open(const char* pszPath, int iFlags, ...)
{
    static const auto next = Next<PfnOpen>("open");
    va_list ap;
    va_start(ap, iFlags);
    int mode = ModeArg(iFlags, ap);
    va_end(ap);
    return ChannelOr(pszPath, iFlags, next, pszPath, iFlags, mode);
}

extern "C" int open64(const char* pszPath, int iFlags, ...)
{
    static const auto next = Next<PfnOpen>("open64");
    va_list ap;
    va_start(ap, iFlags);
    int mode = ModeArg(iFlags, ap);
    va_end(ap);
    return ChannelOr(pszPath, iFlags, next, pszPath, iFlags, mode);
}

extern "C" int openat(int iDirFd, const char* pszPath, int iFlags, ...)
{
    static const auto next = Next<PfnOpenAt>("openat");
    va_list ap;
    va_start(ap, iFlags);
    int mode = ModeArg(iFlags, ap);
    va_end(ap);
    return ChannelOr(pszPath, iFlags, next, iDirFd, pszPath, iFlags, mode);
}

extern "C" int openat64(int iDirFd, const char* pszPath, int iFlags, ...)
{
    static const auto next = Next<PfnOpenAt>("openat64");
    va_list ap;
    va_start(ap, iFlags);
    int mode = ModeArg(iFlags, ap);
    va_end(ap);
    return ChannelOr(pszPath, iFlags, next, iDirFd, pszPath, iFlags, mode);
}

extern "C" int __open_2(const char* pszPath, int iFlags)
{
    static const auto next = Next<PfnOpenChecked>("__open_2");
    return ChannelOr(pszPath, iFlags, next, pszPath, iFlags);
}

extern "C" int __open64_2(const char* pszPath, int iFlags)
{
    static const auto next = Next<PfnOpenChecked>("__open64_2");
    return ChannelOr(pszPath, iFlags, next, pszPath, iFlags);
}

extern "C" int __openat_2(int iDirFd, const char* pszPath, int iFlags)
{
    static const auto next = Next<PfnOpenAtChecked>("__openat_2");
    return ChannelOr(pszPath, iFlags, next, iDirFd, pszPath, iFlags);
}

extern "C" int __openat64_2(int iDirFd, const char* pszPath, int iFlags)
{
    static const auto next = Next<PfnOpenAtChecked>("__openat64_2");
    return ChannelOr(pszPath, iFlags, next, iDirFd, pszPath, iFlags);
}

namespace {
// -2: not a channel option (go to the real ioctl); otherwise the result.
int ChannelOption(int iFd, unsigned long ulRequest, unsigned long ulArg)
{
    if ((ulRequest & 0xffffffffUL) != KXAPI_HBTP_CHANNEL_OPTION || !IsChannel(iFd)) {
        return -2;
    }
    unsigned char frame[8];
    memcpy(frame, kKxSrvfsOptionMagic, 4);
    for (int i = 0; i < 4; ++i) {
        frame[4 + i] = static_cast<unsigned char>(ulArg >> (8 * i));
    }
    return KxWriteAll(iFd, frame, sizeof(frame));
}
} // namespace

namespace {
using PfnIoctl = int (*)(int, unsigned long, ...);

// ioctl and its 64-bit-time twin alike: a channel option goes to the service, anything else to
// the next definition (the twin falls back to plain ioctl where the C library lacks it).
int IoctlThrough(bool bTime64, int iFd, unsigned long ulRequest, unsigned long arg)
{
    int r = ChannelOption(iFd, ulRequest, arg);
    if (r != -2) {
        return r;
    }
    static PfnIoctl realIoctl = Next<PfnIoctl>("ioctl");
    PfnIoctl real = realIoctl;
    if (bTime64) {
        static PfnIoctl realTime64 = Next<PfnIoctl>("__ioctl_time64");
        real = realTime64 != nullptr ? realTime64 : realIoctl;
    }
    return real(iFd, ulRequest, arg);
}
} // namespace

extern "C" int ioctl(int iFd, unsigned long ulRequest, ...)
{
    va_list ap;
    va_start(ap, ulRequest);
    unsigned long arg = va_arg(ap, unsigned long);
    va_end(ap);
    return IoctlThrough(false, iFd, ulRequest, arg);
}

#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4
// 32-bit programs built with 64-bit time call this name instead of ioctl.
extern "C" int __ioctl_time64(int iFd, unsigned long ulRequest, ...)
{
    va_list ap;
    va_start(ap, ulRequest);
    unsigned long arg = va_arg(ap, unsigned long);
    va_end(ap);
    return IoctlThrough(true, iFd, ulRequest, arg);
}
#endif

// ---- emulated services ----

struct KxSrvfsService {
    std::string strName;
    std::string strPath;
    PFN_KXSRVFS_HANDLER pfnHandler = nullptr;
    void* pUser = nullptr;
    int iListenFd = -1;
    int aiWake[2] = {-1, -1};
    std::atomic<unsigned int> uiChannels{0};
    std::thread thread;
    ino_t uiSocketIno = 0; // the socket file this service made
};

namespace {

struct Channel {
    int iFd;
    KxSrvfsRequest stReq;
};

// Serves one readable item of a channel; false when the channel ends.
bool ServeItem(KxSrvfsService* s, Channel* c)
{
    unsigned char magic[4];
    if (KxReadAll(c->iFd, magic, sizeof(magic), false) != 0) {
        return false;
    }
    if (memcmp(magic, kKxSrvfsOptionMagic, 4) == 0) {
        unsigned char v[4];
        if (KxReadAll(c->iFd, v, sizeof(v), true) != 0) {
            return false;
        }
        c->stReq.uiOption = static_cast<unsigned int>(v[0]) | (static_cast<unsigned int>(v[1]) << 8) |
                            (static_cast<unsigned int>(v[2]) << 16) | (static_cast<unsigned int>(v[3]) << 24);
        c->stReq.bOptionSet = 1;
        return true;
    }
    hbtp_message* req = nullptr;
    if (KxHbtpReadFrameAfterMagic(c->iFd, magic, &req) != 0) {
        return false;
    }
    c->stReq.bClose = 0;
    hbtp_message* rsp = s->pfnHandler(s->pUser, &c->stReq, req);
    if (rsp != nullptr) {
        (void)hbtp_message_sendfd(rsp, c->iFd);
    }
    if (rsp != req) {
        hbtp_message_put(rsp);
    }
    hbtp_message_put(req);
    return c->stReq.bClose == 0;
}

void ServiceLoop(KxSrvfsService* s)
{
    std::vector<Channel> channels;
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({s->aiWake[0], POLLIN, 0});
        fds.push_back({s->iListenFd, POLLIN, 0});
        for (const Channel& c : channels) {
            fds.push_back({c.iFd, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[0].revents != 0) {
            break;
        }
        std::vector<Channel> next;
        for (size_t i = 0; i < channels.size(); ++i) {
            Channel c = channels[i];
            if (fds[i + 2].revents != 0 && !ServeItem(s, &c)) {
                close(c.iFd);
                continue;
            }
            next.push_back(c);
        }
        channels.swap(next);
        if (fds[1].revents != 0) {
            int fd = accept4(s->iListenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                Channel c{fd, {}};
                c.stReq.pszService = s->strName.c_str();
                c.stReq.iChannelFd = fd;
                c.stReq.uiChannel = ++s->uiChannels;
                channels.push_back(c);
            }
        }
    }
    for (const Channel& c : channels) {
        close(c.iFd);
    }
}

} // namespace

extern "C" KxSrvfsService* KxSrvfsServe(const char* pszName, PFN_KXSRVFS_HANDLER pfnHandler, void* pUser)
{
    std::string root = Root();
    sockaddr_un addr;
    if (pszName == nullptr || pfnHandler == nullptr || root.empty() || !SocketAddress(root, pszName, &addr)) {
        errno = EINVAL;
        return nullptr;
    }
    auto* s = new KxSrvfsService;
    s->strName = pszName;
    s->strPath = addr.sun_path;
    s->pfnHandler = pfnHandler;
    s->pUser = pUser;
    unlink(addr.sun_path);
    s->iListenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s->iListenFd < 0 || bind(s->iListenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(s->iListenFd, 16) != 0 || pipe2(s->aiWake, O_CLOEXEC) != 0) {
        int saved = errno;
        if (s->iListenFd >= 0) {
            close(s->iListenFd);
        }
        unlink(addr.sun_path);
        delete s;
        errno = saved;
        return nullptr;
    }
    struct stat st;
    if (stat(addr.sun_path, &st) == 0) {
        s->uiSocketIno = st.st_ino;
    }
    s->thread = std::thread(ServiceLoop, s);
    return s;
}

extern "C" unsigned int KxSrvfsChannelCount(KxSrvfsService* pstService)
{
    return pstService != nullptr ? pstService->uiChannels.load() : 0;
}

extern "C" void KxSrvfsStop(KxSrvfsService* pstService)
{
    if (pstService == nullptr) {
        return;
    }
    char c = 1;
    (void)KxWriteAll(pstService->aiWake[1], &c, 1);
    pstService->thread.join();
    close(pstService->iListenFd);
    close(pstService->aiWake[0]);
    close(pstService->aiWake[1]);
    // A newer service may have taken the name over since: its socket is not ours to remove.
    struct stat st;
    if (stat(pstService->strPath.c_str(), &st) == 0 && st.st_ino == pstService->uiSocketIno) {
        unlink(pstService->strPath.c_str());
    }
    delete pstService;
}
