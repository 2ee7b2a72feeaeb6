/*
 * Platform contract: the event loop, as far as libkxapicommon and its hosts use it. The records
 * hold exactly the fields the library reads; a platform may keep more state behind them.
 */
#ifndef ABS_EVENT_H
#define ABS_EVENT_H

#ifdef __cplusplus
extern "C" {
#endif

#define ABS_EV_READ 2u  /* descriptor readable (also set on hang-up and error) */
#define ABS_EV_WRITE 4u /* descriptor writable */

struct tagABS_EVENT_S;
struct tagABS_EVENT_BASE_S;
typedef void (*PFN_ABS_EVENT_CB)(int iFd, unsigned int uiEvents, struct tagABS_EVENT_S* pstEvent);

struct tagABS_EVENT_S {
    int iFd;               /* the watched descriptor */
    unsigned int uiEvents; /* the watched mask (ABS_EV_*) */
    void* pArg;            /* the creator's argument */
    PFN_ABS_EVENT_CB pfnCallback;
};

struct tagABS_EVENT_BASE_S {
    struct tagABS_EVENT_S** ppstEvents; /* uiSize slots, indexed by descriptor */
    unsigned int uiSize;
};

/* A new event in iFd's slot of the table (not yet armed), or null. It belongs to the base's table
 * until AbsEvDel. */
struct tagABS_EVENT_S* AbsEvNew(struct tagABS_EVENT_BASE_S* pstBase, int iFd, unsigned int uiEvents, void* pArg,
                                PFN_ABS_EVENT_CB pfnCallback);
/* Arms the event; iFlags is reserved (0). */
int AbsEvAdd(struct tagABS_EVENT_S* pstEvent, int iFlags);
/* Disarms the event, empties its slot and releases it; callbacks may call it for any event,
 * their own included. */
void AbsEvDel(struct tagABS_EVENT_S* pstEvent);

#ifdef __cplusplus
}
#endif

#endif
