// An emulated platform service on the stand-in's service file system, with a recording of what
// reached it, and helpers to build HBTP messages.
#ifndef KXAPI_TEST_HBTP_SERVICE_H
#define KXAPI_TEST_HBTP_SERVICE_H

#include "kxplatform.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

// One request as the service saw it.
struct SeenRequest {
    unsigned char aucHeader[8]; // header bytes 0 to 7 as laid out in the message
    std::string strBody;
    bool bHasClientFd = false;
    int iClientFd = 0;
    unsigned int uiChannel = 0;
    unsigned int uiOption = 0;
    bool bOptionSet = false;
};

class EmulatedService {
public:
    using Handler = std::function<hbtp_message*(KxSrvfsRequest*, hbtp_message*)>;
    EmulatedService(const std::string& strName, Handler handler);
    ~EmulatedService();
    EmulatedService(const EmulatedService&) = delete;
    EmulatedService& operator=(const EmulatedService&) = delete;
    std::vector<SeenRequest> Seen() const;
    unsigned int Channels() const { return KxSrvfsChannelCount(m_pstService); }

private:
    static hbtp_message* Trampoline(void* pUser, KxSrvfsRequest* pstReq, hbtp_message* pstMsg);
    Handler m_handler;
    mutable std::mutex m_mutex;
    std::vector<SeenRequest> m_seen;
    KxSrvfsService* m_pstService = nullptr;
};

// A message with the given header fields, optional body and optional client descriptor tag.
hbtp_message* MakeHbtp(unsigned short usCode, unsigned short usUrl, unsigned char ucType, const std::string& strBody,
                       const int* piClientFd = nullptr);

#endif
