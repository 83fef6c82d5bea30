// The ClientHello detection on real ClientHellos, on every prefix of them, on streams that
// only begin like TLS, and on random bytes.
#include <gtest/gtest.h>

#include <random>

#include "TlsTestSupport.h"
#include "tls/ClientHello.h"

namespace {

// The handshake message of `hello` re-framed into records of `nChunk` bytes each.
std::string Reframe(const std::string& hello, std::size_t nChunk) {
    const std::string message = hello.substr(5);
    std::string out;
    for (std::size_t nPos = 0; nPos < message.size(); nPos += nChunk) {
        const std::string part = message.substr(nPos, nChunk);
        out += std::string("\x16\x03\x01", 3);
        out += static_cast<char>(part.size() >> 8);
        out += static_cast<char>(part.size() & 0xFF);
        out += part;
    }
    return out;
}

TEST(ClientHelloTest, ReadsSniAndAlpnOfARealClientHello) {
    const std::string hello = test::ClientHelloBytes("api.example.org", {"h2", "http/1.1"});
    CClientHelloInfo info;
    ASSERT_EQ(HelloScan::ClientHello, ScanClientHello(hello, &info));
    EXPECT_EQ("api.example.org", info.strServerName);
    EXPECT_TRUE(info.bHasAlpn);
    EXPECT_EQ((std::vector<std::string>{"h2", "http/1.1"}), info.alpn);
    EXPECT_TRUE(info.bOffersTls13);
    EXPECT_EQ(hello.size(), info.nBytes);

    CClientHelloInfo bare;
    ASSERT_EQ(HelloScan::ClientHello, ScanClientHello(test::ClientHelloBytes("", {}), &bare));
    EXPECT_EQ("", bare.strServerName);
    EXPECT_FALSE(bare.bHasAlpn);
}

TEST(ClientHelloTest, EveryPrefixNeedsMoreAndBytesAfterItDoNotMatter) {
    const std::string hello = test::ClientHelloBytes("example.com", {"http/1.1"});
    for (std::size_t n = 0; n < hello.size(); ++n) {
        ASSERT_EQ(HelloScan::NeedMore, ScanClientHello(std::string_view(hello).substr(0, n))) << n;
    }
    // Application bytes the client sends on at once follow the hello.
    EXPECT_EQ(HelloScan::ClientHello, ScanClientHello(hello + "\x17\x03\x03 more"));
}

TEST(ClientHelloTest, AHelloSpreadOverSeveralRecordsIsPutTogether) {
    const std::string hello = test::ClientHelloBytes("split.example", {"http/1.1"});
    for (std::size_t nChunk : {1u, 7u, 100u}) {
        const std::string framed = Reframe(hello, nChunk);
        CClientHelloInfo info;
        ASSERT_EQ(HelloScan::ClientHello, ScanClientHello(framed, &info)) << nChunk;
        EXPECT_EQ("split.example", info.strServerName);
        EXPECT_EQ(framed.size(), info.nBytes);
        EXPECT_EQ(HelloScan::NeedMore,
                  ScanClientHello(std::string_view(framed).substr(0, framed.size() - 1)));
    }
}

TEST(ClientHelloTest, StreamsThatOnlyBeginLikeTlsAreNotTls) {
    // A binary protocol whose first byte is 0x16: told apart within its first bytes.
    EXPECT_EQ(HelloScan::NotTls, ScanClientHello(std::string("\x16\x01", 2)));
    EXPECT_EQ(HelloScan::NotTls, ScanClientHello(std::string("\x16\x03\x09", 3)));
    EXPECT_EQ(HelloScan::NotTls, ScanClientHello("GET / HTTP/1.1\r\n"));
    // A record header whose length is zero, or too long.
    EXPECT_EQ(HelloScan::NotTls, ScanClientHello(std::string("\x16\x03\x01\x00\x00", 5)));
    EXPECT_EQ(HelloScan::NotTls, ScanClientHello(std::string("\x16\x03\x01\xff\xff", 5)));
    // A handshake record that carries a ServerHello (type 2).
    std::string hello = test::ClientHelloBytes("a.example", {});
    std::string server = hello;
    server[5] = 2;
    EXPECT_EQ(HelloScan::NotTls, ScanClientHello(server));
    // A message length one more than the record holds: it waits for the next record, and a
    // record of another type there ends it.
    std::string cut = hello;
    const std::size_t nLength = hello.size() - 9 + 1;
    cut[6] = static_cast<char>(nLength >> 16);
    cut[7] = static_cast<char>((nLength >> 8) & 0xFF);
    cut[8] = static_cast<char>(nLength & 0xFF);
    EXPECT_EQ(HelloScan::NeedMore, ScanClientHello(cut));
    EXPECT_EQ(HelloScan::NotTls, ScanClientHello(cut + std::string("\x17\x03\x03\x00\x01x", 6)));
}

TEST(ClientHelloTest, RandomBytesAreSafeAndOnlyEverSayNotTlsOrNeedMore) {
    std::mt19937 random(42);
    const std::string hello = test::ClientHelloBytes("fuzz.example", {"http/1.1"});
    for (int i = 0; i < 20000; ++i) {
        std::string data = hello;
        // Flip a few bytes, cut or extend the stream.
        for (int k = 0; k < 3; ++k) {
            data[random() % data.size()] = static_cast<char>(random());
        }
        data.resize(random() % (data.size() + 20));
        CClientHelloInfo info;
        const HelloScan scan = ScanClientHello(data, &info);
        if (scan == HelloScan::ClientHello) {
            EXPECT_LE(info.nBytes, data.size());
        }
    }
}

}  // namespace
