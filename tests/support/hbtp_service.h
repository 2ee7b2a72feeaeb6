// An emulated platform service on the stand-in's service file system, with a recording of what
// reached it, and helpers to build and read HBTP messages.
#ifndef KXAPI_TEST_HBTP_SERVICE_H
#define KXAPI_TEST_HBTP_SERVICE_H

#include "kxplatform.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

class EmulatedService {
public:
    using Handler = std::function<hbtp_message*(KxSrvfsRequest*, hbtp_message*)>;
    EmulatedService(const std::string& strName, Handler handler);
    ~EmulatedService() { KxSrvfsStop(m_pstService); }
    // Every request that reached the service, in a line: header byte 2, byte 3 (the type), the URL and
    // the code in hex, the body in brackets, the client descriptor tag (-1: none) and the channel's
    // option (-1: never set), e.g. "00 45 1234 0000 [body] tag -1 option 17".
    std::vector<std::string> Seen() const;

private:
    Handler m_handler;
    mutable std::mutex m_mutex; // also keeps the service from being copied
    std::vector<std::string> m_seen;
    KxSrvfsService* m_pstService;
};

// A message with the given header fields, optional body and optional client descriptor tag.
hbtp_message* MakeHbtp(unsigned short usCode, unsigned short usUrl, unsigned char ucType, const std::string& strBody,
                       const int* piClientFd = nullptr);
// A message's body (empty for none).
std::string HbtpBody(hbtp_message* pstMsg);

#endif
