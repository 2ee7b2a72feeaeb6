#include "hbtp_service.h"

#include "kxapicommon.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

EmulatedService::EmulatedService(const std::string& strName, Handler handler) : m_handler(std::move(handler))
{
    m_pstService = KxSrvfsServe(
        strName.c_str(),
        [](void* pUser, KxSrvfsRequest* pstReq, hbtp_message* pstMsg) {
            auto* self = static_cast<EmulatedService*>(pUser);
            const hbtp_header* h = pstMsg->pstHeader;
            void* pTag = nullptr;
            unsigned short usTagLen = 0;
            int iTag = -1;
            if (hbtp_header_get(pstMsg, KXAPI_HBTP_EXT_CLIENT_FD, &pTag, &usTagLen) == 0 && usTagLen == sizeof(iTag)) {
                memcpy(&iTag, pTag, sizeof(iTag));
            }
            char szHead[32], szTail[64];
            snprintf(szHead, sizeof(szHead), "%02x %02x %04x %04x [", h->ucReserved, h->ucType, h->usUrl, h->usCode);
            snprintf(szTail, sizeof(szTail), "] tag %d option %lld", iTag,
                     pstReq->bOptionSet ? pstReq->uiOption : -1LL);
            std::unique_lock<std::mutex> lock(self->m_mutex);
            self->m_seen.push_back(szHead + HbtpBody(pstMsg) + szTail);
            lock.unlock(); // the handler runs unlocked, so Seen() answers meanwhile
            return self->m_handler ? self->m_handler(pstReq, pstMsg) : nullptr;
        },
        this);
    EXPECT_NE(m_pstService, nullptr) << "service " << strName;
}

std::vector<std::string> EmulatedService::Seen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_seen;
}

hbtp_message* MakeHbtp(unsigned short usCode, unsigned short usUrl, unsigned char ucType, const std::string& strBody,
                       const int* piClientFd)
{
    hbtp_message* m = hbtp_message_new(0);
    m->pstHeader->usCode = usCode;
    m->pstHeader->usUrl = usUrl;
    m->pstHeader->ucType = ucType;
    hbtp_content_add(m, strBody.data(), static_cast<unsigned int>(strBody.size())); // an empty body adds nothing
    if (piClientFd != nullptr) {
        hbtp_header_set(m, KXAPI_HBTP_EXT_CLIENT_FD, piClientFd, sizeof(*piClientFd));
    }
    return m;
}

std::string HbtpBody(hbtp_message* pstMsg)
{
    void* pData = nullptr;
    unsigned int uiLen = 0;
    return hbtp_content(pstMsg, &pData, &uiLen) == 0 ? std::string(static_cast<char*>(pData), uiLen) : "";
}
