// Reading HTTP exchanges back from a connection's blocks: framing, pairing, what is not
// HTTP, however the blocks cut the bytes.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "export/HttpStream.h"

namespace {

constexpr auto kUp = LogDirection::ClientToServer;
constexpr auto kDown = LogDirection::ServerToClient;

struct CCollect {
    std::vector<CHttpExchange> exchanges;
    CHttpStream stream{[this](CHttpExchange&& x) { exchanges.push_back(std::move(x)); }};

    // The bytes in pieces of nPiece, each a block of its own time.
    void Feed(LogDirection d, std::string_view bytes, std::size_t nPiece = SIZE_MAX,
              std::int64_t nTime = 0) {
        for (std::size_t i = 0; i < bytes.size(); i += nPiece) {
            stream.Feed(d, bytes.substr(i, nPiece), nTime + static_cast<std::int64_t>(i));
        }
    }
};

// Pipelined requests (a body by length, a chunked one, a HEAD) and their answers (chunked
// with a trailer, by length, none for HEAD), fed a byte at a time and whole: the same
// exchanges, bodies unframed, sizes as sent.
TEST(HttpStreamTest, PairsPipelinedExchangesWhateverTheBlocks) {
    const std::string up =
        "POST /a HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nhello"
        "\r\n"  // a stray empty line between requests
        "PUT /b HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3;x=y\r\nabc\r\n2\r\nde\r\n0\r\n\r\n"
        "HEAD /c HTTP/1.1\r\n\r\n";
    const std::string down =
        "HTTP/1.1 100 Continue\r\n\r\n"
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nwiki\r\n0\r\nX-T: 1\r\n\r\n"
        "HTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok"
        "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n";
    for (const std::size_t nPiece : {std::size_t{1}, std::size_t{7}, SIZE_MAX}) {
        CCollect c;
        c.Feed(kUp, up, nPiece, 100);
        c.Feed(kDown, down, nPiece, 5000);
        ASSERT_EQ(3u, c.exchanges.size()) << "pieces of " << nPiece;
        const CHttpExchange& a = c.exchanges[0];
        EXPECT_EQ("POST", a.request.strMethod);
        EXPECT_EQ("/a", a.request.strTarget);
        EXPECT_EQ("hello", a.request.strBody);
        EXPECT_TRUE(a.request.bComplete);
        EXPECT_EQ(5u, a.request.nWireBytes);
        ASSERT_TRUE(a.bHasResponse);
        EXPECT_EQ(200, a.response.nStatus);
        EXPECT_EQ("wiki", a.response.strBody);
        EXPECT_EQ(std::string("4\r\nwiki\r\n0\r\nX-T: 1\r\n\r\n").size(), a.response.nWireBytes);
        // The final answer's first byte follows the 25 bytes of the interim one.
        const std::int64_t nAt =
            nPiece == SIZE_MAX ? 0 : static_cast<std::int64_t>(25 / nPiece * nPiece);
        EXPECT_EQ(5000 + nAt, a.response.nFirstUs);
        EXPECT_EQ("abcde", c.exchanges[1].request.strBody);
        EXPECT_EQ("ok", c.exchanges[1].response.strBody);
        EXPECT_EQ(201, c.exchanges[1].response.nStatus);
        EXPECT_EQ("HEAD", c.exchanges[2].request.strMethod);
        EXPECT_TRUE(c.exchanges[2].response.strBody.empty());
        EXPECT_TRUE(c.exchanges[2].response.bComplete);
        EXPECT_EQ(std::string("HTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\n").size(),
                  c.exchanges[1].response.nHeadBytes);
    }
}

// The times are those of the blocks that carried a message's first and last byte.
TEST(HttpStreamTest, MessagesTakeTheTimesOfTheirBlocks) {
    CCollect c;
    c.stream.Feed(kUp, "GET / HTTP/1.1\r\n", 10);
    c.stream.Feed(kUp, "\r\n", 20);
    c.stream.Feed(kDown, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nab", 30);
    c.stream.Feed(kDown, "cd", 45);
    ASSERT_EQ(1u, c.exchanges.size());
    EXPECT_EQ(10, c.exchanges[0].request.nFirstUs);
    EXPECT_EQ(20, c.exchanges[0].request.nLastUs);
    EXPECT_EQ(30, c.exchanges[0].response.nFirstUs);
    EXPECT_EQ(45, c.exchanges[0].response.nLastUs);
}

// A body that runs to the close ends with the connection; a request without an answer is
// still handed on; folded and odd lines are kept or left out as servers do.
TEST(HttpStreamTest, EndOfConnectionEndsWhatIsOpen) {
    CCollect c;
    c.Feed(kUp, "GET /1 HTTP/1.0\r\nX-Long: a\r\n  b\r\nno colon here\r\n\r\n");
    c.Feed(kDown, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nuntil the close");
    c.Feed(kUp, "GET /2 HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(c.exchanges.empty());
    c.stream.End();
    ASSERT_EQ(2u, c.exchanges.size());
    EXPECT_EQ("until the close", c.exchanges[0].response.strBody);
    EXPECT_TRUE(c.exchanges[0].response.bComplete);
    ASSERT_EQ(1u, c.exchanges[0].request.fields.size());
    EXPECT_EQ("a b", *c.exchanges[0].request.Field("x-long"));
    EXPECT_EQ("/2", c.exchanges[1].request.strTarget);
    EXPECT_FALSE(c.exchanges[1].bHasResponse);
}

// A body cut short by the close is handed on as incomplete.
TEST(HttpStreamTest, ABodyCutShortIsMarked) {
    CCollect c;
    c.Feed(kUp, "GET / HTTP/1.1\r\n\r\n");
    c.Feed(kDown, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n12345");
    c.stream.End();
    ASSERT_EQ(1u, c.exchanges.size());
    EXPECT_FALSE(c.exchanges[0].response.bComplete);
    EXPECT_EQ("12345", c.exchanges[0].response.strBody);
}

// Binary bytes, a TLS handshake or a server that answers no HTTP: no exchanges at all, and
// the stream says so at once (so nothing of it is kept).
TEST(HttpStreamTest, WhatIsNoHttpGivesNothing) {
    CCollect tls;
    tls.Feed(kUp, std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11));
    EXPECT_FALSE(tls.stream.IsHttp());
    CCollect smtp;
    smtp.Feed(kUp, "EHLO example.test\r\n");
    smtp.Feed(kDown, "250 OK\r\n");
    EXPECT_FALSE(smtp.stream.IsHttp());
    CCollect odd;
    odd.Feed(kUp, "GET / HTTP/1.1\r\n\r\n");
    odd.Feed(kDown, "SSH-2.0-OpenSSH\r\n\r\n");
    odd.stream.End();
    EXPECT_FALSE(odd.stream.IsHttp());
    EXPECT_TRUE(tls.exchanges.empty());
    EXPECT_TRUE(smtp.exchanges.empty());
    EXPECT_TRUE(odd.exchanges.empty());
}

// After 101 Switching Protocols the bytes are another protocol's: the upgrade is an entry,
// what follows is not read.
TEST(HttpStreamTest, SwitchingProtocolsEndsTheReading) {
    CCollect c;
    c.Feed(kUp, "GET /ws HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n");
    c.Feed(kDown, "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n\x81\x05hello");
    c.Feed(kUp, "\x81\x85\x00\x00\x00\x00hello");
    c.stream.End();
    ASSERT_EQ(1u, c.exchanges.size());
    EXPECT_EQ(101, c.exchanges[0].response.nStatus);
    EXPECT_TRUE(c.exchanges[0].response.strBody.empty());
}

// A body longer than kept is counted whole and marked cut.
TEST(HttpStreamTest, LongBodiesAreCountedNotKept) {
    CCollect c;
    const std::uint64_t nLength = CHttpStream::kMaxBody + 1000;
    c.Feed(kUp, "GET / HTTP/1.1\r\n\r\n");
    c.Feed(kDown, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(nLength) + "\r\n\r\n");
    const std::string piece(1 << 20, 'x');
    std::uint64_t nSent = 0;
    while (nSent < nLength) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), nLength - nSent));
        c.stream.Feed(kDown, std::string_view(piece).substr(0, n), 1);
        nSent += n;
    }
    ASSERT_EQ(1u, c.exchanges.size());
    EXPECT_EQ(nLength, c.exchanges[0].response.nBodyLength);
    EXPECT_EQ(CHttpStream::kMaxBody, c.exchanges[0].response.strBody.size());
    EXPECT_TRUE(c.exchanges[0].response.bBodyCut);
    EXPECT_TRUE(c.exchanges[0].response.bComplete);
}

// Damaged traffic (bytes changed, dropped or repeated, cut anywhere): the reading never
// fails, and hands on no more exchanges than requests were sent.
TEST(HttpStreamTest, DamagedTrafficIsReadSafely) {
    const std::string up =
        "POST /a HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello"
        "PUT /b HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n"
        "GET /c HTTP/1.1\r\n\r\n";
    const std::string down =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nwiki\r\n0\r\n\r\n"
        "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok"
        "HTTP/1.1 200 OK\r\n\r\nto the end";
    std::mt19937 random(11);
    const char kSpecial[] = "\r\n:; 0fF-";
    for (int nRound = 0; nRound < 3000; ++nRound) {
        std::string damaged[2] = {up, down};
        for (std::string& s : damaged) {
            for (int k = static_cast<int>(random() % 4); k > 0 && !s.empty(); --k) {
                const std::size_t at = random() % s.size();
                switch (random() % 3) {
                    case 0:
                        s[at] = kSpecial[random() % (sizeof kSpecial - 1)];
                        break;
                    case 1:
                        s.erase(at, random() % 8);
                        break;
                    default:
                        s.insert(at, s.substr(at, random() % 16));
                }
            }
        }
        CCollect c;
        std::size_t i[2] = {};
        while (i[0] < damaged[0].size() || i[1] < damaged[1].size()) {
            const std::size_t nSide = random() % 2;
            const std::size_t n = 1 + random() % 40;
            if (i[nSide] < damaged[nSide].size()) {
                c.stream.Feed(nSide == 0 ? kUp : kDown,
                              std::string_view(damaged[nSide]).substr(i[nSide], n),
                              static_cast<std::int64_t>(i[nSide]));
                i[nSide] += n;
            }
        }
        c.stream.End();
        ASSERT_LE(c.exchanges.size(), 3u + 4u) << nRound;
        for (const CHttpExchange& x : c.exchanges) {
            EXPECT_LE(x.request.strBody.size(), x.request.nBodyLength);
            EXPECT_LE(x.request.nFirstUs, x.request.nLastUs);
        }
    }
}

}  // namespace
