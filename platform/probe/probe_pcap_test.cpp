// The capture as tshark reads it with kxapi-probe.lua, and its blocks as the pcapng format lays
// them out, so a fault of the writer shows even where tshark is missing.
#include "kxapicommon.h"
#include "probe_pcap.h"
#include "probe_test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

using kxprobe::Seen;
using namespace std::string_literals;

constexpr double kFirstSecond = 1700000000.123456;
constexpr uint64_t kFirstMicros = 1700000000123456ULL;
constexpr size_t kClientField = 108;
const char* const kService = "/tmp/A";
// A bound name may fill sun_path without a terminating NUL.
const std::string kLongClient = "/run/kx/" + std::string(kClientField - 8, 'q');

// A command message as this host lays it out, the layout the tap sees from its own clients.
std::string Native(VW_MSG_TYPE enType, unsigned int uiCmd, int iResult, uintptr_t uiCookie, unsigned long long ullExt,
                   const std::string& strData)
{
    auto pstMsg = std::make_unique<MSG_DATA>(); // zeroed, padding too
    pstMsg->enMsgType = enType;
    pstMsg->enCmdType = static_cast<VW_CMD_TYPE>(uiCmd);
    pstMsg->ullMsgNum = 1;
    pstMsg->enResult = static_cast<VW_RESULT_TYPE>(iResult);
    pstMsg->pUserData = reinterpret_cast<void*>(uiCookie);
    pstMsg->ullDataLen = strData.empty() ? 0 : VW_CMD_BODY_LEN;
    pstMsg->ullExtParam = ullExt;
    memcpy(pstMsg->aucData, strData.data(), strData.size());
    return std::string(reinterpret_cast<const char*>(pstMsg.get()), sizeof(MSG_DATA));
}

void Put(std::string* pstrMsg, size_t uiAt, uint64_t ullValue, size_t uiSize)
{
    for (size_t i = 0; i < uiSize; ++i) {
        (*pstrMsg)[uiAt + i] = static_cast<char>((ullValue >> (8 * i)) & 0xFF);
    }
}

// The message of a sender whose pointers have the other size: the dissector must tell the two
// layouts apart by length alone.
std::string Foreign(unsigned int uiType, unsigned int uiCmd, uint32_t uiCookie, uint64_t ullExt,
                    const std::string& strData)
{
    bool b32 = sizeof(void*) == 8;
    size_t uiShift = b32 ? 0 : 8;
    std::string strMsg(b32 ? 21408 : 21416, '\0');
    Put(&strMsg, 160, uiType, 4);
    Put(&strMsg, 164, uiCmd, 4);
    Put(&strMsg, 168, 1, 8);
    Put(&strMsg, 180 + (b32 ? 0 : 4), uiCookie, b32 ? 4 : 8);
    Put(&strMsg, 184 + uiShift, VW_CMD_BODY_LEN_TARGET, 8);
    Put(&strMsg, 192 + uiShift, ullExt, 8);
    strMsg.replace(200 + uiShift, strData.size(), strData);
    return strMsg;
}

// Requests and replies of three clients and an unbound one, both layouts, a binary data block and
// datagrams that are no whole message; a second apart each.
std::vector<Seen> Traffic()
{
    std::vector<Seen> vec = {
        {true, "/run/kx/tmp_bq", Native(VW_MSG_TYPE_GET_REQ, 1001, 0, 0, 0, ""), 0, 0},
        {false, "/run/kx/tmp_bq", Native(VW_MSG_TYPE_GET_RSP, 1001, 0, 0, 0, "{\"A\":1}"), 0, 0},
        {true, "/run/kx/tmp_ev", Native(VW_MSG_TYPE_SET_REQ, 2001, 0, 0x2a, 7, "Dock 4"), 0, 0},
        {false, "/run/kx/tmp_ev", Native(VW_MSG_TYPE_SET_RSP, 2001, 4, 0x2a, 7, "Dock 4"), 0, 0},
        {false, "/run/kx/tmp_bq", Native(VW_MSG_TYPE_GET_RSP, 1001, -1, 0, 0, "\x01\xff\x00\x02"s), 0, 0},
        {true, "(unnamed)", Foreign(1, 2001, 0xdeadbeef, 9, "hi"), 0, 0},
        {false, "/run/kx/tmp_bq", "abc", 0, 0},
        {true, kLongClient, "", 0, 0},
    };
    for (size_t i = 0; i < vec.size(); ++i) {
        vec[i].dWallSeconds = kFirstSecond + static_cast<double>(i);
    }
    return vec;
}

// The traffic written to a capture at strFile, the writer left open.
std::unique_ptr<kxprobe::PcapWriter> Capture(const std::string& strFile)
{
    auto pWriter = std::make_unique<kxprobe::PcapWriter>();
    std::string strError;
    EXPECT_TRUE(pWriter->Open(strFile, kService, &strError)) << strError;
    for (const Seen& stSeen : Traffic()) {
        EXPECT_TRUE(pWriter->Write(stSeen));
    }
    return pWriter;
}

std::string ReadFile(const std::string& strFile)
{
    std::ifstream stIn(strFile, std::ios::binary);
    return {std::istreambuf_iterator<char>(stIn), {}};
}

uint32_t Get32(const std::string& str, size_t uiAt)
{
    uint32_t uiValue = 0;
    for (size_t i = 0; i < 4; ++i) {
        uiValue |= static_cast<uint32_t>(static_cast<unsigned char>(str[uiAt + i])) << (8 * i);
    }
    return uiValue;
}

struct Block {
    uint32_t uiType;
    std::string strBody;
};

// Walks the file block by block as a reader does; false with the fault in *pstrWhy.
bool ReadBlocks(const std::string& strFile, std::vector<Block>* pvecBlocks, std::string* pstrWhy)
{
    std::string strAll = ReadFile(strFile);
    for (size_t uiAt = 0; uiAt < strAll.size();) {
        // A block cut short reads as length 0.
        uint32_t uiLen = strAll.size() - uiAt < 12 ? 0 : Get32(strAll, uiAt + 4);
        if (uiLen < 12 || uiLen % 4 != 0 || uiLen > strAll.size() - uiAt || Get32(strAll, uiAt + uiLen - 4) != uiLen) {
            *pstrWhy = "block at " + std::to_string(uiAt) + ": bad length " + std::to_string(uiLen) +
                       " or trailing length";
            return false;
        }
        pvecBlocks->push_back({Get32(strAll, uiAt), strAll.substr(uiAt + 8, uiLen - 12)});
        uiAt += uiLen;
    }
    return true;
}

// What a packet block must carry: the pseudo-header the dissector reads, then the datagram.
std::string PacketBytes(const Seen& stSeen)
{
    std::string strPacket("KXPR\x01", 5);
    strPacket.push_back(stSeen.bRequest ? '\0' : '\x01');
    strPacket.append(2, '\0');
    strPacket.append(stSeen.strClient);
    strPacket.append(kClientField - stSeen.strClient.size(), '\0');
    return strPacket + stSeen.strBytes;
}

TEST(ProbePcap, BlocksCarryEveryDatagramWholeOnceWritten)
{
    TempDir dir;
    std::string strFile = dir.File("tap.pcapng");
    std::vector<Seen> vecSeen = Traffic();
    auto pWriter = Capture(strFile);

    // Read while the writer is still open: each block must be on disk once Write returns.
    std::vector<Block> vecBlocks;
    std::string strWhy;
    ASSERT_TRUE(ReadBlocks(strFile, &vecBlocks, &strWhy)) << strWhy;
    ASSERT_EQ(vecBlocks.size(), 2 + vecSeen.size());

    EXPECT_EQ(vecBlocks[0].uiType, 0x0A0D0D0AU);
    EXPECT_EQ(Get32(vecBlocks[0].strBody, 0), 0x1A2B3C4DU) << "byte-order magic";
    EXPECT_EQ(Get32(vecBlocks[0].strBody, 4), 1U) << "format version 1.0";

    const std::string& strIf = vecBlocks[1].strBody;
    EXPECT_EQ(vecBlocks[1].uiType, 1U);
    EXPECT_EQ(Get32(strIf, 0), 147U) << "LINKTYPE_USER0, reserved 0";
    EXPECT_EQ(Get32(strIf, 8) & 0xFFFF, 2U) << "if_name comes first";
    EXPECT_EQ(strIf.substr(12, Get32(strIf, 8) >> 16), kService);

    for (size_t i = 0; i < vecSeen.size(); ++i) {
        const std::string& strBody = vecBlocks[2 + i].strBody;
        std::string strPacket = PacketBytes(vecSeen[i]);
        SCOPED_TRACE("packet " + std::to_string(i));
        EXPECT_EQ(vecBlocks[2 + i].uiType, 6U);
        EXPECT_EQ(Get32(strBody, 0), 0U) << "interface";
        EXPECT_EQ((static_cast<uint64_t>(Get32(strBody, 4)) << 32 | Get32(strBody, 8)), kFirstMicros + i * 1000000);
        EXPECT_EQ(Get32(strBody, 12), strPacket.size()) << "captured length";
        EXPECT_EQ(Get32(strBody, 16), strPacket.size()) << "original length";
        EXPECT_TRUE(strBody.compare(20, strPacket.size(), strPacket) == 0);
        EXPECT_EQ(strBody.size(), 20 + (strPacket.size() + 3) / 4 * 4) << "padded to 4, no options";
    }
}

TEST(ProbePcap, OpenNamesTheFileAndTheReason)
{
    TempDir dir;
    kxprobe::PcapWriter stWriter;
    std::string strFile = dir.File("missing/tap.pcapng");
    std::string strError;
    EXPECT_FALSE(stWriter.Open(strFile, kService, &strError));
    EXPECT_EQ(strError, strFile + ": No such file or directory");
    EXPECT_FALSE(stWriter.Write(Traffic()[0]));
}

TEST(ProbePcap, TsharkDecodesEveryField)
{
    if (!kxprobe_test::CanSpawn() || system("command -v tshark >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "the capture cannot be decoded here: no programs spawned (cross build under qemu) or tshark "
                        "not installed (scripts/install-deps.sh installs it)";
    }
    TempDir dir;
    std::string strFile = dir.File("tap.pcapng");
    Capture(strFile); // and closed
    std::string strErrFile = dir.File("tshark.err");
    std::string strCommand = "tshark -X lua_script:'" KXAPI_PROBE_LUA "' -r '" + strFile +
                             "' -T fields -E separator='|' -e frame.time_epoch -e kxapi.direction -e kxapi.client"
                             " -e kxapi.type -e kxapi.cmd -e kxapi.result -e kxapi.cookie -e kxapi.datalen"
                             " -e kxapi.extparam -e kxapi.text -e kxapi.data -e _ws.col.Info >'" +
                             dir.File("tshark.out") + "' 2>'" + strErrFile + "'";
    EXPECT_EQ(system(strCommand.c_str()), 0) << ReadFile(strErrFile);
    std::string strOut = ReadFile(dir.File("tshark.out"));
    EXPECT_EQ(strOut, "1700000000.123456000|0|/run/kx/tmp_bq|0|1001|0|0x0000000000000000|0|0|||GET cmd 1001\n"
                      "1700000001.123456000|1|/run/kx/tmp_bq|2|1001|0|0x0000000000000000|21208|0|{\"A\":1}|"
                      "7b2241223a317d|GET reply cmd 1001 result 0\n"
                      "1700000002.123456000|0|/run/kx/tmp_ev|1|2001|0|0x000000000000002a|21208|7|Dock 4|"
                      "446f636b2034|SET cmd 2001\n"
                      "1700000003.123456000|1|/run/kx/tmp_ev|3|2001|4|0x000000000000002a|21208|7|Dock 4|"
                      "446f636b2034|SET reply cmd 2001 result 4\n"
                      "1700000004.123456000|1|/run/kx/tmp_bq|2|1001|-1|0x0000000000000000|21208|0||01ff0002|"
                      "GET reply cmd 1001 result -1\n"
                      "1700000005.123456000|0|(unnamed)|1|2001|0|0x00000000deadbeef|21208|9|hi|6869|SET cmd 2001\n"
                      "1700000006.123456000|1|/run/kx/tmp_bq|||||||||not a whole message (3 bytes)\n"
                      "1700000007.123456000|0|" +
                          kLongClient + "|||||||||not a whole message (0 bytes)\n")
        << "tshark stderr:\n"
        << ReadFile(strErrFile);
}

} // namespace
