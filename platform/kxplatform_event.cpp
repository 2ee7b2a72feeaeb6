// Event loop stand-in: poll over the armed events of a descriptor-indexed table.
#include "abs_event.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

extern "C" tagABS_EVENT_BASE_S* AbsEvBaseNew(unsigned int uiSize)
{
    if (uiSize == 0) {
        errno = EINVAL;
        return nullptr;
    }
    auto* b = static_cast<tagABS_EVENT_BASE_S*>(calloc(1, sizeof(tagABS_EVENT_BASE_S)));
    if (b == nullptr) {
        return nullptr;
    }
    b->ppstEvents = static_cast<tagABS_EVENT_S**>(calloc(uiSize, sizeof(tagABS_EVENT_S*)));
    if (b->ppstEvents == nullptr || pipe2(b->aiWake, O_CLOEXEC | O_NONBLOCK) != 0) {
        free(b->ppstEvents);
        free(b);
        return nullptr;
    }
    b->uiSize = uiSize;
    return b;
}

extern "C" void AbsEvBaseFree(tagABS_EVENT_BASE_S* pstBase)
{
    if (pstBase == nullptr) {
        return;
    }
    for (unsigned int i = 0; i < pstBase->uiSize; ++i) {
        free(pstBase->ppstEvents[i]);
    }
    free(pstBase->ppstEvents);
    close(pstBase->aiWake[0]);
    close(pstBase->aiWake[1]);
    free(pstBase);
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
    auto* e = static_cast<tagABS_EVENT_S*>(calloc(1, sizeof(tagABS_EVENT_S)));
    if (e == nullptr) {
        return nullptr;
    }
    e->iFd = iFd;
    e->uiEvents = uiEvents;
    e->pArg = pArg;
    e->pfnCallback = pfnCallback;
    e->pstBase = pstBase;
    e->uiSerial = ++pstBase->uiSerial;
    pstBase->ppstEvents[iFd] = e;
    return e;
}

extern "C" int AbsEvAdd(tagABS_EVENT_S* pstEvent, int iFlags)
{
    (void)iFlags;
    if (pstEvent == nullptr) {
        errno = EINVAL;
        return -1;
    }
    pstEvent->bArmed = 1;
    return 0;
}

extern "C" void AbsEvDel(tagABS_EVENT_S* pstEvent)
{
    if (pstEvent == nullptr) {
        return;
    }
    tagABS_EVENT_BASE_S* b = pstEvent->pstBase;
    if (b != nullptr && static_cast<unsigned int>(pstEvent->iFd) < b->uiSize && b->ppstEvents[pstEvent->iFd] == pstEvent) {
        b->ppstEvents[pstEvent->iFd] = nullptr;
    }
    free(pstEvent);
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
    fds.push_back({pstBase->aiWake[0], POLLIN, 0});
    for (unsigned int i = 0; i < pstBase->uiSize; ++i) {
        tagABS_EVENT_S* e = pstBase->ppstEvents[i];
        if (e == nullptr || e->bArmed == 0) {
            continue;
        }
        short want = static_cast<short>(((e->uiEvents & ABS_EV_READ) != 0 ? POLLIN : 0) |
                                        ((e->uiEvents & ABS_EV_WRITE) != 0 ? POLLOUT : 0));
        fds.push_back({e->iFd, want, 0});
        armed.push_back({e->iFd, e->uiSerial});
    }
    int n = poll(fds.data(), fds.size(), iTimeoutMs);
    if (n < 0) {
        return errno == EINTR ? 0 : -1;
    }
    if (fds[0].revents != 0) {
        char drain[64];
        while (read(pstBase->aiWake[0], drain, sizeof(drain)) > 0) {
        }
    }
    int ran = 0;
    for (size_t i = 0; i < armed.size(); ++i) {
        short rev = fds[i + 1].revents;
        if (rev == 0) {
            continue;
        }
        // A callback that ran before may have deleted this event or put a new one in its slot.
        tagABS_EVENT_S* e = pstBase->ppstEvents[armed[i].iFd];
        if (e == nullptr || e->uiSerial != armed[i].uiSerial || e->bArmed == 0) {
            continue;
        }
        unsigned int mask = ((rev & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0 ? ABS_EV_READ : 0u) |
                            ((rev & POLLOUT) != 0 ? ABS_EV_WRITE : 0u);
        e->pfnCallback(e->iFd, mask & (e->uiEvents | ABS_EV_READ), e);
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
    while (__atomic_exchange_n(&pstBase->bStop, 0, __ATOMIC_ACQ_REL) == 0) {
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
    __atomic_store_n(&pstBase->bStop, 1, __ATOMIC_RELEASE);
    char c = 1;
    (void)!write(pstBase->aiWake[1], &c, 1);
}
