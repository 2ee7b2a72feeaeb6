-- kxapi-probe.lua: decodes the captures of `kxapi-probe tap --pcap` in Wireshark and tshark.
--
--   tshark -X lua_script:kxapi-probe.lua -r capture.pcapng
--   tshark -X lua_script:kxapi-probe.lua -r capture.pcapng -T fields -e kxapi.type -e kxapi.cmd
--
-- or copy it to ~/.local/lib/wireshark/plugins/ for Wireshark to load it at start.
--
-- The capture's link type is 147 (LINKTYPE_USER0): a datagram on a Unix socket carries no header
-- of its own that says who sent it, so the probe puts its own pseudo-header before each one
-- (probe_pcap.cpp writes it; both must change together):
--
--   offset  size  field
--        0     4  magic "KXPR"
--        4     1  version, 1
--        5     1  direction: 0 request (client to service), 1 reply (service to client)
--        6     2  reserved, zero
--        8   108  the client's socket path, NUL-padded (the size of sun_path)
--      116     -  the datagram, whole, as it passed the tap
--
-- The command message is little-endian and of fixed size; a pointer in it makes it 21408 bytes
-- when the sender is 32-bit (the camera) and 21416 when it is 64-bit (a PC running the dev-host
-- kit), so the datagram's length tells the layouts apart. Any other length is no whole message:
-- the library refuses it, and so does this dissector.

local kMagic = "KXPR"
local kPseudoHeader = 116
local kClientField = 108
local kDataSize = 21208

-- Offsets after enResult move by the pointer's size and its alignment.
local kLayouts = {
    [21408] = { name = "32-bit", cookie = 180, cookiesize = 4, datalen = 184, extparam = 192, data = 200 },
    [21416] = { name = "64-bit", cookie = 184, cookiesize = 8, datalen = 192, extparam = 200, data = 208 },
}

local kTypeNames = { [0] = "GET", [1] = "SET", [2] = "GET reply", [3] = "SET reply" }
local kDirections = { [0] = "request", [1] = "reply" }

local proto = Proto("kxapi", "kxapi-probe command message")

local f = proto.fields
f.magic = ProtoField.string("kxapi.magic", "Magic")
f.version = ProtoField.uint8("kxapi.version", "Version")
f.direction = ProtoField.uint8("kxapi.direction", "Direction", base.DEC, kDirections)
f.client = ProtoField.string("kxapi.client", "Client socket")
f.bytes = ProtoField.uint32("kxapi.bytes", "Datagram length")
f.layout = ProtoField.string("kxapi.layout", "Layout")
f.lead = ProtoField.bytes("kxapi.lead", "Lead bytes")
f.username = ProtoField.string("kxapi.username", "Client user name")
f.type = ProtoField.uint32("kxapi.type", "Type", base.DEC, kTypeNames)
f.cmd = ProtoField.uint32("kxapi.cmd", "Command")
f.msgnum = ProtoField.uint64("kxapi.msgnum", "Message number")
f.result = ProtoField.int32("kxapi.result", "Result")
f.cookie = ProtoField.uint64("kxapi.cookie", "Cookie (pUserData)", base.HEX)
f.datalen = ProtoField.uint64("kxapi.datalen", "Data length")
f.extparam = ProtoField.uint64("kxapi.extparam", "Extra parameter")
f.data = ProtoField.bytes("kxapi.data", "Data")
f.text = ProtoField.string("kxapi.text", "Data as text")

-- The capture names its interface after the service the tap stood in front of.
local fieldInterface = Field.new("frame.interface_name")

local eNotWhole = ProtoExpert.new("kxapi.not_whole", "Not a whole message", expert.group.MALFORMED,
    expert.severity.WARN)
proto.experts = { eNotWhole }

-- Whether every byte is printable ASCII, a tab or line break, or part of valid UTF-8 (a setting
-- may well hold a name in another script).
local function Printable(strText)
    local i, n = 1, #strText
    while i <= n do
        local c = strText:byte(i)
        local iFollow = 0
        if c == 9 or c == 10 or c == 13 or (c >= 0x20 and c < 0x7F) then
            iFollow = 0
        elseif c >= 0xC2 and c <= 0xDF then
            iFollow = 1
        elseif c >= 0xE0 and c <= 0xEF then
            iFollow = 2
        elseif c >= 0xF0 and c <= 0xF4 then
            iFollow = 3
        else
            return false
        end
        for k = 1, iFollow do
            local d = strText:byte(i + k)
            if d == nil or d < 0x80 or d > 0xBF then
                return false
            end
        end
        i = i + 1 + iFollow
    end
    return true
end

-- A NUL-padded text field; a field filled to its end has no NUL at all.
local function PaddedText(range)
    local strRaw = range:raw()
    local iNul = strRaw:find("\0", 1, true)
    return iNul and strRaw:sub(1, iNul - 1) or strRaw
end

-- The data block without its trailing zeros: services fill the front and leave the rest zero.
local function TrimmedData(rangeData)
    local strRaw = rangeData:raw()
    local n = #strRaw
    while n > 0 and strRaw:byte(n) == 0 do
        n = n - 1
    end
    return strRaw:sub(1, n)
end

-- The message starts at iAt of tvb; uiLen bytes of it passed the tap.
local function DissectMessage(tvb, iAt, uiLen, pinfo, tree, bRequest)
    local stLayout = kLayouts[uiLen]
    local msgTree
    if uiLen > 0 then
        msgTree = tree:add(proto, tvb(iAt, uiLen), "Command message")
    else
        msgTree = tree:add(proto, "Command message (empty datagram)")
    end
    msgTree:add(f.bytes, uiLen):set_generated()
    if stLayout == nil then
        msgTree:add_proto_expert_info(eNotWhole, "Not a whole message: " .. uiLen
            .. " bytes, a message is 21408 (32-bit sender) or 21416 (64-bit sender)")
        pinfo.cols.info:set("not a whole message (" .. uiLen .. " bytes)")
        return
    end
    local function R(iOffset, iSize)
        return tvb(iAt + iOffset, iSize)
    end
    msgTree:add(f.layout, stLayout.name):set_generated()
    msgTree:add(f.lead, R(0, 16))
    msgTree:add(f.username, R(16, 144), PaddedText(R(16, 144)))
    msgTree:add_le(f.type, R(160, 4))
    msgTree:add_le(f.cmd, R(164, 4))
    msgTree:add_le(f.msgnum, R(168, 8))
    msgTree:add_le(f.result, R(176, 4))
    if stLayout.cookiesize == 4 then
        msgTree:add(f.cookie, R(stLayout.cookie, 4), UInt64(R(stLayout.cookie, 4):le_uint()))
    else
        msgTree:add_le(f.cookie, R(stLayout.cookie, 8))
    end
    msgTree:add_le(f.datalen, R(stLayout.datalen, 8))
    msgTree:add_le(f.extparam, R(stLayout.extparam, 8))

    local strData = TrimmedData(R(stLayout.data, kDataSize))
    local n = #strData
    if n > 0 then
        local item = msgTree:add(f.data, R(stLayout.data, n))
        if Printable(strData) then
            item:append_text(" (" .. n .. " bytes of text)")
            msgTree:add(f.text, R(stLayout.data, n), strData)
        else
            item:append_text(" (" .. n .. " bytes)")
        end
    end

    local uiType = R(160, 4):le_uint()
    local strInfo = (kTypeNames[uiType] or ("type " .. uiType)) .. " cmd " .. R(164, 4):le_uint()
    if not bRequest then
        strInfo = strInfo .. " result " .. R(176, 4):le_int()
    end
    pinfo.cols.info:set(strInfo)
end

function proto.dissector(tvb, pinfo, tree)
    if tvb:len() < kPseudoHeader or tvb(0, 4):string() ~= kMagic or tvb(4, 1):uint() ~= 1 then
        return 0
    end
    pinfo.cols.protocol:set("KXAPI")
    local bRequest = tvb(5, 1):uint() == 0
    local strClient = PaddedText(tvb(8, kClientField))
    local fiService = fieldInterface()
    local strService = fiService and tostring(fiService.value) or "service"
    if bRequest then
        pinfo.cols.src:set(strClient)
        pinfo.cols.dst:set(strService)
    else
        pinfo.cols.src:set(strService)
        pinfo.cols.dst:set(strClient)
    end
    local headTree = tree:add(proto, tvb(0, kPseudoHeader), "kxapi-probe pseudo-header")
    headTree:add(f.magic, tvb(0, 4))
    headTree:add(f.version, tvb(4, 1))
    headTree:add(f.direction, tvb(5, 1))
    headTree:add(f.client, tvb(8, kClientField), strClient)
    DissectMessage(tvb, kPseudoHeader, tvb:len() - kPseudoHeader, pinfo, tree, bRequest)
    return tvb:len()
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, proto)
