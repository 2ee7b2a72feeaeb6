// The server's part of a request beside the library's records, which the dev-host kit's request
// context fills (kxhost.h): the connection, the client's address for the login lock, the
// asynchronous HBTP wait and what the HTTP answer carries beyond the body.
#ifndef KXAPI_HOST_RECORDS_H
#define KXAPI_HOST_RECORDS_H

#include "kxhost.h"

#include <string>

namespace kxserver {

class LoginLock;
struct HbtpWait;

using kxdev::HttpStatusOf;
using kxdev::PathOf;
using kxdev::StatusBody;

// A complete request as the connection front read it: nothing decoded, nothing interpreted.
struct HttpRequest {
    std::string strMethod;
    std::string strTarget; // path and query, as sent
    std::string strBody;
    std::string strPeer; // the client's address, for the login lock
    int iFd = -1;        // the connection's socket
};

// One request on the worker that serves it.
struct Request : kxdev::RequestContext {
    std::string strContentType = "application/json";
    int iHttpStatus = 0; // 0: the status that goes with the result code
    std::string strPeer;
    LoginLock* pLock = nullptr;    // KxapiHttpGetUnLockTime asks it
    HbtpWait* pHbtpWait = nullptr; // an asynchronous HBTP exchange in progress
};

// The request whose client record this is.
Request* RequestOf(tagHTTP_CLIENT_S* pstClient);

// The request's records from the HTTP request: its connection as the client's descriptor, the
// rest as RequestContext::Fill takes it (VW_RESULT_INCORRECT_PARAMETER when a text does not fit).
int FillRecords(Request& req, const HttpRequest& httpReq);

} // namespace kxserver

#endif
