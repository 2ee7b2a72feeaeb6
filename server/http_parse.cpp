#include "http_parse.h"

#include "kxapicommon.h"

#include <Poco/Exception.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/String.h>

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
        size_t uiTargetEnd = strIn.find_first_of(" \r\n", uiSpace + 1);
        stHead.strTarget = strIn.substr(uiSpace + 1, uiTargetEnd == std::string::npos ? std::string::npos
                                                                                      : uiTargetEnd - uiSpace - 1);
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
    Poco::Net::HTTPRequest request;
    try {
        std::istringstream is(strIn.substr(0, uiHeadLen));
        request.read(is);
        if (request.getVersion() != Poco::Net::HTTPMessage::HTTP_1_1 &&
            request.getVersion() != Poco::Net::HTTPMessage::HTTP_1_0) {
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
    stHead.strTarget = request.getURI();
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
