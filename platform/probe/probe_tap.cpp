// kxapi-probe tap: one thread, one poll loop. A socket of the tap's own per client, so that each
// reply of the service comes back on the socket that tells whose it is, however many clients
// (the reference server binds a fresh name per request) ask at once.
#include "probe_tap.h"
#include "probe_wire.h"

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <vector>

namespace kxprobe {

namespace {

const char kAside[] = "~kxtap";     // the service's socket waits under "<name>~kxtap"
const char kUpstream[] = "~kxtap."; // the tap's sockets towards the service: "<name>~kxtap.N"
// A client that has nothing outstanding loses its upstream socket after this long, so a server
// that binds a name per request does not pile up descriptors.
const double kIdleSeconds = 2.0;
const size_t kDatagramMax = 65536;
// How long a tap that was told to stop still passes on replies owed to clients.
const double kDrainSeconds = 2.0;

double Now()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

int BoundSocket(const std::string& strPath)
{
    sockaddr_un stAddr;
    if (!UnixAddress(strPath, &stAddr)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int iFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    timeval stWait{1, 0};
    if (iFd < 0 || setsockopt(iFd, SOL_SOCKET, SO_SNDTIMEO, &stWait, sizeof(stWait)) != 0 ||
        bind(iFd, reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr)) != 0) {
        int iErr = errno;
        if (iFd >= 0) {
            close(iFd);
        }
        errno = iErr;
        return -1;
    }
    return iFd;
}

// Whether a datagram socket is bound at strPath: connect() is refused when nobody is.
bool Listening(const std::string& strPath)
{
    sockaddr_un stAddr;
    int iFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool bYes = iFd >= 0 && UnixAddress(strPath, &stAddr) &&
                connect(iFd, reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr)) == 0;
    if (iFd >= 0) {
        close(iFd);
    }
    return bYes;
}

std::string ClientName(const sockaddr_un& stFrom, socklen_t uLen)
{
    size_t uiPathLen = uLen > offsetof(sockaddr_un, sun_path) ? uLen - offsetof(sockaddr_un, sun_path) : 0;
    if (uiPathLen == 0) {
        return "(unnamed)";
    }
    if (stFrom.sun_path[0] == '\0') {
        return "@" + std::string(stFrom.sun_path + 1, uiPathLen - 1);
    }
    return std::string(stFrom.sun_path, strnlen(stFrom.sun_path, uiPathLen));
}

// Leftover upstream sockets of a tap that was killed.
void RemoveUpstreamNames(const std::string& strPath)
{
    size_t uiSlash = strPath.rfind('/');
    std::string strDir = uiSlash == std::string::npos ? "." : strPath.substr(0, uiSlash + 1);
    std::string strPrefix = strPath.substr(uiSlash == std::string::npos ? 0 : uiSlash + 1) + kUpstream;
    DIR* pDir = opendir(strDir.c_str());
    if (pDir == nullptr) {
        return;
    }
    while (dirent* pEnt = readdir(pDir)) {
        if (strncmp(pEnt->d_name, strPrefix.c_str(), strPrefix.size()) == 0) {
            (void)unlink((strDir + pEnt->d_name).c_str());
        }
    }
    closedir(pDir);
}

} // namespace

struct Tap::Impl {
    struct Client {
        sockaddr_un stAddr{};
        socklen_t uAddrLen = 0;
        std::string strName;
        int iFd = -1;               // the tap's socket towards the service for this client
        std::string strPath;        // its name
        std::deque<double> dqAsked; // arrival of each unanswered request
        double dLast = 0;
    };
    std::string strPath, strAside;
    int iFront = -1;
    unsigned int uiNext = 0;
    std::vector<Client> vecClients;
    std::vector<char> vecBuf = std::vector<char>(kDatagramMax);

    Client* ClientFor(const sockaddr_un& stFrom, socklen_t uLen, std::string* pstrError);
    bool bRestored = false;

    void Drop(size_t i);
    void Sweep(double dNow);
    void Restore();
    bool Idle();
};

void Tap::Impl::Restore()
{
    // rename() replaces the tap's name in one step: a client never finds the name missing.
    if (!bRestored) {
        (void)rename(strAside.c_str(), strPath.c_str());
        bRestored = true;
    }
}

// Nothing queued on the tap's socket and no reply owed.
bool Tap::Impl::Idle()
{
    for (const Client& c : vecClients) {
        if (!c.dqAsked.empty()) {
            return false;
        }
    }
    pollfd stPoll{iFront, POLLIN, 0};
    return poll(&stPoll, 1, 0) == 0;
}

Tap::Impl::Client* Tap::Impl::ClientFor(const sockaddr_un& stFrom, socklen_t uLen, std::string* pstrError)
{
    std::string strName = ClientName(stFrom, uLen);
    for (Client& c : vecClients) {
        if (c.strName == strName) {
            return &c;
        }
    }
    Client c;
    c.stAddr = stFrom;
    c.uAddrLen = uLen;
    c.strName = strName;
    c.strPath = strPath + kUpstream + std::to_string(uiNext++);
    (void)unlink(c.strPath.c_str());
    c.iFd = BoundSocket(c.strPath);
    if (c.iFd < 0) {
        *pstrError = "cannot bind " + c.strPath + ": " + strerror(errno);
        return nullptr;
    }
    vecClients.push_back(std::move(c));
    return &vecClients.back();
}

void Tap::Impl::Drop(size_t i)
{
    close(vecClients[i].iFd);
    (void)unlink(vecClients[i].strPath.c_str());
    vecClients.erase(vecClients.begin() + static_cast<std::ptrdiff_t>(i));
}

void Tap::Impl::Sweep(double dNow)
{
    for (size_t i = vecClients.size(); i-- > 0;) {
        if (vecClients[i].dqAsked.empty() && dNow - vecClients[i].dLast > kIdleSeconds) {
            Drop(i);
        }
    }
}

Tap::Tap() = default;

Tap::~Tap()
{
    Close();
}

std::string Tap::AsidePath(const std::string& strPath)
{
    return strPath + kAside;
}

bool Tap::Open(const std::string& strPath, std::string* pstrError)
{
    Close();
    std::string strAside = AsidePath(strPath);
    struct stat stInfo {};
    if (lstat(strAside.c_str(), &stInfo) == 0) {
        *pstrError = strPath + " is tapped already (" + strAside + " exists; after a killed tap: kxapi-probe untap)";
        return false;
    }
    if (lstat(strPath.c_str(), &stInfo) != 0 || !S_ISSOCK(stInfo.st_mode) || !Listening(strPath)) {
        *pstrError = "no service at " + strPath;
        return false;
    }
    // The longest name the tap binds must fit a socket address too.
    sockaddr_un stProbe;
    if (!UnixAddress(strPath + kUpstream + "4294967295", &stProbe)) {
        *pstrError = strPath + ": too long for the tap's names";
        return false;
    }
    // The tap's socket is bound under a name of its own first, and the service's socket keeps a
    // second name (a hard link) before the tap's replaces the first in one rename: no client ever
    // finds the name missing.
    std::string strFront = strPath + kUpstream + "front";
    (void)unlink(strFront.c_str());
    int iFront = BoundSocket(strFront);
    if (iFront < 0) {
        *pstrError = "cannot bind " + strFront + ": " + strerror(errno);
        return false;
    }
    if (link(strPath.c_str(), strAside.c_str()) != 0 && rename(strPath.c_str(), strAside.c_str()) != 0) {
        *pstrError = "cannot move " + strPath + " aside: " + strerror(errno);
        close(iFront);
        (void)unlink(strFront.c_str());
        return false;
    }
    if (rename(strFront.c_str(), strPath.c_str()) != 0) {
        *pstrError = "cannot take " + strPath + ": " + strerror(errno);
        (void)rename(strAside.c_str(), strPath.c_str());
        close(iFront);
        (void)unlink(strFront.c_str());
        return false;
    }
    m_pImpl = std::make_unique<Impl>();
    m_pImpl->strPath = strPath;
    m_pImpl->strAside = strAside;
    m_pImpl->iFront = iFront;
    return true;
}

int Tap::Run(const std::function<void(const Seen&)>& fnSeen, const volatile sig_atomic_t* pbStop, double dSeconds,
             std::string* pstrError)
{
    if (m_pImpl == nullptr) {
        *pstrError = "the tap is not open";
        return -1;
    }
    Impl& im = *m_pImpl;
    // The service, under the aside name until the name went back.
    sockaddr_un stAside, stService;
    if (!UnixAddress(im.strAside, &stAside) || !UnixAddress(im.strPath, &stService)) {
        *pstrError = im.strAside + ": too long";
        return -1;
    }
    double dEnd = dSeconds > 0 ? Now() + dSeconds : 0;
    double dDrainEnd = 0;
    std::vector<pollfd> vecPoll;
    for (;;) {
        double dNow = Now();
        if (dDrainEnd == 0 && ((pbStop != nullptr && *pbStop) || (dEnd > 0 && dNow >= dEnd))) {
            // The name goes back first, so new requests reach the service; what is queued on the
            // tap's socket and the replies still owed pass on until done, or for a grace period.
            im.Restore();
            dDrainEnd = dNow + kDrainSeconds;
        }
        if (dDrainEnd > 0 && (dNow >= dDrainEnd || im.Idle())) {
            break;
        }
        im.Sweep(dNow);
        vecPoll.assign(1, pollfd{im.iFront, POLLIN, 0});
        for (const Impl::Client& c : im.vecClients) {
            vecPoll.push_back(pollfd{c.iFd, POLLIN, 0});
        }
        int iWaitMs = dDrainEnd > 0 ? 10 : 200;
        if (dEnd > 0 && dDrainEnd == 0) {
            iWaitMs = std::min(iWaitMs, static_cast<int>((dEnd - dNow) * 1000) + 1);
        }
        int iReady = poll(vecPoll.data(), vecPoll.size(), iWaitMs);
        if (iReady < 0 && errno != EINTR) {
            *pstrError = std::string("poll: ") + strerror(errno);
            return -1;
        }
        if (iReady <= 0) {
            continue;
        }
        // Replies first: a client waiting on one must not wait behind a burst of new requests.
        for (size_t i = 1; i < vecPoll.size(); ++i) {
            if ((vecPoll[i].revents & POLLIN) == 0) {
                continue;
            }
            Impl::Client* pc = nullptr;
            for (Impl::Client& c : im.vecClients) {
                pc = c.iFd == vecPoll[i].fd ? &c : pc;
            }
            ssize_t n = pc == nullptr ? -1 : recv(pc->iFd, im.vecBuf.data(), im.vecBuf.size(), MSG_DONTWAIT);
            if (n < 0) {
                continue;
            }
            Seen stSeen;
            stSeen.bRequest = false;
            stSeen.dWallSeconds = Now();
            stSeen.strClient = pc->strName;
            stSeen.strBytes.assign(im.vecBuf.data(), static_cast<size_t>(n));
            if (!pc->dqAsked.empty()) {
                stSeen.dMillis = (stSeen.dWallSeconds - pc->dqAsked.front()) * 1000;
                pc->dqAsked.pop_front();
            }
            pc->dLast = stSeen.dWallSeconds;
            (void)sendto(im.iFront, im.vecBuf.data(), static_cast<size_t>(n), 0,
                         reinterpret_cast<const sockaddr*>(&pc->stAddr), pc->uAddrLen);
            if (fnSeen) {
                fnSeen(stSeen);
            }
        }
        if ((vecPoll[0].revents & POLLIN) == 0) {
            continue;
        }
        sockaddr_un stFrom{};
        socklen_t uFromLen = sizeof(stFrom);
        ssize_t n = recvfrom(im.iFront, im.vecBuf.data(), im.vecBuf.size(), MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&stFrom), &uFromLen);
        if (n < 0) {
            continue;
        }
        Impl::Client* pc = im.ClientFor(stFrom, uFromLen, pstrError);
        if (pc == nullptr) {
            return -1;
        }
        Seen stSeen;
        stSeen.dWallSeconds = Now();
        stSeen.strClient = pc->strName;
        stSeen.strBytes.assign(im.vecBuf.data(), static_cast<size_t>(n));
        pc->dqAsked.push_back(stSeen.dWallSeconds);
        pc->dLast = stSeen.dWallSeconds;
        const sockaddr_un& stTo = im.bRestored ? stService : stAside;
        (void)sendto(pc->iFd, im.vecBuf.data(), static_cast<size_t>(n), 0, reinterpret_cast<const sockaddr*>(&stTo),
                     sizeof(stTo));
        if (fnSeen) {
            fnSeen(stSeen);
        }
    }
    return 0;
}

void Tap::Close()
{
    if (m_pImpl == nullptr) {
        return;
    }
    Impl& im = *m_pImpl;
    im.Restore();
    close(im.iFront);
    while (!im.vecClients.empty()) {
        im.Drop(im.vecClients.size() - 1);
    }
    m_pImpl.reset();
}

bool Tap::Untap(const std::string& strPath, std::string* pstrError)
{
    std::string strAside = AsidePath(strPath);
    struct stat stInfo {};
    if (lstat(strAside.c_str(), &stInfo) != 0) {
        *pstrError = strPath + " is not tapped (no " + strAside + ")";
        return false;
    }
    if (rename(strAside.c_str(), strPath.c_str()) != 0) {
        *pstrError = "cannot move " + strAside + " back: " + strerror(errno);
        return false;
    }
    RemoveUpstreamNames(strPath);
    return true;
}

} // namespace kxprobe
