// What a scenario file says, after the loader checked it: the runtime trusts every field here.
#ifndef KXSCENARIO_MODEL_H
#define KXSCENARIO_MODEL_H

#include "kxapicommon.h"
#include "kxscenario.h"

#include <json-c/json.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kxdev {

// A json-c value shared by the model; only read once loaded (serialising would cache text in
// it, so the runtime copies before it prints).
struct JsonRef {
    json_object* pObj = nullptr;
    JsonRef() = default;
    explicit JsonRef(json_object* p) : pObj(json_object_get(p)) {}
    JsonRef(const JsonRef& o) : pObj(json_object_get(o.pObj)) {}
    JsonRef& operator=(const JsonRef& o)
    {
        if (this != &o) {
            json_object_put(pObj);
            pObj = json_object_get(o.pObj);
        }
        return *this;
    }
    ~JsonRef() { json_object_put(pObj); }
};

// One piece of text: literal, or a substitution.
struct TextSegment {
    enum Kind { kLiteral, kCounter, kTime, kRequest } enKind = kLiteral;
    std::string strText; // the literal, or the request field's dotted path
    bool bHasDefault = false;
    std::string strDefault;
};

// One part of a data block or body.
struct DataPart {
    enum Kind { kBytes, kText, kJson } enKind = kBytes;
    std::string strBytes;             // kBytes: the bytes (static text and JSON end up here too)
    std::vector<TextSegment> vecText; // kText
    JsonRef json;                     // kJson: a template with substitutions in its strings
    std::map<const json_object*, std::vector<TextSegment>> mapStrings; // kJson: its strings, split once
    size_t uiSize = 0;                                                 // pad to this many bytes; 0: as long as it is
};
using DataForm = std::vector<DataPart>;

struct DataMatch {
    bool bEquals = false, bContains = false, bJson = false;
    std::string strEquals, strContains;
    std::vector<std::pair<std::string, JsonRef>> vecFields; // dotted path, value
    bool Any() const { return bEquals || bContains || bJson; }
};

struct Reply {
    unsigned int uiTimes = 1;
    bool bSilent = false;
    unsigned int uiDelayMs = 0;
    // command messages
    int iResult = 0;
    bool bData = false;
    DataForm data;
    long long llStored = -1; // -1 none, -2 the request's command, else that command
    int iMsgType = -1;       // -1 the matching reply type
    long long llCmd = -1;
    bool bCookie = false;
    unsigned long long ullCookie = 0;
    long long llDataLen = -1;
    bool bTwice = false;
    enum Stale { kNone, kStaleCmd, kStaleCookie } enStale = kNone;
    // HBTP
    int iCode = 200;
    int iHbtpType = 2;
    std::vector<std::pair<unsigned short, DataForm>> vecHeaders;
    std::vector<unsigned short> vecEcho{KXAPI_HBTP_EXT_CLIENT_FD}; // as the camera's services do
};

struct Rule {
    std::string strName;
    std::vector<unsigned int> vecCmds; // commands or URL numbers; empty: any
    int iType = -1;                    // -1 any
    DataMatch match;
    std::vector<Reply> vecReplies; // one, or taken in turn
    enum Store { kNoStore, kReplace, kMerge } enStore = kNoStore;
    long long llStoreCmd = -1;
};

struct Service {
    std::string strName;    // short name; may be empty
    std::string strAddress; // socket name or HBTP service name
    bool bHbtp = false;
    std::string strStateFile;
    std::map<unsigned int, std::string> mapInitial;
    std::vector<Rule> vecRules;
};

class Scenario {
public:
    std::string strName;
    int iDefaultResult = 3;
    int iDefaultCode = 404;
    bool bDefaultSilent = false;
    std::vector<Service> vecServices;
};

// The stored form of a JSON value: a string's own text, anything else its JSON text.
std::string StateText(json_object* pVal);

// The bytes of the "hex" form (blanks ignored) and of the "base64" form; false (with why, for hex)
// for text that is neither. The probe's command line takes data in the same forms.
bool HexBytes(const std::string& strHex, std::string* pstrOut, std::string* pstrWhy);
bool Base64Bytes(const std::string& strText, std::string* pstrOut);

// A decimal key of a JSON object ("2001"), at most ulMax; false for anything else.
bool NumberKey(const char* pszKey, unsigned long ulMax, unsigned long* pulOut);

// Text split into literals and substitutions; false with *pstrError on an unknown or unclosed one.
bool SplitText(const std::string& strText, std::vector<TextSegment>* pvecOut, std::string* pstrError);

} // namespace kxdev

#endif
