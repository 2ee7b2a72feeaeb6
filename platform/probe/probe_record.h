// kxapi-probe tap --record: what a tap saw, written as a scenario file that kxapi-emulate replays.
#ifndef KXPROBE_RECORD_H
#define KXPROBE_RECORD_H

#include "probe_tap.h"
#include "probe_wire.h"

#include <memory>
#include <string>
#include <vector>

namespace kxprobe {

class Recorder {
public:
    // strService: the service's socket name as the scenario names it ("/tmp/A"); vecRedact: JSON
    // fields (dotted paths) blanked in every request and reply written.
    Recorder(const std::string& strService, const std::vector<std::string>& vecRedact);
    // One datagram the tap passed, and its decoding (which the tap has made already).
    void Add(const Seen& stSeen, const Message& stMsg);
    // The scenario: one service, a rule per distinct request, replies in the order seen.
    std::string ScenarioText() const;

    struct Impl;

private:
    std::shared_ptr<Impl> m_pImpl;
};

} // namespace kxprobe

#endif
