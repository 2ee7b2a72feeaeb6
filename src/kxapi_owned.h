// Owners for what the library makes or opens and must release on every path: an HBTP message, a
// stream, a descriptor. Each function then releases exactly once without repeating itself.
#ifndef KXAPI_OWNED_H
#define KXAPI_OWNED_H

#include "hbtp.h"

#include <unistd.h>

#include <cstdio>
#include <memory>

namespace kxapi_owned {

struct HbtpPut {
    void operator()(hbtp_message* pstMsg) const { (void)hbtp_message_put(pstMsg); }
};
// A message made here; release() hands it on to whoever puts it later.
using HbtpMessage = std::unique_ptr<hbtp_message, HbtpPut>;

struct FileClose {
    void operator()(FILE* pstFile) const { (void)fclose(pstFile); }
};
using File = std::unique_ptr<FILE, FileClose>;

// A descriptor opened here. Close() ends it early where it is not needed to the end.
class Fd {
public:
    explicit Fd(int iFd) : m_iFd(iFd) {}
    ~Fd() { Close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int Get() const { return m_iFd; }
    void Close()
    {
        if (m_iFd >= 0) {
            (void)close(m_iFd);
            m_iFd = -1;
        }
    }

private:
    int m_iFd;
};

} // namespace kxapi_owned

#endif
