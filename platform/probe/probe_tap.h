// kxapi-probe tap: stands between a running service and its clients. The service's socket name
// is moved aside (rename keeps the service's bound socket reachable under the new name), the tap
// binds the name, forwards each request to the service from a socket of its own per client and
// each reply back to that client. Nothing is restarted; Close (or untap after a kill) puts the
// name back.
#ifndef KXPROBE_TAP_H
#define KXPROBE_TAP_H

#include <csignal>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace kxprobe {

// One datagram as it passed the tap.
struct Seen {
    bool bRequest = true;    // client to service; false: service to client
    std::string strClient;   // the client's socket path, "(unnamed)" for an unbound one
    std::string strBytes;    // the datagram, whole
    double dWallSeconds = 0; // arrival, seconds since the epoch
    double dMillis = 0;      // replies: since the client's oldest unanswered request (0 for none)
};

class Tap {
public:
    Tap();
    ~Tap(); // closes
    Tap(const Tap&) = delete;
    Tap& operator=(const Tap&) = delete;

    // Takes strPath over. Fails (nothing changed) when nothing is bound there, when a tap already
    // holds it or when its name cannot be moved.
    bool Open(const std::string& strPath, std::string* pstrError);
    // Forwards until *pbStop is set or dSeconds (> 0) have passed; fnSeen is called on this thread
    // for each datagram after it was forwarded. 0, or -1 with *pstrError.
    int Run(const std::function<void(const Seen&)>& fnSeen, const volatile sig_atomic_t* pbStop, double dSeconds,
            std::string* pstrError);
    // Gives the name back to the service; closes every socket of the tap.
    void Close();

    // The name the service's socket waits under while a tap holds it.
    static std::string AsidePath(const std::string& strPath);
    // Undoes a tap that was killed: the service's socket back under its name. false with
    // *pstrError when there is nothing to undo.
    static bool Untap(const std::string& strPath, std::string* pstrError);

    struct Impl;

private:
    std::unique_ptr<Impl> m_pImpl;
};

} // namespace kxprobe

#endif
