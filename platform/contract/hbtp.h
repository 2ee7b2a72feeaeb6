/*
 * Platform contract: the HBTP message library, as far as libkxapicommon and its hosts use it.
 */
#ifndef HBTP_H
#define HBTP_H

#ifdef __cplusplus
extern "C" {
#endif

/* The message header; integers in host byte order. */
typedef struct hbtp_header {
    unsigned char ucVersion;
    unsigned char ucFlags;
    unsigned char ucReserved; /* cleared to 0 by senders */
    unsigned char ucType;     /* low 7 bits: message type; the top bit is a flag senders keep */
    unsigned short usUrl;     /* URL number */
    unsigned short usCode;    /* response code, 200 success */
} hbtp_header;

/* Opaque apart from its first member. Owned by its creator until hbtp_message_put. */
typedef struct hbtp_message {
    hbtp_header* pstHeader;
} hbtp_message;

/* A new empty message, or null; iFlags must be 0. */
hbtp_message* hbtp_message_new(int iFlags);
/* Releases the message and all it holds; null is accepted. */
int hbtp_message_put(hbtp_message* pstMsg);
/* Sets extension header usTag to a copy of usLen bytes. 0 on success. */
int hbtp_header_set(hbtp_message* pstMsg, unsigned short usTag, const void* pValue, unsigned short usLen);
/* The value of extension header usTag: 0 with *ppValue and *pusLen set (the value belongs to the
 * message and stays valid while it lives). */
int hbtp_header_get(hbtp_message* pstMsg, unsigned short usTag, void** ppValue, unsigned short* pusLen);
/* Attaches a copy of uiLen bytes as the body. 0 on success. */
int hbtp_content_add(hbtp_message* pstMsg, const void* pData, unsigned int uiLen);
/* The body: 0 with *ppData (owned by the message) and *puiLen. */
int hbtp_content(hbtp_message* pstMsg, void** ppData, unsigned int* puiLen);
/* Writes the whole message. -1 on failure with errno set; any other result is success. */
int hbtp_message_sendfd(hbtp_message* pstMsg, int iFd);
/* Blocks until one whole message has been read into pstMsg. -1 on failure with errno set. */
int hbtp_message_recvfd(hbtp_message* pstMsg, int iFd);

#ifdef __cplusplus
}
#endif

#endif
