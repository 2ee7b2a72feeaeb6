// A host response buffer that keeps what its Copy2Buf is handed and answers a chosen result. It
// keeps everything in fixed storage, so it also serves while allocations are made to fail.
#ifndef KXAPI_TEST_RESPONSE_BUFFER_H
#define KXAPI_TEST_RESPONSE_BUFFER_H

#include "kxapicommon.h"

#include <cstdio>
#include <cstring>
#include <string>

struct ResponseBuffer {
    explicit ResponseBuffer(int iAnswer = 0) : iAnswer(iAnswer) {}
    std::string Data() const { return szData; }
    tagHTTP_BUF_S stBuf{{}, Copy2Buf}; // first: the record's address is the buffer's
    int iAnswer;
    int iCalls = 0;
    char szData[8192] = "";   // everything handed over, concatenated
    char szLengths[256] = ""; // each hand-over's length, and "+NUL" when a NUL followed it
    static int Copy2Buf(tagHTTP_BUF_S* pstBuf, const char* pData, unsigned int uiLen)
    {
        auto* self = reinterpret_cast<ResponseBuffer*>(pstBuf);
        size_t uData = strlen(self->szData), uLengths = strlen(self->szLengths);
        snprintf(self->szData + uData, sizeof(szData) - uData, "%.*s", static_cast<int>(uiLen), pData);
        snprintf(self->szLengths + uLengths, sizeof(szLengths) - uLengths, "%u%s ", uiLen,
                 pData[uiLen] == '\0' ? "+NUL" : "");
        ++self->iCalls;
        return self->iAnswer;
    }
};

#endif
