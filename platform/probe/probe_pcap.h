// kxapi-probe tap --pcap: the datagrams a tap saw, as a pcapng capture that tshark and Wireshark
// read (with kxapi-probe.lua to decode the command message).
#ifndef KXPROBE_PCAP_H
#define KXPROBE_PCAP_H

#include "probe_tap.h"

#include <cstdio>
#include <string>

namespace kxprobe {

class PcapWriter {
public:
    PcapWriter() = default;
    ~PcapWriter(); // closes
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;
    // Creates strFile with its section and interface blocks; strService names the interface.
    bool Open(const std::string& strFile, const std::string& strService, std::string* pstrError);
    // One packet block; flushed, so a capture cut short by a kill is still readable.
    bool Write(const Seen& stSeen);

private:
    FILE* m_pFile = nullptr;
    std::string m_strService;
};

} // namespace kxprobe

#endif
