// kxapi-probe diff: what a scenario answers is not read from the file but asked of the dev-host
// kit's own engine, run inside the probe, so substitutions, stored state and replies in turn are
// what kxapi-emulate would give; the live service is asked the same, in the same order.
#include "probe_diff.h"

#include "kxdevhost.h"
#include "kxscenario.h"
#include "probe_wire.h"
#include "scenario_model.h"

#include <json-c/json.h>

#include <dirent.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace kxprobe {

namespace {

// The engine ends its silent waits this soon, so a silent rule costs the reference nothing; the
// live service's silence still takes the whole time-out.
const unsigned int kEndSilentWaitsMs = 50;
// Replies in turn are asked once per turn; a rule whose turns run into millions is not.
const unsigned long long kTurnsMax = 100;
// Data longer than this is not quoted in a difference line.
const size_t kQuotedMax = 64;

std::string Plain(json_object* pVal)
{
    return json_object_to_json_string_ext(pVal, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

// A private run directory for the engine's socket, removed with whatever is left in it.
class RunDir {
public:
    RunDir() = default;
    ~RunDir()
    {
        if (m_strPath.empty()) {
            return;
        }
        if (DIR* pDir = opendir(m_strPath.c_str())) {
            while (dirent* pEnt = readdir(pDir)) {
                if (strcmp(pEnt->d_name, ".") != 0 && strcmp(pEnt->d_name, "..") != 0) {
                    (void)unlink((m_strPath + "/" + pEnt->d_name).c_str());
                }
            }
            closedir(pDir);
        }
        (void)rmdir(m_strPath.c_str());
    }
    RunDir(const RunDir&) = delete;
    RunDir& operator=(const RunDir&) = delete;
    bool Make(std::string* pstrError)
    {
        const char* pszTmp = getenv("TMPDIR");
        std::string strTemplate = std::string(pszTmp != nullptr && *pszTmp != '\0' ? pszTmp : "/tmp") +
                                  "/kxapi-probe.XXXXXX";
        if (mkdtemp(&strTemplate[0]) == nullptr) {
            *pstrError = "cannot make a run directory " + strTemplate + ": " + strerror(errno);
            return false;
        }
        m_strPath = strTemplate;
        return true;
    }
    const std::string& Path() const { return m_strPath; }

private:
    std::string m_strPath;
};

// The data of a request the rule takes: its exact text, or a JSON object that has the fields it
// names (a "contains" text alone could never be one), or the text it contains.
std::string RequestData(const kxdev::DataMatch& match)
{
    if (match.bEquals) {
        return match.strEquals;
    }
    if (!match.bJson) {
        return match.bContains ? match.strContains : std::string();
    }
    JsonPtr pRoot(json_object_new_object());
    for (const auto& [strPath, value] : match.vecFields) {
        json_object* pCur = pRoot.get();
        size_t uiStart = 0;
        for (size_t uiDot; (uiDot = strPath.find('.', uiStart)) != std::string::npos; uiStart = uiDot + 1) {
            std::string strKey = strPath.substr(uiStart, uiDot - uiStart);
            json_object* pNext = nullptr;
            if (!json_object_object_get_ex(pCur, strKey.c_str(), &pNext) ||
                !json_object_is_type(pNext, json_type_object)) {
                pNext = json_object_new_object();
                json_object_object_add(pCur, strKey.c_str(), pNext);
            }
            pCur = pNext;
        }
        // A copy: the engine's threads read the model meanwhile, and printing caches text in a value.
        json_object* pCopy = nullptr;
        if (value.pObj != nullptr && json_object_deep_copy(value.pObj, &pCopy, nullptr) != 0) {
            pCopy = nullptr;
        }
        json_object_object_add(pCur, strPath.substr(uiStart).c_str(), pCopy);
    }
    return json_object_to_json_string_ext(pRoot.get(), JSON_C_TO_STRING_SPACED);
}

// One way the service's reply is not the scenario's.
struct Difference {
    std::string strWhat;         // "result", "type", "cmd", "data", "data field", "no reply", "reply"
    std::string strField;        // data field: its dotted path
    JsonPtr pScenario, pService; // the two values; null where one side has none
    std::string strText;         // the line's text after the request
};

Difference NewDifference(const std::string& strWhat, json_object* pScenario, json_object* pService,
                         const std::string& strText)
{
    Difference stDiff;
    stDiff.strWhat = strWhat;
    stDiff.pScenario.reset(pScenario);
    stDiff.pService.reset(pService);
    stDiff.strText = strText;
    return stDiff;
}

// One side of a JSON comparison: a field may be missing, or be there with the value null.
struct Side {
    bool bHas = false;
    json_object* pVal = nullptr;
};

std::string Shown(const Side& side)
{
    return side.bHas ? Plain(side.pVal) : "(none)";
}

json_object* Copied(const Side& side)
{
    json_object* pCopy = nullptr;
    return side.bHas && side.pVal != nullptr && json_object_deep_copy(side.pVal, &pCopy, nullptr) == 0 ? pCopy
                                                                                                       : nullptr;
}

void CompareJson(const Side& scenario, const Side& service, const std::string& strPath,
                 const std::vector<std::string>& vecIgnore, std::vector<Difference>* pvecOut)
{
    if (!strPath.empty() && std::find(vecIgnore.begin(), vecIgnore.end(), strPath) != vecIgnore.end()) {
        return;
    }
    if (scenario.bHas && service.bHas && json_object_is_type(scenario.pVal, json_type_object) &&
        json_object_is_type(service.pVal, json_type_object)) {
        std::string strPrefix = strPath.empty() ? "" : strPath + ".";
        json_object_object_foreach(scenario.pVal, pszKey, pVal)
        {
            Side other;
            other.bHas = json_object_object_get_ex(service.pVal, pszKey, &other.pVal);
            CompareJson(Side{true, pVal}, other, strPrefix + pszKey, vecIgnore, pvecOut);
        }
        json_object_object_foreach(service.pVal, pszOnly, pOnly)
        {
            if (!json_object_object_get_ex(scenario.pVal, pszOnly, nullptr)) {
                CompareJson(Side{}, Side{true, pOnly}, strPrefix + pszOnly, vecIgnore, pvecOut);
            }
        }
        return;
    }
    if (scenario.bHas == service.bHas && json_object_equal(scenario.pVal, service.pVal)) {
        return;
    }
    std::string strWhat = strPath.empty() ? "data" : "data field";
    Difference stDiff = NewDifference(strWhat, Copied(scenario), Copied(service),
                                      strWhat + (strPath.empty() ? "" : " " + strPath) + ": scenario " +
                                          Shown(scenario) + ", service " + Shown(service));
    stDiff.strField = strPath;
    pvecOut->push_back(std::move(stDiff));
}

json_object* DataValue(const std::string& strData)
{
    return json_tokener_parse(DataJson(strData).c_str());
}

void CompareData(const std::string& strScenario, const std::string& strService,
                 const std::vector<std::string>& vecIgnore, std::vector<Difference>* pvecOut)
{
    JsonPtr pScenario = ParseWholeJson(strScenario);
    JsonPtr pService = ParseWholeJson(strService);
    if (pScenario != nullptr && pService != nullptr) {
        CompareJson(Side{true, pScenario.get()}, Side{true, pService.get()}, "", vecIgnore, pvecOut);
        return;
    }
    if (strScenario == strService) {
        return;
    }
    std::string strText;
    if (strScenario.size() <= kQuotedMax && strService.size() <= kQuotedMax) {
        strText = "data: scenario " + JsonString(strScenario) + ", service " + JsonString(strService);
    } else {
        auto pair = std::mismatch(strScenario.begin(), strScenario.end(), strService.begin(), strService.end());
        strText = "data: scenario " + std::to_string(strScenario.size()) + " bytes, service " +
                  std::to_string(strService.size()) + " bytes, first difference at byte " +
                  std::to_string(pair.first - strScenario.begin());
    }
    pvecOut->push_back(NewDifference("data", DataValue(strScenario), DataValue(strService), strText));
}

std::vector<Difference> Compare(const Message* pstScenario, const Message* pstService,
                                const std::vector<std::string>& vecIgnore)
{
    std::vector<Difference> vecOut;
    if (pstScenario == nullptr || pstService == nullptr) {
        if (pstScenario != nullptr) {
            vecOut.push_back(NewDifference("no reply", nullptr, nullptr, "no reply"));
        } else if (pstService != nullptr) {
            vecOut.push_back(
                NewDifference("reply", nullptr, json_object_new_int(pstService->iResult),
                              "reply: scenario none, service result " + std::to_string(pstService->iResult)));
        }
        return vecOut;
    }
    auto Field = [&](const char* pszWhat, long long llScenario, long long llService, const std::string& strScenario,
                     const std::string& strService) {
        if (llScenario != llService) {
            vecOut.push_back(
                NewDifference(pszWhat, json_object_new_int64(llScenario), json_object_new_int64(llService),
                              std::string(pszWhat) + ": scenario " + strScenario + ", service " + strService));
        }
    };
    Field("result", pstScenario->iResult, pstService->iResult, std::to_string(pstScenario->iResult),
          std::to_string(pstService->iResult));
    Field("type", pstScenario->uiType, pstService->uiType, TypeName(pstScenario->uiType), TypeName(pstService->uiType));
    Field("cmd", pstScenario->uiCmd, pstService->uiCmd, std::to_string(pstScenario->uiCmd),
          std::to_string(pstService->uiCmd));
    CompareData(pstScenario->strData, pstService->strData, vecIgnore, &vecOut);
    return vecOut;
}

// What one request is: "GET 1001 (rule "device")", with the turn for replies in turn.
struct Asked {
    std::string strRule;
    bool bSet = false;
    unsigned int uiCmd = 0;
    unsigned long long ullTurn = 0, ullTurns = 1;
    std::string Head() const
    {
        return std::string(bSet ? "SET " : "GET ") + std::to_string(uiCmd) + " (rule \"" + strRule + "\"" +
               (ullTurns > 1 ? ", turn " + std::to_string(ullTurn) : "") + ")";
    }
};

std::string JsonLine(const Asked& stAsked, const Difference& stDiff)
{
    JsonPtr pLine(json_object_new_object());
    json_object_object_add(pLine.get(), "request", json_object_new_string(stAsked.bSet ? "SET" : "GET"));
    json_object_object_add(pLine.get(), "cmd", json_object_new_int64(stAsked.uiCmd));
    json_object_object_add(pLine.get(), "rule", json_object_new_string(stAsked.strRule.c_str()));
    if (stAsked.ullTurns > 1) {
        json_object_object_add(pLine.get(), "turn", json_object_new_int64(static_cast<int64_t>(stAsked.ullTurn)));
    }
    json_object_object_add(pLine.get(), "what", json_object_new_string(stDiff.strWhat.c_str()));
    if (!stDiff.strField.empty()) {
        json_object_object_add(pLine.get(), "field", json_object_new_string(stDiff.strField.c_str()));
    }
    if (stDiff.pScenario != nullptr || stDiff.pService != nullptr) {
        json_object_object_add(pLine.get(), "scenario", json_object_get(stDiff.pScenario.get()));
        json_object_object_add(pLine.get(), "service", json_object_get(stDiff.pService.get()));
    }
    return Plain(pLine.get());
}

const kxdev::Service* Pick(const kxdev::Scenario& scenario, const std::string& strService, std::string* pstrHas)
{
    for (const kxdev::Service& svc : scenario.vecServices) {
        if (!svc.bHbtp && (svc.strAddress == strService || (!svc.strName.empty() && svc.strName == strService))) {
            return &svc;
        }
        if (!svc.bHbtp) {
            *pstrHas += (pstrHas->empty() ? "" : ", ") + svc.strAddress +
                        (svc.strName.empty() ? "" : " (" + svc.strName + ")");
        }
    }
    return nullptr;
}

// Asked once per turn of the rule's replies: every reply but the last answers its "times".
unsigned long long Turns(const kxdev::Rule& rule)
{
    unsigned long long ullTurns = 1;
    for (size_t i = 0; i + 1 < rule.vecReplies.size(); ++i) {
        ullTurns += rule.vecReplies[i].uiTimes;
    }
    return ullTurns;
}

} // namespace

int RunDiff(const DiffOptions& stOpt, std::ostream& out, std::ostream& err)
{
    std::string strError;
    std::shared_ptr<const kxdev::Scenario> pScenario = kxdev::LoadScenarioFile(stOpt.strScenario, &strError);
    if (pScenario == nullptr) {
        err << "kxapi-probe: " << strError << "\n";
        return kExitFailed;
    }
    std::string strHas;
    const kxdev::Service* pSvc = Pick(*pScenario, stOpt.strService, &strHas);
    if (pSvc == nullptr) {
        // The file is fine; the argument names what it does not hold.
        err << "kxapi-probe: " << stOpt.strScenario << " has no command-message service " << stOpt.strService << " ("
            << (strHas.empty() ? "it has none" : "it has " + strHas) << ")\n";
        return kExitUsage;
    }
    RunDir dir;
    if (!dir.Make(&strError) || KxUnixSetRunDir(dir.Path().c_str()) != 0) {
        err << "kxapi-probe: " << (strError.empty() ? "run directory too long: " + dir.Path() : strError) << "\n";
        return kExitFailed;
    }
    kxdev::Emulator reference(kxdev::EmulatorOptions{"", kEndSilentWaitsMs, nullptr});
    // Ask ends a wait with SIGALRM, which must reach this thread, not one of the engine's: its
    // threads inherit a mask that blocks it.
    sigset_t stAlarm, stOld;
    sigemptyset(&stAlarm);
    sigaddset(&stAlarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &stAlarm, &stOld);
    bool bStarted = reference.Start(pScenario, &strError, {pSvc->strAddress});
    pthread_sigmask(SIG_SETMASK, &stOld, nullptr);
    if (!bStarted) {
        err << "kxapi-probe: cannot run " << stOpt.strScenario << ": " << strError << "\n";
        return kExitFailed;
    }
    unsigned long long ullAsked = 0, ullDiffer = 0;
    for (const kxdev::Rule& rule : pSvc->vecRules) {
        if (rule.vecCmds.empty()) {
            err << "kxapi-probe: rule \"" << rule.strName << "\" names no command: not asked\n";
            continue;
        }
        Asked stAsked;
        stAsked.strRule = rule.strName;
        stAsked.bSet = rule.iType == 1;
        stAsked.uiCmd = rule.vecCmds.front();
        stAsked.ullTurns = Turns(rule);
        if (stAsked.ullTurns > kTurnsMax) {
            err << "kxapi-probe: rule \"" << rule.strName << "\" has " << stAsked.ullTurns << " turns: asked "
                << kTurnsMax << "\n";
            stAsked.ullTurns = kTurnsMax;
        }
        std::string strData = RequestData(rule.match);
        for (stAsked.ullTurn = 1; stAsked.ullTurn <= stAsked.ullTurns; ++stAsked.ullTurn) {
            Message stScenario, stService;
            std::string strWhy;
            int iScenario = Ask(dir.Path(), pSvc->strAddress, stAsked.bSet, stAsked.uiCmd, strData,
                                stOpt.dTimeoutSeconds, &stScenario, &strWhy);
            if (iScenario != kExitOk && iScenario != kExitMismatch && iScenario != kExitTimeout) {
                err << "kxapi-probe: the scenario run in the probe: " << strWhy << "\n";
                return iScenario == kExitUsage ? kExitUsage : kExitFailed;
            }
            int iService = Ask(stOpt.strRunDir, pSvc->strAddress, stAsked.bSet, stAsked.uiCmd, strData,
                               stOpt.dTimeoutSeconds, &stService, &strWhy);
            if (iService != kExitOk && iService != kExitMismatch && iService != kExitTimeout) {
                err << "kxapi-probe: " << strWhy << "\n";
                return iService;
            }
            std::vector<Difference> vecDiff = Compare(iScenario == kExitTimeout ? nullptr : &stScenario,
                                                      iService == kExitTimeout ? nullptr : &stService, stOpt.vecIgnore);
            for (const Difference& stDiff : vecDiff) {
                out << (stOpt.bJson ? JsonLine(stAsked, stDiff) : stAsked.Head() + ": " + stDiff.strText) << "\n";
            }
            out.flush(); // a live service's silence takes a time-out: what is known so far is shown
            ++ullAsked;
            ullDiffer += vecDiff.empty() ? 0 : 1;
        }
    }
    if (stOpt.bJson) {
        out << "{\"requests\":" << ullAsked << ",\"differ\":" << ullDiffer << "}\n";
    } else {
        out << ullAsked << " requests, " << ullDiffer << " differ\n";
    }
    out.flush();
    return ullDiffer == 0 ? kExitOk : kExitResult;
}

} // namespace kxprobe
