/*
 * Dev-host stand-in for the platform's event loop: poll-based, one base per loop thread, events
 * kept in a table indexed by descriptor.
 */
#ifndef KXPLATFORM_ABS_EVENT_H
#define KXPLATFORM_ABS_EVENT_H

extern "C" {

#define ABS_EV_READ 2u  /* descriptor readable (also set on hang-up and error) */
#define ABS_EV_WRITE 4u /* descriptor writable */

struct tagABS_EVENT_S;
struct tagABS_EVENT_BASE_S;
typedef void (*PFN_ABS_EVENT_CB)(int iFd, unsigned int uiEvents, struct tagABS_EVENT_S* pstEvent);

struct tagABS_EVENT_S {
    int iFd;                  /* the watched descriptor */
    unsigned int uiEvents;    /* the watched mask (ABS_EV_*) */
    void* pArg;               /* the creator's argument */
    PFN_ABS_EVENT_CB pfnCallback;
    struct tagABS_EVENT_BASE_S* pstBase;
    int bArmed;               /* 1 after AbsEvAdd */
    unsigned int uiSerial;    /* tells a new event in a reused slot from the old one */
};

struct tagABS_EVENT_BASE_S {
    struct tagABS_EVENT_S** ppstEvents; /* uiSize slots, indexed by descriptor */
    unsigned int uiSize;
    int aiWake[2];          /* wakes a blocked run for AbsEvBaseStop */
    volatile int bStop;     /* written through atomic builtins */
    unsigned int uiSerial;
};

/* A base for descriptors 0 to uiSize - 1, or null. Released with AbsEvBaseFree, which also
 * releases every event still in its table (their descriptors stay open). */
struct tagABS_EVENT_BASE_S* AbsEvBaseNew(unsigned int uiSize);
void AbsEvBaseFree(struct tagABS_EVENT_BASE_S* pstBase);

/* A new event in iFd's slot of the table (not yet armed), or null: null base or callback, iFd
 * outside the table (EBADF), slot taken (EEXIST), no memory. The event belongs to the base's
 * table until AbsEvDel. */
struct tagABS_EVENT_S* AbsEvNew(struct tagABS_EVENT_BASE_S* pstBase, int iFd, unsigned int uiEvents, void* pArg,
                                PFN_ABS_EVENT_CB pfnCallback);
/* Arms the event; iFlags is reserved (0). 0, or -1 for a null event. */
int AbsEvAdd(struct tagABS_EVENT_S* pstEvent, int iFlags);
/* Disarms the event, empties its slot and frees it; null is accepted. Callbacks may call it for
 * any event, their own included. */
void AbsEvDel(struct tagABS_EVENT_S* pstEvent);

/* One poll over the armed events, waiting at most iTimeoutMs (-1 without limit), then their
 * callbacks with the mask that fired. Number of callbacks run, or -1 with errno. */
int AbsEvBaseRunOnce(struct tagABS_EVENT_BASE_S* pstBase, int iTimeoutMs);
/* Runs until AbsEvBaseStop; 0, or -1 with errno. Everything but AbsEvBaseStop belongs to the
 * thread that runs the base. */
int AbsEvBaseRun(struct tagABS_EVENT_BASE_S* pstBase);
/* Makes a running (or the next) AbsEvBaseRun return; callable from any thread. */
void AbsEvBaseStop(struct tagABS_EVENT_BASE_S* pstBase);
}

#endif
