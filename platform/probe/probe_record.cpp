// kxapi-probe tap --record: what passed the tap, as rules kxapi-emulate answers with the same reply
// bytes. Everything a replay cannot reproduce anyway (delays, the cookie a client happened to
// send) is left out, so that two recordings of the same conversation give the same file.
#include "probe_record.h"

#include "probe_wire.h"

#include <json-c/json.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <deque>
#include <map>
#include <tuple>

namespace kxprobe {

namespace {

// The emulator renders JSON data with this and nothing else.
const int kEmulatorJson = JSON_C_TO_STRING_SPACED;

// Text a scenario file can hold as a string and a person can read: UTF-8, no control bytes but
// tabs and line ends.
bool ReadableText(const std::string& strText)
{
    for (size_t i = 0; i < strText.size();) {
        unsigned char c = static_cast<unsigned char>(strText[i]);
        size_t uiMore = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 9;
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F || uiMore > 3 ||
            i + uiMore >= strText.size()) {
            return false;
        }
        for (size_t j = 1; j <= uiMore; ++j) {
            if ((static_cast<unsigned char>(strText[i + j]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += uiMore + 1;
    }
    return true;
}

std::string Hex(const std::string& strBytes)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string strOut;
    for (unsigned char c : strBytes) {
        strOut += strOut.empty() ? "" : " ";
        strOut += kDigits[c >> 4];
        strOut += kDigits[c & 0xF];
    }
    return strOut;
}

json_object* FieldAt(json_object* pRoot, const std::string& strPath)
{
    size_t uiStart = 0;
    for (;;) {
        size_t uiDot = strPath.find('.', uiStart);
        std::string strKey = strPath.substr(uiStart, uiDot == std::string::npos ? std::string::npos : uiDot - uiStart);
        json_object* pNext = nullptr;
        if (!json_object_is_type(pRoot, json_type_object) ||
            !json_object_object_get_ex(pRoot, strKey.c_str(), &pNext)) {
            return nullptr;
        }
        if (uiDot == std::string::npos) {
            return pNext;
        }
        pRoot = pNext;
        uiStart = uiDot + 1;
    }
}

// Blanks every redacted field the value holds; whether there was any.
bool Blank(json_object* pRoot, const std::vector<std::string>& vecRedact)
{
    bool bAny = false;
    for (const std::string& strPath : vecRedact) {
        size_t uiDot = strPath.rfind('.');
        json_object* pParent = uiDot == std::string::npos ? pRoot : FieldAt(pRoot, strPath.substr(0, uiDot));
        std::string strKey = uiDot == std::string::npos ? strPath : strPath.substr(uiDot + 1);
        if (json_object_is_type(pParent, json_type_object) &&
            json_object_object_get_ex(pParent, strKey.c_str(), nullptr)) {
            json_object_object_add(pParent, strKey.c_str(), json_object_new_string(""));
            bAny = true;
        }
    }
    return bAny;
}

// The request's fields as a JSON-field match, the redacted ones left out: each field that holds no
// redacted one by its dotted path, the others opened further. A key with a dot cannot be named by
// a dotted path and is left out too (it may be the secret).
void MatchFields(json_object* pObj, const std::string& strPrefix, const std::vector<std::string>& vecRedact,
                 json_object* pOut)
{
    json_object_object_foreach(pObj, pszKey, pVal)
    {
        std::string strKey = pszKey;
        std::vector<std::string> vecBelow;
        bool bRedacted = strKey.empty() || strKey.find('.') != std::string::npos;
        for (const std::string& strPath : vecRedact) {
            bRedacted = bRedacted || strPath == strKey;
            if (strPath.rfind(strKey + ".", 0) == 0) {
                vecBelow.push_back(strPath.substr(strKey.size() + 1));
            }
        }
        if (bRedacted) {
            continue;
        }
        if (!vecBelow.empty() && json_object_is_type(pVal, json_type_object)) {
            MatchFields(pVal, strPrefix + strKey + ".", vecBelow, pOut);
        } else {
            json_object_object_add(pOut, (strPrefix + strKey).c_str(), json_object_get(pVal));
        }
    }
}

JsonPtr Form(const char* pszKey, json_object* pVal)
{
    JsonPtr pForm(json_object_new_object());
    json_object_object_add(pForm.get(), pszKey, pVal);
    return pForm;
}

// A data form the emulator renders back to exactly these bytes, unless a redacted field was
// blanked. JSON only when the emulator's own rendering is the service's text; plain text only
// without "${", which the emulator would take for a substitution; hex for everything else.
JsonPtr DataForm(const std::string& strData, const std::vector<std::string>& vecRedact)
{
    if (strData.find('\0') != std::string::npos || !ReadableText(strData)) {
        return Form("hex", json_object_new_string(Hex(strData).c_str()));
    }
    if (JsonPtr pVal = ParseWholeJson(strData)) {
        bool bBlanked = Blank(pVal.get(), vecRedact);
        std::string strRendered = json_object_to_json_string_ext(pVal.get(), kEmulatorJson);
        if (strRendered.find("${") == std::string::npos && (bBlanked || strRendered == strData)) {
            return Form("json", pVal.release());
        }
        if (bBlanked) {
            return Form("hex", json_object_new_string(Hex(strRendered).c_str()));
        }
    }
    if (strData.find("${") != std::string::npos) {
        return Form("hex", json_object_new_string(Hex(strData).c_str()));
    }
    return JsonPtr(json_object_new_string_len(strData.data(), static_cast<int>(strData.size())));
}

std::string Plain(json_object* pVal)
{
    return json_object_to_json_string_ext(pVal, JSON_C_TO_STRING_PLAIN);
}

// One request as seen, and what answered it: the reply as written, kept once however often it
// came (a recording of hours holds many turns and few distinct replies).
struct Turn {
    unsigned int uiType = 0;
    unsigned int uiCmd = 0;
    unsigned long long ullCookie = 0;
    size_t uiReply = 0; // kSilent, or an index into Recorder::Impl::vecReplies
};
const size_t kSilent = SIZE_MAX;

struct RuleRecord {
    std::string strName;
    unsigned int uiCmd = 0;
    unsigned int uiType = 0;
    std::string strMatch; // the data match, as JSON text
    size_t uiFields = 0;  // fields of a JSON-field match; 0 for an exact one
    bool bByFields = false;
    std::vector<Turn> vecTurns;
};

struct Outstanding {
    size_t uiRule = 0;
    size_t uiTurn = 0;
};

} // namespace

struct Recorder::Impl {
    std::string strService;
    std::vector<std::string> vecRedact;
    std::vector<RuleRecord> vecRules;
    std::map<std::tuple<unsigned int, unsigned int, std::string>, size_t> mapRuleOf;
    std::map<std::string, std::deque<Outstanding>> mapWaiting; // per client, oldest first
    std::vector<std::string> vecReplies;                       // distinct replies, as JSON text
    std::map<std::string, size_t> mapReplyOf;

    void Request(const std::string& strClient, const Message& stMsg);
    void Reply(const std::string& strClient, const Message& stMsg);
    JsonPtr Match(const std::string& strText, size_t* puiFields, bool* pbByFields) const;
    JsonPtr ReplyJson(const Turn& turn, const Message& stMsg) const;
    JsonPtr RuleJson(const RuleRecord& rec) const;
};

// A request with a redacted field is matched by its other fields: an exact match would have to
// write the secret. Requests that differ only in a secret become one rule, answered in turn.
JsonPtr Recorder::Impl::Match(const std::string& strText, size_t* puiFields, bool* pbByFields) const
{
    JsonPtr pReq = ParseWholeJson(strText);
    bool bSecret = false;
    for (const std::string& strPath : vecRedact) {
        bSecret = bSecret || FieldAt(pReq.get(), strPath) != nullptr;
    }
    if (!bSecret) {
        *pbByFields = false;
        *puiFields = 0;
        // "equals" of "" too: without a data match the rule would take every request of its command.
        return Form("equals", json_object_new_string_len(strText.data(), static_cast<int>(strText.size())));
    }
    JsonPtr pFields(json_object_new_object());
    MatchFields(pReq.get(), "", vecRedact, pFields.get());
    *pbByFields = true;
    *puiFields = json_object_object_length(pFields.get());
    return Form("json", pFields.release());
}

void Recorder::Impl::Request(const std::string& strClient, const Message& stMsg)
{
    // A rule pins only GET and SET; any other type is the client's mistake, not the service's.
    if (stMsg.uiType > 1) {
        return;
    }
    size_t uiFields = 0;
    bool bByFields = false;
    std::string strText = stMsg.strData.substr(0, stMsg.strData.find('\0'));
    std::string strMatch = Plain(Match(strText, &uiFields, &bByFields).get());
    auto key = std::make_tuple(stMsg.uiCmd, stMsg.uiType, strMatch);
    auto it = mapRuleOf.find(key);
    if (it == mapRuleOf.end()) {
        auto uiSame = std::count_if(vecRules.begin(), vecRules.end(), [&](const RuleRecord& rec) {
            return rec.uiCmd == stMsg.uiCmd && rec.uiType == stMsg.uiType;
        });
        RuleRecord rec;
        rec.strName = TypeName(stMsg.uiType) + " " + std::to_string(stMsg.uiCmd) + " #" + std::to_string(uiSame + 1);
        rec.uiCmd = stMsg.uiCmd;
        rec.uiType = stMsg.uiType;
        rec.strMatch = strMatch;
        rec.uiFields = uiFields;
        rec.bByFields = bByFields;
        it = mapRuleOf.emplace(key, vecRules.size()).first;
        vecRules.push_back(std::move(rec));
    }
    RuleRecord& rec = vecRules[it->second];
    Turn turn;
    turn.uiType = stMsg.uiType;
    turn.uiCmd = stMsg.uiCmd;
    turn.ullCookie = stMsg.ullCookie;
    turn.uiReply = kSilent;
    rec.vecTurns.push_back(turn);
    mapWaiting[strClient].push_back(Outstanding{it->second, rec.vecTurns.size() - 1});
}

// The client's oldest unanswered request takes the reply. One of its command and cookie is
// preferred, so that a reply to a later request is not taken for the answer of one the service
// left unanswered; a reply that matches none (a wrong command on purpose) still goes in order.
void Recorder::Impl::Reply(const std::string& strClient, const Message& stMsg)
{
    auto itClient = mapWaiting.find(strClient);
    if (itClient == mapWaiting.end() || itClient->second.empty()) {
        return;
    }
    std::deque<Outstanding>& waiting = itClient->second;
    auto itTaken = std::find_if(waiting.begin(), waiting.end(), [&](const Outstanding& o) {
        const Turn& turn = vecRules[o.uiRule].vecTurns[o.uiTurn];
        return turn.uiCmd == stMsg.uiCmd && turn.ullCookie == stMsg.ullCookie;
    });
    if (itTaken == waiting.end()) {
        itTaken = waiting.begin();
    }
    Turn& turn = vecRules[itTaken->uiRule].vecTurns[itTaken->uiTurn];
    std::string strReply = Plain(ReplyJson(turn, stMsg).get());
    turn.uiReply = mapReplyOf.emplace(strReply, vecReplies.size()).first->second;
    if (turn.uiReply == vecReplies.size()) {
        vecReplies.push_back(std::move(strReply));
    }
    waiting.erase(itTaken);
    if (waiting.empty()) {
        mapWaiting.erase(itClient);
    }
}

JsonPtr Recorder::Impl::ReplyJson(const Turn& turn, const Message& stMsg) const
{
    JsonPtr pReply(json_object_new_object());
    json_object_object_add(pReply.get(), "result", json_object_new_int(stMsg.iResult));
    unsigned int uiMatching = turn.uiType == 0 ? 2 : 3;
    if (stMsg.uiType != uiMatching) {
        json_object_object_add(pReply.get(), "type",
                               stMsg.uiType == 2   ? json_object_new_string("get_rsp")
                               : stMsg.uiType == 3 ? json_object_new_string("set_rsp")
                                                   : json_object_new_int(static_cast<int>(stMsg.uiType)));
    }
    if (stMsg.uiCmd != turn.uiCmd) {
        json_object_object_add(pReply.get(), "cmd", json_object_new_int64(stMsg.uiCmd));
    }
    // The emulator echoes whatever cookie the replaying client sends; only a cookie the service
    // made up itself is worth writing.
    if (stMsg.ullCookie != turn.ullCookie && stMsg.ullCookie <= LLONG_MAX) {
        json_object_object_add(pReply.get(), "cookie", json_object_new_int64(static_cast<int64_t>(stMsg.ullCookie)));
    }
    json_object_object_add(pReply.get(), "data", DataForm(stMsg.strData, vecRedact).release());
    // The emulator's ullDataLen is the bytes of the data; a service that says 21208 (or anything
    // else) gets it written.
    if (stMsg.ullDataLen != stMsg.strData.size() && stMsg.ullDataLen <= LLONG_MAX) {
        json_object_object_add(pReply.get(), "data_len", json_object_new_int64(static_cast<int64_t>(stMsg.ullDataLen)));
    }
    return pReply;
}

// One reply, or replies in turn: runs of the same reply folded into one with "times", the last
// one standing for every later request as the format repeats it.
JsonPtr Recorder::Impl::RuleJson(const RuleRecord& rec) const
{
    JsonPtr pRule(json_object_new_object());
    json_object_object_add(pRule.get(), "name", json_object_new_string(rec.strName.c_str()));
    json_object_object_add(pRule.get(), "cmd", json_object_new_int64(rec.uiCmd));
    json_object_object_add(pRule.get(), "type", json_object_new_string(rec.uiType == 0 ? "get" : "set"));
    json_object_object_add(pRule.get(), "data", json_tokener_parse(rec.strMatch.c_str()));
    std::vector<std::pair<JsonPtr, unsigned int>> vecRuns;
    size_t uiLast = 0;
    for (const Turn& turn : rec.vecTurns) {
        if (!vecRuns.empty() && turn.uiReply == uiLast) {
            ++vecRuns.back().second;
            continue;
        }
        uiLast = turn.uiReply;
        vecRuns.emplace_back(JsonPtr(uiLast == kSilent ? json_tokener_parse(R"({"silent":true})")
                                                       : json_tokener_parse(vecReplies[uiLast].c_str())),
                             1);
    }
    if (vecRuns.size() == 1) {
        json_object_object_add(pRule.get(), "reply", vecRuns[0].first.release());
        return pRule;
    }
    json_object* pReplies = json_object_new_array();
    for (size_t i = 0; i < vecRuns.size(); ++i) {
        if (vecRuns[i].second > 1 && i + 1 < vecRuns.size()) {
            json_object_object_add(vecRuns[i].first.get(), "times", json_object_new_int64(vecRuns[i].second));
        }
        json_object_array_add(pReplies, vecRuns[i].first.release());
    }
    json_object_object_add(pRule.get(), "replies", pReplies);
    return pRule;
}

Recorder::Recorder(const std::string& strService, const std::vector<std::string>& vecRedact)
    : m_pImpl(std::make_shared<Impl>())
{
    m_pImpl->strService = strService;
    m_pImpl->vecRedact = vecRedact;
}

void Recorder::Add(const Seen& stSeen, const Message& stMsg)
{
    if (!stMsg.bWhole) {
        return;
    }
    if (stSeen.bRequest) {
        m_pImpl->Request(stSeen.strClient, stMsg);
    } else {
        m_pImpl->Reply(stSeen.strClient, stMsg);
    }
}

std::string Recorder::ScenarioText() const
{
    // Exact matches first, in the order seen: they cannot take each other's requests. A match by
    // fields takes any request that has those fields, so those come after them, the ones that pin
    // more fields first.
    std::vector<const RuleRecord*> vecOrder;
    for (const RuleRecord& rec : m_pImpl->vecRules) {
        vecOrder.push_back(&rec);
    }
    std::stable_sort(vecOrder.begin(), vecOrder.end(), [](const RuleRecord* pA, const RuleRecord* pB) {
        if (pA->bByFields != pB->bByFields) {
            return pB->bByFields;
        }
        return pA->uiFields > pB->uiFields;
    });
    json_object* pRules = json_object_new_array();
    for (const RuleRecord* pRec : vecOrder) {
        json_object_array_add(pRules, m_pImpl->RuleJson(*pRec).release());
    }
    json_object* pService = json_object_new_object();
    json_object_object_add(pService, "socket", json_object_new_string(m_pImpl->strService.c_str()));
    json_object_object_add(pService, "rules", pRules);
    json_object* pServices = json_object_new_array();
    json_object_array_add(pServices, pService);
    JsonPtr pRoot(json_object_new_object());
    json_object_object_add(pRoot.get(), "$schema", json_object_new_string("scenario.schema.json"));
    json_object_object_add(pRoot.get(), "name",
                           json_object_new_string(("recorded from " + m_pImpl->strService).c_str()));
    json_object_object_add(pRoot.get(), "services", pServices);
    return std::string(json_object_to_json_string_ext(pRoot.get(), JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_SPACED |
                                                                       JSON_C_TO_STRING_NOSLASHESCAPE)) +
           "\n";
}

} // namespace kxprobe
