// The scenario runtime: each service on a thread of its own, as single-threaded as the camera's
// (a delay holds the service), its state and counter kept across reloads, every exchange
// journaled.
#include "datagram_server.h"
#include "kxdevhost.h"
#include "kxhost.h"
#include "kxplatform.h"
#include "scenario_model.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>

namespace kxdev {

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kJournalKept = 10000;

// What a service knows across reloads of its scenario.
struct ServiceState {
    std::mutex mutex;
    bool bLoaded = false;
    std::map<unsigned int, std::string> mapStored;
    unsigned long long ullCounter = 0;
};

json_object* FieldAt(json_object* pRoot, const std::string& strPath)
{
    json_object* pCur = pRoot;
    size_t uiStart = 0;
    while (pCur != nullptr && uiStart <= strPath.size()) {
        size_t uiDot = strPath.find('.', uiStart);
        std::string strKey = strPath.substr(uiStart, uiDot == std::string::npos ? std::string::npos : uiDot - uiStart);
        json_object* pNext = nullptr;
        if (!json_object_is_type(pCur, json_type_object) || !json_object_object_get_ex(pCur, strKey.c_str(), &pNext)) {
            return nullptr;
        }
        pCur = pNext;
        if (uiDot == std::string::npos) {
            return pCur;
        }
        uiStart = uiDot + 1;
    }
    return nullptr;
}

std::string Printed(json_object* pVal)
{
    return pVal == nullptr ? "null" : json_object_to_json_string_ext(pVal, JSON_C_TO_STRING_PLAIN);
}

// One request as rules and substitutions see it: its text, and that text read as JSON once.
class RequestView {
public:
    explicit RequestView(std::string strText) : m_strText(std::move(strText)) {}
    ~RequestView() { json_object_put(m_pJson); }
    RequestView(const RequestView&) = delete;
    RequestView& operator=(const RequestView&) = delete;
    const std::string& Text() const { return m_strText; }
    json_object* Json()
    {
        if (!m_bParsed) {
            m_bParsed = true;
            m_pJson = json_tokener_parse(m_strText.c_str());
        }
        return m_pJson;
    }

private:
    std::string m_strText;
    bool m_bParsed = false;
    json_object* m_pJson = nullptr;
};

// What of a match the request's data does not hold, in words; empty when it holds.
std::string MatchMiss(const DataMatch& match, RequestView& req)
{
    if (match.bEquals && req.Text() != match.strEquals) {
        return "data is not \"" + match.strEquals + "\"";
    }
    if (match.bContains && req.Text().find(match.strContains) == std::string::npos) {
        return "data does not contain \"" + match.strContains + "\"";
    }
    if (match.bJson && !json_object_is_type(req.Json(), json_type_object)) {
        return "data is not a JSON object";
    }
    for (size_t i = 0; match.bJson && i < match.vecFields.size(); ++i) {
        const auto& [strPath, value] = match.vecFields[i];
        json_object* pField = FieldAt(req.Json(), strPath);
        if (pField == nullptr || !json_object_equal(pField, value.pObj)) {
            return "data field " + strPath + " is " + (pField == nullptr ? "missing" : Printed(pField)) +
                   ", rule wants " + Printed(value.pObj);
        }
    }
    return std::string();
}

std::string TypeName(bool bHbtp, int iType)
{
    if (!bHbtp && (iType == 0 || iType == 1)) {
        return iType == 0 ? "GET" : "SET";
    }
    return "type " + std::to_string(iType);
}

// Whether a rule takes a request. With pvecWhy, every criterion that failed, in words (the
// default answer's nearest rule); without, it stops at the first, as a request's own rule
// needs no words.
bool Holds(const Rule& rule, bool bHbtp, unsigned int uiCmd, int iType, RequestView& req,
           std::vector<std::string>* pvecWhy = nullptr)
{
    bool bHolds = true;
    if (!rule.vecCmds.empty() && std::find(rule.vecCmds.begin(), rule.vecCmds.end(), uiCmd) == rule.vecCmds.end()) {
        if (pvecWhy == nullptr) {
            return false;
        }
        bHolds = false;
        std::string strWants;
        for (unsigned int uiWant : rule.vecCmds) {
            strWants += (strWants.empty() ? "" : " or ") + std::to_string(uiWant);
        }
        const char* pszWhat = bHbtp ? "url " : "cmd ";
        pvecWhy->push_back(pszWhat + std::to_string(uiCmd) + ", rule wants " + strWants);
    }
    if (rule.iType >= 0 && rule.iType != iType) {
        if (pvecWhy == nullptr) {
            return false;
        }
        bHolds = false;
        pvecWhy->push_back(TypeName(bHbtp, iType) + ", rule wants " + TypeName(bHbtp, rule.iType));
    }
    std::string strMiss = rule.match.Any() ? MatchMiss(rule.match, req) : std::string();
    if (!strMiss.empty() && pvecWhy != nullptr) {
        pvecWhy->push_back(strMiss);
    }
    return bHolds && strMiss.empty();
}

std::string LocalTime()
{
    time_t tNow = time(nullptr);
    struct tm stTm {};
    localtime_r(&tNow, &stTm);
    char szBuf[32];
    strftime(szBuf, sizeof(szBuf), "%Y-%m-%dT%H:%M:%S", &stTm);
    return szBuf;
}

// Substitutions of one reply: ${counter} takes one number per reply however often it appears.
class Substituter {
public:
    Substituter(ServiceState& state, RequestView& req) : m_state(state), m_req(req) {}

    std::string Text(const std::vector<TextSegment>& vecText)
    {
        std::string strOut;
        for (const TextSegment& seg : vecText) {
            if (seg.enKind == TextSegment::kLiteral) {
                strOut += seg.strText;
            } else if (seg.enKind == TextSegment::kCounter) {
                strOut += std::to_string(Counter());
            } else if (seg.enKind == TextSegment::kTime) {
                strOut += LocalTime();
            } else {
                json_object* pField = FieldAt(m_req.Json(), seg.strText);
                strOut += pField == nullptr                               ? seg.strDefault
                          : json_object_is_type(pField, json_type_string) ? json_object_get_string(pField)
                                                                          : Printed(pField);
            }
        }
        return strOut;
    }

    // A new value from the template; a string that is one substitution becomes that value itself.
    json_object* Json(json_object* pTmpl, const std::map<const json_object*, std::vector<TextSegment>>& mapStrings)
    {
        if (json_object_is_type(pTmpl, json_type_object)) {
            json_object* pOut = json_object_new_object();
            json_object_object_foreach(pTmpl, pszKey, pField)
            {
                json_object_object_add(pOut, pszKey, Json(pField, mapStrings));
            }
            return pOut;
        }
        if (json_object_is_type(pTmpl, json_type_array)) {
            json_object* pOut = json_object_new_array();
            for (size_t i = 0; i < json_object_array_length(pTmpl); ++i) {
                json_object_array_add(pOut, Json(json_object_array_get_idx(pTmpl, i), mapStrings));
            }
            return pOut;
        }
        if (!json_object_is_type(pTmpl, json_type_string)) {
            json_object* pCopy = nullptr;
            return json_object_deep_copy(pTmpl, &pCopy, nullptr) == 0 ? pCopy : nullptr;
        }
        const std::vector<TextSegment>& vecText = mapStrings.at(pTmpl); // every string was split on load
        if (vecText.size() == 1 && vecText[0].enKind == TextSegment::kCounter) {
            return json_object_new_int64(static_cast<int64_t>(Counter()));
        }
        if (vecText.size() == 1 && vecText[0].enKind == TextSegment::kRequest) {
            json_object* pField = FieldAt(m_req.Json(), vecText[0].strText);
            if (pField != nullptr) {
                json_object* pCopy = nullptr;
                return json_object_deep_copy(pField, &pCopy, nullptr) == 0 ? pCopy : nullptr;
            }
            json_object* pDefault = vecText[0].bHasDefault ? json_tokener_parse(vecText[0].strDefault.c_str())
                                                           : nullptr;
            return pDefault != nullptr || !vecText[0].bHasDefault
                       ? pDefault
                       : json_object_new_string(vecText[0].strDefault.c_str());
        }
        return json_object_new_string(Text(vecText).c_str());
    }

private:
    unsigned long long Counter()
    {
        if (m_ullCounter == 0) {
            std::lock_guard<std::mutex> lock(m_state.mutex);
            m_ullCounter = ++m_state.ullCounter;
        }
        return m_ullCounter;
    }

    ServiceState& m_state;
    RequestView& m_req;
    unsigned long long m_ullCounter = 0;
};

std::string Render(const DataForm& form, Substituter& sub)
{
    std::string strOut;
    for (const DataPart& part : form) {
        std::string strPart;
        if (part.enKind == DataPart::kBytes) {
            strPart = part.strBytes;
        } else if (part.enKind == DataPart::kText) {
            strPart = sub.Text(part.vecText);
        } else {
            json_object* pVal = sub.Json(part.json.pObj, part.mapStrings);
            strPart = pVal == nullptr ? "null" : json_object_to_json_string_ext(pVal, JSON_C_TO_STRING_SPACED);
            json_object_put(pVal);
        }
        if (part.uiSize != 0) {
            strPart.resize(part.uiSize, '\0');
        }
        strOut += strPart;
    }
    return strOut;
}

// The state file: each command's text as JSON when it is JSON, else as a string.
std::string StateFileText(const std::map<unsigned int, std::string>& mapStored)
{
    json_object* pRoot = json_object_new_object();
    for (const auto& [uiCmd, strText] : mapStored) {
        json_object* pVal = json_tokener_parse(strText.c_str());
        json_object_object_add(pRoot, std::to_string(uiCmd).c_str(),
                               pVal != nullptr ? pVal : json_object_new_string(strText.c_str()));
    }
    std::string strText = json_object_to_json_string_ext(pRoot, JSON_C_TO_STRING_SPACED);
    json_object_put(pRoot);
    return strText;
}

// Written aside, flushed and renamed over the old one: a crash leaves the old state or the new,
// never half of one.
bool WriteAtomically(const std::string& strFile, const std::string& strText)
{
    std::string strTmp = strFile + ".tmp";
    int iFd = open(strTmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (iFd < 0) {
        return false;
    }
    bool bOk = write(iFd, strText.data(), strText.size()) == static_cast<ssize_t>(strText.size()) && fsync(iFd) == 0;
    bOk = close(iFd) == 0 && bOk;
    if (!bOk || rename(strTmp.c_str(), strFile.c_str()) != 0) {
        unlink(strTmp.c_str());
        return false;
    }
    return true;
}

} // namespace

struct Emulator::Impl {
    struct Running;

    EmulatorOptions stOptions;
    mutable std::mutex mutex; // the journal and its counts
    std::deque<Exchange> journal;
    std::map<std::pair<std::string, unsigned int>, unsigned int> mapCounts;
    std::map<std::pair<std::string, unsigned int>, Exchange> mapLast;
    std::map<std::string, std::shared_ptr<ServiceState>> mapStates; // by address, kept across reloads
    std::shared_ptr<const Scenario> pScenario;
    std::vector<std::string> vecOnly;
    std::vector<std::unique_ptr<Running>> vecRunning;

    bool StartAll(const std::shared_ptr<const Scenario>& pNew, std::string* pstrError);
    void StopAll();
    bool LoadState(const Service& svc, ServiceState& state, std::string* pstrError);
    void Record(Exchange&& ex);
};

struct Emulator::Impl::Running {
    Impl& impl;
    const Scenario& scenario;
    const Service& svc;
    std::shared_ptr<ServiceState> pState;
    std::vector<unsigned long long> vecTurns; // requests each rule answered, on the service thread
    std::unique_ptr<DatagramServer> pDatagram;
    KxSrvfsService* pHbtp = nullptr;
    std::mutex stopMutex; // lets an HBTP delay end at Stop
    std::condition_variable stopCv;
    bool bStopping = false;

    Running(Impl& i, const Scenario& sc, const Service& s, std::shared_ptr<ServiceState> st)
        : impl(i), scenario(sc), svc(s), pState(std::move(st)), vecTurns(s.vecRules.size(), 0)
    {
    }
    ~Running()
    {
        {
            std::lock_guard<std::mutex> lock(stopMutex);
            bStopping = true;
        }
        stopCv.notify_all();
        pDatagram.reset();
#if !KXDEV_NO_HBTP_SERVICES
        if (pHbtp != nullptr) {
            KxSrvfsStop(pHbtp);
        }
#endif
    }

    // The rule that answers, or null for the default answer with the nearest rule in ex.
    const Rule* Choose(unsigned int uiCmd, int iType, RequestView& req, Exchange& ex, const Reply** ppReply)
    {
        for (size_t i = 0; i < svc.vecRules.size(); ++i) {
            const Rule& rule = svc.vecRules[i];
            if (!Holds(rule, svc.bHbtp, uiCmd, iType, req)) {
                continue;
            }
            unsigned long long ullTurn = vecTurns[i]++;
            *ppReply = &rule.vecReplies.back();
            for (const Reply& reply : rule.vecReplies) {
                if (ullTurn < reply.uiTimes) {
                    *ppReply = &reply;
                    break;
                }
                ullTurn -= reply.uiTimes;
            }
            ex.strRule = rule.strName;
            return &rule;
        }
        size_t uiBest = 0;
        std::vector<std::string> vecBestDiff;
        for (size_t i = 0; i < svc.vecRules.size(); ++i) {
            std::vector<std::string> vecDiff;
            Holds(svc.vecRules[i], svc.bHbtp, uiCmd, iType, req, &vecDiff);
            if (i == 0 || vecDiff.size() < vecBestDiff.size()) {
                uiBest = i;
                vecBestDiff = vecDiff;
            }
        }
        if (!svc.vecRules.empty()) {
            ex.strNearest = svc.vecRules[uiBest].strName;
            for (const std::string& strDiff : vecBestDiff) {
                ex.strDiffers += (ex.strDiffers.empty() ? "" : "; ") + strDiff;
            }
        }
        return nullptr;
    }

    // A SET rule's store; the result the reply then carries (0 when it stored).
    int Store(const Rule& rule, unsigned int uiCmd, RequestView& req)
    {
        unsigned int uiKey = rule.llStoreCmd >= 0 ? static_cast<unsigned int>(rule.llStoreCmd) : uiCmd;
        std::lock_guard<std::mutex> lock(pState->mutex);
        auto it = pState->mapStored.find(uiKey);
        bool bHad = it != pState->mapStored.end();
        std::string strOld = bHad ? it->second : std::string();
        std::string strNew = req.Text();
        if (rule.enStore == Rule::kMerge) {
            json_object* pOld = bHad ? json_tokener_parse(strOld.c_str()) : json_object_new_object();
            bool bObjects = json_object_is_type(pOld, json_type_object) &&
                            json_object_is_type(req.Json(), json_type_object);
            if (bObjects) {
                json_object_object_foreach(req.Json(), pszKey, pVal)
                {
                    json_object_object_add(pOld, pszKey, json_object_get(pVal));
                }
                strNew = json_object_to_json_string_ext(pOld, JSON_C_TO_STRING_SPACED);
            }
            json_object_put(pOld);
            if (!bObjects) {
                return VW_RESULT_INCORRECT_PARAMETER;
            }
        }
        pState->mapStored[uiKey] = strNew;
        if (impl.stOptions.strStateDir.empty() || svc.strStateFile.empty() ||
            WriteAtomically(impl.stOptions.strStateDir + "/" + svc.strStateFile, StateFileText(pState->mapStored))) {
            return VW_RESULT_OK;
        }
        // What is not on disk did not happen.
        if (bHad) {
            pState->mapStored[uiKey] = strOld;
        } else {
            pState->mapStored.erase(uiKey);
        }
        return VW_RESULT_COMMON_ERROR;
    }

    void ServeCommand(DatagramServer& srv, const MSG_DATA& stReq, const DatagramPeer& stFrom)
    {
        Clock::time_point tStart = Clock::now();
        RequestView req(BlockText(stReq.aucData, sizeof(stReq.aucData)));
        Exchange ex;
        ex.strService = svc.strAddress;
        ex.uiCommand = static_cast<unsigned int>(stReq.enCmdType);
        ex.iType = static_cast<int>(stReq.enMsgType);
        ex.strRequestData = req.Text();
        const Reply* pReply = nullptr;
        const Rule* pRule = Choose(ex.uiCommand, ex.iType, req, ex, &pReply);
        Reply stDefault;
        stDefault.iResult = scenario.iDefaultResult;
        stDefault.bSilent = scenario.bDefaultSilent;
        const Reply& reply = pReply != nullptr ? *pReply : stDefault;
        int iStoreResult = pRule != nullptr && pRule->enStore != Rule::kNoStore ? Store(*pRule, ex.uiCommand, req) : 0;
        if (!srv.Pause(reply.uiDelayMs)) {
            return;
        }
        // Journaled before it goes out: whoever has the reply finds the exchange in the journal.
        std::vector<std::unique_ptr<MSG_DATA>> vecOut;
        if (!reply.bSilent) {
            std::unique_ptr<MSG_DATA> pMsg(new MSG_DATA(stReq));
            Build(reply, pRule == nullptr, iStoreResult, stReq, req, *pMsg);
            ex.bAnswered = true;
            ex.iResult = static_cast<int>(pMsg->enResult);
            if (reply.enStale != Reply::kNone) {
                std::unique_ptr<MSG_DATA> pStale(new MSG_DATA(*pMsg));
                if (reply.enStale == Reply::kStaleCmd) {
                    pStale->enCmdType = static_cast<VW_CMD_TYPE>(static_cast<unsigned int>(pStale->enCmdType) + 1);
                } else {
                    pStale->pUserData = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(pStale->pUserData) + 1);
                }
                vecOut.push_back(std::move(pStale));
            }
            if (reply.bTwice) {
                vecOut.emplace_back(new MSG_DATA(*pMsg));
            }
            vecOut.push_back(std::move(pMsg));
            ex.uiBytes = vecOut.size() * sizeof(MSG_DATA);
        }
        ex.dMillis = std::chrono::duration<double, std::milli>(Clock::now() - tStart).count();
        impl.Record(std::move(ex));
        for (const std::unique_ptr<MSG_DATA>& pMsg : vecOut) {
            srv.Send(pMsg.get(), sizeof(MSG_DATA), stFrom);
        }
        if (reply.bSilent && impl.stOptions.uiEndSilentWaitsMs > 0 && srv.Pause(impl.stOptions.uiEndSilentWaitsMs)) {
            const char cEnd = 0; // no whole message: the requester's receive refuses it and its wait ends
            srv.Send(&cEnd, 1, stFrom);
        }
    }

    // The reply from a copy of the request; the default answer carries no data.
    void Build(const Reply& reply, bool bDefault, int iStoreResult, const MSG_DATA& stReq, RequestView& req,
               MSG_DATA& stMsg)
    {
        stMsg.enMsgType = static_cast<VW_MSG_TYPE>(reply.iMsgType >= 0                      ? reply.iMsgType
                                                   : stReq.enMsgType == VW_MSG_TYPE_GET_REQ ? VW_MSG_TYPE_GET_RSP
                                                                                            : VW_MSG_TYPE_SET_RSP);
        if (reply.llCmd >= 0) {
            stMsg.enCmdType = static_cast<VW_CMD_TYPE>(static_cast<unsigned int>(reply.llCmd));
        }
        stMsg.ullMsgNum = 1;
        stMsg.enResult = static_cast<VW_RESULT_TYPE>(iStoreResult != 0 ? iStoreResult : reply.iResult);
        if (reply.bCookie) {
            stMsg.pUserData = reinterpret_cast<void*>(static_cast<uintptr_t>(reply.ullCookie));
        }
        bool bData = false;
        std::string strData;
        if (reply.llStored != -1 && iStoreResult == 0) {
            unsigned int uiKey = reply.llStored == -2 ? static_cast<unsigned int>(stReq.enCmdType)
                                                      : static_cast<unsigned int>(reply.llStored);
            std::lock_guard<std::mutex> lock(pState->mutex);
            auto it = pState->mapStored.find(uiKey);
            if ((bData = it != pState->mapStored.end())) {
                strData = it->second;
            }
        }
        if (!bData && reply.bData) {
            Substituter sub(*pState, req);
            strData = Render(reply.data, sub);
            bData = true;
        }
        if (bData || bDefault) {
            size_t uiLen = std::min(strData.size(), sizeof(stMsg.aucData));
            memset(stMsg.aucData, 0, sizeof(stMsg.aucData));
            memcpy(stMsg.aucData, strData.data(), uiLen);
            stMsg.ullDataLen = uiLen;
        }
        if (reply.llDataLen >= 0) {
            stMsg.ullDataLen = static_cast<unsigned long long>(reply.llDataLen);
        }
    }

#if !KXDEV_NO_HBTP_SERVICES
    hbtp_message* ServeHbtp(hbtp_message* pstMsg)
    {
        Clock::time_point tStart = Clock::now();
        unsigned char ucType = 0;
        unsigned short usUrl = 0;
        KxHbtpGetHeader(pstMsg, &ucType, &usUrl, nullptr);
        void* pBody = nullptr;
        unsigned int uiBody = 0;
        std::string strBody;
        if (hbtp_content(pstMsg, &pBody, &uiBody) == 0 && pBody != nullptr) {
            strBody.assign(static_cast<const char*>(pBody), uiBody);
        }
        RequestView req(BlockText(strBody.data(), strBody.size()));
        Exchange ex;
        ex.strService = svc.strAddress;
        ex.bHbtp = true;
        ex.uiCommand = usUrl;
        ex.iType = ucType & 0x7F;
        ex.strRequestData = strBody;
        const Reply* pReply = nullptr;
        Choose(usUrl, ex.iType, req, ex, &pReply);
        Reply stDefault;
        stDefault.iCode = scenario.iDefaultCode;
        stDefault.bSilent = scenario.bDefaultSilent;
        const Reply& reply = pReply != nullptr ? *pReply : stDefault;
        {
            std::unique_lock<std::mutex> lock(stopMutex);
            if (stopCv.wait_for(lock, std::chrono::milliseconds(reply.uiDelayMs), [this] { return bStopping; })) {
                return nullptr;
            }
        }
        hbtp_message* pstReply = reply.bSilent ? nullptr : hbtp_message_new(0);
        if (pstReply != nullptr) {
            KxHbtpSetHeader(pstReply, static_cast<unsigned char>(reply.iHbtpType), usUrl,
                            static_cast<unsigned short>(reply.iCode));
            for (unsigned short usTag : reply.vecEcho) {
                void* pValue = nullptr;
                unsigned short usLen = 0;
                if (hbtp_header_get(pstMsg, usTag, &pValue, &usLen) == 0) {
                    hbtp_header_set(pstReply, usTag, pValue, usLen);
                }
            }
            Substituter sub(*pState, req);
            for (const auto& [usTag, form] : reply.vecHeaders) {
                std::string strValue = Render(form, sub);
                hbtp_header_set(pstReply, usTag, strValue.data(), static_cast<unsigned short>(strValue.size()));
            }
            if (reply.bData) {
                std::string strOut = Render(reply.data, sub);
                hbtp_content_add(pstReply, strOut.data(), static_cast<unsigned int>(strOut.size()));
                ex.uiBytes = strOut.size();
            }
            ex.bAnswered = true;
            ex.iResult = reply.iCode;
        }
        ex.dMillis = std::chrono::duration<double, std::milli>(Clock::now() - tStart).count();
        impl.Record(std::move(ex));
        return pstReply;
    }
#endif
};

namespace {

#if !KXDEV_NO_HBTP_SERVICES
hbtp_message* ServeHbtpThunk(void* pUser, KxSrvfsRequest* /*pstReq*/, hbtp_message* pstMsg)
{
    return static_cast<Emulator::Impl::Running*>(pUser)->ServeHbtp(pstMsg);
}
#endif

bool Selected(const Service& svc, const std::vector<std::string>& vecOnly)
{
    return vecOnly.empty() || std::find(vecOnly.begin(), vecOnly.end(), svc.strName) != vecOnly.end() ||
           std::find(vecOnly.begin(), vecOnly.end(), svc.strAddress) != vecOnly.end();
}

} // namespace

bool Emulator::Impl::LoadState(const Service& svc, ServiceState& state, std::string* pstrError)
{
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.bLoaded) {
        return true;
    }
    std::map<unsigned int, std::string> mapStored = svc.mapInitial;
    if (!stOptions.strStateDir.empty() && !svc.strStateFile.empty()) {
        std::string strFile = stOptions.strStateDir + "/" + svc.strStateFile;
        if (access(strFile.c_str(), F_OK) == 0) {
            json_object* pRoot = json_object_from_file(strFile.c_str());
            if (!json_object_is_type(pRoot, json_type_object)) {
                json_object_put(pRoot);
                *pstrError = strFile + ": the state of " + svc.strAddress + " is not a JSON object";
                return false;
            }
            json_object_object_foreach(pRoot, pszKey, pVal)
            {
                unsigned long ulCmd = 0;
                if (NumberKey(pszKey, UINT32_MAX, &ulCmd)) {
                    mapStored[static_cast<unsigned int>(ulCmd)] = StateText(pVal);
                }
            }
            json_object_put(pRoot);
        }
    }
    state.mapStored = std::move(mapStored);
    state.bLoaded = true;
    return true;
}

bool Emulator::Impl::StartAll(const std::shared_ptr<const Scenario>& pNew, std::string* pstrError)
{
    for (const Service& svc : pNew->vecServices) {
        if (!Selected(svc, vecOnly)) {
            continue;
        }
        std::shared_ptr<ServiceState>& pState = mapStates[(svc.bHbtp ? "hbtp:" : "") + svc.strAddress];
        if (pState == nullptr) {
            pState = std::make_shared<ServiceState>();
        }
        if (!LoadState(svc, *pState, pstrError)) {
            StopAll();
            return false;
        }
        auto pRun = std::make_unique<Running>(*this, *pNew, svc, pState);
        Running* pRaw = pRun.get();
        if (svc.bHbtp) {
#if KXDEV_NO_HBTP_SERVICES
            errno = ENOTSUP; // a build for the camera, which has no stand-in service file system
#else
            pRun->pHbtp = KxSrvfsServe(svc.strAddress.c_str(), ServeHbtpThunk, pRaw);
#endif
        } else {
            pRun->pDatagram = DatagramServer::Start(
                svc.strAddress, [pRaw](DatagramServer& srv, const MSG_DATA& stReq, const DatagramPeer& stFrom) {
                    pRaw->ServeCommand(srv, stReq, stFrom);
                });
        }
        if (pRun->pHbtp == nullptr && pRun->pDatagram == nullptr) {
            *pstrError = svc.strAddress + ": cannot serve: " + strerror(errno);
            StopAll();
            return false;
        }
        vecRunning.push_back(std::move(pRun));
    }
    pScenario = pNew;
    return true;
}

void Emulator::Impl::StopAll()
{
    vecRunning.clear();
}

void Emulator::Impl::Record(Exchange&& ex)
{
    if (stOptions.fnOnExchange) {
        stOptions.fnOnExchange(ex);
    }
    std::lock_guard<std::mutex> lock(mutex);
    auto key = std::make_pair(ex.strService, ex.uiCommand);
    ++mapCounts[key];
    mapLast[key] = ex;
    journal.push_back(std::move(ex));
    if (journal.size() > kJournalKept) {
        journal.pop_front();
    }
}

Emulator::Emulator(EmulatorOptions stOptions) : m_pImpl(std::make_unique<Impl>())
{
    m_pImpl->stOptions = std::move(stOptions);
}

Emulator::~Emulator()
{
    Stop();
}

bool Emulator::Start(std::shared_ptr<const Scenario> pScenario, std::string* pstrError,
                     const std::vector<std::string>& vecOnly)
{
    std::string strError;
    std::string& strOut = pstrError != nullptr ? *pstrError : strError;
    if (pScenario == nullptr) {
        strOut = "no scenario";
        return false;
    }
    Stop();
    m_pImpl->vecOnly = vecOnly;
    return m_pImpl->StartAll(pScenario, &strOut);
}

bool Emulator::Reload(std::shared_ptr<const Scenario> pScenario, std::string* pstrError)
{
    std::string strError;
    std::string& strOut = pstrError != nullptr ? *pstrError : strError;
    if (pScenario == nullptr) {
        strOut = "no scenario";
        return false;
    }
    std::shared_ptr<const Scenario> pOld = m_pImpl->pScenario;
    m_pImpl->StopAll();
    if (m_pImpl->StartAll(pScenario, &strOut)) {
        return true;
    }
    std::string strAgain;
    if (pOld != nullptr) {
        m_pImpl->StartAll(pOld, &strAgain);
    }
    return false;
}

void Emulator::Stop()
{
    m_pImpl->StopAll();
    m_pImpl->pScenario = nullptr;
}

unsigned int Emulator::Count(const std::string& strService) const
{
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    unsigned int uiTotal = 0;
    for (const auto& [key, uiCount] : m_pImpl->mapCounts) {
        uiTotal += key.first == strService ? uiCount : 0;
    }
    return uiTotal;
}

unsigned int Emulator::Count(const std::string& strService, unsigned int uiCommand) const
{
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    auto it = m_pImpl->mapCounts.find(std::make_pair(strService, uiCommand));
    return it == m_pImpl->mapCounts.end() ? 0 : it->second;
}

std::optional<Exchange> Emulator::Last(const std::string& strService, unsigned int uiCommand) const
{
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    auto it = m_pImpl->mapLast.find(std::make_pair(strService, uiCommand));
    return it == m_pImpl->mapLast.end() ? std::nullopt : std::optional<Exchange>(it->second);
}

std::vector<Exchange> Emulator::Journal() const
{
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    return std::vector<Exchange>(m_pImpl->journal.begin(), m_pImpl->journal.end());
}

std::string Exchange::TextLine() const
{
    char szMs[32];
    snprintf(szMs, sizeof(szMs), "%.2f", dMillis);
    std::string strLine = strService + " " + TypeName(bHbtp, iType) + (bHbtp ? " url " : " cmd ") +
                          std::to_string(uiCommand) + " -> ";
    strLine += bAnswered ? (bHbtp ? "code " : "result ") + std::to_string(iResult) : std::string("silent");
    strLine += ", " + std::to_string(uiBytes) + " bytes, " + szMs + " ms (";
    if (!strRule.empty()) {
        return strLine + "rule \"" + strRule + "\")";
    }
    strLine += "default";
    if (!strNearest.empty()) {
        strLine += "; nearest \"" + strNearest + "\": " + strDiffers;
    }
    return strLine + ")";
}

std::string Exchange::JsonLine() const
{
    json_object* pObj = json_object_new_object();
    json_object_object_add(pObj, "service", json_object_new_string(strService.c_str()));
    json_object_object_add(pObj, "type",
                           bHbtp ? json_object_new_int(iType) : json_object_new_string(TypeName(false, iType).c_str()));
    json_object_object_add(pObj, bHbtp ? "url" : "cmd", json_object_new_int64(uiCommand));
    json_object_object_add(pObj, bHbtp ? "code" : "result", bAnswered ? json_object_new_int(iResult) : nullptr);
    json_object_object_add(pObj, "bytes", json_object_new_int64(static_cast<int64_t>(uiBytes)));
    json_object_object_add(pObj, "ms",
                           json_object_new_double(static_cast<double>(static_cast<long long>(dMillis * 1000)) / 1000));
    json_object_object_add(pObj, "rule", strRule.empty() ? nullptr : json_object_new_string(strRule.c_str()));
    if (strRule.empty() && !strNearest.empty()) {
        json_object_object_add(pObj, "nearest", json_object_new_string(strNearest.c_str()));
        json_object_object_add(pObj, "differs", json_object_new_string(strDiffers.c_str()));
    }
    json_object_object_add(pObj, "request",
                           json_object_new_string_len(strRequestData.data(), static_cast<int>(strRequestData.size())));
    std::string strLine = json_object_to_json_string_ext(pObj, JSON_C_TO_STRING_PLAIN);
    json_object_put(pObj);
    return strLine;
}

} // namespace kxdev
