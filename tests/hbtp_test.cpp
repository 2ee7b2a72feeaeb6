// HBTP from the library's side, against emulated services on the stand-in's service file system:
// the synchronous exchange, the user list, refusals of bad arguments, and channels registered with
// the event loop whose replies are routed back to the waiting client. The stand-in is exercised
// only for what the library needs of it.
#include "hbtp_service.h"
#include "kxapicommon.h"
#include "log_capture.h"
#include "temp_dir.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <numeric>
#include <regex>

const char kDemoPath[] = "/mnt/srvfs/demo.svc";
const std::string kAsked = "I pServPath[/mnt/srvfs/demo.svc] httpReq[PUT /LAPI/V1.0/Demo].\n";
const std::string kFailed = "E SendSynHbtpMsg pServPath[/mnt/srvfs/demo.svc] httpReq[PUT /LAPI/V1.0/Demo] fail.\n";
const std::string kRead = "D Handle unixBusinessAsynRead Function!\n";
// A reply's code, URL, type and body; code 0 stands for none: the service hangs up instead.
using Reply = std::tuple<unsigned short, unsigned short, unsigned char, std::string>;
const Reply kHello{200, 42, 2, "hello"};

const auto Fmt = [](const char* pszFormat, auto... args) {
    char szBuf[512];
    snprintf(szBuf, sizeof(szBuf), pszFormat, args...);
    return std::string(szBuf);
};

// What happened on this thread since the last look: what the client's handler was told, and every release, as the
// offset of the first nonzero byte of the body (-1: none). The service's bodies start nonzero, so a positive offset
// is what the library wiped; a message left unreleased is missing here.
static thread_local std::string g_strNote;

class HbtpTest : public LoggedTest {
protected:
    // A service on this test's service file system answering every request with r, tagged with iTag unless that is
    // negative; releases are noted from then on.
    void Serve(const Reply& r, const char* pszName = "demo.svc", int iTag = -1)
    {
        KxSrvfsSetRoot(m_dir.Path().c_str());
        KxHbtpSetReleaseHook(
            [](void*, hbtp_message* p) { g_strNote += Fmt("%zd ", HbtpBody(p).find_first_not_of('\0')); }, nullptr);
        m_service = std::make_unique<EmulatedService>(pszName, [r, iTag](KxSrvfsRequest* pstReq, hbtp_message*) {
            auto [usCode, usUrl, ucType, strBody] = r;
            pstReq->bClose = usCode == 0;
            return usCode ? MakeHbtp(usCode, usUrl, ucType, strBody, iTag < 0 ? nullptr : &iTag) : nullptr;
        });
    }
    // What a call returned and left: the client's state, asynchronous mark, whether it has a channel, an event for
    // it and a reply in its slot; the notes; the log since the last look as golden text, each line of strFile without
    // the file's name (a line of another file, or in another frame, shows it); and strAfter, read only now.
    std::string Observe(int iRet, const std::string& strAfter = "", const std::string& strFile = "business")
    {
        std::string s = Fmt("%d %d %d %d %d %d ", iRet, m_client.iReqState, m_client.bAsynPending, !!m_client.iHbtpFd,
                            !!m_base->ppstEvents[m_client.iHbtpFd], !!m_client.pRecvMsg) +
                        std::exchange(g_strNote, "");
        s += std::regex_replace("\n" + m_log.Lines(), std::regex("\n([IDE]) " + strFile + " "), "\n$1 ").substr(1);
        m_log.Clear();
        return s + strAfter;
    }
    TempDir m_dir;
    const int m_iConn = 2; // the waiting client's connection: any open descriptor but 0 will do
    tagHTTP_HEADER_S m_header{"PUT", "/LAPI/V1.0/Demo", {}, {}, {}};
    std::unique_ptr<tagABS_EVENT_BASE_S, void (*)(tagABS_EVENT_BASE_S*)> m_base{AbsEvBaseNew(256), AbsEvBaseFree};
    tagHTTP_SERVER_S m_server{{}, m_base.get()};
    tagHTTP_CLIENT_S m_client{m_iConn, {}, &m_server, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}};
    // The host's own client event handler: notes the descriptor, mask and event it is called with and the URL in
    // the slot, and takes the reply over when the request completed (state 8), leaving it to the reader otherwise.
    tagABS_EVENT_S* m_pstClientEv = AbsEvNew(
        m_base.get(), m_iConn, ABS_EV_READ, &m_client, [](int iFd, unsigned int uiMask, tagABS_EVENT_S* pstEv) {
            auto* c = static_cast<tagHTTP_CLIENT_S*>(pstEv->pArg);
            auto* pstMsg = static_cast<hbtp_message*>(c->pRecvMsg);
            g_strNote += Fmt("%d %u %p %d;", iFd, uiMask, pstEv, pstMsg ? pstMsg->pstHeader->usUrl : -1);
            hbtp_message_put(c->iReqState == 8 ? pstMsg : nullptr);
            c->pRecvMsg = c->iReqState == 8 ? nullptr : pstMsg;
        });
    std::unique_ptr<EmulatedService> m_service;
};

// The checked forms that a host built with _FORTIFY_SOURCE calls instead of open and openat.
extern "C" int __open_2(const char*, int), __open64_2(const char*, int);
extern "C" int __openat_2(int, const char*, int), __openat64_2(int, const char*, int);

TEST_F(HbtpTest, ExchangesCopyAnAcceptedReplyOverAnyOpenEntryPointAndTheUserListIsWipedThere)
{
    REST_HBTP_MSG stSend{const_cast<char*>("request-body"), 12}; // only read
    // Receive capacity (-1: a receive record without a buffer), reply, the releases (the request, then the reply or
    // the fresh message a hang-up left), the error lines, the buffer afterwards. Without a receive record the entry
    // points below find out, without a send record the refusals.
    const std::tuple<int, Reply, std::string, std::string, std::string> cases[] = {
        {8, {}, "0 -1 ", Fmt("E hbtp_message_recvfd ret:-1, errno:%d.\n", ECONNRESET) + kFailed, "xxxxxxxx"},
        {8, {404, 42, 2, "hello"}, "0 0 ", "E Recv hbtp_code: 404.\n" + kFailed, "xxxxxxxx"},
        {4, kHello, "0 0 ", "E nSRet:162, dstlen:4, srclen:5.\n" + kFailed, std::string(4, '\0') + "xxxx"},
        {-1, kHello, "0 0 ", "", "xxxxxxxx"},
        {0, kHello, "0 0 ", "", "xxxxxxxx"},
        {8, kHello, "0 0 ", "", "helloxxx"},
        {5, kHello, "0 0 ", "", "helloxxx"},
    };
    for (const auto& [iCap, stReply, strPuts, strError, strAfter] : cases) {
        Serve(stReply);
        std::string strBuf = "xxxxxxxx";
        REST_HBTP_MSG stRecv{iCap < 0 ? nullptr : &strBuf[0], iCap < 0 ? 4u : static_cast<unsigned int>(iCap)};
        EXPECT_EQ(Observe(HbtpCommon(&m_header, kDemoPath, 0x1234, 0xC5, &stSend, &stRecv, 0x11223344), strBuf),
                  Fmt("%d 0 0 0 0 0 ", !strError.empty()) + strPuts + kAsked + strError + strAfter);
        // The exchange itself gives -1 for each failure that HbtpCommon reports as 1.
        const int iFd = open(kDemoPath, O_RDWR);
        EXPECT_EQ(SendSynHbtpMsg(iFd, 0x1234, 0xC5, &stSend, &stRecv), strError.empty() ? 0 : -1) << strError;
        close(iFd);
        g_strNote.clear();
        m_log.Clear();
    }
    // Byte 2 cleared, the type's low 7 bits, the URL, the code as a fresh message has it; the channel's option.
    EXPECT_EQ(m_service->Seen().at(0), "00 45 1234 0000 [request-body] tag -1 option 287454020");
    // Hosts built with other flags open channels through other entry points.
    for (int iFd : {open(kDemoPath, O_RDWR), open64(kDemoPath, O_RDWR), openat(AT_FDCWD, kDemoPath, O_RDWR),
                    openat64(AT_FDCWD, kDemoPath, O_RDWR), __open_2(kDemoPath, O_RDWR), __open64_2(kDemoPath, O_RDWR),
                    __openat_2(AT_FDCWD, kDemoPath, O_RDWR), __openat64_2(AT_FDCWD, kDemoPath, O_RDWR)}) {
        EXPECT_EQ(Observe(SendSynHbtpMsg(iFd, 7, 1, &stSend, nullptr)), "0 0 0 0 0 0 0 0 ");
        close(iFd);
    }

    std::string strList(KXAPI_USER_LIST_LEN + 10, '\0');
    std::iota(strList.begin(), strList.end(), '\1');
    // User list reply, how much of it is copied (into the data only), the releases (the bare request, then the reply,
    // wiped before as far as the list goes), the error lines.
    const std::tuple<Reply, size_t, std::string, std::string> lists[] = {
        {{200, 0, 2, strList}, KXAPI_USER_LIST_LEN, "-1 2328 ", ""},
        {{200, 0, 2, strList.substr(0, KXAPI_USER_LIST_LEN)}, KXAPI_USER_LIST_LEN, "-1 -1 ", ""},
        {{200, 0, 3, strList}, 0, "-1 0 ", ""},
        {{200, 1, 2, strList}, 0, "-1 0 ", ""},
        {{404, 0, 2, strList}, 0, "-1 0 ", ""},
        {{200, 0, 2, ""}, 0, "-1 -1 ", "E HbtpGetUserList: pRecvContent NULL\n"},
        {{200, 0, 2, strList.substr(1, 2327)}, 0, "-1 -1 ", "E HbtpGetUserList: pRecvContent len:2327 short\n"},
    };
    for (const auto& [r, uiCopied, strPuts, strError] : lists) {
        Serve(r, "auth.paas.opx");
        std::string strMsg(sizeof(MSG_DATA), 0x5A), strWant = strMsg;
        EXPECT_EQ(Observe(HbtpGetUserList(reinterpret_cast<MSG_DATA*>(&strMsg[0])), strMsg, "common"),
                  Fmt("%d 0 0 0 0 0 %sD Recv hbtp_code: %u\n\n", uiCopied ? 0 : -1, strPuts.c_str(), std::get<0>(r)) +
                      strError + strWant.replace(offsetof(MSG_DATA, aucData), uiCopied, strList, 0, uiCopied));
    }
    // The request is of type 2 for URL 0.
    EXPECT_EQ(m_service->Seen().at(0), "00 02 0000 0000 [] tag -1 option -1");
    // A host that closed its standard input gets descriptor 0 for a channel, which is as good as any.
    Serve(std::get<0>(lists[0]), "auth.paas.opx");
    int iStdin = dup(0);
    close(0);
    EXPECT_EQ(HbtpGetUserList(std::make_unique<MSG_DATA>().get()), 0);
    EXPECT_EQ(HbtpCommon(&m_header, KXAPI_AUTH_SERVICE_PATH, 1, 1, &stSend, nullptr, 0), 0);
    dup2(iStdin, 0);
    close(iStdin);
    g_strNote.clear();
    m_log.Clear();
    // Without a service nothing is opened.
    m_service.reset();
    EXPECT_EQ(Observe(HbtpCommon(&m_header, kDemoPath, 1, 1, &stSend, nullptr, 0)),
              "1 0 0 0 0 0 " + kAsked + Fmt("E open %s srv fail:%d .\n", kDemoPath, ENOENT));
    EXPECT_EQ(HbtpGetUserList(nullptr), -1);
    EXPECT_EQ(Observe(HbtpGetUserList(std::make_unique<MSG_DATA>().get()), "", "common"),
              Fmt("-1 0 0 0 0 0 E HbtpGetUserList: invalid param, pstMsg[(nil)]\nE open %s srv fail, Error: %d, %s\n\n",
                  KXAPI_AUTH_SERVICE_PATH, ENOENT, strerror(ENOENT)));
}

TEST_F(HbtpTest, BadArgumentsAreRefusedAndAReplyReachesTheClientItNames)
{
    // c and m stand for the client and the message the calls are about, as the library names them.
    tagHTTP_CLIENT_S* c = &m_client;
    hbtp_message* m = MakeHbtp(0, 5, 1, "");
    // Until the refusals are through, the message has no room left for the client tag.
    hbtp_header_set(m, 1, std::string(HBTP_FRAME_MAX_EXT - 4, 'f').data(), HBTP_FRAME_MAX_EXT - 4);
    const char* pszBad = "invalid param, pstHeader[%p] pServPath[%p].";
    // Bad arguments are refused and leave the client alone; so is a descriptor just beyond the event table, which is
    // closed all the same (as the descriptor check sees) and forgotten.
    const std::pair<std::function<int()>, std::string> refusals[] = {
        {[&] { return HbtpCommon(nullptr, kDemoPath, 1, 1, nullptr, nullptr, 0); }, Fmt(pszBad, nullptr, kDemoPath)},
        {[&] { return HbtpCommon(&m_header, nullptr, 1, 1, nullptr, nullptr, 0); }, Fmt(pszBad, &m_header, nullptr)},
        {[&] { return SendSynHbtpMsg(5, 1, 1, nullptr, nullptr); }, "invalid param pSend[(nil)] pRecv[(nil)]"},
        {[&] { return AddHbtpAsynEvent(c, 0, m); }, Fmt("invalid param client[%p], fd[0], sendMsg[%p]", c, m)},
        {[&] { return AddHbtpAsynEvent(nullptr, 5, m); }, Fmt("invalid param client[(nil)], fd[5], sendMsg[%p]", m)},
        {[&] { return AddHbtpAsynEvent(c, 5, nullptr); }, Fmt("invalid param client[%p], fd[5], sendMsg[(nil)]", c)},
        {[&] { return DeleteHbtpAsynEvent(c, 0); }, Fmt("invalid param client[%p], fd[0]", c)},
        {[&] { return DeleteHbtpAsynEvent(nullptr, 5); }, "invalid param client[(nil)], fd[5]"},
        {[&] { return DeleteHbtpAsynEvent(c, c->iHbtpFd = dup2(m_iConn, 256)); }, "Delete abs event fail"},
        {[&] { return AddHbtpAsynEvent(c, 5, m); }, "hbtp_header_set fail!"},
    };
    for (const auto& [fnCall, strLine] : refusals) {
        EXPECT_EQ(Observe(fnCall()), "-1 0 0 0 0 0 E " + strLine + "\n");
    }
    hbtp_header_set(m, 1, "", 0);
    // The client's own descriptor has its event already, so none can be made: marked, but reported.
    EXPECT_EQ(Observe(AddHbtpAsynEvent(c, m_iConn, m)), "18 0 1 1 1 0 E AddHbtpAsynEvent malloc fail\n");
    // A negative descriptor is refused by the reader, and the event passed in (the client's own) is left alone.
    HbtpAsynRead(-1, ABS_EV_READ, m_pstClientEv);
    EXPECT_EQ(Observe(0, "", "common"), "0 0 1 1 1 0 " + kRead + "E Invalid nfd:[-1]\n");

    const std::string strGot = Fmt("%d %u %p 42;0 ", m_iConn, ABS_EV_READ, m_pstClientEv) + kRead +
                               "D Receive Unix Message! url = 42\n";
    // The client tag the reply carries (-1: none, -2: no reply, the service hangs up), the owner's state before and
    // after (its handler takes the reply over at 8); what the client is told (only of a reply tagged with it), the
    // releases (the reply or the fresh message a hang-up left, once, by whoever held it last) and the log.
    const std::tuple<int, int, int, std::string> cases[] = {
        {m_iConn, 7, 8, strGot + "D Handle unixBusinessAsynRead Function SUCCESS!\n"},
        {m_iConn, 5, 5, strGot + "E State[5] error\nD Handle unixBusinessAsynRead Function SUCCESS!\n"},
        {0, 7, 7, "0 " + kRead + "E Invalid socket fd\n"},
        {256, 7, 7, "0 " + kRead + "E Invalid socket fd\n"},
        {255, 7, 7, "0 " + kRead + "E Invalid event\n"},
        {200, 7, 7, "0 " + kRead + "E Invalid event\n"}, // another channel's event: no client there
        {-1, 7, 7, "0 " + kRead + "E get fd fail!\n"},
        {-2, 7, 7, "-1 " + kRead + "E hbtp_message_recvfd fail\n"},
    };
    // Another channel's event, freed with the event table.
    AbsEvNew(m_base.get(), dup2(m_iConn, 200), ABS_EV_READ, c, HbtpAsynRead);
    for (const auto& [iTag, iState, iEnd, strLog] : cases) {
        Serve(iTag == -2 ? Reply{} : kHello, "demo.svc", iTag);
        m_client.iReqState = iState;
        ASSERT_TRUE(AddHbtpAsynEvent(c, open(kDemoPath, O_RDWR), m) == 0 &&
                    m_base->ppstEvents[c->iHbtpFd]->uiEvents == ABS_EV_READ && hbtp_message_sendfd(m, c->iHbtpFd) == 0);
        // The channel's event is gone, and the channel closed (as the descriptor check sees).
        EXPECT_EQ(Observe(AbsEvBaseRunOnce(m_base.get(), 5000), "", "common"), Fmt("1 %d 1 1 0 0 ", iEnd) + strLog);
    }
    close(200);
    EXPECT_EQ(m_service->Seen().at(0), Fmt("00 01 0005 0000 [] tag %d option -1", m_iConn));
    // A channel still registered is dropped: its event deleted, the descriptor closed (as the descriptor check sees).
    // The message, no longer needed, is released first (and noted), leaving no note behind for the next test.
    int iFd = dup(m_iConn);
    ASSERT_EQ(AddHbtpAsynEvent(c, iFd, m), 0);
    hbtp_message_put(m);
    EXPECT_EQ(Observe(DeleteHbtpAsynEvent(c, iFd)), "0 7 1 0 0 0 -1 ");
    EXPECT_EQ(m_base->ppstEvents[iFd], nullptr);
}
