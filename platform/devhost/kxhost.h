/*
 * Dev-host kit: the library's records of one REST request, as every host fills them. A host makes
 * one RequestContext per request, fills it from the request line and body, runs its handler on
 * the records and sends what the library handed to Copy2Buf, with the HTTP status that goes with
 * the handler's result. Nothing here is shared between requests.
 */
#ifndef KXHOST_H
#define KXHOST_H

#include "kxapicommon.h"

#include <string>

namespace kxdev {

/* The client, content and buffer records of one request. The client record is value-initialised
 * (its header holds a std::map: never memset it). Its host bytes point back to the context and the
 * buffer record's at strBody, so library callbacks that get only a record find their way (see
 * ContextOf). A host adds fields of its own by deriving; a context is never copied or moved, as the
 * records point into it. */
class RequestContext {
public:
    RequestContext();
    /* Frees with free() whatever heap blocks are left in stContent.pPreData, stContent.pRspBody
     * and stClient.pRecvMsg: the library hands them to the host, and the host's end of a request
     * releases them. A handler that keeps one clears the field; an HBTP reply it took from
     * pRecvMsg is its own to release with hbtp_message_put. */
    virtual ~RequestContext();
    RequestContext(const RequestContext&) = delete;
    RequestContext& operator=(const RequestContext&) = delete;

    /* Method, path and query go into the header record as they came, undecoded (the library
     * routes the raw text); the body is kept in strReqBody. The numeric path segments (at most 18
     * digits, so that they fit a 64-bit ID) become the URI IDs, numbered from 1, the first
     * KXAPI_URI_ID_MAX of them. VW_RESULT_INCORRECT_PARAMETER, and no IDs, when the path or the
     * query does not fit its field; the path is then cut to its field all the same, so that the
     * status body still names the request. A method too long for its field is cut: no route knows
     * it. VW_RESULT_OK otherwise. */
    int Fill(const std::string& strMethod, const std::string& strPath, const std::string& strQuery,
             const std::string& strBody = std::string());
    tagHTTP_HEADER_S* Header() { return &stClient.stReqHeader; }
    /* Takes over pszBody, a malloc'ed NUL-terminated text (JsonBody's, strdup's), as the pending
     * body; one pending before it is freed. VW_RESULT_NO_RESOURCE for a null text, else
     * VW_RESULT_OK: a handler may return the result as its own. */
    int SetPendingBody(char* pszBody);
    /* Ends the request the way the library does: unless something reached Copy2Buf already (a
     * handler that answered itself, as KxapiHttpAuthLockRsptContent does), FormatCommonResponse
     * <char*> sends the pending body, or the status body of iResult when none is pending. 0, or -1
     * when nothing could be sent. The answer is then in strBody. */
    int Respond(int iResult);

    tagHTTP_CLIENT_S stClient{};
    tagHTTP_CNTENT_INTER_S stContent{};
    tagHTTP_BUF_S stBuf{};
    std::string strReqBody; /* the request's body */
    std::string strBody;    /* what Copy2Buf collected: the answer */
};

/* The context whose client record this is; null for a null record. Only for records of a context. */
RequestContext* ContextOf(const tagHTTP_CLIENT_S* pstClient);

/* The path of a request target (all before its first '?') and its query (all after; empty
 * without one), as Fill takes them. */
std::string PathOf(const std::string& strTarget);
std::string QueryOf(const std::string& strTarget);

/* The node's JSON text (cJSON_Print's, which belongs to the node) as a new malloc'ed copy: the
 * block a pending body must be. The node stays the caller's. Null for a null node or no memory. */
char* JsonBody(json_object* pstNode);

/* The text at the start of a data block or body, up to its first NUL or its end: how services
 * and hosts read a block that may or may not end in a NUL. */
std::string BlockText(const void* pData, size_t uiLen);

/* The HTTP status that goes with a library result: 0 200, 1 503, 3 404, 4 400, 102 401, 108 403,
 * anything else 500. */
int HttpStatusOf(int iResult);

/* The library's JSON status body for strUrl (a target's query is left out; the path is cut to
 * what the header record holds) and iResult, for answers given before any handler runs. Empty
 * when it cannot be made. */
std::string StatusBody(const std::string& strUrl, int iResult);

} // namespace kxdev

#endif
