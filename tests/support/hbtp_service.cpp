#include "hbtp_service.h"

#include "kxapicommon.h"

#include <gtest/gtest.h>

#include <cstring>

EmulatedService::EmulatedService(const std::string& strName, Handler handler) : m_handler(std::move(handler))
{
    m_pstService = KxSrvfsServe(strName.c_str(), &EmulatedService::Trampoline, this);
    EXPECT_NE(m_pstService, nullptr) << "service " << strName;
}

EmulatedService::~EmulatedService()
{
    KxSrvfsStop(m_pstService);
}

std::vector<SeenRequest> EmulatedService::Seen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_seen;
}

hbtp_message* EmulatedService::Trampoline(void* pUser, KxSrvfsRequest* pstReq, hbtp_message* pstMsg)
{
    auto* self = static_cast<EmulatedService*>(pUser);
    SeenRequest seen;
    memcpy(seen.aucHeader, pstMsg->pstHeader, sizeof(seen.aucHeader));
    void* pData = nullptr;
    unsigned int uiLen = 0;
    if (hbtp_content(pstMsg, &pData, &uiLen) == 0) {
        seen.strBody.assign(static_cast<const char*>(pData), uiLen);
    }
    void* pValue = nullptr;
    unsigned short usLen = 0;
    if (hbtp_header_get(pstMsg, KXAPI_HBTP_EXT_CLIENT_FD, &pValue, &usLen) == 0 && usLen == 4) {
        seen.bHasClientFd = true;
        memcpy(&seen.iClientFd, pValue, 4);
    }
    seen.uiChannel = pstReq->uiChannel;
    seen.uiOption = pstReq->uiOption;
    seen.bOptionSet = pstReq->bOptionSet != 0;
    {
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_seen.push_back(seen);
    }
    return self->m_handler ? self->m_handler(pstReq, pstMsg) : nullptr;
}

hbtp_message* MakeHbtp(unsigned short usCode, unsigned short usUrl, unsigned char ucType, const std::string& strBody,
                       const int* piClientFd)
{
    hbtp_message* m = hbtp_message_new(0);
    m->pstHeader->usCode = usCode;
    m->pstHeader->usUrl = usUrl;
    m->pstHeader->ucType = ucType;
    if (!strBody.empty()) {
        hbtp_content_add(m, strBody.data(), static_cast<unsigned int>(strBody.size()));
    }
    if (piClientFd != nullptr) {
        hbtp_header_set(m, KXAPI_HBTP_EXT_CLIENT_FD, piClientFd, 4);
    }
    return m;
}
