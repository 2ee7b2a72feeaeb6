// The capture is pcapng, little-endian: one section header block, one interface description
// block (link type 147, LINKTYPE_USER0, which tshark hands to kxapi-probe.lua; the interface is
// named after the service; timestamps in microseconds) and one enhanced packet block per datagram.
//
// A datagram on a Unix socket has no header of its own that says where it went, so each packet
// starts with a pseudo-header of ours (kxapi-probe.lua reads the same layout):
//
//   offset  size  field
//        0     4  magic "KXPR"
//        4     1  version, 1
//        5     1  direction: 0 request (client to service), 1 reply (service to client)
//        6     2  reserved, zero
//        8   108  the client's socket path, NUL-padded (the size of sun_path)
//      116     -  the datagram, whole, as it passed the tap
#include "probe_pcap.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace kxprobe {

namespace {

constexpr uint32_t kBlockSection = 0x0A0D0D0A;
constexpr uint32_t kBlockInterface = 0x00000001;
constexpr uint32_t kBlockPacket = 0x00000006;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kFormatMajor = 1;
constexpr uint16_t kFormatMinor = 0;
constexpr uint16_t kLinkTypeUser0 = 147;
constexpr uint16_t kOptEnd = 0;
constexpr uint16_t kOptShbUserAppl = 4;
constexpr uint16_t kOptIfName = 2;

constexpr char kMagic[4] = {'K', 'X', 'P', 'R'};
constexpr unsigned char kVersion = 1;
constexpr size_t kClientField = 108;
constexpr size_t kPseudoHeader = 8 + kClientField;

void Put16(std::string* pstrOut, uint16_t uiValue)
{
    pstrOut->push_back(static_cast<char>(uiValue & 0xFF));
    pstrOut->push_back(static_cast<char>(uiValue >> 8));
}

void Put32(std::string* pstrOut, uint32_t uiValue)
{
    for (int i = 0; i < 4; ++i) {
        pstrOut->push_back(static_cast<char>((uiValue >> (8 * i)) & 0xFF));
    }
}

void Pad4(std::string* pstrOut)
{
    pstrOut->append((4 - pstrOut->size() % 4) % 4, '\0');
}

void PutOption(std::string* pstrOut, uint16_t uiCode, const std::string& strValue)
{
    Put16(pstrOut, uiCode);
    Put16(pstrOut, static_cast<uint16_t>(strValue.size()));
    pstrOut->append(strValue);
    Pad4(pstrOut);
}

// An option value's length field is 16 bits; a longer one would make the block unreadable.
std::string OptionText(const std::string& strText)
{
    return strText.substr(0, 0xFFFF);
}

// Type, total length, body, total length again (readers walk the file both ways).
std::string Block(uint32_t uiType, const std::string& strBody)
{
    uint32_t uiTotal = static_cast<uint32_t>(12 + strBody.size());
    std::string strBlock;
    strBlock.reserve(uiTotal);
    Put32(&strBlock, uiType);
    Put32(&strBlock, uiTotal);
    strBlock.append(strBody);
    Put32(&strBlock, uiTotal);
    return strBlock;
}

std::string SectionBlock()
{
    std::string strBody;
    Put32(&strBody, kByteOrderMagic);
    Put16(&strBody, kFormatMajor);
    Put16(&strBody, kFormatMinor);
    Put32(&strBody, 0xFFFFFFFF); // section length unknown: the capture grows while it is read
    Put32(&strBody, 0xFFFFFFFF);
    PutOption(&strBody, kOptShbUserAppl, "kxapi-probe");
    PutOption(&strBody, kOptEnd, "");
    return Block(kBlockSection, strBody);
}

std::string InterfaceBlock(const std::string& strService)
{
    std::string strBody;
    Put16(&strBody, kLinkTypeUser0);
    Put16(&strBody, 0);
    Put32(&strBody, 0); // no snapshot limit: every datagram is kept whole
    PutOption(&strBody, kOptIfName, OptionText(strService));
    PutOption(&strBody, kOptEnd, "");
    return Block(kBlockInterface, strBody);
}

std::string PacketBlock(const Seen& stSeen)
{
    std::string strPacket;
    strPacket.reserve(kPseudoHeader + stSeen.strBytes.size());
    strPacket.append(kMagic, sizeof(kMagic));
    strPacket.push_back(static_cast<char>(kVersion));
    strPacket.push_back(static_cast<char>(stSeen.bRequest ? 0 : 1));
    strPacket.append(2, '\0');
    std::string strClient = stSeen.strClient.substr(0, kClientField);
    strPacket.append(strClient);
    strPacket.append(kClientField - strClient.size(), '\0');
    strPacket.append(stSeen.strBytes);

    double dMicros = stSeen.dWallSeconds > 0 ? std::floor(stSeen.dWallSeconds * 1e6 + 0.5) : 0;
    uint64_t ullMicros = static_cast<uint64_t>(dMicros);
    std::string strBody;
    strBody.reserve(20 + strPacket.size() + 3);
    Put32(&strBody, 0); // interface ID: the capture has one interface
    Put32(&strBody, static_cast<uint32_t>(ullMicros >> 32));
    Put32(&strBody, static_cast<uint32_t>(ullMicros & 0xFFFFFFFF));
    Put32(&strBody, static_cast<uint32_t>(strPacket.size()));
    Put32(&strBody, static_cast<uint32_t>(strPacket.size()));
    strBody.append(strPacket);
    Pad4(&strBody);
    return Block(kBlockPacket, strBody);
}

} // namespace

PcapWriter::~PcapWriter()
{
    if (m_pFile != nullptr) {
        fclose(m_pFile);
    }
}

bool PcapWriter::Open(const std::string& strFile, const std::string& strService, std::string* pstrError)
{
    if (m_pFile != nullptr) {
        fclose(m_pFile);
        m_pFile = nullptr;
    }
    FILE* pFile = fopen(strFile.c_str(), "wbe");
    if (pFile == nullptr) {
        *pstrError = strFile + ": " + strerror(errno);
        return false;
    }
    std::string strHead = SectionBlock() + InterfaceBlock(strService);
    if (fwrite(strHead.data(), 1, strHead.size(), pFile) != strHead.size() || fflush(pFile) != 0) {
        *pstrError = strFile + ": " + strerror(errno);
        fclose(pFile);
        return false;
    }
    m_pFile = pFile;
    m_strService = strService;
    return true;
}

bool PcapWriter::Write(const Seen& stSeen)
{
    if (m_pFile == nullptr) {
        return false;
    }
    std::string strBlock = PacketBlock(stSeen);
    return fwrite(strBlock.data(), 1, strBlock.size(), m_pFile) == strBlock.size() && fflush(m_pFile) == 0;
}

} // namespace kxprobe
