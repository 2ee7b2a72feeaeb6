// Unix datagram endpoints of the dev-host kit.
#include "kxdevhost.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace {
std::mutex g_runDirMutex;
std::string g_strRunDir = ".";
std::atomic<unsigned> g_uRunDirGeneration{0}; // changes with the run directory: addresses made before are stale

// Endpoint state beyond the host record: the name it is bound to.
struct KxEndpoint {
    tagUNIX_SOCKET_S stSock; // first: the record pointer is the endpoint pointer
    std::string strBound;
    bool bFixedName = false; // bound by its creator: keeps that name whatever a send names
    // The address of the last destination, so that a run of sends to one service (the usual case)
    // does not build its path each time. An empty name: nothing kept.
    char szToName[sizeof(tagUNIX_SOCKET_S::szDstName) + 1] = {0};
    unsigned uToGeneration = 0;
    sockaddr_un stTo{};
};

bool MakeAddr(const char* pszName, sockaddr_un* pstAddr)
{
    std::string strPath = KxUnixPathOf(pszName);
    memset(pstAddr, 0, sizeof(*pstAddr));
    pstAddr->sun_family = AF_UNIX;
    if (strPath.size() >= sizeof(pstAddr->sun_path)) {
        return false;
    }
    memcpy(pstAddr->sun_path, strPath.c_str(), strPath.size() + 1);
    return true;
}

int BindName(int iFd, const char* pszName)
{
    sockaddr_un stAddr;
    if (!MakeAddr(pszName, &stAddr)) {
        return -1;
    }
    (void)unlink(stAddr.sun_path);
    return bind(iFd, reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr));
}

// A service takes datagrams from a short queue (ten by default). A send waits up to a second for
// room there, so a burst of requests to a busy service is delayed, not refused; a service that
// stopped reading still fails the send in bounded time.
int NewSocket()
{
    int iFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    timeval stWait{1, 0};
    if (iFd >= 0) {
        (void)setsockopt(iFd, SOL_SOCKET, SO_SNDTIMEO, &stWait, sizeof(stWait));
    }
    return iFd;
}

// Binds the endpoint to pszName, on a fresh socket dup'ed onto the old descriptor if it was bound.
int EnsureBound(KxEndpoint* pstEp, const char* pszName)
{
    if (pstEp->strBound == pszName) {
        return 0;
    }
    int iFd = pstEp->stSock.iFd;
    if (!pstEp->strBound.empty()) {
        int iNew = NewSocket();
        if (iNew < 0) {
            return -1;
        }
        (void)unlink(KxUnixPathOf(pstEp->strBound.c_str()).c_str());
        int iRet = dup2(iNew, iFd);
        close(iNew);
        if (iRet < 0) {
            return -1;
        }
    }
    if (BindName(iFd, pszName) != 0) {
        return -1;
    }
    pstEp->strBound = pszName;
    return 0;
}
} // namespace

int KxUnixSetRunDir(const char* pszDir)
{
    std::string strDir;
    if (pszDir != nullptr && *pszDir != '\0') {
        strDir = pszDir;
    } else {
        const char* pszEnv = getenv("KXPLATFORM_RUN_DIR");
        strDir = pszEnv != nullptr && *pszEnv != '\0' ? pszEnv : ".";
    }
    if (strDir.size() + 16 >= sizeof(static_cast<sockaddr_un*>(nullptr)->sun_path)) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(g_runDirMutex);
    g_strRunDir = strDir;
    g_uRunDirGeneration.fetch_add(1);
    return 0;
}

std::string KxUnixPathOf(const char* pszName)
{
    std::string strFlat = pszName != nullptr ? pszName : "";
    while (!strFlat.empty() && strFlat[0] == '/') {
        strFlat.erase(0, 1);
    }
    for (char& c : strFlat) {
        if (c == '/') {
            c = '_';
        }
    }
    std::lock_guard<std::mutex> lock(g_runDirMutex);
    return g_strRunDir + "/" + strFlat;
}

tagUNIX_SOCKET_S* KxUnixEndpointCreate(const char* pszBindName)
{
    KxEndpoint* pstEp = new KxEndpoint();
    memset(&pstEp->stSock, 0, sizeof(pstEp->stSock));
    pstEp->stSock.iFd = NewSocket();
    pstEp->stSock.pfnSendMsg = KxUnixSendMsg;
    pstEp->stSock.pfnRecvMsg = KxUnixRecvMsg;
    if (pstEp->stSock.iFd < 0 || (pszBindName != nullptr && EnsureBound(pstEp, pszBindName) != 0)) {
        KxUnixEndpointDestroy(&pstEp->stSock);
        return nullptr;
    }
    pstEp->bFixedName = pszBindName != nullptr;
    return &pstEp->stSock;
}

void KxUnixEndpointDestroy(tagUNIX_SOCKET_S* pstSock)
{
    if (pstSock == nullptr) {
        return;
    }
    KxEndpoint* pstEp = reinterpret_cast<KxEndpoint*>(pstSock);
    if (pstSock->iFd >= 0) {
        close(pstSock->iFd);
    }
    if (!pstEp->strBound.empty()) {
        (void)unlink(KxUnixPathOf(pstEp->strBound.c_str()).c_str());
    }
    delete pstEp;
}

namespace {
int SendOne(tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstMsg)
{
    char szSrc[sizeof(pstSock->szSrcName) + 1] = {0};
    char szDst[sizeof(pstSock->szDstName) + 1] = {0};
    memcpy(szSrc, pstSock->szSrcName, sizeof(pstSock->szSrcName));
    memcpy(szDst, pstSock->szDstName, sizeof(pstSock->szDstName));
    KxEndpoint* pstEp = reinterpret_cast<KxEndpoint*>(pstSock);
    if (!pstEp->bFixedName && szSrc[0] != '\0' && EnsureBound(pstEp, szSrc) != 0) {
        return -1;
    }
    unsigned uGeneration = g_uRunDirGeneration.load();
    if (pstEp->szToName[0] == '\0' || strcmp(pstEp->szToName, szDst) != 0 || pstEp->uToGeneration != uGeneration) {
        pstEp->szToName[0] = '\0';
        if (!MakeAddr(szDst, &pstEp->stTo)) {
            return -1;
        }
        memcpy(pstEp->szToName, szDst, sizeof(szDst));
        pstEp->uToGeneration = uGeneration;
    }
    ssize_t n = sendto(pstSock->iFd, pstMsg, sizeof(*pstMsg), 0, reinterpret_cast<sockaddr*>(&pstEp->stTo),
                       sizeof(pstEp->stTo));
    return n == static_cast<ssize_t>(sizeof(*pstMsg)) ? 0 : -1;
}
} // namespace

// A host's endpoint operation is a C function: running out of memory for a path is a failed send,
// never an exception thrown into the caller.
int KxUnixSendMsg(tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstMsg)
{
    if (pstSock == nullptr || pstMsg == nullptr) {
        return -1;
    }
    try {
        return SendOne(pstSock, pstMsg);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return -1;
    }
}

int KxUnixRecvMsg(tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstMsg)
{
    if (pstSock == nullptr || pstMsg == nullptr) {
        return -1;
    }
    // The real length of a longer datagram (MSG_TRUNC): it is no whole message either, not its first part.
    ssize_t n = recv(pstSock->iFd, pstMsg, sizeof(*pstMsg), MSG_DONTWAIT | MSG_TRUNC);
    return n == static_cast<ssize_t>(sizeof(*pstMsg)) ? 0 : -1;
}
