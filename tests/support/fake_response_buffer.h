// A host response buffer whose Copy2Buf records what it was handed and answers a chosen result.
#ifndef KXAPI_TEST_FAKE_RESPONSE_BUFFER_H
#define KXAPI_TEST_FAKE_RESPONSE_BUFFER_H

#include "kxapicommon.h"

#include <cstring>
#include <string>

class FakeResponseBuffer {
public:
    explicit FakeResponseBuffer(int iAnswer = 0) : m_iAnswer(iAnswer)
    {
        m_stHost.stBuf.Copy2Buf = &FakeResponseBuffer::Copy2Buf;
        m_stHost.pSelf = this;
    }
    FakeResponseBuffer(const FakeResponseBuffer&) = delete;
    FakeResponseBuffer& operator=(const FakeResponseBuffer&) = delete;

    tagHTTP_BUF_S* Buf() { return &m_stHost.stBuf; }
    int Calls() const { return m_iCalls; }
    // Everything handed over, concatenated.
    const std::string& Data() const { return m_strData; }
    unsigned int LastLen() const { return m_uiLastLen; }
    bool LastTerminated() const { return m_bLastTerminated; }
    const char* LastPointer() const { return m_pLast; }

private:
    // Standard layout with the host record first, so Copy2Buf finds its way back.
    struct Host {
        tagHTTP_BUF_S stBuf;
        FakeResponseBuffer* pSelf;
    };

    static int Copy2Buf(tagHTTP_BUF_S* pstBuf, const char* pData, unsigned int uiLen)
    {
        FakeResponseBuffer* self = reinterpret_cast<Host*>(pstBuf)->pSelf;
        ++self->m_iCalls;
        self->m_uiLastLen = uiLen;
        self->m_pLast = pData;
        self->m_strData.append(pData, uiLen);
        self->m_bLastTerminated = (pData[uiLen] == '\0');
        return self->m_iAnswer;
    }

    Host m_stHost{};
    int m_iAnswer;
    int m_iCalls = 0;
    std::string m_strData;
    unsigned int m_uiLastLen = 0;
    bool m_bLastTerminated = false;
    const char* m_pLast = nullptr;
};

#endif
