// The head of an HTTP request, checked against the front's limits before any worker sees it.
#ifndef KXAPI_HTTP_PARSE_H
#define KXAPI_HTTP_PARSE_H

#include <cstddef>
#include <string>

namespace kxserver {

struct HeadLimits {
    size_t uiMaxHead = 16384; // request line and headers
    unsigned int uiMaxHeaders = 64;
    size_t uiMaxBody = 64 * 1024;
};

enum class HeadResult {
    Incomplete, // more bytes needed
    Complete,
    NotHttp,        // 400: not an HTTP request line, a malformed head or target, no Host in HTTP/1.1
    UrlTooLong,     // 400: the request line alone is over the head limit
    TooManyHeaders, // 431
    HeadTooLarge,   // 431
    BodyTooLarge,   // 413
    LengthRequired, // 411: a body without a length (chunked)
};

struct Head {
    std::string strMethod;
    std::string strTarget; // origin form: an absolute-form target's path and query
    size_t uiHeadLen = 0;  // bytes up to and with the blank line
    size_t uiBodyLen = 0;
    bool bKeepAlive = false;
    bool bExpectContinue = false;
};

// Looks at the bytes received so far. strMethod and strTarget are filled as soon as the request
// line is there, so refusals can name the target and leave the body off a HEAD.
HeadResult ParseHead(const std::string& strIn, const HeadLimits& stLimits, Head& stHead);

// The HTTP status and library result code a refusal is answered with.
void RefusalStatus(HeadResult enResult, int& iHttpStatus, int& iCode);

} // namespace kxserver

#endif
