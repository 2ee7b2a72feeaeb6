#include "http_parse.h"

#include "kxapicommon.h"

#include <Poco/Exception.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/String.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <sstream>

namespace kxserver {

namespace {

constexpr size_t kMaxMethod = 32; // as much as the HTTP message reader takes

// The end of the head (just past its blank line), or npos. Bare LF line ends are taken too.
size_t HeadEnd(const std::string& strIn, size_t uiLimit)
{
    size_t uiEnd = std::min(strIn.size(), uiLimit);
    for (size_t i = strIn.find('\n'); i != std::string::npos && i < uiEnd; i = strIn.find('\n', i + 1)) {
        if (i + 1 < strIn.size() && strIn[i + 1] == '\n') {
            return i + 2;
        }
        if (i + 2 < strIn.size() && strIn[i + 1] == '\r' && strIn[i + 2] == '\n') {
            return i + 3;
        }
    }
    return std::string::npos;
}

bool IsTokenChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           (c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

// Targets are served in origin form ("/path?query"). An absolute-form target, which clients
// that speak to a proxy send, is cut to its path and query here, once, so that routing, the
// records and status bodies all see the same text; its authority is not checked, as this server
// answers for any name that reaches it. "*" is kept with OPTIONS, the one method it is valid for,
// and ends in a 404 as no route has OPTIONS; with any other method it is malformed. False for
// every other form too: authority-form asks for a tunnel this server does not make, and another
// scheme or a missing authority names nothing it serves.
bool ToOriginForm(const std::string& strMethod, std::string& strTarget)
{
    if (strTarget == "*") {
        return strMethod == "OPTIONS";
    }
    if (!strTarget.empty() && strTarget[0] == '/') {
        return true;
    }
    size_t uiAuthority = strTarget.find("://");
    std::string strScheme = Poco::toLower(strTarget.substr(0, uiAuthority));
    if (uiAuthority == std::string::npos || (strScheme != "http" && strScheme != "https")) {
        return false;
    }
    uiAuthority += 3;
    size_t uiPath = std::min(strTarget.find_first_of("/?", uiAuthority), strTarget.size());
    if (uiPath == uiAuthority) {
        return false;
    }
    strTarget = (uiPath == strTarget.size() || strTarget[uiPath] == '?' ? "/" : "") + strTarget.substr(uiPath);
    return true;
}

// Field lines as strict clients and proxies read them: a token, the colon right after it. The
// message reader takes "Host : x" for a field other than Host, joins a folded line to the one
// above it and skips a line without a colon; a proxy in front of us may read each of them the
// other way, which is how a header is smuggled past one of the two. Counts the Host fields.
bool FieldLinesValid(const std::string& strHead, unsigned int& uiHosts)
{
    uiHosts = 0;
    for (size_t i = strHead.find('\n') + 1; i < strHead.size();) {
        size_t uiEnd = strHead.find('\n', i);
        std::string strLine = strHead.substr(i, uiEnd - i);
        i = uiEnd + 1;
        if (!strLine.empty() && strLine.back() == '\r') {
            strLine.pop_back();
        }
        if (strLine.empty()) {
            break; // the blank line
        }
        size_t uiColon = strLine.find(':');
        if (uiColon == 0 || uiColon == std::string::npos ||
            !std::all_of(strLine.begin(), strLine.begin() + static_cast<std::ptrdiff_t>(uiColon), IsTokenChar)) {
            return false;
        }
        uiHosts += Poco::icompare(strLine.substr(0, uiColon), std::string("Host")) == 0 ? 1 : 0;
    }
    return true;
}

// What can be told from the request line before the head is complete: a method of token
// characters, then the target. False when the bytes cannot start an HTTP request.
bool ReadRequestLine(const std::string& strIn, Head& stHead)
{
    size_t uiSpace = strIn.find(' ');
    size_t uiMethodEnd = uiSpace == std::string::npos ? strIn.size() : uiSpace;
    for (size_t i = 0; i < uiMethodEnd; ++i) {
        if (!IsTokenChar(strIn[i])) {
            return false;
        }
    }
    if (uiSpace == 0 || uiMethodEnd > kMaxMethod) {
        return false;
    }
    if (uiSpace != std::string::npos) {
        stHead.strMethod = strIn.substr(0, uiSpace);
        size_t uiTargetEnd = strIn.find_first_of(" \r\n", uiSpace + 1);
        stHead.strTarget = strIn.substr(uiSpace + 1, uiTargetEnd == std::string::npos ? std::string::npos
                                                                                      : uiTargetEnd - uiSpace - 1);
        if (uiTargetEnd != std::string::npos) {
            (void)ToOriginForm(stHead.strMethod, stHead.strTarget); // a refusal names the path too
        }
    }
    return true;
}

} // namespace

HeadResult ParseHead(const std::string& strIn, const HeadLimits& stLimits, Head& stHead)
{
    if (!ReadRequestLine(strIn, stHead)) {
        return HeadResult::NotHttp;
    }
    size_t uiHeadLen = HeadEnd(strIn, stLimits.uiMaxHead);
    if (uiHeadLen == std::string::npos) {
        if (strIn.size() <= stLimits.uiMaxHead) {
            return HeadResult::Incomplete;
        }
        return strIn.find('\n') > stLimits.uiMaxHead ? HeadResult::UrlTooLong : HeadResult::HeadTooLarge;
    }
    size_t uiLines = 0;
    for (size_t i = 0; i < uiHeadLen; ++i) {
        uiLines += strIn[i] == '\n' ? 1 : 0;
    }
    if (uiLines > stLimits.uiMaxHeaders + 2) { // the request line and the blank line
        return HeadResult::TooManyHeaders;
    }
    std::string strHead = strIn.substr(0, uiHeadLen);
    unsigned int uiHosts = 0;
    if (!FieldLinesValid(strHead, uiHosts)) {
        return HeadResult::NotHttp;
    }
    Poco::Net::HTTPRequest request;
    try {
        std::istringstream is(strHead);
        request.read(is);
        // HTTP/1.1 names its host, once; HTTP/1.0 may leave it out.
        bool bHttp11 = request.getVersion() == Poco::Net::HTTPMessage::HTTP_1_1;
        if ((!bHttp11 && request.getVersion() != Poco::Net::HTTPMessage::HTTP_1_0) || uiHosts > 1 ||
            (bHttp11 && uiHosts == 0)) {
            return HeadResult::NotHttp;
        }
        if (request.has(Poco::Net::HTTPMessage::TRANSFER_ENCODING)) {
            return HeadResult::LengthRequired;
        }
        long long llLength = request.getContentLength64();
        if (llLength > static_cast<long long>(stLimits.uiMaxBody)) {
            return HeadResult::BodyTooLarge;
        }
        stHead.uiBodyLen = llLength < 0 ? 0 : static_cast<size_t>(llLength);
        stHead.bKeepAlive = request.getKeepAlive();
        stHead.bExpectContinue = Poco::icompare(request.get("Expect", ""), std::string("100-continue")) == 0;
    } catch (const Poco::Exception&) {
        return HeadResult::NotHttp; // including a length that is no number
    }
    stHead.strMethod = request.getMethod();
    std::string strTarget = request.getURI();
    if (!ToOriginForm(stHead.strMethod, strTarget)) {
        return HeadResult::NotHttp;
    }
    stHead.strTarget = strTarget;
    stHead.uiHeadLen = uiHeadLen;
    return HeadResult::Complete;
}

void RefusalStatus(HeadResult enResult, int& iHttpStatus, int& iCode)
{
    iCode = VW_RESULT_INCORRECT_PARAMETER;
    switch (enResult) {
        case HeadResult::TooManyHeaders:
        case HeadResult::HeadTooLarge:
            iHttpStatus = 431;
            break;
        case HeadResult::BodyTooLarge:
            iHttpStatus = 413;
            break;
        case HeadResult::LengthRequired:
            iHttpStatus = 411;
            break;
        default:
            iHttpStatus = 400;
            break;
    }
}

} // namespace kxserver
