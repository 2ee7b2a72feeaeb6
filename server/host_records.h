// How a host fills libkxapicommon's records from an HTTP request: the part of the reference
// server that firmware teams copy first. One Request per HTTP request, on the worker that serves
// it; nothing here is shared between requests.
#ifndef KXAPI_HOST_RECORDS_H
#define KXAPI_HOST_RECORDS_H

#include "kxapicommon.h"

#include <string>

namespace kxserver {

class LoginLock;
struct HbtpWait;

// A complete request as the connection front read it: nothing decoded, nothing interpreted.
struct HttpRequest {
    std::string strMethod;
    std::string strTarget; // path and query, as sent
    std::string strBody;
    std::string strPeer; // the client's address, for the login lock
    int iFd = -1;        // the connection's socket
};

// The library's records of one request and what the host keeps beside them. The client record's
// host bytes point back here and the buffer record's at the body, so library callbacks that get
// only a record find their way.
struct Request {
    tagHTTP_CLIENT_S stClient{}; // its stReqHeader is the request header
    tagHTTP_CNTENT_INTER_S stContent{};
    tagHTTP_BUF_S stBuf{};
    std::string strBody; // what Copy2Buf collected
    std::string strContentType = "application/json";
    int iHttpStatus = 0; // 0: the status that goes with the result code
    std::string strReqBody;
    std::string strPeer;
    LoginLock* pLock = nullptr;    // KxapiHttpGetUnLockTime asks it
    HbtpWait* pHbtpWait = nullptr; // an asynchronous HBTP exchange in progress

    Request();
    ~Request(); // frees whatever the library left with the host
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    tagHTTP_HEADER_S* Header() { return &stClient.stReqHeader; }
};

// The request whose client record this is.
Request* RequestOf(tagHTTP_CLIENT_S* pstClient);

// The path of a request target: all before its query.
std::string PathOf(const std::string& strTarget);

// Fills method, raw URL and query, and the URI IDs (numeric path segments, numbered from 1).
// VW_RESULT_INCORRECT_PARAMETER when a text does not fit its field.
int FillRecords(Request& req, const HttpRequest& httpReq);

// The HTTP status that goes with a library result code.
int HttpStatusOf(int iResult);

// The library's JSON status body for strUrl and iResult, for answers given before any handler
// runs (limits, refusals); the URL is cut to what the header record holds.
std::string StatusBody(const std::string& strUrl, int iResult);

} // namespace kxserver

#endif
