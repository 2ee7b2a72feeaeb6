// A host response buffer whose Copy2Buf records what it was handed and answers a chosen result.
#ifndef KXAPI_TEST_FAKE_RESPONSE_BUFFER_H
#define KXAPI_TEST_FAKE_RESPONSE_BUFFER_H

#include "kxapicommon.h"

#include <string>

class FakeResponseBuffer {
public:
    explicit FakeResponseBuffer(int iAnswer = 0) : m_iAnswer(iAnswer) { m_stHost.stBuf.Copy2Buf = Copy2Buf; }
    FakeResponseBuffer(const FakeResponseBuffer&) = delete;
    FakeResponseBuffer& operator=(const FakeResponseBuffer&) = delete;
    tagHTTP_BUF_S* Buf() { return &m_stHost.stBuf; }
    int Calls() const { return m_iCalls; }
    // Everything handed over, concatenated, each hand-over's length and whether a NUL followed it.
    const std::string& Data() const { return m_strData; }
    const std::string& Lengths() const { return m_strLengths; }

private:
    struct Host { // standard layout with the host record first, so Copy2Buf finds its way back
        tagHTTP_BUF_S stBuf;
        FakeResponseBuffer* pSelf;
    };
    static int Copy2Buf(tagHTTP_BUF_S* pstBuf, const char* pData, unsigned int uiLen)
    {
        FakeResponseBuffer* self = reinterpret_cast<Host*>(pstBuf)->pSelf;
        ++self->m_iCalls;
        self->m_strData.append(pData, uiLen);
        self->m_strLengths += std::to_string(uiLen) + (pData[uiLen] == '\0' ? "+NUL " : " ");
        return self->m_iAnswer;
    }
    Host m_stHost{{}, this};
    int m_iAnswer;
    int m_iCalls = 0;
    std::string m_strData;
    std::string m_strLengths;
};

#endif
