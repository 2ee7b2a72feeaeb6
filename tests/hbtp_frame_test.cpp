// The HBTP stand-in's messages and frame codec: round trips over real stream sockets, malformed
// and oversized frames, peers closing mid-message, short reads and writes.
#include "kxapicommon.h"
#include "kxplatform.h"
#include "hbtp_service.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

struct Pair {
    int a = -1, b = -1;
    Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, &a), 0); }
    ~Pair()
    {
        if (a >= 0) close(a);
        if (b >= 0) close(b);
    }
};

std::string Encode(hbtp_message* m)
{
    void* buf = nullptr;
    size_t len = 0;
    EXPECT_EQ(hbtp_frame_encode(m, &buf, &len), 0);
    std::string s(static_cast<char*>(buf), len);
    free(buf);
    return s;
}

std::string Body(hbtp_message* m)
{
    void* p = nullptr;
    unsigned int n = 0;
    EXPECT_EQ(hbtp_content(m, &p, &n), 0);
    EXPECT_NE(p, nullptr);
    return std::string(static_cast<char*>(p), n);
}

void Put32(std::string& s, size_t off, uint32_t v)
{
    for (int i = 0; i < 4; ++i) s[off + i] = static_cast<char>(v >> (8 * i));
}

TEST(HbtpFrame, RoundTripKeepsHeaderExtensionsAndBody)
{
    int fds = CountOpenFds();
    {
        Pair p;
        int iTag = 0x01020304;
        hbtp_message* out = MakeHbtp(404, 0xBEEF, 0x7F, "payload", &iTag);
        out->pstHeader->ucType = 0xFF; // the top bit travels too
        unsigned short other = 7;
        ASSERT_EQ(hbtp_header_set(out, 9, &other, 2), 0);
        iTag = 77; // replacing a value keeps one entry
        ASSERT_EQ(hbtp_header_set(out, KXAPI_HBTP_EXT_CLIENT_FD, &iTag, 4), 0);
        ASSERT_EQ(hbtp_message_sendfd(out, p.a), 0);
        hbtp_message* in = hbtp_message_new(0);
        hbtp_content_add(in, "stale", 5); // replaced by what arrives
        ASSERT_EQ(hbtp_message_recvfd(in, p.b), 0);
        EXPECT_EQ(memcmp(in->pstHeader, out->pstHeader, sizeof(hbtp_header)), 0);
        EXPECT_EQ(in->pstHeader->usUrl, 0xBEEF);
        EXPECT_EQ(in->pstHeader->usCode, 404);
        EXPECT_EQ(Body(in), "payload");
        void* v = nullptr;
        unsigned short len = 0;
        ASSERT_EQ(hbtp_header_get(in, KXAPI_HBTP_EXT_CLIENT_FD, &v, &len), 0);
        ASSERT_EQ(len, 4);
        int got = 0;
        memcpy(&got, v, 4);
        EXPECT_EQ(got, 77);
        EXPECT_EQ(hbtp_header_get(in, 9, &v, &len), 0);
        EXPECT_EQ(hbtp_header_get(in, 10, &v, &len), -1);
        EXPECT_EQ(errno, ENOENT);
        EXPECT_EQ(Encode(in).size(), HBTP_FRAME_PREAMBLE + (4 + 2) + (4 + 4) + 7);
        hbtp_message_put(in);
        hbtp_message_put(out);
        EXPECT_EQ(hbtp_message_new(1), nullptr);
    }
    EXPECT_EQ(CountOpenFds(), fds);
}

TEST(HbtpFrame, DecoderRejectsMalformedAndOversizedFrames)
{
    int iTag = 5;
    hbtp_message* m = MakeHbtp(200, 1, 2, "body", &iTag);
    const std::string good = Encode(m);
    hbtp_message_put(m);
    hbtp_message* got = nullptr;
    ASSERT_EQ(hbtp_frame_decode(good.data(), good.size(), &got), 0);
    EXPECT_EQ(Body(got), "body");
    hbtp_message_put(got);

    struct Case {
        const char* pszName;
        std::string frame;
        int iErr;
    };
    std::string badMagic = good;
    badMagic[0] = 'X';
    std::string extOverrun = good;
    extOverrun[HBTP_FRAME_PREAMBLE + 2] = 9; // the value claims 9 bytes of an 8-byte area
    std::string extShort = good;
    Put32(extShort, 12, 3); // a 3-byte extension area cannot hold an entry
    Put32(extShort, 16, static_cast<uint32_t>(good.size() - HBTP_FRAME_PREAMBLE - 3));
    std::string dup = good.substr(0, HBTP_FRAME_PREAMBLE) + good.substr(HBTP_FRAME_PREAMBLE, 8) +
                      good.substr(HBTP_FRAME_PREAMBLE, 8) + "body";
    Put32(dup, 12, 16);
    std::string bigBody = good;
    Put32(bigBody, 16, HBTP_FRAME_MAX_BODY + 1);
    std::string bigExt = good;
    Put32(bigExt, 12, HBTP_FRAME_MAX_EXT + 1);
    std::string huge = good;
    Put32(huge, 16, 0xFFFFFFFFu);
    const Case cases[] = {
        {"empty", "", EPROTO},
        {"preamble cut", good.substr(0, 19), EPROTO},
        {"body cut", good.substr(0, good.size() - 1), EPROTO},
        {"trailing byte", good + "x", EPROTO},
        {"magic", badMagic, EPROTO},
        {"extension overrun", extOverrun, EPROTO},
        {"extension area too short", extShort, EPROTO},
        {"duplicate tag", dup, EPROTO},
        {"body over the bound", bigBody, EMSGSIZE},
        {"extensions over the bound", bigExt, EMSGSIZE},
        {"4 GiB body", huge, EMSGSIZE},
    };
    for (const Case& c : cases) {
        errno = 0;
        got = nullptr;
        EXPECT_EQ(hbtp_frame_decode(c.frame.data(), c.frame.size(), &got), -1) << c.pszName;
        EXPECT_EQ(errno, c.iErr) << c.pszName;
        EXPECT_EQ(got, nullptr) << c.pszName;
    }
}

TEST(HbtpFrame, ReceiveFailuresLeaveTheMessageAsItWas)
{
    hbtp_message* m = MakeHbtp(200, 3, 2, std::string(100, 'b'));
    const std::string good = Encode(m);
    hbtp_message_put(m);
    std::string oversized = good;
    Put32(oversized, 16, HBTP_FRAME_MAX_BODY + 1);
    struct Case {
        const char* pszName;
        std::string bytes;
        int iErr;
    };
    const Case cases[] = {
        {"closed before a frame", "", ECONNRESET},
        {"closed inside the preamble", good.substr(0, 10), EPROTO},
        {"closed inside the body", good.substr(0, good.size() - 30), EPROTO},
        {"oversized declaration", oversized.substr(0, HBTP_FRAME_PREAMBLE), EMSGSIZE},
        {"garbage", "GET / HTTP/1.1\r\n\r\n", EPROTO},
    };
    for (const Case& c : cases) {
        Pair p;
        ASSERT_EQ(write(p.a, c.bytes.data(), c.bytes.size()), static_cast<ssize_t>(c.bytes.size()));
        close(p.a);
        p.a = -1;
        hbtp_message* in = MakeHbtp(1, 2, 3, "keep");
        EXPECT_EQ(hbtp_message_recvfd(in, p.b), -1) << c.pszName;
        EXPECT_EQ(errno, c.iErr) << c.pszName;
        EXPECT_EQ(in->pstHeader->usCode, 1) << c.pszName;
        EXPECT_EQ(Body(in), "keep") << c.pszName;
        hbtp_message_put(in);
    }
    // Writing to a peer that is gone fails with errno instead of a signal.
    Pair p;
    close(p.b);
    p.b = -1;
    hbtp_message* out = MakeHbtp(200, 0, 0, "x");
    EXPECT_EQ(hbtp_message_sendfd(out, p.a), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(hbtp_message_sendfd(out, -1), -1);
    EXPECT_EQ(errno, EBADF);
    hbtp_message_put(out);
}

TEST(HbtpFrame, ShortReadsAndWritesStillCarryWholeMessages)
{
    // Receive side: the frame arrives one byte per write.
    {
        Pair p;
        hbtp_message* m = MakeHbtp(200, 4, 2, "trickle");
        const std::string frame = Encode(m);
        hbtp_message_put(m);
        std::thread writer([&] {
            for (char ch : frame) {
                ASSERT_EQ(write(p.a, &ch, 1), 1);
            }
        });
        hbtp_message* in = hbtp_message_new(0);
        EXPECT_EQ(hbtp_message_recvfd(in, p.b), 0);
        writer.join();
        EXPECT_EQ(Body(in), "trickle");
        hbtp_message_put(in);
    }
    // Send side: a body at the bound, far beyond the socket buffer, read back in small pieces.
    {
        Pair p;
        int small = 4096;
        setsockopt(p.a, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
        std::string body(HBTP_FRAME_MAX_BODY, '\0');
        for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
        hbtp_message* out = MakeHbtp(200, 4, 2, body);
        std::string received;
        std::thread reader([&] {
            char buf[333];
            ssize_t n;
            while ((n = read(p.b, buf, sizeof(buf))) > 0) received.append(buf, static_cast<size_t>(n));
        });
        EXPECT_EQ(hbtp_message_sendfd(out, p.a), 0);
        close(p.a);
        p.a = -1;
        reader.join();
        EXPECT_EQ(received, Encode(out));
        hbtp_message* back = nullptr;
        ASSERT_EQ(hbtp_frame_decode(received.data(), received.size(), &back), 0);
        EXPECT_EQ(Body(back), body);
        hbtp_message_put(back);
        hbtp_message_put(out);
    }
}

TEST(HbtpFrame, MessageLimits)
{
    hbtp_message* m = hbtp_message_new(0);
    std::string big(HBTP_FRAME_MAX_EXT, 'e');
    EXPECT_EQ(hbtp_header_set(m, 1, big.data(), static_cast<unsigned short>(HBTP_FRAME_MAX_EXT - 4)), 0);
    EXPECT_EQ(hbtp_header_set(m, 2, "x", 1), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    std::string body(HBTP_FRAME_MAX_BODY, 'b');
    EXPECT_EQ(hbtp_content_add(m, body.data(), HBTP_FRAME_MAX_BODY), 0);
    EXPECT_EQ(hbtp_content_add(m, "x", 1), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(hbtp_content(m, nullptr, nullptr), -1);
    EXPECT_EQ(hbtp_message_put(m), 0);
    EXPECT_EQ(hbtp_message_put(nullptr), 0);
}

} // namespace
