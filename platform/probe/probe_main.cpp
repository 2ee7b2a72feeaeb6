// kxapi-probe: asks the camera's services by hand, stands between a service and its clients, and
// checks a service against a scenario. One exit status per way a command ends (kxapi-probe.1).
#include "kxapi_hbtp.h"
#include "probe_diff.h"
#include "probe_pcap.h"
#include "probe_record.h"
#include "probe_tap.h"
#include "probe_wire.h"
#include "scenario_model.h"

#include <json-c/json.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

// The platform's functions are the process's, looked up when hbtp is asked for: the probe starts
// in a process without an HBTP library and says so then. The log sink exists in the dev-host
// stand-in only.
struct HbtpLibrary {
    hbtp_message* (*pfnNew)(int);
    int (*pfnPut)(hbtp_message*);
    int (*pfnHeaderSet)(hbtp_message*, unsigned short, const void*, unsigned short);
    int (*pfnHeaderGet)(hbtp_message*, unsigned short, void**, unsigned short*);
    int (*pfnContentAdd)(hbtp_message*, const void*, unsigned int);
    int (*pfnContent)(hbtp_message*, void**, unsigned int*);
    int (*pfnSend)(hbtp_message*, int);
    int (*pfnRecv)(hbtp_message*, int);
};

namespace kxprobe {
namespace {

const char kVersion[] = "kxapi-probe " KXAPI_PROBE_VERSION;

const std::map<std::string, std::string> kHelp = {
    {"", "usage: kxapi-probe COMMAND [ARGS] [--run-dir DIR]\n"
         "Sends, watches and records the command messages of the camera's services.\n\n"
         "commands:\n"
         "  send SERVICE --cmd N      one exchange through the library; prints the reply\n"
         "  hbtp SERVICE --url N      one HBTP exchange with a service of the service file system\n"
         "  tap SERVICE               stands between a running service and its clients\n"
         "  untap SERVICE             gives a service its name back after a tap was killed\n"
         "  diff SERVICE SCENARIO     asks a live service what a scenario holds, reports differences\n\n"
         "SERVICE is a socket name (\"/tmp/A\"); --run-dir DIR maps it under the dev-host kit's run\n"
         "directory (\"/tmp/A\" is DIR/tmp_A). 'kxapi-probe COMMAND --help' for a command;\n"
         "exit statuses: man kxapi-probe.\n"},
    {"send", "usage: kxapi-probe send SERVICE --cmd N [--set] [--data DATA] [--timeout S] [--hex] [--json]\n"
             "                        [--run-dir DIR]\n"
             "One synchronous exchange through the library's send and receive, from a socket of the\n"
             "probe's own. A GET unless --set. DATA: TEXT, text:TEXT, json:JSON, hex:HEX, base64:B64 or\n"
             "@FILE. --timeout ends the wait sooner than the library's own (30 s for a GET).\n"
             "Prints type, command, result with its status text, data length and the data (indented\n"
             "JSON, text, or a hex dump); --json: one JSON object.\n"
             "exit: 0 result 0, 1 non-zero result, 2 bad arguments, 3 no reply, 4 no service,\n"
             "      5 a reply of another type or command, 6 other failure\n"},
    {"hbtp", "usage: kxapi-probe hbtp SERVICE --url N --type T [--body DATA] [--header TAG=VALUE]...\n"
             "                        [--show-header TAG]... [--option N] [--timeout S] [--hex] [--json]\n"
             "                        [--run-dir DIR]\n"
             "One HBTP request and reply with SERVICE (\"auth.paas.opx\" or \"/mnt/srvfs/auth.paas.opx\";\n"
             "with --run-dir on a PC: DIR/srvfs/NAME). Prints the code, the extension headers (those\n"
             "named by --header and --show-header, and 50115) and the body.\n"
             "exit: 0 code 200, 1 another code, 2 bad arguments, 3 no reply within --timeout (30 s),\n"
             "      4 no service, 6 other failure (no HBTP library in the process)\n"},
    {"tap", "usage: kxapi-probe tap SERVICE [--cmd N] [--record FILE [--redact FIELD]...] [--pcap FILE]\n"
            "                       [--for SECONDS] [--json] [--run-dir DIR]\n"
            "Moves the service's socket name aside, binds it, forwards each request to the service\n"
            "and each reply back, and prints one line per message. SIGINT, SIGTERM or --for end it\n"
            "and give the name back. --cmd shows only that command (all still pass). --record writes\n"
            "a scenario file kxapi-emulate replays; --redact blanks a JSON field in it. --pcap writes\n"
            "a pcapng capture (kxapi-probe.lua decodes it).\n"
            "exit: 0 ended, 2 bad arguments, 4 no service, 6 other failure\n"},
    {"untap", "usage: kxapi-probe untap SERVICE [--run-dir DIR]\n"
              "Gives SERVICE its socket name back after a tap was killed.\n"
              "exit: 0 done, 2 bad arguments, 6 nothing to undo\n"},
    {"diff", "usage: kxapi-probe diff SERVICE SCENARIO [--ignore FIELD]... [--timeout S] [--json]\n"
             "                        [--run-dir DIR]\n"
             "Sends SERVICE each request the scenario's rules for it hold (SETs included), and the\n"
             "same to the scenario run inside the probe; reports each reply that differs (result,\n"
             "type, command, data; JSON data field by field, without the --ignore fields).\n"
             "exit: 0 no difference, 1 differences, 2 bad arguments, 3 no reply, 4 no service,\n"
             "      6 a scenario that does not load\n"},
};

struct Args {
    std::string strCommand;
    std::vector<std::string> vecPositional;
    std::map<std::string, std::vector<std::string>> mapFlags; // flag -> its values ("" for a switch)
};

const std::map<std::string, bool> kFlagTakesValue = {
    {"--run-dir", true}, {"--cmd", true},         {"--set", false},   {"--data", true},   {"--timeout", true},
    {"--hex", false},    {"--json", false},       {"--url", true},    {"--type", true},   {"--body", true},
    {"--header", true},  {"--show-header", true}, {"--option", true}, {"--record", true}, {"--pcap", true},
    {"--for", true},     {"--redact", true},      {"--ignore", true}, {"--help", false},
};

// Which flags each command takes.
const std::map<std::string, std::string> kCommandFlags = {
    {"send", "--run-dir --cmd --set --data --timeout --hex --json --help"},
    {"hbtp", "--run-dir --url --type --body --header --show-header --option --timeout --hex --json --help"},
    {"tap", "--run-dir --cmd --record --redact --pcap --for --json --help"},
    {"untap", "--run-dir --help"},
    {"diff", "--run-dir --ignore --timeout --json --help"},
};

[[noreturn]] void Fail(int iStatus, const std::string& strWhy)
{
    std::cerr << "kxapi-probe: " << strWhy << "\n";
    std::exit(iStatus);
}

[[noreturn]] void Usage(const std::string& strCommand, const std::string& strWhy)
{
    std::cerr << "kxapi-probe: " << strWhy << "\n" << kHelp.at(strCommand);
    std::exit(kExitUsage);
}

Args ParseArgs(int argc, char** argv)
{
    Args a;
    if (argc < 2) {
        Usage("", "no command");
    }
    a.strCommand = argv[1];
    if (a.strCommand == "--help" || a.strCommand == "help") {
        std::cout << kHelp.at("");
        std::exit(kExitOk);
    }
    if (a.strCommand == "--version") {
        std::cout << kVersion << "\n";
        std::exit(kExitOk);
    }
    auto itCmd = kCommandFlags.find(a.strCommand);
    if (itCmd == kCommandFlags.end()) {
        Usage("", "unknown command " + a.strCommand);
    }
    for (int i = 2; i < argc; ++i) {
        std::string strArg = argv[i];
        if (strArg.rfind("--", 0) != 0) {
            a.vecPositional.push_back(strArg);
            continue;
        }
        auto itFlag = kFlagTakesValue.find(strArg);
        if (itFlag == kFlagTakesValue.end() ||
            (" " + itCmd->second + " ").find(" " + strArg + " ") == std::string::npos) {
            Usage(a.strCommand, a.strCommand + " takes no flag " + strArg);
        }
        if (strArg == "--help") {
            std::cout << kHelp.at(a.strCommand);
            std::exit(kExitOk);
        }
        if (itFlag->second && i + 1 >= argc) {
            Usage(a.strCommand, strArg + " wants a value");
        }
        a.mapFlags[strArg].push_back(itFlag->second ? argv[++i] : "");
    }
    return a;
}

bool Has(const Args& a, const std::string& strFlag)
{
    return a.mapFlags.count(strFlag) != 0;
}

std::string Value(const Args& a, const std::string& strFlag, const std::string& strDefault = "")
{
    auto it = a.mapFlags.find(strFlag);
    if (it == a.mapFlags.end()) {
        return strDefault;
    }
    if (it->second.size() > 1) {
        Usage(a.strCommand, strFlag + " given twice");
    }
    return it->second[0];
}

const std::vector<std::string>& Values(const Args& a, const std::string& strFlag)
{
    static const std::vector<std::string> kNone;
    auto it = a.mapFlags.find(strFlag);
    return it == a.mapFlags.end() ? kNone : it->second;
}

// A whole number as C writes it (12, 0x1f), at most ulMax; false for anything else.
bool NumberText(const std::string& strText, unsigned long ulMax, unsigned long* pulOut)
{
    char* pEnd = nullptr;
    errno = 0;
    *pulOut = strtoul(strText.c_str(), &pEnd, 0);
    return !strText.empty() && strText[0] != '-' && *pEnd == '\0' && errno == 0 && *pulOut <= ulMax;
}

// An HBTP extension header's tag: a number from 0 to 65535.
bool Tag(const std::string& strText, unsigned short* pusTag)
{
    unsigned long ulTag = 0;
    bool bOk = NumberText(strText, 0xffff, &ulTag);
    *pusTag = static_cast<unsigned short>(ulTag);
    return bOk;
}

unsigned long Number(const Args& a, const std::string& strFlag, unsigned long ulMax)
{
    unsigned long ulValue = 0;
    if (!NumberText(Value(a, strFlag), ulMax, &ulValue)) {
        Usage(a.strCommand, strFlag + " wants a number from 0 to " + std::to_string(ulMax));
    }
    return ulValue;
}

double Seconds(const Args& a, const std::string& strFlag, double dDefault)
{
    if (!Has(a, strFlag)) {
        return dDefault;
    }
    std::string strText = Value(a, strFlag);
    char* pEnd = nullptr;
    double d = strtod(strText.c_str(), &pEnd);
    if (strText.empty() || *pEnd != '\0' || !std::isfinite(d) || d <= 0 || d > 86400) {
        Usage(a.strCommand, strFlag + " wants seconds, more than 0 and at most 86400");
    }
    return d;
}

std::string Service(const Args& a, size_t uiPositional)
{
    if (a.vecPositional.size() != uiPositional) {
        Usage(a.strCommand, a.vecPositional.empty()
                                ? "no service"
                                : "wants " + std::to_string(uiPositional) + " arguments besides flags");
    }
    return a.vecPositional[0];
}

// The library's log lines are the platform's; on a PC the stand-in would print them amid the
// probe's output, so they are dropped there.
void QuietLibraryLog()
{
    using PfnSink = void (*)(void*, int, int, int, int, const char*, int, const char*);
    auto pfnSetSink = reinterpret_cast<void (*)(PfnSink, void*)>(dlsym(RTLD_DEFAULT, "KxPlatformSetLogSink"));
    if (pfnSetSink != nullptr) {
        pfnSetSink([](void*, int, int, int, int, const char*, int, const char*) {}, nullptr);
    }
}

template <typename T>
bool Find(T* ppfn, const char* pszName)
{
    *ppfn = reinterpret_cast<T>(dlsym(RTLD_DEFAULT, pszName));
    return *ppfn != nullptr;
}

bool FindHbtp(HbtpLibrary* pstLib)
{
    return Find(&pstLib->pfnNew, "hbtp_message_new") && Find(&pstLib->pfnPut, "hbtp_message_put") &&
           Find(&pstLib->pfnHeaderSet, "hbtp_header_set") && Find(&pstLib->pfnHeaderGet, "hbtp_header_get") &&
           Find(&pstLib->pfnContentAdd, "hbtp_content_add") && Find(&pstLib->pfnContent, "hbtp_content") &&
           Find(&pstLib->pfnSend, "hbtp_message_sendfd") && Find(&pstLib->pfnRecv, "hbtp_message_recvfd");
}

// The bytes of a --data argument, in the forms of scenario files (their decoders): "json:TEXT"
// (checked, sent as given), "hex:00 0a ff" (blanks ignored), "base64:AAr/", "@FILE" (its bytes),
// "text:TEXT" or any other TEXT as it stands. false with *pstrError naming the fault; more than
// the data block holds is a fault too.
bool ParseData(const std::string& strArg, std::string* pstrBytes, std::string* pstrError)
{
    std::string strOut;
    bool bOk = true;
    if (strArg.rfind("json:", 0) == 0) {
        strOut = strArg.substr(5);
        json_tokener* pTok = json_tokener_new();
        JsonPtr pObj(json_tokener_parse_ex(pTok, strOut.c_str(), static_cast<int>(strOut.size())));
        enum json_tokener_error enErr = json_tokener_get_error(pTok);
        size_t uiEnd = json_tokener_get_parse_end(pTok);
        json_tokener_free(pTok);
        if (enErr != json_tokener_success || strOut.find_first_not_of(" \t\r\n", uiEnd) != std::string::npos) {
            const char* pszWhat = enErr == json_tokener_continue  ? "unexpected end of data"
                                  : enErr == json_tokener_success ? "more after the value"
                                                                  : json_tokener_error_desc(enErr);
            *pstrError = "--data json: malformed JSON at byte " + std::to_string(uiEnd) + ": " + pszWhat;
            return false;
        }
    } else if (strArg.rfind("hex:", 0) == 0) {
        std::string strWhy;
        bOk = kxdev::HexBytes(strArg.substr(4), &strOut, &strWhy);
        *pstrError = "--data hex: wants pairs of hex digits (blanks ignored)";
    } else if (strArg.rfind("base64:", 0) == 0) {
        bOk = kxdev::Base64Bytes(strArg.substr(7), &strOut);
        *pstrError = "--data base64: not base64";
    } else if (strArg.rfind("@", 0) == 0) {
        // At most one byte more than a data block holds: enough to refuse a longer file (or a device).
        std::ifstream in(strArg.substr(1), std::ios::binary);
        strOut.resize(VW_CMD_BODY_LEN + 1);
        in.read(&strOut[0], static_cast<std::streamsize>(strOut.size()));
        bOk = in.good() || in.eof();
        strOut.resize(static_cast<size_t>(in.gcount()));
        *pstrError = "--data " + strArg + ": cannot read: " + strerror(errno);
    } else {
        strOut = strArg.rfind("text:", 0) == 0 ? strArg.substr(5) : strArg;
    }
    if (!bOk) {
        return false;
    }
    if (strOut.size() > VW_CMD_BODY_LEN) {
        *pstrError = "--data: " + std::to_string(strOut.size()) + " bytes, the data block holds " +
                     std::to_string(VW_CMD_BODY_LEN);
        return false;
    }
    pstrError->clear();
    *pstrBytes = std::move(strOut);
    return true;
}

std::string Status(int iResult)
{
    return std::to_string(iResult) + " (" + GetStatusString(iResult) + ")";
}

int Send(const Args& a)
{
    std::string strService = Service(a, 1);
    if (!Has(a, "--cmd")) {
        Usage("send", "send wants --cmd N");
    }
    unsigned int uiCmd = static_cast<unsigned int>(Number(a, "--cmd", 0xffffffffUL));
    std::string strData, strWhy;
    if (Has(a, "--data") && !ParseData(Value(a, "--data"), &strData, &strWhy)) {
        Fail(kExitUsage, strWhy);
    }
    Message stReply;
    int iStatus = Ask(Value(a, "--run-dir"), strService, Has(a, "--set"), uiCmd, strData, Seconds(a, "--timeout", 0),
                      &stReply, &strWhy);
    if (iStatus != kExitOk && iStatus != kExitMismatch) {
        Fail(iStatus, strWhy);
    }
    if (Has(a, "--json")) {
        std::cout << "{\"service\":" << JsonString(strService) << ",\"type\":" << stReply.uiType
                  << ",\"type_name\":" << JsonString(TypeName(stReply.uiType)) << ",\"cmd\":" << stReply.uiCmd
                  << ",\"result\":" << stReply.iResult << ",\"status\":" << JsonString(GetStatusString(stReply.iResult))
                  << ",\"cookie\":" << stReply.ullCookie << ",\"msgnum\":" << stReply.ullMsgNum
                  << ",\"datalen\":" << stReply.ullDataLen << ",\"bytes\":" << stReply.uiBytes
                  << ",\"data\":" << DataJson(stReply.strData) << "}\n";
    } else {
        std::cout << "type     " << TypeName(stReply.uiType) << " (" << stReply.uiType << ")\n"
                  << "command  " << stReply.uiCmd << "\n"
                  << "result   " << Status(stReply.iResult) << "\n"
                  << "data     " << stReply.strData.size() << " bytes before trailing zeros (ullDataLen "
                  << stReply.ullDataLen << ")\n"
                  << ShowData(stReply.strData, Has(a, "--hex"));
    }
    if (iStatus == kExitMismatch) {
        Fail(iStatus, strWhy);
    }
    if (stReply.iResult != 0) {
        Fail(kExitResult, strService + " answered result " + Status(stReply.iResult));
    }
    return kExitOk;
}

HbtpLibrary g_stHbtp{};

struct HbtpPut {
    void operator()(hbtp_message* pMsg) const { g_stHbtp.pfnPut(pMsg); }
};
using HbtpPtr = std::unique_ptr<hbtp_message, HbtpPut>;

int Hbtp(const Args& a)
{
    std::string strService = Service(a, 1);
    if (!Has(a, "--url") || !Has(a, "--type")) {
        Usage("hbtp", "hbtp wants --url N and --type T");
    }
    unsigned short usUrl = static_cast<unsigned short>(Number(a, "--url", 0xffff));
    unsigned char ucType = static_cast<unsigned char>(Number(a, "--type", 0x7f));
    std::string strBody, strWhy;
    if (Has(a, "--body") && !ParseData(Value(a, "--body"), &strBody, &strWhy)) {
        Fail(kExitUsage, strWhy);
    }
    std::vector<std::pair<unsigned short, std::string>> vecSend;
    // The reply's headers to show, each once.
    std::vector<unsigned short> vecShow{KXAPI_HBTP_EXT_CLIENT_FD};
    auto Show = [&vecShow](unsigned short usTag) {
        if (std::find(vecShow.begin(), vecShow.end(), usTag) == vecShow.end()) {
            vecShow.push_back(usTag);
        }
    };
    for (const std::string& strHeader : Values(a, "--header")) {
        size_t uiEq = strHeader.find('=');
        unsigned short usTag = 0;
        if (uiEq == std::string::npos || !Tag(strHeader.substr(0, uiEq), &usTag) ||
            strHeader.size() - uiEq - 1 > 0xffff) {
            Usage("hbtp", "--header wants TAG=VALUE with TAG from 0 to 65535");
        }
        vecSend.emplace_back(usTag, strHeader.substr(uiEq + 1));
        Show(usTag);
    }
    for (const std::string& strTag : Values(a, "--show-header")) {
        unsigned short usTag = 0;
        if (!Tag(strTag, &usTag)) {
            Usage("hbtp", "--show-header wants a tag from 0 to 65535");
        }
        Show(usTag);
    }
    double dTimeout = Seconds(a, "--timeout", 30);
    if (!FindHbtp(&g_stHbtp)) {
        Fail(kExitFailed, "no HBTP library in this process (on a PC: LD_PRELOAD=libkxplatform.so.1, see the README)");
    }
    std::string strPath = strService[0] == '/' ? strService : "/mnt/srvfs/" + strService;
    std::string strRunDir = Value(a, "--run-dir");
    if (!strRunDir.empty()) {
        // Read by the dev-host stand-in's service file system at its next open; nothing on a camera.
        setenv("KXPLATFORM_SRVFS_DIR", (strRunDir + "/srvfs").c_str(), 1);
    }
    int iFd = open(strPath.c_str(), O_RDWR | O_CLOEXEC);
    if (iFd < 0) {
        int iErr = errno;
        Fail(iErr == ENOENT || iErr == ECONNREFUSED ? kExitNoService : kExitFailed,
             "no service at " + strPath + ": " + strerror(iErr));
    }
    struct FdClose {
        int iFd;
        ~FdClose() { close(iFd); }
    } stClose{iFd};
    if (Has(a, "--option")) {
        (void)ioctl(iFd, static_cast<unsigned long>(KXAPI_HBTP_CHANNEL_OPTION), Number(a, "--option", 0xffffffffUL));
    }
    HbtpPtr pReq(g_stHbtp.pfnNew(0));
    if (pReq == nullptr) {
        Fail(kExitFailed, "hbtp_message_new failed");
    }
    kxapi_hbtp::SetRequest(pReq.get(), usUrl, ucType);
    for (const auto& [usTag, strValue] : vecSend) {
        if (g_stHbtp.pfnHeaderSet(pReq.get(), usTag, strValue.data(), static_cast<unsigned short>(strValue.size())) !=
            0) {
            Fail(kExitFailed, "cannot set header " + std::to_string(usTag));
        }
    }
    if ((!strBody.empty() &&
         g_stHbtp.pfnContentAdd(pReq.get(), strBody.data(), static_cast<unsigned int>(strBody.size())) != 0) ||
        g_stHbtp.pfnSend(pReq.get(), iFd) != 0) {
        Fail(kExitFailed, "cannot send to " + strPath + ": " + strerror(errno));
    }
    pollfd stPoll{iFd, POLLIN, 0};
    if (poll(&stPoll, 1, static_cast<int>(dTimeout * 1000)) <= 0) {
        Fail(kExitTimeout, "no reply from " + strPath + " within " + Value(a, "--timeout", "30") + " s");
    }
    HbtpPtr pRsp(g_stHbtp.pfnNew(0));
    if (pRsp == nullptr || g_stHbtp.pfnRecv(pRsp.get(), iFd) != 0) {
        Fail(kExitFailed, "no reply from " + strPath + ": " + strerror(errno));
    }
    unsigned short usCode = kxapi_hbtp::Code(pRsp.get());
    void* pBody = nullptr;
    unsigned int uiBody = 0;
    std::string strRspBody;
    if (g_stHbtp.pfnContent(pRsp.get(), &pBody, &uiBody) == 0 && pBody != nullptr) {
        strRspBody.assign(static_cast<const char*>(pBody), uiBody);
    }
    std::ostringstream headers;
    std::string strSep;
    for (unsigned short usTag : vecShow) {
        void* pValue = nullptr;
        unsigned short usLen = 0;
        if (g_stHbtp.pfnHeaderGet(pRsp.get(), usTag, &pValue, &usLen) != 0 || pValue == nullptr) {
            continue;
        }
        std::string strValue(static_cast<const char*>(pValue), usLen);
        if (Has(a, "--json")) {
            headers << strSep << "\"" << usTag << "\":" << DataJson(strValue);
            strSep = ",";
        } else {
            headers << "header   " << usTag << ": " << ShowData(strValue, false);
        }
    }
    if (Has(a, "--json")) {
        std::cout << "{\"service\":" << JsonString(strPath) << ",\"code\":" << usCode
                  << ",\"type\":" << static_cast<int>(kxapi_hbtp::Type(pRsp.get()))
                  << ",\"url\":" << kxapi_hbtp::Url(pRsp.get()) << ",\"headers\":{" << headers.str()
                  << "},\"body\":" << DataJson(strRspBody) << "}\n";
    } else {
        std::cout << "code     " << usCode << "\n"
                  << "type     " << static_cast<int>(kxapi_hbtp::Type(pRsp.get())) << ", url "
                  << kxapi_hbtp::Url(pRsp.get()) << "\n"
                  << headers.str() << "body     " << strRspBody.size() << " bytes\n"
                  << ShowData(strRspBody, Has(a, "--hex"));
    }
    if (usCode != 200) {
        Fail(kExitResult, strPath + " answered code " + std::to_string(usCode));
    }
    return kExitOk;
}

volatile sig_atomic_t g_bStop = 0;

void OnStop(int)
{
    g_bStop = 1;
}

std::string Clock(double dWall)
{
    time_t tSec = static_cast<time_t>(dWall);
    struct tm stTm {};
    localtime_r(&tSec, &stTm);
    char acText[32];
    snprintf(acText, sizeof(acText), "%02d:%02d:%02d.%06d", stTm.tm_hour, stTm.tm_min, stTm.tm_sec,
             static_cast<int>((dWall - static_cast<double>(tSec)) * 1e6));
    return acText;
}

// One decoded line per message: direction, type, command, cookie, result, bytes, time since the request.
std::string TapLine(const Seen& stSeen, const Message& stMsg, bool bJson)
{
    std::ostringstream out;
    if (bJson) {
        out << "{\"time\":" << std::fixed << stSeen.dWallSeconds << ",\"dir\":\""
            << (stSeen.bRequest ? "request" : "reply") << "\",\"client\":" << JsonString(stSeen.strClient)
            << ",\"bytes\":" << stMsg.uiBytes;
        if (stMsg.bWhole) {
            out << ",\"type\":" << stMsg.uiType << ",\"cmd\":" << stMsg.uiCmd << ",\"cookie\":" << stMsg.ullCookie;
            if (!stSeen.bRequest) {
                out << ",\"result\":" << stMsg.iResult << ",\"ms\":" << std::setprecision(3) << stSeen.dMillis;
            }
        }
        out << "}";
        return out.str();
    }
    out << Clock(stSeen.dWallSeconds) << (stSeen.bRequest ? " -> " : " <- ");
    if (!stMsg.bWhole) {
        out << "not a whole message, " << stMsg.uiBytes << " bytes, " << (stSeen.bRequest ? "from " : "to ")
            << stSeen.strClient;
        return out.str();
    }
    char acCookie[24];
    snprintf(acCookie, sizeof(acCookie), "0x%llx", stMsg.ullCookie);
    out << TypeName(stMsg.uiType) << " cmd " << stMsg.uiCmd << " cookie " << acCookie;
    if (!stSeen.bRequest) {
        out << " result " << Status(stMsg.iResult);
    }
    out << ", " << stMsg.uiBytes << " bytes, " << (stSeen.bRequest ? "from " : "to ") << stSeen.strClient;
    if (!stSeen.bRequest) {
        char acMs[32];
        snprintf(acMs, sizeof(acMs), ", %.3f ms", stSeen.dMillis);
        out << acMs;
    }
    return out.str();
}

int RunTap(const Args& a)
{
    std::string strService = Service(a, 1);
    std::string strPath = SocketPath(Value(a, "--run-dir"), strService);
    bool bFilter = Has(a, "--cmd");
    unsigned int uiCmd = bFilter ? static_cast<unsigned int>(Number(a, "--cmd", 0xffffffffUL)) : 0;
    double dFor = Seconds(a, "--for", 0);
    if (Has(a, "--redact") && !Has(a, "--record")) {
        Usage("tap", "--redact goes with --record");
    }
    std::unique_ptr<Recorder> pRecorder;
    if (Has(a, "--record")) {
        pRecorder = std::make_unique<Recorder>(strService, Values(a, "--redact"));
    }
    std::string strWhy;
    PcapWriter pcap;
    if (Has(a, "--pcap") && !pcap.Open(Value(a, "--pcap"), strService, &strWhy)) {
        Fail(kExitFailed, strWhy);
    }
    struct sigaction stAct {};
    stAct.sa_handler = OnStop;
    sigemptyset(&stAct.sa_mask);
    sigaction(SIGINT, &stAct, nullptr);
    sigaction(SIGTERM, &stAct, nullptr);
    Tap tap;
    if (!tap.Open(strPath, &strWhy)) {
        Fail(strWhy.rfind("no service", 0) == 0 ? kExitNoService : kExitFailed, strWhy);
    }
    std::cout << "kxapi-probe: tapping " << strService << " (" << strPath << ")" << std::endl;
    bool bJson = Has(a, "--json");
    std::string strPcap = Value(a, "--pcap");
    int iRet = tap.Run(
        [&](const Seen& stSeen) {
            Message stMsg = Decode(stSeen.strBytes);
            if (!bFilter || (stMsg.bWhole && stMsg.uiCmd == uiCmd)) {
                std::cout << TapLine(stSeen, stMsg, bJson) << std::endl;
            }
            if (pRecorder != nullptr) {
                pRecorder->Add(stSeen, stMsg);
            }
            if (!strPcap.empty() && !pcap.Write(stSeen)) {
                std::cerr << "kxapi-probe: cannot write " << strPcap << ": " << strerror(errno) << std::endl;
            }
        },
        &g_bStop, dFor, &strWhy);
    tap.Close();
    std::cout << "kxapi-probe: " << strService << " given back" << std::endl;
    if (iRet != 0) {
        Fail(kExitFailed, strWhy);
    }
    if (pRecorder != nullptr) {
        std::string strFile = Value(a, "--record");
        std::ofstream out(strFile, std::ios::binary | std::ios::trunc);
        out << pRecorder->ScenarioText();
        if (!out.flush()) {
            Fail(kExitFailed, "cannot write " + strFile + ": " + strerror(errno));
        }
    }
    return kExitOk;
}

int Untap(const Args& a)
{
    std::string strService = Service(a, 1);
    std::string strWhy;
    if (!Tap::Untap(SocketPath(Value(a, "--run-dir"), strService), &strWhy)) {
        Fail(kExitFailed, strWhy);
    }
    std::cout << "kxapi-probe: " << strService << " given back\n";
    return kExitOk;
}

int Diff(const Args& a)
{
    DiffOptions stOpt;
    stOpt.strService = Service(a, 2);
    stOpt.strScenario = a.vecPositional[1];
    stOpt.strRunDir = Value(a, "--run-dir");
    stOpt.vecIgnore = Values(a, "--ignore");
    stOpt.dTimeoutSeconds = Seconds(a, "--timeout", 0);
    stOpt.bJson = Has(a, "--json");
    return RunDiff(stOpt, std::cout, std::cerr);
}

} // namespace
} // namespace kxprobe

int main(int argc, char** argv)
{
    using namespace kxprobe;
    Args a = ParseArgs(argc, argv);
    QuietLibraryLog();
    // A client that went away must not end a tap, nor a probe writing into a closed pipe quietly.
    signal(SIGPIPE, SIG_IGN);
    if (a.strCommand == "send") {
        return Send(a);
    }
    if (a.strCommand == "hbtp") {
        return Hbtp(a);
    }
    if (a.strCommand == "tap") {
        return RunTap(a);
    }
    if (a.strCommand == "untap") {
        return Untap(a);
    }
    return Diff(a);
}
