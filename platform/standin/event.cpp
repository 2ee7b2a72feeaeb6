// Event loop stand-in: poll over the armed events of a descriptor-indexed table.
#include "kxplatform.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace {

// The contract's records come first, so the pointers the library and hosts hold are these.
struct KxEvent {
    tagABS_EVENT_S stPub;
    struct KxEventBase* pstBase;
    int bArmed;            // 1 after AbsEvAdd
    unsigned int uiSerial; // tells a new event in a reused slot from the old one
};

struct KxEventBase {
    tagABS_EVENT_BASE_S stPub;
    int aiWake[2]; // wakes a blocked run for AbsEvBaseStop
    int bStop;     // written through atomic builtins
    unsigned int uiSerial;
};

KxEvent* Ev(tagABS_EVENT_S* pstEvent)
{
    return reinterpret_cast<KxEvent*>(pstEvent);
}

KxEventBase* Base(tagABS_EVENT_BASE_S* pstBase)
{
    return reinterpret_cast<KxEventBase*>(pstBase);
}

} // namespace

extern "C" tagABS_EVENT_BASE_S* AbsEvBaseNew(unsigned int uiSize)
{
    if (uiSize == 0) {
        errno = EINVAL;
        return nullptr;
    }
    auto* b = static_cast<KxEventBase*>(calloc(1, sizeof(KxEventBase)));
    if (b == nullptr) {
        return nullptr;
    }
    b->stPub.ppstEvents = static_cast<tagABS_EVENT_S**>(calloc(uiSize, sizeof(tagABS_EVENT_S*)));
    if (b->stPub.ppstEvents == nullptr || pipe2(b->aiWake, O_CLOEXEC | O_NONBLOCK) != 0) {
        free(b->stPub.ppstEvents);
        free(b);
        return nullptr;
    }
    b->stPub.uiSize = uiSize;
    return &b->stPub;
}

extern "C" void AbsEvBaseFree(tagABS_EVENT_BASE_S* pstBase)
{
    if (pstBase == nullptr) {
        return;
    }
    for (unsigned int i = 0; i < pstBase->uiSize; ++i) {
        free(Ev(pstBase->ppstEvents[i]));
    }
    free(pstBase->ppstEvents);
    close(Base(pstBase)->aiWake[0]);
    close(Base(pstBase)->aiWake[1]);
    free(Base(pstBase));
}

extern "C" tagABS_EVENT_S* AbsEvNew(tagABS_EVENT_BASE_S* pstBase, int iFd, unsigned int uiEvents, void* pArg,
                                    PFN_ABS_EVENT_CB pfnCallback)
{
    if (pstBase == nullptr || pfnCallback == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    if (iFd < 0 || static_cast<unsigned int>(iFd) >= pstBase->uiSize) {
        errno = EBADF;
        return nullptr;
    }
    if (pstBase->ppstEvents[iFd] != nullptr) {
        errno = EEXIST;
        return nullptr;
    }
    auto* e = static_cast<KxEvent*>(calloc(1, sizeof(KxEvent)));
    if (e == nullptr) {
        return nullptr;
    }
    e->stPub.iFd = iFd;
    e->stPub.uiEvents = uiEvents;
    e->stPub.pArg = pArg;
    e->stPub.pfnCallback = pfnCallback;
    e->pstBase = Base(pstBase);
    e->uiSerial = ++Base(pstBase)->uiSerial;
    pstBase->ppstEvents[iFd] = &e->stPub;
    return &e->stPub;
}

extern "C" int AbsEvAdd(tagABS_EVENT_S* pstEvent, int iFlags)
{
    (void)iFlags;
    if (pstEvent == nullptr) {
        errno = EINVAL;
        return -1;
    }
    Ev(pstEvent)->bArmed = 1;
    return 0;
}

extern "C" void AbsEvDel(tagABS_EVENT_S* pstEvent)
{
    if (pstEvent == nullptr) {
        return;
    }
    tagABS_EVENT_BASE_S* b = &Ev(pstEvent)->pstBase->stPub;
    if (static_cast<unsigned int>(pstEvent->iFd) < b->uiSize && b->ppstEvents[pstEvent->iFd] == pstEvent) {
        b->ppstEvents[pstEvent->iFd] = nullptr;
    }
    free(Ev(pstEvent));
}

extern "C" int AbsEvBaseRunOnce(tagABS_EVENT_BASE_S* pstBase, int iTimeoutMs)
{
    if (pstBase == nullptr) {
        errno = EINVAL;
        return -1;
    }
    struct Armed {
        int iFd;
        unsigned int uiSerial;
    };
    std::vector<pollfd> fds;
    std::vector<Armed> armed;
    fds.push_back({Base(pstBase)->aiWake[0], POLLIN, 0});
    for (unsigned int i = 0; i < pstBase->uiSize; ++i) {
        KxEvent* e = Ev(pstBase->ppstEvents[i]);
        if (e == nullptr || e->bArmed == 0) {
            continue;
        }
        short want = static_cast<short>(((e->stPub.uiEvents & ABS_EV_READ) != 0 ? POLLIN : 0) |
                                        ((e->stPub.uiEvents & ABS_EV_WRITE) != 0 ? POLLOUT : 0));
        fds.push_back({e->stPub.iFd, want, 0});
        armed.push_back({e->stPub.iFd, e->uiSerial});
    }
    int n = poll(fds.data(), fds.size(), iTimeoutMs);
    if (n < 0) {
        return errno == EINTR ? 0 : -1;
    }
    if (fds[0].revents != 0) {
        char drain[64];
        while (read(Base(pstBase)->aiWake[0], drain, sizeof(drain)) > 0) {
        }
    }
    int ran = 0;
    for (size_t i = 0; i < armed.size(); ++i) {
        short rev = fds[i + 1].revents;
        if (rev == 0) {
            continue;
        }
        // A callback that ran before may have deleted this event or put a new one in its slot.
        KxEvent* e = Ev(pstBase->ppstEvents[armed[i].iFd]);
        if (e == nullptr || e->uiSerial != armed[i].uiSerial || e->bArmed == 0) {
            continue;
        }
        unsigned int mask = ((rev & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0 ? ABS_EV_READ : 0u) |
                            ((rev & POLLOUT) != 0 ? ABS_EV_WRITE : 0u);
        e->stPub.pfnCallback(e->stPub.iFd, mask & (e->stPub.uiEvents | ABS_EV_READ), &e->stPub);
        ++ran;
    }
    return ran;
}

extern "C" int AbsEvBaseRun(tagABS_EVENT_BASE_S* pstBase)
{
    if (pstBase == nullptr) {
        errno = EINVAL;
        return -1;
    }
    while (__atomic_exchange_n(&Base(pstBase)->bStop, 0, __ATOMIC_ACQ_REL) == 0) {
        if (AbsEvBaseRunOnce(pstBase, -1) < 0) {
            return -1;
        }
    }
    return 0;
}

extern "C" void AbsEvBaseStop(tagABS_EVENT_BASE_S* pstBase)
{
    if (pstBase == nullptr) {
        return;
    }
    __atomic_store_n(&Base(pstBase)->bStop, 1, __ATOMIC_RELEASE);
    char c = 1;
    (void)!write(Base(pstBase)->aiWake[1], &c, 1);
}
