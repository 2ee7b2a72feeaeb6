/*
 * libkxapicommon - common support library of the camera's REST access server.
 *
 * The one public header: every exported function, record, enumeration, constant and global.
 * The host records below are shared with the access server, which is built separately: their
 * listed fields must sit at the offsets the camera ABI (32-bit ARM EABI) gives them, and the
 * static_asserts at the end of each record prove it whenever this header is compiled for ILP32.
 * Bytes between listed fields belong to the host; the library neither reads nor writes them.
 *
 * Heap blocks that cross between library and host come from malloc and go back with free; each
 * function that hands one over says who releases it.
 */
#ifndef KXAPICOMMON_H
#define KXAPICOMMON_H

#include <cstddef>
#include <map>
#include <string>

#if defined(KXAPI_BUILDING_LIBRARY)
#define KXAPI_EXPORT __attribute__((visibility("default")))
#else
#define KXAPI_EXPORT
#endif

#if defined(__ILP32__) || (defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4)
#define KXAPI_TARGET_ABI 1 /* the camera's layout: every offset below is checked */
#else
#define KXAPI_TARGET_ABI 0
#endif

#if KXAPI_TARGET_ABI
/* Records holding the query map are not standard-layout; GCC still gives their offsets, and the
 * offsets of the listed fields are exactly what the host relies on. */
#define KXAPI_ASSERT_OFFSET(type, field, off)                                                      \
    _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Winvalid-offsetof\"")       \
        static_assert(offsetof(type, field) == (off), #type "." #field " must sit at " #off);      \
    _Pragma("GCC diagnostic pop") static_assert(true, "")
#define KXAPI_ASSERT_SIZE(type, size) static_assert(sizeof(type) == (size), #type " must be " #size " bytes")
#else
#define KXAPI_ASSERT_OFFSET(type, field, off) static_assert(true, "")
#define KXAPI_ASSERT_SIZE(type, size) static_assert(true, "")
#endif

struct json_object;          /* json-c node, the facade's JSON value */
struct hbtp_message;         /* platform HBTP message */
struct tagABS_EVENT_S;       /* platform event-loop event */
struct tagABS_EVENT_BASE_S;  /* platform event-loop base */

/* Passed and stored as signed 32-bit integers; any int value may be carried. */
enum VW_MSG_TYPE : int {
    VW_MSG_TYPE_GET_REQ = 0,
    VW_MSG_TYPE_SET_REQ = 1,
    VW_MSG_TYPE_GET_RSP = 2,
    VW_MSG_TYPE_SET_RSP = 3,
};

/* Inner commands are defined by the host's URI tables and the services. */
enum VW_CMD_TYPE : int {
    VW_CMD_SET_LONG_7013 = 7013,
    VW_CMD_SET_LONG_7020 = 7020,
    VW_CMD_SET_LONG_7038 = 7038,
    VW_CMD_SET_LONG_7039 = 7039,
    VW_CMD_SET_LONG_22026 = 22026,
    INNER_CMD_INVALID = 31405, /* no inner command for the URL */
};

/* Status codes of the status table; the library produces these itself and passes services'
 * own results on unchanged. */
enum VW_RESULT_TYPE : int {
    VW_RESULT_FAILURE = -1,
    VW_RESULT_OK = 0,
    VW_RESULT_COMMON_ERROR = 1,
    VW_RESULT_UNSUPPORTED_REQUEST = 3,
    VW_RESULT_INCORRECT_PARAMETER = 4,
    VW_RESULT_NO_RESOURCE = 18,
};

#define VW_CMD_BODY_LEN_TARGET 21208
#define VW_MSG_DATA_LEN_TARGET 21408

/* Opaque command body the host and the service agree on. */
struct vwCmdBody {
    unsigned char aucData[VW_CMD_BODY_LEN_TARGET];
};
#define VW_CMD_BODY_LEN (sizeof(vwCmdBody))

/* The command message, little-endian, as it travels on the Unix datagram sockets. */
struct MSG_DATA {
    unsigned char aucLead[16];     /* never written by the library: zero in what it builds */
    char szClientUserName[144];    /* never filled by the library */
    VW_MSG_TYPE enMsgType;
    VW_CMD_TYPE enCmdType;
    unsigned long long ullMsgNum;  /* 1 in every message the library sends */
    VW_RESULT_TYPE enResult;       /* a reply's result; 0 in requests */
    void* pUserData;               /* sequence cookie of an asynchronous request */
    unsigned long long ullDataLen; /* valid bytes in aucData: 21208 or 0 */
    unsigned long long ullExtParam;
    unsigned char aucData[VW_CMD_BODY_LEN_TARGET];
};
#define VW_MSG_DATA_LEN (sizeof(MSG_DATA))
static_assert(sizeof(vwCmdBody) == VW_CMD_BODY_LEN_TARGET, "vwCmdBody is 21208 bytes on every ABI");
KXAPI_ASSERT_SIZE(MSG_DATA, 21408);
KXAPI_ASSERT_OFFSET(MSG_DATA, szClientUserName, 16);
KXAPI_ASSERT_OFFSET(MSG_DATA, enMsgType, 160);
KXAPI_ASSERT_OFFSET(MSG_DATA, enCmdType, 164);
KXAPI_ASSERT_OFFSET(MSG_DATA, ullMsgNum, 168);
KXAPI_ASSERT_OFFSET(MSG_DATA, enResult, 176);
KXAPI_ASSERT_OFFSET(MSG_DATA, pUserData, 180);
KXAPI_ASSERT_OFFSET(MSG_DATA, ullDataLen, 184);
KXAPI_ASSERT_OFFSET(MSG_DATA, ullExtParam, 192);
KXAPI_ASSERT_OFFSET(MSG_DATA, aucData, 200);

#define KXAPI_URI_ID_MAX 8

/* One numeric ID taken from the URL path; bytes 0 to 1023 belong to the host. */
struct tagHEADER_URI_ID_ENTRY_S {
    char szReserved[1024];
    long long llValue;
};

struct tagHEADER_URI_ID_INFO_S {
    unsigned int uiIDCount;
    tagHEADER_URI_ID_ENTRY_S astId[KXAPI_URI_ID_MAX]; /* ID n is astId[n - 1] */
};
KXAPI_ASSERT_OFFSET(tagHEADER_URI_ID_INFO_S, astId, 8);
KXAPI_ASSERT_SIZE(tagHEADER_URI_ID_INFO_S, 8 + 1032 * KXAPI_URI_ID_MAX);
/* the value of ID n lies at 1032 x n */
KXAPI_ASSERT_OFFSET(tagHEADER_URI_ID_INFO_S, astId[0].llValue, 1032 * 1);
KXAPI_ASSERT_OFFSET(tagHEADER_URI_ID_INFO_S, astId[7].llValue, 1032 * 8);

/* The parsed request header, one per request being served. */
struct tagHTTP_HEADER_S {
    char szMethod[12];
    char szUrl[3076];
    tagHEADER_URI_ID_INFO_S stUriIdInfo;
    char szQuery[1152];
    std::map<std::string, std::string> mapQueryParam; /* decoded key -> decoded value */
};
KXAPI_ASSERT_OFFSET(tagHTTP_HEADER_S, szMethod, 0);
KXAPI_ASSERT_OFFSET(tagHTTP_HEADER_S, szUrl, 12);
KXAPI_ASSERT_OFFSET(tagHTTP_HEADER_S, stUriIdInfo, 3088);
KXAPI_ASSERT_OFFSET(tagHTTP_HEADER_S, szQuery, 11352);
KXAPI_ASSERT_OFFSET(tagHTTP_HEADER_S, mapQueryParam, 12504);

struct tagUNIX_SOCKET_S;
typedef int (*PFN_UNIX_MSG)(tagUNIX_SOCKET_S* pstSock, MSG_DATA* pstMsg);

/* An endpoint to the internal services, set up by the host. */
struct tagUNIX_SOCKET_S {
    int iFd;               /* below 1024 */
    char szSrcName[8];     /* local name of the current send */
    char szDstName[8];     /* service name of the current send */
    unsigned char aucHost1[64];
    PFN_UNIX_MSG pfnSendMsg; /* 0 means the whole message was sent */
    PFN_UNIX_MSG pfnRecvMsg; /* 0 means one whole message was received */
};
KXAPI_ASSERT_OFFSET(tagUNIX_SOCKET_S, iFd, 0);
KXAPI_ASSERT_OFFSET(tagUNIX_SOCKET_S, szSrcName, 4);
KXAPI_ASSERT_OFFSET(tagUNIX_SOCKET_S, szDstName, 12);
KXAPI_ASSERT_OFFSET(tagUNIX_SOCKET_S, pfnSendMsg, 84);
KXAPI_ASSERT_OFFSET(tagUNIX_SOCKET_S, pfnRecvMsg, 88);

/* The host's server context; the library reads only the event base pointer. */
struct tagHTTP_SERVER_S {
    unsigned char aucHost1[44];
    tagABS_EVENT_BASE_S* pstEventBase;
};
KXAPI_ASSERT_OFFSET(tagHTTP_SERVER_S, pstEventBase, 44);

/* The client connection record, one per HTTP connection. */
struct tagHTTP_CLIENT_S {
    int iClientFd;
    unsigned char aucHost1[2188];
    tagHTTP_SERVER_S* pstServerCtx;
    unsigned char aucHost2[60];
    tagUNIX_SOCKET_S* pstUnixSock;     /* synchronous exchanges */
    tagUNIX_SOCKET_S* pstUnixAsynSock; /* asynchronous sends */
    unsigned char aucHost3[680];
    int iReqState;    /* 7 while an asynchronous HBTP reply is outstanding, 8 once it arrived */
    int bAsynPending; /* 1 once an asynchronous request went out */
    void* pRecvMsg;   /* the reply slot: a malloc'ed MSG_DATA, or an hbtp_message */
    int iHbtpFd;      /* registered HBTP channel, 0 for none */
    unsigned char aucHost4[1416];
    tagHTTP_HEADER_S stReqHeader;
};
KXAPI_ASSERT_OFFSET(tagHTTP_CLIENT_S, iClientFd, 0);
KXAPI_ASSERT_OFFSET(tagHTTP_CLIENT_S, pstServerCtx, 2192);
KXAPI_ASSERT_OFFSET(tagHTTP_CLIENT_S, pstUnixSock, 2256);
KXAPI_ASSERT_OFFSET(tagHTTP_CLIENT_S, pstUnixAsynSock, 2260);
KXAPI_ASSERT_OFFSET(tagHTTP_CLIENT_S, iReqState, 2944);
KXAPI_ASSERT_OFFSET(tagHTTP_CLIENT_S, bAsynPending, 2948);
KXAPI_ASSERT_OFFSET(tagHTTP_CLIENT_S, pRecvMsg, 2952);
KXAPI_ASSERT_OFFSET(tagHTTP_CLIENT_S, iHbtpFd, 2956);
KXAPI_ASSERT_OFFSET(tagHTTP_CLIENT_S, stReqHeader, 4376);

/* The content record of a request. */
struct tagHTTP_CNTENT_INTER_S {
    void* pPreData;   /* data fetched before a change (21208 bytes and a NUL); the host frees it */
    unsigned char aucHost1[4];
    char* pRspBody;   /* pending body, sent and freed by FormatCommonResponse<char*> */
};
KXAPI_ASSERT_OFFSET(tagHTTP_CNTENT_INTER_S, pPreData, 0);
KXAPI_ASSERT_OFFSET(tagHTTP_CNTENT_INTER_S, pRspBody, 8);

struct tagHTTP_BUF_S;
typedef int (*PFN_COPY2BUF)(tagHTTP_BUF_S* pstBuf, const char* pData, unsigned int uiLen);

/* The response buffer record; Copy2Buf appends to the response, -1 means failure. */
struct tagHTTP_BUF_S {
    unsigned char aucHost1[20];
    PFN_COPY2BUF Copy2Buf;
};
KXAPI_ASSERT_OFFSET(tagHTTP_BUF_S, Copy2Buf, 20);

/* Only passed through by pointer. */
struct tagHTTP_ARRAY_S;

/* Command messages to the internal services over the host's Unix datagram endpoints. The
 * library opens no socket: it uses the endpoint's iFd, overwrites its szSrcName/szDstName on every
 * send (the host's pfnSendMsg addresses the datagram from them) and calls its operations. Names
 * are at most 7 characters. One exchange at a time per endpoint: every send that expects or
 * correlates a reply first discards whatever is queued on iFd, so callers serialise each endpoint.
 * The synchronous path allocates nothing on the heap. */

/* Builds one message (zero-filled, ullMsgNum 1, ullDataLen 21208 with a body else 0, ullExtParam
 * as given, pUserData 0) and hands it to pfnSendMsg, retrying once at once on failure.
 * pstBody may be null; otherwise 21208 bytes are read from it. No reply is awaited.
 * 0 sent; -1 for a null endpoint, a null pfnSendMsg, a null or over-long name (all refused before
 * the names are overwritten) or two failed attempts. */
KXAPI_EXPORT long long RestSendUnixMsg(tagUNIX_SOCKET_S* pstSock, const char* pszDst, const char* pszSrc,
                                       VW_MSG_TYPE enMsgType, VW_CMD_TYPE enCmd, const vwCmdBody* pstBody,
                                       unsigned long long ullExtParam);

/* Drains the endpoint, sends the request from "/tmp/re" to pszDst and waits once for its reply
 * into the caller's buffer pstRspMsg (not cleared first). The wait is 30 s for a GET; 60, 120,
 * 180 or 360 s for the SET commands 22026, 7020, 7038/7039 and 7013; 15 s for any other request.
 * A GET expects a reply of type 2, every other request type 3, and the reply's command must equal
 * enCmd.
 * 0: a matching reply is in pstRspMsg; its enResult (the service's result) is the caller's to read.
 * -1: null argument; failed send; no reply (select error or time-out, a descriptor outside 0 to
 *     1023, a null or failing pfnRecvMsg), in which case pstRspMsg->enResult is set to -1.
 * A mismatched reply (wrong type or command) stays in pstRspMsg and is answered with its own
 * nonzero enResult, or -1 when that is 0, so it never reads as success. */
KXAPI_EXPORT long long RestSendSynUnixMsg(const char* pszDst, VW_MSG_TYPE enMsgType, VW_CMD_TYPE enCmd,
                                          const vwCmdBody* pstBody, tagUNIX_SOCKET_S* pstSock,
                                          MSG_DATA* pstRspMsg, unsigned long long ullExtParam);

/* RestSendUnixMsg with a sequence cookie and without the send trace: pUserData carries the address
 * of a fresh 4-byte malloc block holding iSeq. Ownership: after a 0 result the library keeps no
 * reference; the cookie comes back in the reply's pUserData and the reader of that reply takes the
 * value out and releases it with free, exactly once. On -1 no cookie is left behind (freed here
 * after two failed attempts, never allocated for refused arguments). */
KXAPI_EXPORT long long RestSendUnixSeqMsg(tagUNIX_SOCKET_S* pstSock, int iSeq, const char* pszDst,
                                          const char* pszSrc, VW_MSG_TYPE enMsgType, VW_CMD_TYPE enCmd,
                                          const vwCmdBody* pstBody, unsigned long long ullExtParam);

/* Drains the endpoint and sends with RestSendUnixSeqMsg from "/tmp/Re"; no reply is awaited, so
 * one asynchronous request may be outstanding per endpoint. 0 sent (cookie ownership as above),
 * -1 for a null endpoint or name (nothing drained) or a failed send. */
KXAPI_EXPORT long long RestSendAsynUnixMsg(const char* pszDst, int iSeq, VW_MSG_TYPE enMsgType, VW_CMD_TYPE enCmd,
                                           const vwCmdBody* pstBody, tagUNIX_SOCKET_S* pstSock,
                                           unsigned long long ullExtParam);

/* Results are status codes: 0 success, -1 invalid argument, 1 failed service exchange, 3 no inner
 * command for the URL, 18 no memory, or a service's own nonzero result passed on unchanged.
 * Every data block handed out is a copy of a reply's 21208 data bytes followed by one NUL (21209
 * bytes from malloc), released with free by its new owner. The NUL is not part of the data: it
 * makes the block a text that ends within it, however full the service filled its data, so a
 * block sent as text (a pending body) is at most 21208 bytes long. */

struct KXAPI_URI_TABLE; /* below, with the routing */

/* Synchronous GET of enCmd from service pszDst through pstSock (pstBody may be null).
 * On 0, *ppData holds a new copy of the reply's data block (21208 bytes and a NUL, see above),
 * owned by the caller from then on (as a content record's pRspBody it is sent and freed by
 * FormatCommonResponse<char*>). On any other result *ppData is untouched and nothing is
 * allocated. -1 for a null header, endpoint or ppData; 1 for a failed exchange (a null pszDst
 * included). */
KXAPI_EXPORT int GetCommon(tagHTTP_HEADER_S* pstHeader, tagUNIX_SOCKET_S* pstSock, VW_CMD_TYPE enCmd,
                           const vwCmdBody* pstBody, void** ppData, unsigned long long ullExtParam,
                           const char* pszDst);
/* GetCommon to "/tmp/GA". A failed exchange is reported in the data, not in the result: the call
 * returns 0 with a block whose first int32 is 1 and whose other bytes are what the exchange left
 * (all zero when nothing was received). The block belongs to the caller as with GetCommon. */
KXAPI_EXPORT int GetCommonGat1400(tagHTTP_HEADER_S* pstHeader, tagUNIX_SOCKET_S* pstSock, VW_CMD_TYPE enCmd,
                                  const vwCmdBody* pstBody, void** ppData, unsigned long long ullExtParam);
/* As GetCommonGat1400, to "/tmp/G2". */
KXAPI_EXPORT int GetCommonGat1400_2(tagHTTP_HEADER_S* pstHeader, tagUNIX_SOCKET_S* pstSock, VW_CMD_TYPE enCmd,
                                    const vwCmdBody* pstBody, void** ppData, unsigned long long ullExtParam);
/* Synchronous SET of enCmd: the uiLen (at most 21208) bytes at pData, zero-padded to 21208, go to
 * service pszDst. Returns the reply's result; nothing is handed back. -1 for a null header, data
 * or endpoint or a longer body; 1 for a failed exchange. pData stays the caller's. */
KXAPI_EXPORT int SetCommon(tagHTTP_HEADER_S* pstHeader, void* pData, unsigned int uiLen, tagUNIX_SOCKET_S* pstSock,
                           VW_CMD_TYPE enCmd, unsigned long long ullExtParam, const char* pszDst);

/* Routes pstHeader->szUrl through the URI table and GETs that command from "/tmp/A" over the
 * client's pstUnixSock. On 0 the data block (21208 bytes and a NUL) becomes pstCtIn->pRspBody
 * (written without looking at its old value: hand over a null field), sent and freed by
 * FormatCommonResponse<char*>.
 * 3 when the URL routes nowhere (nothing sent); otherwise GetCommon's results. */
KXAPI_EXPORT int RunCommonGet(tagHTTP_HEADER_S* pstHeader, tagHTTP_CLIENT_S* pstClient,
                              tagHTTP_CNTENT_INTER_S* pstCtIn, const KXAPI_URI_TABLE* pstTable,
                              unsigned int uiTableNum);
/* Before a change: for a method that is "POST", "PUT", "DELETE" or a leading part of one (the
 * empty method included), fetches the routed command's current data like RunCommonGet over
 * pstSock into pstCtIn->pPreData (21208 bytes and a NUL, so it may be parsed as text), which the
 * host then owns and frees. Other methods: 0 at once, nothing done. */
KXAPI_EXPORT int PreCommonGet(tagHTTP_HEADER_S* pstHeader, tagUNIX_SOCKET_S* pstSock,
                              tagHTTP_CNTENT_INTER_S* pstCtIn, const KXAPI_URI_TABLE* pstTable,
                              unsigned int uiTableNum);
/* Takes over the reply the host stored in pstClient->pRecvMsg (a malloc'ed whole MSG_DATA): frees
 * it and nulls the slot on every result but -1. Returns the reply's nonzero result; 0 without data
 * for a reply that is not a GET (type neither 0 nor 2); otherwise 0 with a copy of its data block
 * (21208 bytes and a NUL) as pstCtIn->pRspBody (freed by FormatCommonResponse<char*>), or 18 for
 * no memory. A null slot reads as an all-zero GET reply. -1 for a null argument, the slot then
 * left as it was. */
KXAPI_EXPORT int RecvCommon(tagHTTP_HEADER_S* pstHeader, tagHTTP_CLIENT_S* pstClient,
                            tagHTTP_CNTENT_INTER_S* pstCtIn);

/* Asynchronous GET of enCmd to "/tmp/A" over pstClient->pstUnixAsynSock, with the client's
 * iClientFd as the sequence value; sets bAsynPending to 1 and returns without waiting. The reply's
 * cookie is the reply reader's to free (see RestSendUnixSeqMsg). 0 sent, 1 failed send (a missing
 * endpoint included; bAsynPending stays 1), -1 null header or client (nothing changed). */
KXAPI_EXPORT int GetCommonAsyn(tagHTTP_HEADER_S* pstHeader, tagHTTP_CLIENT_S* pstClient, VW_CMD_TYPE enCmd,
                               const vwCmdBody* pstBody, unsigned long long ullExtParam);
/* As GetCommonAsyn with a SET request; the data to set is the command body. */
KXAPI_EXPORT int SetCommonAsyn(tagHTTP_HEADER_S* pstHeader, tagHTTP_CLIENT_S* pstClient, VW_CMD_TYPE enCmd,
                               const vwCmdBody* pstBody, unsigned long long ullExtParam);

/* One entry of a host's URI table. The table is an array owned by the caller, bounded by its count
 * alone; a null or empty pattern never matches. */
struct KXAPI_URI_TABLE {
    const char* pszUrl;
    VW_CMD_TYPE enInnerCmd;
};

/* The command of the longest pattern occurring anywhere in pszUrl (plain, case-sensitive substring
 * search; no normalisation of the URL), the earliest in the table among equally long ones.
 * INNER_CMD_INVALID for a null or empty URL or a null table (silently), or when no pattern occurs
 * (logged). */
KXAPI_EXPORT VW_CMD_TYPE GetInnerCmdByUrl(char* pszUrl, const KXAPI_URI_TABLE* pstTable, unsigned int uiTableNum);
/* ID uiNum (numbered from 1) of the record into llValue: 1 delivered, 0 not (null record, ID 0, an
 * ID above uiIDCount or above the record's KXAPI_URI_ID_MAX entries); llValue is untouched on 0. */
KXAPI_EXPORT int GetURIIDValue(tagHEADER_URI_ID_INFO_S* pstUriIdInfo, unsigned int uiNum, long long& llValue);
/* ID uiNum of the request into llValue, accepted when llLower < value <= llUpper: 0, else -1.
 * llValue is untouched when the ID is missing but holds it when it is out of range. */
KXAPI_EXPORT int GetAndCheckURIIDValue(tagHTTP_HEADER_S* pstHeader, long long& llValue, unsigned int uiNum,
                                       long long llLower, long long llUpper);

/* Splits pstHeader->szQuery ("k=v&k=v", still percent-encoded) into pstHeader->mapQueryParam.
 * The map is cleared first; keys and values are stored percent-decoded ('+' stays '+'), and the
 * first occurrence of a key wins. Limits on the encoded text: key 31 characters, value 63, one
 * pair 96. A value ends at its first white-space character.
 * 0 success (an empty query too), 1 null header, undecodable text or no memory to store a pair,
 * 4 malformed pair (or a szQuery field with no terminator, which is not read past its end). A failure stops at the
 * faulty pair: the pairs before it stay in the map, it and the rest are absent. */
KXAPI_EXPORT int URIQueryParamParse(tagHTTP_HEADER_S* pstHeader);
/* Takes the pair at pszPos (up to the next '&') into pszKey (32 bytes) and pszValue (64 bytes),
 * both cleared first; the position is not moved.
 * 0 pair taken, 1 nothing left at the position, 4 null argument or malformed pair. */
KXAPI_EXPORT int QueryGetOnePair(char* pszPos, char* pszKey, char* pszValue);

/* The value stored under strKey by URIQueryParamParse. 0 found (strValue holds it), 1 not found
 * or no memory for the copy (strValue emptied either way) or null header (strValue untouched). */
KXAPI_EXPORT int GetURIQueryParam(tagHTTP_HEADER_S* pstHeader, std::string strKey, std::string& strValue);

/* The value under strKey converted to T, one of long long, unsigned long long, long, int,
 * unsigned int, short, unsigned short. Leading white space is skipped and text after the digits is
 * ignored ("12abc" gives 12); digits beyond the range of T are not checked. long is 32 bits on the
 * camera: the value wraps modulo 2^32 and is stored sign-extended, on every host alike.
 * 0 stored, 1 key missing, null header or no memory for the lookup, 4 no number; on 1 and 4 *pOut
 * is untouched. */
template <typename T>
KXAPI_EXPORT VW_RESULT_TYPE GetURIQueryParamByKey(tagHTTP_HEADER_S* pstHeader, std::string strKey, T* pOut);
/* The value under strKey as text in pOut (iSize bytes), instantiated for char only. A value of
 * iSize characters or more does not fit: pOut is left empty and the result is still 0.
 * 0 copied (or emptied), 1 key missing, null header or no memory for the lookup, 4 iSize below 1
 * (nothing written). */
template <typename T>
KXAPI_EXPORT VW_RESULT_TYPE GetURIQueryParamByKey(tagHTTP_HEADER_S* pstHeader, std::string strKey, T* pOut,
                                                  int iSize);

extern template KXAPI_EXPORT VW_RESULT_TYPE GetURIQueryParamByKey<long long>(tagHTTP_HEADER_S*, std::string,
                                                                             long long*);
extern template KXAPI_EXPORT VW_RESULT_TYPE GetURIQueryParamByKey<unsigned long long>(tagHTTP_HEADER_S*, std::string,
                                                                                      unsigned long long*);
extern template KXAPI_EXPORT VW_RESULT_TYPE GetURIQueryParamByKey<long>(tagHTTP_HEADER_S*, std::string, long*);
extern template KXAPI_EXPORT VW_RESULT_TYPE GetURIQueryParamByKey<int>(tagHTTP_HEADER_S*, std::string, int*);
extern template KXAPI_EXPORT VW_RESULT_TYPE GetURIQueryParamByKey<unsigned int>(tagHTTP_HEADER_S*, std::string,
                                                                                unsigned int*);
extern template KXAPI_EXPORT VW_RESULT_TYPE GetURIQueryParamByKey<short>(tagHTTP_HEADER_S*, std::string, short*);
extern template KXAPI_EXPORT VW_RESULT_TYPE GetURIQueryParamByKey<unsigned short>(tagHTTP_HEADER_S*, std::string,
                                                                                  unsigned short*);
extern template KXAPI_EXPORT VW_RESULT_TYPE GetURIQueryParamByKey<char>(tagHTTP_HEADER_S*, std::string, char*,
                                                                        int);

/* Text for a status code; never null, never to be freed. A miss logs the code once and gives
 * the current g_pszCommonErrorMsg. */
KXAPI_EXPORT const char* GetStatusString(long long code);
/* Fallback text of the status lookup; the host may point it elsewhere. */
KXAPI_EXPORT extern const char* g_pszCommonErrorMsg;

#define KXAPI_REQUEST_URL_SIZE 256   /* RequestURL holds at most 255 characters */
#define KXAPI_STATUS_STRING_SIZE 128 /* StatusString holds at most 127 characters */

/* The status block of every status body. */
struct KXAPI_RESPONSE_STATUS {
    char RequestURL[KXAPI_REQUEST_URL_SIZE];
    long long StatusCode;
    char StatusString[KXAPI_STATUS_STRING_SIZE];
};
KXAPI_ASSERT_OFFSET(KXAPI_RESPONSE_STATUS, StatusCode, 256);
KXAPI_ASSERT_OFFSET(KXAPI_RESPONSE_STATUS, StatusString, 264);
KXAPI_ASSERT_SIZE(KXAPI_RESPONSE_STATUS, 392);

/* The status body: { "ResponseStatus": { "RequestURL": ..., "StatusCode": ..., "StatusString": ... } } */
struct KXAPI_RESPONSE {
    KXAPI_RESPONSE_STATUS ResponseStatus;
};

/* The status record for pstHeader's URL (cut at 255 characters; empty for a null header) and
 * result with its status text (cut at 127 characters). Failed bounded copies are logged and the
 * record keeps what was written before. */
KXAPI_EXPORT KXAPI_RESPONSE FillResponseStatusParam(tagHTTP_HEADER_S* pstHeader, VW_RESULT_TYPE result);

/* The record as json-c's single-line JSON text, instantiated for KXAPI_RESPONSE and
 * KXAPI_HTTP_IP_LOCK_STATUS. The text is a new malloc'ed block of exactly strlen + 1 bytes that
 * the caller owns and releases with free; null on any failure. */
template <typename T>
KXAPI_EXPORT char* json_encode(const T& stRecord);
extern template KXAPI_EXPORT char* json_encode<KXAPI_RESPONSE>(const KXAPI_RESPONSE&);

/* Finishes a request: hands pstCtInt->pRspBody to pstBuf->Copy2Buf when a body is pending, else
 * the status body of result; only the char* form exists.
 * Ownership: a pending body is taken over: it is freed and pstCtInt->pRspBody set to null
 * whatever Copy2Buf answers (it must be a NUL-terminated malloc'ed text). The status body is the
 * library's own and freed before return. Copy2Buf gets the text's length without the NUL; only
 * its -1 is a failure. 0 handed over, -1 null argument (nothing changed), encoding failure or
 * Copy2Buf failure. */
template <typename T>
int FormatCommonResponse(tagHTTP_HEADER_S* pstHeader, VW_RESULT_TYPE result, tagHTTP_CNTENT_INTER_S* pstCtInt,
                         tagHTTP_BUF_S* pstBuf);
template <>
KXAPI_EXPORT int FormatCommonResponse<char*>(tagHTTP_HEADER_S* pstHeader, VW_RESULT_TYPE result,
                                             tagHTTP_CNTENT_INTER_S* pstCtInt, tagHTTP_BUF_S* pstBuf);

/* Always sends the status body of result; a pending body in pstCtInt is neither sent, nor freed,
 * nor cleared. Results as FormatCommonResponse<char*>. */
KXAPI_EXPORT int FormatCommonStatus(tagHTTP_HEADER_S* pstHeader, VW_RESULT_TYPE result,
                                    tagHTTP_CNTENT_INTER_S* pstCtInt, tagHTTP_BUF_S* pstBuf);

/* Nodes follow json-c ownership: a node added to a parent belongs to it; a root is released
 * with cJSON_Delete. Texts from cJSON_Print belong to the printed node. */

KXAPI_EXPORT json_object* cJSON_CreateObject();
KXAPI_EXPORT json_object* cJSON_CreateArray();
KXAPI_EXPORT json_object* cJSON_CreateString(const char* pszText);
KXAPI_EXPORT json_object* cJSON_CreateNull();
KXAPI_EXPORT json_object* cJSON_CreateNumber(double dValue);
KXAPI_EXPORT json_object* cJSON_CreateNumber(float fValue);
KXAPI_EXPORT json_object* cJSON_CreateNumber(int iValue);
KXAPI_EXPORT json_object* cJSON_CreateNumber(unsigned int uiValue);
KXAPI_EXPORT json_object* cJSON_CreateNumber(long lValue);
KXAPI_EXPORT json_object* cJSON_CreateNumber(unsigned long ulValue);
KXAPI_EXPORT json_object* cJSON_CreateNumber(long long llValue);
KXAPI_EXPORT json_object* cJSON_CreateNumber(unsigned long long ullValue);
KXAPI_EXPORT void cJSON_AddItemToObject(json_object* pstObject, const char* pszKey, json_object* pstItem);
KXAPI_EXPORT void cJSON_AddItemToArray(json_object* pstArray, json_object* pstItem);
KXAPI_EXPORT json_object* cJSON_GetObjectItem(json_object* pstObject, const char* pszKey);
KXAPI_EXPORT json_object* cJSON_GetArrayItem(json_object* pstArray, int iIndex);
KXAPI_EXPORT int cJSON_GetArraySize(json_object* pstArray);
KXAPI_EXPORT const char* cJSON_Print(json_object* pstNode);
KXAPI_EXPORT json_object* cJSON_Parse(const char* pszText);
KXAPI_EXPORT void cJSON_Delete(json_object* pstNode);

/* The body for a client whose address is locked out: status 108 and the remaining lock time. */
struct KXAPI_HTTP_IP_LOCK_STATUS {
    KXAPI_RESPONSE IpLockStatus;
    unsigned long long remainTime; /* as the host reports it; 2^63 and above print negative */
};
KXAPI_ASSERT_OFFSET(KXAPI_HTTP_IP_LOCK_STATUS, remainTime, 392);
KXAPI_ASSERT_SIZE(KXAPI_HTTP_IP_LOCK_STATUS, 400);

extern template KXAPI_EXPORT char* json_encode<KXAPI_HTTP_IP_LOCK_STATUS>(const KXAPI_HTTP_IP_LOCK_STATUS&);

/* Supplied by the host, not by this library: the remaining lock time of pstClient. The library
 * refers to it weakly, so it loads into a process that lacks it; KxapiHttpAuthLockRsptContent
 * then fails with -1 and the error line "[KXAPI]:KxapiHttpAuthLockRsptContent: KxapiHttpGetUnLockTime
 * is not provided". */
unsigned long long KxapiHttpGetUnLockTime(tagHTTP_CLIENT_S* pstClient);

/* Sends { "IpLockStatus": <status body of 108 for the client's current URL>, "remainTime": N }
 * to pstBuf->Copy2Buf. The text is the library's own and freed before return.
 * 0 handed over; -1 null argument (the host's lock time is then not asked), host lock time
 * missing, encoding failure or Copy2Buf failure. */
KXAPI_EXPORT int KxapiHttpAuthLockRsptContent(tagHTTP_CLIENT_S* pstClient, tagHTTP_BUF_S* pstBuf);

/* A caller-owned buffer description: as the send record the body to send, as the receive record
 * the buffer for the reply body and its capacity. The library never writes into the record. */
struct REST_HBTP_MSG {
    void* pData;
    unsigned int uiLen;
};
KXAPI_ASSERT_OFFSET(REST_HBTP_MSG, uiLen, 4);
KXAPI_ASSERT_SIZE(REST_HBTP_MSG, 8);

#define KXAPI_HBTP_CHANNEL_OPTION 769u /* ioctl request that sets a channel's option */
#define KXAPI_HBTP_EXT_CLIENT_FD 50115u /* extension header: the waiting client's descriptor */
#define KXAPI_USER_LIST_LEN 2328u
#define KXAPI_AUTH_SERVICE_PATH "/mnt/srvfs/auth.paas.opx"

/* One request and reply with the service at pServPath (opened read-write, channel option set to
 * uiOption, closed before return). pSend and pRecv as for SendSynHbtpMsg. No heap block crosses:
 * messages are made and released inside, the buffers are the caller's.
 * 0 success, 1 open or exchange failed, -1 null header or path (nothing opened). */
KXAPI_EXPORT int HbtpCommon(tagHTTP_HEADER_S* pstHeader, const char* pServPath, unsigned short usUrl,
                            unsigned char ucType, REST_HBTP_MSG* pSend, REST_HBTP_MSG* pRecv, unsigned int uiOption);
/* Sends a request (URL usUrl, type ucType, body pSend's bytes if any) on channel iFd and blocks
 * for the reply. A reply with code 200 succeeds; its body is copied into pRecv's buffer when pRecv
 * has one (a body longer than the buffer fails and leaves the buffer cleared). pRecv may be null.
 * Both messages are released before return; the channel stays open. 0, or -1. */
KXAPI_EXPORT int SendSynHbtpMsg(int iFd, unsigned short usUrl, unsigned char ucType, REST_HBTP_MSG* pSend,
                                REST_HBTP_MSG* pRecv);

/* Tags sendMsg with client->iClientFd (extension header 50115) and registers channel fd for
 * reading with the client's event base (HbtpAsynRead as callback, client as argument). sendMsg
 * stays the caller's, who sends and releases it. The event belongs to the base's table until
 * HbtpAsynRead or DeleteHbtpAsynEvent deletes it; the channel is then closed by them.
 * 0, -1 bad argument or header (nothing changed), 18 no event (the client is marked waiting with
 * iHbtpFd = fd, and the caller still owns the channel). */
KXAPI_EXPORT int AddHbtpAsynEvent(tagHTTP_CLIENT_S* client, int fd, hbtp_message* sendMsg);
/* Drops a channel that is still registered: deletes its event, closes fd, clears iHbtpFd.
 * A descriptor outside the event table is still closed (and iHbtpFd cleared) but yields -1. */
KXAPI_EXPORT int DeleteHbtpAsynEvent(tagHTTP_CLIENT_S* client, int fd);
/* Event callback of a registered channel (runs on the event loop's thread): reads one reply,
 * hands it to the client whose descriptor the reply carries (its pRecvMsg, an hbtp_message*),
 * moves the owner's state 7 to 8 and runs that client's event callback. A handler that keeps the
 * reply clears pRecvMsg and releases it later with hbtp_message_put; otherwise it is released
 * here. A reply that names no client's event (an empty slot, an event without argument, or a
 * channel's own event) is dropped. The channel's event is deleted and nfd closed on every path
 * but a negative nfd. */
KXAPI_EXPORT void HbtpAsynRead(int nfd, unsigned int mask, tagABS_EVENT_S* event);

/* Fetches the user list (2328 bytes) from the authentication service into pstMsg->aucData[0..2327];
 * the rest of pstMsg is untouched and the copy in the reply is wiped before release. No heap
 * block crosses. 0 copied; -1 null pstMsg, no channel or message, unacceptable or short reply;
 * 18 the copy failed. */
KXAPI_EXPORT int HbtpGetUserList(MSG_DATA* pstMsg);

/* A singly linked list of fixed-size elements. The list owns a private copy of every element:
 * nodes and element blocks come from VW_malloc and are freed by the list itself (after the
 * optional release callback) when an element is removed, cleared or destroyed. Callers may read
 * and change an element's bytes through pData while its node is in the list, and may walk the
 * list from pstHead->pstNext, but never free a node or a block. The list never locks pMutex:
 * callers that share a list across threads hold it (MutexLock/MutexUnlock) around every
 * operation and their own walks. */

struct OCLIST_NODE {
    void* pData;          /* the list's copy of the element; null only in the head node */
    OCLIST_NODE* pstNext; /* null in the last node */
};

struct OCLIST {
    OCLIST_NODE* pstHead;            /* data-less head node; the first element is its successor */
    OCLIST_NODE* pstTail;            /* last node; pstHead while the list is empty */
    unsigned long long ullDataSize;  /* bytes of every element, fixed by OCL_Init */
    unsigned long long ullNodeCount; /* data nodes, the head not counted */
    void* pMutex;                    /* CreateMutex handle, destroyed with the list */
};
KXAPI_ASSERT_OFFSET(OCLIST, pstHead, 0);
KXAPI_ASSERT_OFFSET(OCLIST, pstTail, 4);
KXAPI_ASSERT_OFFSET(OCLIST, ullDataSize, 8);
KXAPI_ASSERT_OFFSET(OCLIST, ullNodeCount, 16);
KXAPI_ASSERT_OFFSET(OCLIST, pMutex, 24);

/* Comparison of two elements (or an element and a key): only 1 means yes, any other value no. */
typedef int (*PFN_OCL_COMPARE)(void* pFirst, void* pSecond);
/* Releases what an element refers to; must not free the element block, which the list frees
 * right after. Null everywhere means nothing to release. */
typedef void (*PFN_OCL_RELEASE)(void* pData);

/* A new empty list of ullDataSize-byte elements, or null. Released with OCL_Destroy only. */
KXAPI_EXPORT OCLIST* OCL_Init(unsigned long long ullDataSize);
/* Appends a copy of ullDataSize bytes of pData: 0 or -1. */
KXAPI_EXPORT long long OCL_AddToTail(OCLIST* pstList, const void* pData);
/* Removes the first node for which pfnCompare(element, pKey) is 1, or every such node when
 * iDeleteAll is nonzero: 0 when at least one was removed, else -1. */
KXAPI_EXPORT long long OCL_DeleteForNode(OCLIST* pstList, void* pKey, PFN_OCL_COMPARE pfnCompare,
                                         PFN_OCL_RELEASE pfnRelease, int iDeleteAll);
/* Removes the first element: 0, or -1 for a bad list or an empty one. */
KXAPI_EXPORT long long OCL_DeleteFirstNode(OCLIST* pstList, PFN_OCL_RELEASE pfnRelease);
/* Removes pstCur while walking; pstPrev must be the node right before it (the head node for
 * the first element), which is not checked. */
KXAPI_EXPORT void OCL_DeleteCurNode(OCLIST* pstList, OCLIST_NODE* pstPrev, OCLIST_NODE* pstCur,
                                    PFN_OCL_RELEASE pfnRelease);
/* Ascending selection sort, pfnCompare(a, b) == 1 meaning a goes before b. Moves element
 * pointers between nodes (a node held across the sort then holds another element); not stable,
 * n(n-1)/2 calls, no allocation. */
KXAPI_EXPORT void OCL_Sort(const OCLIST* pstList, PFN_OCL_COMPARE pfnCompare);
/* Removes every element; the list stays usable. */
KXAPI_EXPORT void OCL_Clear(OCLIST* pstList, PFN_OCL_RELEASE pfnRelease);
/* Frees every element, the nodes, the mutex and the list record; the pointer dangles after. */
KXAPI_EXPORT void OCL_Destroy(OCLIST* pstList, PFN_OCL_RELEASE pfnRelease);

/* The camera's common-mode switch; the REST form carries the same four values with 0 and 1
 * exchanged. Any int value may be passed; only 0 to 3 are known. */
enum CAM_COMMONMODE_SWITCH : int {
    CAM_COMMONMODE_SWITCH_0 = 0,
    CAM_COMMONMODE_SWITCH_1 = 1,
    CAM_COMMONMODE_SWITCH_2 = 2,
    CAM_COMMONMODE_SWITCH_3 = 3,
};

/* "yyyy/M/d h:m:s" (decimal fields, text after the sixth ignored) read as local time without
 * daylight saving; fields out of range are normalised. 0 with *plSeconds = mktime's result (-1
 * included), -1 null argument or wrong format (*plSeconds untouched). */
KXAPI_EXPORT int RestTransferTimeStrToSeconds(long* plSeconds, char* pszTime);
/* Camera value to REST form. 0 stored, -1 null out or unknown value (out untouched). */
KXAPI_EXPORT int TransSwitchModeToRestFormat(CAM_COMMONMODE_SWITCH enMode, CAM_COMMONMODE_SWITCH* penRest);
/* REST form to camera value. 0 stored, -1 null out or unknown value (out untouched). */
KXAPI_EXPORT int TransRestFormatToSwitchMode(CAM_COMMONMODE_SWITCH* penMode, CAM_COMMONMODE_SWITCH enRest);

#define KXAPI_DOWNLOAD_TEXT_LEN 128 /* characters kept of a path, name or type */
#define KXAPI_DOWNLOAD_BOUNDARY_LEN 32

/* What the host needs to send a file as a multipart body; owned by the caller. */
struct KXAPI_DOWNLOAD_FILE_INFO_S {
    int bValid;                     /* 1 after a successful fill; never cleared by the library */
    unsigned long long ullBodyLen;  /* exact multipart body length the host must write */
    int nUserData;                  /* the caller's value, stored unchanged */
    char szPath[KXAPI_DOWNLOAD_TEXT_LEN + 1];
    char szName[KXAPI_DOWNLOAD_TEXT_LEN + 1];
    char szType[KXAPI_DOWNLOAD_TEXT_LEN + 1];
    char szBoundary[KXAPI_DOWNLOAD_BOUNDARY_LEN + 1]; /* 32 lower-case hex characters */
};
KXAPI_ASSERT_OFFSET(KXAPI_DOWNLOAD_FILE_INFO_S, bValid, 0);
KXAPI_ASSERT_OFFSET(KXAPI_DOWNLOAD_FILE_INFO_S, ullBodyLen, 8);
KXAPI_ASSERT_OFFSET(KXAPI_DOWNLOAD_FILE_INFO_S, nUserData, 16);
KXAPI_ASSERT_OFFSET(KXAPI_DOWNLOAD_FILE_INFO_S, szPath, 20);
KXAPI_ASSERT_OFFSET(KXAPI_DOWNLOAD_FILE_INFO_S, szName, 149);
KXAPI_ASSERT_OFFSET(KXAPI_DOWNLOAD_FILE_INFO_S, szType, 278);
KXAPI_ASSERT_OFFSET(KXAPI_DOWNLOAD_FILE_INFO_S, szBoundary, 407);
KXAPI_ASSERT_SIZE(KXAPI_DOWNLOAD_FILE_INFO_S, 440);

/* Describes the file at pszPath (its first 128 characters) for a multipart download: resolves it,
 * makes the boundary, sets the file's mode to 0400 and computes
 * ullBodyLen = file size + 2 x boundary + 2 x strlen(pszName) + strlen(pszType) + 101, the name and
 * type counted as passed, even when the stored copies are cut to 128 characters.
 * Result: 0; -1 for a null argument or a file that cannot be opened or examined; 4 when the path
 * does not resolve. The record is not cleared first: on failure the fields written so far keep
 * their new values, so look at the result rather than bValid. Nothing is handed to the caller
 * but the record's contents: the file is opened only to be examined and always closed again,
 * and no heap block is left behind. */
KXAPI_EXPORT int FillDownloadInfo(KXAPI_DOWNLOAD_FILE_INFO_S* pstDownloadInfo, const char* pszPath,
                                  const char* pszType, const char* pszName, int nUserData);

enum RANDOM_STR_TYPE : int {
    RANDOM_STR_TYPE_DEC = 0,
    RANDOM_STR_TYPE_HEX = 1,
};

extern "C" {
/* size zero-filled bytes, or null for a size below 1; release with VW_free. */
KXAPI_EXPORT void* VW_malloc(int iSize);
KXAPI_EXPORT void VW_free(void* pMem);
/* A heap-allocated default mutex; null for none. Every operation answers a null handle with 2. */
KXAPI_EXPORT void* CreateMutex(void);
KXAPI_EXPORT long long DestroyMutex(void* pMutex);
KXAPI_EXPORT long long MutexLock(void* pMutex);
KXAPI_EXPORT long long MutexUnlock(void* pMutex);
}

/* iCount raw random bytes into pBuf (not terminated): 0 or -1. */
KXAPI_EXPORT long long GetUrandomString(char* pBuf, int iCount);
/* Exactly ullLen random characters and a NUL into pOut (ullLen + 1 bytes), 4 <= ullLen <= 1023;
 * pOut is written only on success. */
KXAPI_EXPORT long long GetDevRandomString(char* pOut, unsigned long long ullLen, RANDOM_STR_TYPE enType);

#include <pthread.h>

#define KXAPI_SUBSCRIBER_COUNT 8
#define KXAPI_SUBSCRIBER_LEN 21208

/* One subscriber record as the host lays it out; the library touches only the three named
 * fields, every other byte belongs to the host. */
struct tagSUBSCRIBER_INFO_S {
    unsigned long long ullSlotNo; /* 1 to 8 in table order */
    unsigned int uiStatus;        /* 0: no live subscription */
    unsigned char aucHost1[20];
    int lExpireTime; /* seconds since the epoch, signed 32-bit */
    unsigned char aucHost2[KXAPI_SUBSCRIBER_LEN - 36];
};
KXAPI_ASSERT_OFFSET(tagSUBSCRIBER_INFO_S, ullSlotNo, 0);
KXAPI_ASSERT_OFFSET(tagSUBSCRIBER_INFO_S, uiStatus, 8);
KXAPI_ASSERT_OFFSET(tagSUBSCRIBER_INFO_S, lExpireTime, 32);
KXAPI_ASSERT_SIZE(tagSUBSCRIBER_INFO_S, KXAPI_SUBSCRIBER_LEN);

/* Two tables of 8 subscriber records each, zero at load. No library operation locks
 * g_stOpxSubscribeMutex: a host that works on the tables from several threads holds it (or a lock
 * of its own) around InitSubscribeInfo, UpdateSubscriberInfo and its own accesses. */
KXAPI_EXPORT extern char g_szSubscribeInfo[KXAPI_SUBSCRIBER_COUNT * KXAPI_SUBSCRIBER_LEN];
KXAPI_EXPORT extern char g_szOpxSubscribeInfo[KXAPI_SUBSCRIBER_COUNT * KXAPI_SUBSCRIBER_LEN];
KXAPI_EXPORT extern pthread_mutex_t g_stOpxSubscribeMutex;
/* Protocol setting for the host, 2 at load; the library never reads it. */
KXAPI_EXPORT extern int g_enRestProtocol;

/* Numbers the slots 1 to 8 and clears their states in both tables, then initialises
 * g_stOpxSubscribeMutex (not while it is held): 0, or -1 when the mutex cannot be initialised. */
KXAPI_EXPORT long long InitSubscribeInfo();
/* Clears the state of every record whose expiry time lies before the current second. */
KXAPI_EXPORT void UpdateSubscriberInfo();
/* 1 for a dotted IPv4 address (each part 0-255, one or two digits or 100-255), else 0. */
KXAPI_EXPORT int CheckIpAddress(const char* pszIp);
/* Grows a heap block to nNewSize bytes (sizes 1 to 2147483631), never shrinks it.
 * - pMem null: a fresh, uncleared block of nNewSize bytes.
 * - nNewSize <= nOldSize: pMem itself.
 * - otherwise a new block holding the old nOldSize bytes, the rest zero; pMem is freed.
 * The returned block belongs to the caller, released with free or VW_free (same heap). A null
 * result never frees pMem: the caller keeps it and still releases it. */
KXAPI_EXPORT void* KxapiRealloc(void* pMem, int nOldSize, int nNewSize);
/* Placeholder for JSON filters: always 0; the argument is not looked at. */
KXAPI_EXPORT int CreateJsonFilter(tagHTTP_ARRAY_S* pstArray);

#endif /* KXAPICOMMON_H */
