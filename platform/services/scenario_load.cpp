// The scenario loader: every key is checked, so a typo in a file stops it instead of passing
// silently, and the one error names the file, the place and what is wrong.
#include "scenario_model.h"

#include "kxapicommon.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace kxdev {

namespace {

constexpr size_t kSocketNameMax = 7; // the library's name fields hold 7 characters and a NUL
constexpr size_t kCommandBlockMax = 21208;
constexpr size_t kHbtpBodyMax = 1024 * 1024;
constexpr size_t kFileMax = 16 * 1024 * 1024; // scenario files and data files alike

struct LoadError {
    std::string strPath;
    std::string strWhat;
};

[[noreturn]] void Fail(const std::string& strPath, const std::string& strWhat)
{
    throw LoadError{strPath, strWhat};
}

// The whole file, or false with errno (a directory fails here, at its first read; a file longer
// than anything a scenario holds, with EFBIG).
bool ReadWholeFile(const std::string& strFile, std::string* pstrOut)
{
    FILE* pFile = fopen(strFile.c_str(), "rb");
    if (pFile == nullptr) {
        return false;
    }
    char acBuf[4096];
    size_t n = 0;
    while ((n = fread(acBuf, 1, sizeof(acBuf), pFile)) > 0 && pstrOut->size() <= kFileMax) {
        pstrOut->append(acBuf, n);
    }
    int iErr = ferror(pFile) != 0 ? (errno != 0 ? errno : EIO) : pstrOut->size() > kFileMax ? EFBIG : 0;
    fclose(pFile);
    errno = iErr;
    return iErr == 0;
}

std::string Quoted(const std::string& strText)
{
    return "\"" + strText + "\"";
}

class Loader {
public:
    explicit Loader(std::string strBaseDir) : m_strBaseDir(std::move(strBaseDir)) {}
    void Read(json_object* pRoot, Scenario& scenario);

private:
    void Keys(json_object* pObj, const std::string& strPath, std::initializer_list<const char*> lstAllowed);
    json_object* Object(json_object* pVal, const std::string& strPath);
    long long Int(json_object* pVal, const std::string& strPath, long long llMin, long long llMax);
    bool Bool(json_object* pVal, const std::string& strPath);
    std::string String(json_object* pVal, const std::string& strPath);
    std::vector<unsigned int> Numbers(json_object* pVal, const std::string& strPath, long long llMax);
    std::string Choice(json_object* pVal, const std::string& strPath, std::initializer_list<const char*> lstChoices);

    void ReadService(json_object* pObj, const std::string& strPath, Service& svc);
    void ReadRule(json_object* pObj, const std::string& strPath, bool bHbtp, Rule& rule);
    void ReadReply(json_object* pObj, const std::string& strPath, bool bHbtp, bool bInList, Reply& reply);
    DataMatch ReadMatch(json_object* pObj, const std::string& strPath);
    DataForm ReadForm(json_object* pVal, const std::string& strPath, size_t uiMax);
    DataPart ReadPart(json_object* pVal, const std::string& strPath);
    std::vector<TextSegment> ReadText(const std::string& strText, const std::string& strPath);
    bool SplitJsonTemplate(json_object* pVal, const std::string& strPath, DataPart& part);

    std::string m_strBaseDir;
};

void Loader::Keys(json_object* pObj, const std::string& strPath, std::initializer_list<const char*> lstAllowed)
{
    json_object_object_foreach(pObj, pszKey, pVal)
    {
        (void)pVal;
        bool bKnown = false;
        for (const char* pszAllowed : lstAllowed) {
            bKnown = bKnown || strcmp(pszKey, pszAllowed) == 0;
        }
        if (!bKnown) {
            Fail(strPath, "unknown key " + Quoted(pszKey));
        }
    }
}

json_object* Loader::Object(json_object* pVal, const std::string& strPath)
{
    if (!json_object_is_type(pVal, json_type_object)) {
        Fail(strPath, "wants an object");
    }
    return pVal;
}

long long Loader::Int(json_object* pVal, const std::string& strPath, long long llMin, long long llMax)
{
    if (!json_object_is_type(pVal, json_type_int)) {
        Fail(strPath, "wants a whole number");
    }
    errno = 0;
    long long llValue = json_object_get_int64(pVal);
    if (errno != 0 || llValue < llMin || llValue > llMax) {
        Fail(strPath, "wants a number from " + std::to_string(llMin) + " to " + std::to_string(llMax));
    }
    return llValue;
}

bool Loader::Bool(json_object* pVal, const std::string& strPath)
{
    if (!json_object_is_type(pVal, json_type_boolean)) {
        Fail(strPath, "wants true or false");
    }
    return json_object_get_boolean(pVal) != 0;
}

std::string Loader::String(json_object* pVal, const std::string& strPath)
{
    if (!json_object_is_type(pVal, json_type_string)) {
        Fail(strPath, "wants a string");
    }
    return std::string(json_object_get_string(pVal), static_cast<size_t>(json_object_get_string_len(pVal)));
}

std::vector<unsigned int> Loader::Numbers(json_object* pVal, const std::string& strPath, long long llMax)
{
    std::vector<unsigned int> vecOut;
    if (!json_object_is_type(pVal, json_type_array)) {
        vecOut.push_back(static_cast<unsigned int>(Int(pVal, strPath, 0, llMax)));
        return vecOut;
    }
    size_t uiCount = json_object_array_length(pVal);
    if (uiCount == 0) {
        Fail(strPath, "wants at least one number");
    }
    for (size_t i = 0; i < uiCount; ++i) {
        vecOut.push_back(static_cast<unsigned int>(
            Int(json_object_array_get_idx(pVal, i), strPath + "[" + std::to_string(i) + "]", 0, llMax)));
    }
    return vecOut;
}

std::string Loader::Choice(json_object* pVal, const std::string& strPath, std::initializer_list<const char*> lstChoices)
{
    std::string strValue = String(pVal, strPath);
    std::string strList;
    for (const char* pszChoice : lstChoices) {
        if (strValue == pszChoice) {
            return strValue;
        }
        strList += (strList.empty() ? "" : " or ") + Quoted(pszChoice);
    }
    Fail(strPath, "wants " + strList + ", not " + Quoted(strValue));
}

void Loader::Read(json_object* pRoot, Scenario& scenario)
{
    Object(pRoot, "(top)");
    Keys(pRoot, "(top)", {"$schema", "name", "default", "services"});
    json_object* pVal = nullptr;
    if (json_object_object_get_ex(pRoot, "name", &pVal)) {
        scenario.strName = String(pVal, "name");
    }
    if (json_object_object_get_ex(pRoot, "default", &pVal)) {
        Keys(Object(pVal, "default"), "default", {"result", "code", "silent"});
        json_object* pField = nullptr;
        if (json_object_object_get_ex(pVal, "result", &pField)) {
            scenario.iDefaultResult = static_cast<int>(Int(pField, "default.result", INT_MIN, INT_MAX));
        }
        if (json_object_object_get_ex(pVal, "code", &pField)) {
            scenario.iDefaultCode = static_cast<int>(Int(pField, "default.code", 0, 65535));
        }
        if (json_object_object_get_ex(pVal, "silent", &pField)) {
            scenario.bDefaultSilent = Bool(pField, "default.silent");
        }
    }
    if (!json_object_object_get_ex(pRoot, "services", &pVal) || !json_object_is_type(pVal, json_type_array) ||
        json_object_array_length(pVal) == 0) {
        Fail("services", "wants a list of at least one service");
    }
    for (size_t i = 0; i < json_object_array_length(pVal); ++i) {
        std::string strPath = "services[" + std::to_string(i) + "]";
        Service svc;
        ReadService(json_object_array_get_idx(pVal, i), strPath, svc);
        for (const Service& other : scenario.vecServices) {
            if (other.bHbtp == svc.bHbtp && other.strAddress == svc.strAddress) {
                Fail(strPath, "a second service on " + Quoted(svc.strAddress));
            }
            if (!svc.strName.empty() && other.strName == svc.strName) {
                Fail(strPath + ".name", "a second service named " + Quoted(svc.strName));
            }
        }
        scenario.vecServices.push_back(std::move(svc));
    }
}

void Loader::ReadService(json_object* pObj, const std::string& strPath, Service& svc)
{
    Object(pObj, strPath);
    json_object* pVal = nullptr;
    svc.bHbtp = json_object_object_get_ex(pObj, "hbtp", &pVal);
    if (svc.bHbtp) {
        Keys(pObj, strPath, {"name", "hbtp", "rules"});
        svc.strAddress = String(pVal, strPath + ".hbtp");
        if (svc.strAddress.empty() || svc.strAddress.size() > 64 ||
            svc.strAddress.find_first_of("/\\") != std::string::npos || svc.strAddress[0] == '.') {
            Fail(strPath + ".hbtp", Quoted(svc.strAddress) + " is no service file name (1 to 64 characters, no /)");
        }
    } else {
        Keys(pObj, strPath, {"name", "socket", "state", "rules"});
        if (!json_object_object_get_ex(pObj, "socket", &pVal)) {
            Fail(strPath, "wants \"socket\" (a command-message service) or \"hbtp\" (an HBTP service)");
        }
        svc.strAddress = String(pVal, strPath + ".socket");
        if (svc.strAddress.empty() || svc.strAddress.size() > kSocketNameMax) {
            Fail(strPath + ".socket",
                 Quoted(svc.strAddress) + " is " + (svc.strAddress.empty() ? "empty" : "longer than 7 characters"));
        }
    }
    if (json_object_object_get_ex(pObj, "name", &pVal)) {
        svc.strName = String(pVal, strPath + ".name");
    }
    if (json_object_object_get_ex(pObj, "state", &pVal)) {
        std::string strState = strPath + ".state";
        Keys(Object(pVal, strState), strState, {"file", "initial"});
        json_object* pField = nullptr;
        if (json_object_object_get_ex(pVal, "file", &pField)) {
            svc.strStateFile = String(pField, strState + ".file");
            if (svc.strStateFile.empty() || svc.strStateFile.find('/') != std::string::npos ||
                svc.strStateFile[0] == '.') {
                Fail(strState + ".file", "wants a file name in the state directory, not " + Quoted(svc.strStateFile));
            }
        }
        if (json_object_object_get_ex(pVal, "initial", &pField)) {
            Object(pField, strState + ".initial");
            json_object_object_foreach(pField, pszKey, pInit)
            {
                unsigned long ulCmd = 0;
                if (!NumberKey(pszKey, UINT_MAX, &ulCmd)) {
                    Fail(strState + ".initial", Quoted(pszKey) + " is no command number");
                }
                svc.mapInitial[static_cast<unsigned int>(ulCmd)] = StateText(pInit);
            }
        }
    }
    if (!json_object_object_get_ex(pObj, "rules", &pVal) || !json_object_is_type(pVal, json_type_array)) {
        Fail(strPath + ".rules", "wants a list of rules");
    }
    for (size_t i = 0; i < json_object_array_length(pVal); ++i) {
        Rule rule;
        ReadRule(json_object_array_get_idx(pVal, i), strPath + ".rules[" + std::to_string(i) + "]", svc.bHbtp, rule);
        if (rule.strName.empty()) {
            rule.strName = "rule " + std::to_string(i + 1);
        }
        svc.vecRules.push_back(std::move(rule));
    }
}

void Loader::ReadRule(json_object* pObj, const std::string& strPath, bool bHbtp, Rule& rule)
{
    Object(pObj, strPath);
    json_object* pVal = nullptr;
    if (bHbtp) {
        Keys(pObj, strPath, {"name", "url", "type", "body", "reply", "replies"});
        if (json_object_object_get_ex(pObj, "url", &pVal)) {
            rule.vecCmds = Numbers(pVal, strPath + ".url", 65535);
        }
        if (json_object_object_get_ex(pObj, "type", &pVal)) {
            rule.iType = static_cast<int>(Int(pVal, strPath + ".type", 0, 127));
        }
        if (json_object_object_get_ex(pObj, "body", &pVal)) {
            rule.match = ReadMatch(pVal, strPath + ".body");
        }
    } else {
        Keys(pObj, strPath, {"name", "cmd", "type", "data", "reply", "replies", "store", "store_cmd"});
        if (json_object_object_get_ex(pObj, "cmd", &pVal)) {
            rule.vecCmds = Numbers(pVal, strPath + ".cmd", UINT_MAX);
        }
        if (json_object_object_get_ex(pObj, "type", &pVal)) {
            rule.iType = Choice(pVal, strPath + ".type", {"get", "set"}) == "get" ? 0 : 1;
        }
        if (json_object_object_get_ex(pObj, "data", &pVal)) {
            rule.match = ReadMatch(pVal, strPath + ".data");
        }
        if (json_object_object_get_ex(pObj, "store", &pVal)) {
            rule.enStore = Choice(pVal, strPath + ".store", {"replace", "merge"}) == "replace" ? Rule::kReplace
                                                                                               : Rule::kMerge;
        }
        if (json_object_object_get_ex(pObj, "store_cmd", &pVal)) {
            rule.llStoreCmd = Int(pVal, strPath + ".store_cmd", 0, UINT_MAX);
        }
    }
    if (json_object_object_get_ex(pObj, "name", &pVal)) {
        rule.strName = String(pVal, strPath + ".name");
    }
    json_object* pReply = nullptr;
    json_object* pReplies = nullptr;
    bool bReply = json_object_object_get_ex(pObj, "reply", &pReply);
    bool bReplies = json_object_object_get_ex(pObj, "replies", &pReplies);
    if (bReply && bReplies) {
        Fail(strPath, "has both \"reply\" and \"replies\"");
    }
    if (bReplies) {
        if (!json_object_is_type(pReplies, json_type_array) || json_object_array_length(pReplies) == 0) {
            Fail(strPath + ".replies", "wants a list of at least one reply");
        }
        for (size_t i = 0; i < json_object_array_length(pReplies); ++i) {
            Reply reply;
            ReadReply(json_object_array_get_idx(pReplies, i), strPath + ".replies[" + std::to_string(i) + "]", bHbtp,
                      true, reply);
            rule.vecReplies.push_back(std::move(reply));
        }
        return;
    }
    Reply reply;
    if (bReply) {
        ReadReply(pReply, strPath + ".reply", bHbtp, false, reply);
    }
    rule.vecReplies.push_back(std::move(reply));
}

void Loader::ReadReply(json_object* pObj, const std::string& strPath, bool bHbtp, bool bInList, Reply& reply)
{
    Object(pObj, strPath);
    if (bHbtp) {
        Keys(pObj, strPath, {"code", "type", "body", "headers", "echo_headers", "delay_ms", "silent", "times"});
    } else {
        Keys(pObj, strPath,
             {"result", "data", "stored", "type", "cmd", "cookie", "data_len", "delay_ms", "silent", "twice",
              "stale_first", "times"});
    }
    json_object_object_foreach(pObj, pszKey, pVal)
    {
        std::string strKey = pszKey;
        std::string strField = strPath + "." + strKey;
        if (strKey == "times") {
            if (!bInList) {
                Fail(strField, "belongs to a reply of a \"replies\" list");
            }
            reply.uiTimes = static_cast<unsigned int>(Int(pVal, strField, 1, UINT_MAX));
        } else if (strKey == "silent") {
            reply.bSilent = Bool(pVal, strField);
        } else if (strKey == "delay_ms") {
            reply.uiDelayMs = static_cast<unsigned int>(Int(pVal, strField, 0, 3600000));
        } else if (strKey == "result") {
            reply.iResult = static_cast<int>(Int(pVal, strField, INT_MIN, INT_MAX));
        } else if (strKey == "data") {
            reply.bData = true;
            reply.data = ReadForm(pVal, strField, kCommandBlockMax);
        } else if (strKey == "stored") {
            if (json_object_is_type(pVal, json_type_boolean)) {
                reply.llStored = Bool(pVal, strField) ? -2 : -1;
            } else {
                reply.llStored = Int(pVal, strField, 0, UINT_MAX);
            }
        } else if (strKey == "type" && !bHbtp) {
            if (json_object_is_type(pVal, json_type_string)) {
                reply.iMsgType = Choice(pVal, strField, {"get_rsp", "set_rsp"}) == "get_rsp" ? 2 : 3;
            } else {
                reply.iMsgType = static_cast<int>(Int(pVal, strField, INT_MIN, INT_MAX));
            }
        } else if (strKey == "cmd") {
            reply.llCmd = Int(pVal, strField, 0, UINT_MAX);
        } else if (strKey == "cookie") {
            if (json_object_is_type(pVal, json_type_string)) {
                Choice(pVal, strField, {"same"});
            } else {
                reply.bCookie = true;
                reply.ullCookie = static_cast<unsigned long long>(Int(pVal, strField, 0, LLONG_MAX));
            }
        } else if (strKey == "data_len") {
            reply.llDataLen = Int(pVal, strField, 0, LLONG_MAX);
        } else if (strKey == "twice") {
            reply.bTwice = Bool(pVal, strField);
        } else if (strKey == "stale_first") {
            reply.enStale = Choice(pVal, strField, {"cmd", "cookie"}) == "cmd" ? Reply::kStaleCmd : Reply::kStaleCookie;
        } else if (strKey == "code") {
            reply.iCode = static_cast<int>(Int(pVal, strField, 0, 65535));
        } else if (strKey == "type") {
            reply.iHbtpType = static_cast<int>(Int(pVal, strField, 0, 127));
        } else if (strKey == "body") {
            reply.bData = true;
            reply.data = ReadForm(pVal, strField, kHbtpBodyMax);
        } else if (strKey == "headers") {
            json_object_object_foreach(Object(pVal, strField), pszTag, pHeader)
            {
                std::string strTag = strField + "." + pszTag;
                unsigned long ulTag = 0;
                if (!NumberKey(pszTag, 65535, &ulTag)) {
                    Fail(strTag, "wants a tag number from 0 to 65535 as its key");
                }
                reply.vecHeaders.emplace_back(static_cast<unsigned short>(ulTag), ReadForm(pHeader, strTag, 65535));
            }
        } else if (strKey == "echo_headers") {
            reply.vecEcho.clear();
            if (!json_object_is_type(pVal, json_type_array)) {
                Fail(strField, "wants a list of tag numbers");
            }
            for (unsigned int uiTag :
                 json_object_array_length(pVal) == 0 ? std::vector<unsigned int>() : Numbers(pVal, strField, 65535)) {
                reply.vecEcho.push_back(static_cast<unsigned short>(uiTag));
            }
        }
    }
}

DataMatch Loader::ReadMatch(json_object* pObj, const std::string& strPath)
{
    Keys(Object(pObj, strPath), strPath, {"equals", "contains", "json"});
    DataMatch match;
    json_object* pVal = nullptr;
    if ((match.bEquals = json_object_object_get_ex(pObj, "equals", &pVal))) {
        match.strEquals = String(pVal, strPath + ".equals");
    }
    if ((match.bContains = json_object_object_get_ex(pObj, "contains", &pVal))) {
        match.strContains = String(pVal, strPath + ".contains");
    }
    if ((match.bJson = json_object_object_get_ex(pObj, "json", &pVal))) {
        json_object_object_foreach(Object(pVal, strPath + ".json"), pszKey, pField)
        {
            match.vecFields.emplace_back(pszKey, JsonRef(pField));
        }
    }
    if (!match.Any()) {
        Fail(strPath, "wants \"equals\", \"contains\" or \"json\"");
    }
    return match;
}

DataForm Loader::ReadForm(json_object* pVal, const std::string& strPath, size_t uiMax)
{
    DataForm form;
    if (json_object_is_type(pVal, json_type_array)) {
        for (size_t i = 0; i < json_object_array_length(pVal); ++i) {
            form.push_back(ReadPart(json_object_array_get_idx(pVal, i), strPath + "[" + std::to_string(i) + "]"));
        }
    } else {
        form.push_back(ReadPart(pVal, strPath));
    }
    // Substitutions make text longer at run time (and are cut to the block there); what is fixed
    // now must fit now.
    size_t uiFixed = 0;
    for (const DataPart& part : form) {
        uiFixed += part.uiSize != 0 ? part.uiSize : part.strBytes.size();
    }
    if (uiFixed > uiMax) {
        Fail(strPath, std::to_string(uiFixed) + " bytes, more than the " + std::to_string(uiMax) + " it can hold");
    }
    return form;
}

std::string FromHex(const std::string& strHex, const std::string& strPath)
{
    std::string strOut, strWhy;
    if (!HexBytes(strHex, &strOut, &strWhy)) {
        Fail(strPath, strWhy);
    }
    return strOut;
}

std::string FromBase64(const std::string& strText, const std::string& strPath)
{
    std::string strOut;
    if (!Base64Bytes(strText, &strOut)) {
        Fail(strPath, "is not base64");
    }
    return strOut;
}

DataPart Loader::ReadPart(json_object* pVal, const std::string& strPath)
{
    DataPart part;
    if (json_object_is_type(pVal, json_type_string)) {
        part.vecText = ReadText(String(pVal, strPath), strPath);
        part.enKind = DataPart::kText;
    } else {
        Keys(Object(pVal, strPath), strPath, {"text", "json", "hex", "base64", "file", "zeros", "size"});
        const char* pszForm = nullptr;
        json_object* pForm = nullptr;
        for (const char* pszName : {"text", "json", "hex", "base64", "file", "zeros"}) {
            json_object* pField = nullptr;
            if (json_object_object_get_ex(pVal, pszName, &pField)) {
                if (pszForm != nullptr) {
                    Fail(strPath, "has both " + Quoted(pszForm) + " and " + Quoted(pszName));
                }
                pszForm = pszName;
                pForm = pField;
            }
        }
        if (pszForm == nullptr) {
            Fail(strPath, "wants one of \"text\", \"json\", \"hex\", \"base64\", \"file\", \"zeros\"");
        }
        std::string strForm = pszForm;
        std::string strField = strPath + "." + strForm;
        if (strForm == "text") {
            part.vecText = ReadText(String(pForm, strField), strField);
            part.enKind = DataPart::kText;
        } else if (strForm == "json") {
            if (SplitJsonTemplate(pForm, strField, part)) {
                part.json = JsonRef(pForm);
                part.enKind = DataPart::kJson;
            } else {
                part.mapStrings.clear();
                part.strBytes = json_object_to_json_string_ext(pForm, JSON_C_TO_STRING_SPACED);
            }
        } else if (strForm == "hex") {
            part.strBytes = FromHex(String(pForm, strField), strField);
        } else if (strForm == "base64") {
            part.strBytes = FromBase64(String(pForm, strField), strField);
        } else if (strForm == "zeros") {
            part.strBytes.assign(static_cast<size_t>(Int(pForm, strField, 0, kHbtpBodyMax)), '\0');
        } else {
            std::string strFile = String(pForm, strField);
            std::string strFull = strFile.empty() || strFile[0] == '/' ? strFile : m_strBaseDir + "/" + strFile;
            if (!ReadWholeFile(strFull, &part.strBytes)) {
                Fail(strField, "cannot read " + Quoted(strFull) + ": " + strerror(errno));
            }
        }
        json_object* pSize = nullptr;
        if (json_object_object_get_ex(pVal, "size", &pSize)) {
            part.uiSize = static_cast<size_t>(Int(pSize, strPath + ".size", 1, kHbtpBodyMax));
        }
    }
    // Text without substitutions is fixed bytes, as JSON without them already is.
    if (part.enKind == DataPart::kText && part.vecText.size() <= 1 &&
        (part.vecText.empty() || part.vecText[0].enKind == TextSegment::kLiteral)) {
        part.strBytes = part.vecText.empty() ? std::string() : part.vecText[0].strText;
        part.enKind = DataPart::kBytes;
    }
    if (part.uiSize != 0 && part.enKind == DataPart::kBytes && part.strBytes.size() > part.uiSize) {
        Fail(strPath + ".size",
             std::to_string(part.strBytes.size()) + " bytes do not fit in " + std::to_string(part.uiSize));
    }
    return part;
}

std::vector<TextSegment> Loader::ReadText(const std::string& strText, const std::string& strPath)
{
    std::vector<TextSegment> vecOut;
    std::string strError;
    if (!SplitText(strText, &vecOut, &strError)) {
        Fail(strPath, strError);
    }
    return vecOut;
}

// The strings of a JSON template are split now, into part.mapStrings; the template itself is
// walked at run time. True when it has any substitution.
bool Loader::SplitJsonTemplate(json_object* pVal, const std::string& strPath, DataPart& part)
{
    bool bAny = false;
    if (json_object_is_type(pVal, json_type_string)) {
        std::vector<TextSegment>& vecText = part.mapStrings[pVal] = ReadText(json_object_get_string(pVal), strPath);
        bAny = vecText.size() > 1 || (vecText.size() == 1 && vecText[0].enKind != TextSegment::kLiteral);
    } else if (json_object_is_type(pVal, json_type_object)) {
        json_object_object_foreach(pVal, pszKey, pField)
        {
            bAny = SplitJsonTemplate(pField, strPath + "." + pszKey, part) || bAny;
        }
    } else if (json_object_is_type(pVal, json_type_array)) {
        for (size_t i = 0; i < json_object_array_length(pVal); ++i) {
            bAny = SplitJsonTemplate(json_object_array_get_idx(pVal, i), strPath + "[" + std::to_string(i) + "]",
                                     part) ||
                   bAny;
        }
    }
    return bAny;
}

// An error stays one line whatever the file put in its keys and values: control characters are
// shown as \xNN.
std::string OneLine(const std::string& strText)
{
    std::string strOut;
    for (char c : strText) {
        unsigned char uc = static_cast<unsigned char>(c);
        if (uc < 0x20 || uc == 0x7F) {
            char szHex[8];
            snprintf(szHex, sizeof(szHex), "\\x%02X", uc);
            strOut += szHex;
        } else {
            strOut.push_back(c);
        }
    }
    return strOut;
}

// Where a parse error stopped, as line and column from 1.
std::string LineColumn(const std::string& strText, size_t uiOffset)
{
    size_t uiLine = 1;
    size_t uiLineStart = 0;
    for (size_t i = 0; i < uiOffset && i < strText.size(); ++i) {
        if (strText[i] == '\n') {
            ++uiLine;
            uiLineStart = i + 1;
        }
    }
    return std::to_string(uiLine) + ":" + std::to_string(uiOffset - uiLineStart + 1);
}

std::string DirOf(const std::string& strFile)
{
    size_t uiSlash = strFile.rfind('/');
    return uiSlash == std::string::npos ? "." : uiSlash == 0 ? "/" : strFile.substr(0, uiSlash);
}

} // namespace

bool HexBytes(const std::string& strHex, std::string* pstrOut, std::string* pstrWhy)
{
    std::string strOut;
    int iHigh = -1;
    for (char c : strHex) {
        if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
            continue;
        }
        int iDigit = (c >= '0' && c <= '9')   ? c - '0'
                     : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                     : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                              : -1;
        if (iDigit < 0) {
            *pstrWhy = std::string("'") + c + "' is no hex digit";
            return false;
        }
        if (iHigh < 0) {
            iHigh = iDigit;
        } else {
            strOut.push_back(static_cast<char>(iHigh * 16 + iDigit));
            iHigh = -1;
        }
    }
    if (iHigh >= 0) {
        *pstrWhy = "an odd number of hex digits";
        return false;
    }
    *pstrOut = std::move(strOut);
    return true;
}

bool Base64Bytes(const std::string& strText, std::string* pstrOut)
{
    static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string strOut;
    unsigned int uiBits = 0;
    int iHave = 0;
    size_t uiPad = 0;
    for (char c : strText) {
        if (c == '=') {
            ++uiPad;
            continue;
        }
        size_t uiPos = kAlphabet.find(c);
        if (uiPos == std::string::npos || uiPad > 0) {
            return false;
        }
        uiBits = (uiBits << 6) | static_cast<unsigned int>(uiPos);
        iHave += 6;
        if (iHave >= 8) {
            iHave -= 8;
            strOut.push_back(static_cast<char>((uiBits >> iHave) & 0xFF));
        }
    }
    if (uiPad > 2 || iHave >= 6) {
        return false;
    }
    *pstrOut = std::move(strOut);
    return true;
}

bool NumberKey(const char* pszKey, unsigned long ulMax, unsigned long* pulOut)
{
    char* pEnd = nullptr;
    errno = 0;
    *pulOut = strtoul(pszKey, &pEnd, 10);
    return *pszKey >= '0' && *pszKey <= '9' && *pEnd == '\0' && errno == 0 && *pulOut <= ulMax;
}

bool SplitText(const std::string& strText, std::vector<TextSegment>* pvecOut, std::string* pstrError)
{
    size_t uiPos = 0;
    while (uiPos < strText.size()) {
        size_t uiStart = strText.find("${", uiPos);
        if (uiStart != uiPos) {
            TextSegment seg;
            seg.strText = strText.substr(uiPos, uiStart == std::string::npos ? std::string::npos : uiStart - uiPos);
            pvecOut->push_back(seg);
            if (uiStart == std::string::npos) {
                break;
            }
        }
        size_t uiEnd = strText.find('}', uiStart);
        if (uiEnd == std::string::npos) {
            *pstrError = "\"${\" without its \"}\"";
            return false;
        }
        std::string strName = strText.substr(uiStart + 2, uiEnd - uiStart - 2);
        TextSegment seg;
        if (strName == "counter") {
            seg.enKind = TextSegment::kCounter;
        } else if (strName == "time") {
            seg.enKind = TextSegment::kTime;
        } else if (strName.rfind("request.", 0) == 0 && strName.size() > 8 && strName[8] != '|') {
            seg.enKind = TextSegment::kRequest;
            size_t uiBar = strName.find('|');
            seg.strText = strName.substr(8, uiBar == std::string::npos ? std::string::npos : uiBar - 8);
            seg.bHasDefault = uiBar != std::string::npos;
            seg.strDefault = seg.bHasDefault ? strName.substr(uiBar + 1) : std::string();
        } else {
            *pstrError = "unknown substitution " + Quoted("${" + strName + "}") +
                         " (counter, time, request.FIELD, request.FIELD|DEFAULT)";
            return false;
        }
        pvecOut->push_back(seg);
        uiPos = uiEnd + 1;
    }
    return true;
}

std::string StateText(json_object* pVal)
{
    if (json_object_is_type(pVal, json_type_string)) {
        return json_object_get_string(pVal);
    }
    return json_object_to_json_string_ext(pVal, JSON_C_TO_STRING_SPACED);
}

std::shared_ptr<const Scenario> LoadScenarioText(const std::string& strText, const std::string& strName,
                                                 const std::string& strBaseDir, std::string* pstrError)
{
    std::string strError;
    std::string& strOut = pstrError != nullptr ? *pstrError : strError;
    json_tokener* pTok = json_tokener_new();
    if (pTok == nullptr) {
        strOut = strName + ": out of memory";
        return nullptr;
    }
    json_tokener_set_flags(pTok, JSON_TOKENER_STRICT);
    // The whole text at once, with its length: a NUL inside is malformed, not an end.
    json_object* pRoot = strText.size() > INT_MAX
                             ? nullptr
                             : json_tokener_parse_ex(pTok, strText.c_str(), static_cast<int>(strText.size()) + 1);
    json_tokener_error enErr = json_tokener_get_error(pTok);
    size_t uiEnd = json_tokener_get_parse_end(pTok);
    json_tokener_free(pTok);
    if (pRoot != nullptr && enErr == json_tokener_success &&
        strText.find_first_not_of(" \t\r\n", uiEnd) != std::string::npos) {
        json_object_put(pRoot);
        strOut = strName + ":" + LineColumn(strText, uiEnd) + ": malformed JSON: text after the end";
        return nullptr;
    }
    if (pRoot == nullptr || enErr != json_tokener_success) {
        json_object_put(pRoot);
        if (enErr == json_tokener_success || enErr == json_tokener_continue) {
            strOut = strName + ": malformed JSON: the text ends early";
        } else {
            // The tokener stops on the character it could not take.
            strOut = strName + ":" + LineColumn(strText, uiEnd) + ": malformed JSON: " + json_tokener_error_desc(enErr);
        }
        return nullptr;
    }
    auto pScenario = std::make_shared<Scenario>();
    try {
        Loader(strBaseDir).Read(pRoot, *pScenario);
    } catch (const LoadError& e) {
        json_object_put(pRoot);
        strOut = strName + ": " + OneLine(e.strPath + ": " + e.strWhat);
        return nullptr;
    }
    json_object_put(pRoot);
    if (pScenario->strName.empty()) {
        pScenario->strName = strName;
    }
    return pScenario;
}

std::string DescribeScenario(const Scenario& scenario)
{
    std::string strOut = Quoted(scenario.strName) + ":";
    const char* pszSeparator = " ";
    for (const Service& svc : scenario.vecServices) {
        strOut += pszSeparator + std::string(svc.bHbtp ? "hbtp " : "") + svc.strAddress +
                  (svc.strName.empty() ? "" : " (" + svc.strName + ")");
        pszSeparator = ", ";
    }
    return strOut;
}

std::shared_ptr<const Scenario> LoadScenarioFile(const std::string& strFile, std::string* pstrError)
{
    std::string strText;
    if (!ReadWholeFile(strFile, &strText)) {
        if (pstrError != nullptr) {
            *pstrError = strFile + ": cannot read: " + strerror(errno);
        }
        return nullptr;
    }
    return LoadScenarioText(strText, strFile, DirOf(strFile), pstrError);
}

} // namespace kxdev
