// The capture reader and the TCP reassembly: our own captures, hand-made ones with the
// segments out of order, repeated, cut and of other link types and formats, and inputs that
// are cut or damaged anywhere.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "logdoc/PcapngReader.h"
#include "logdoc/PcapngWriter.h"
#include "logdoc/TcpStreams.h"

namespace {

CNetAddress V4(std::uint8_t last, std::uint16_t nPort) {
    CNetAddress a;
    a.nFamily = 4;
    a.addr[0] = 127;
    a.addr[3] = last;
    a.nPort = nPort;
    return a;
}

std::vector<CTcpStream> StreamsOf(std::string_view file, CPcapngReader* pReader = nullptr) {
    CPcapngReader reader;
    CTcpStreams tcp;
    const bool bRead = reader.Read(file, [&](const CCapturedPacket& p) { tcp.Add(p); });
    EXPECT_TRUE(bRead) << reader.GetError();
    if (pReader != nullptr) {
        *pReader = reader;
    }
    return tcp.Take();
}

std::string ClientBytes(const CTcpStream& stream) {
    std::string all;
    for (const CTcpTurn& turn : stream.clientTurns) {
        all += turn.bytes;
    }
    return all;
}

// Our own capture: two sessions, one with a block larger than a segment.
std::string OwnCapture(const std::string& big) {
    std::string file;
    CPcapngWriter writer;
    writer.Open([&file](std::string_view bytes) { file.append(bytes); });
    writer.Connect(1, V4(1, 40000), V4(2, 80), 1'000'000);
    writer.Connect(2, V4(1, 40001), V4(2, 80), 1'000'100);
    writer.Data(1, LogDirection::ClientToServer, "GET / HTTP/1.1\r\n", 1'001'000);
    writer.Data(1, LogDirection::ClientToServer, "Host: a\r\n\r\n", 1'002'000);
    writer.Data(2, LogDirection::ClientToServer, big, 1'002'500);
    writer.Data(1, LogDirection::ServerToClient, "HTTP/1.1 200 OK\r\n\r\n", 1'003'000);
    writer.Data(1, LogDirection::ClientToServer, std::string("\0bin", 4), 1'004'000);
    writer.Fin(1, LogDirection::ClientToServer, 1'005'000);
    writer.End(1, 1'006'000);
    writer.Data(2, LogDirection::ServerToClient, "ok", 1'007'000);
    writer.End(2, 1'008'000);
    return file;
}

TEST(PcapngReaderTest, OwnCaptureGivesTheClientTurnsByteExact) {
    std::string big(200'000, 'x');
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>(i * 7);
    }
    const std::vector<CTcpStream> streams = StreamsOf(OwnCapture(big));
    ASSERT_EQ(2u, streams.size());
    const CTcpStream& http = streams[0];
    EXPECT_TRUE(http.bHandshake);
    EXPECT_FALSE(http.bClientGap);
    EXPECT_EQ(V4(1, 40000), http.client);
    EXPECT_EQ(V4(2, 80), http.server);
    // What the client sent before the answer is one turn; what it sent after, another.
    ASSERT_EQ(2u, http.clientTurns.size());
    EXPECT_EQ("GET / HTTP/1.1\r\nHost: a\r\n\r\n", http.clientTurns[0].bytes);
    EXPECT_EQ(1'001'000, http.clientTurns[0].nTimeUs);
    EXPECT_EQ(std::string("\0bin", 4), http.clientTurns[1].bytes);
    EXPECT_EQ(1'004'000, http.clientTurns[1].nTimeUs);
    EXPECT_EQ(19u, http.nServerBytes);
    // A block cut into several segments comes back whole.
    ASSERT_EQ(1u, streams[1].clientTurns.size());
    EXPECT_TRUE(streams[1].clientTurns[0].bytes == big);
    EXPECT_EQ(2u, streams[1].nServerBytes);
}

// Hand-made packets: Ethernet, IPv4 or IPv6, TCP, in pcapng or pcap.
struct CPacketMaker {
    bool bV6 = false;

    std::string Tcp(bool bFromClient, std::uint32_t nSeq, std::uint8_t nFlags,
                    std::string_view payload) const {
        std::string tcp(20, '\0');
        const std::uint16_t nFrom = bFromClient ? 50000 : 8080;
        const std::uint16_t nTo = bFromClient ? 8080 : 50000;
        tcp[0] = static_cast<char>(nFrom >> 8);
        tcp[1] = static_cast<char>(nFrom & 0xFF);
        tcp[2] = static_cast<char>(nTo >> 8);
        tcp[3] = static_cast<char>(nTo & 0xFF);
        for (int i = 0; i < 4; ++i) {
            tcp[4 + i] = static_cast<char>(nSeq >> (24 - 8 * i));
        }
        tcp[12] = 0x50;
        tcp[13] = static_cast<char>(nFlags);
        tcp += payload;
        std::string ip;
        const char nClient = 1;
        const char nServer = 2;
        if (!bV6) {
            ip.assign(20, '\0');
            ip[0] = 0x45;
            const std::size_t nTotal = 20 + tcp.size();
            ip[2] = static_cast<char>(nTotal >> 8);
            ip[3] = static_cast<char>(nTotal & 0xFF);
            ip[8] = 64;
            ip[9] = 6;
            ip[12] = ip[16] = 127;
            ip[15] = bFromClient ? nClient : nServer;
            ip[19] = bFromClient ? nServer : nClient;
        } else {
            ip.assign(40, '\0');
            ip[0] = 0x60;
            ip[4] = static_cast<char>(tcp.size() >> 8);
            ip[5] = static_cast<char>(tcp.size() & 0xFF);
            ip[6] = 6;
            ip[23] = bFromClient ? nClient : nServer;
            ip[39] = bFromClient ? nServer : nClient;
        }
        std::string ether(12, '\x02');
        ether += bV6 ? std::string("\x86\xDD", 2) : std::string("\x08\x00", 2);
        return ether + ip + tcp;
    }
};

void Put32(std::string& s, std::uint32_t n) {
    s.append(reinterpret_cast<const char*>(&n), 4);
}

std::string Pcapng(const std::vector<std::string>& frames) {
    std::string f;
    Put32(f, 0x0A0D0D0A);
    Put32(f, 28);
    Put32(f, 0x1A2B3C4D);
    Put32(f, 0x00000001);  // version 1.0
    Put32(f, 0xFFFFFFFF);
    Put32(f, 0xFFFFFFFF);
    Put32(f, 28);
    // An interface of Ethernet with nanosecond stamps (if_tsresol 9).
    Put32(f, 1);
    Put32(f, 28);
    Put32(f, 1);  // link type 1, reserved 0
    Put32(f, 65535);
    Put32(f, 0x00010009);  // option 9, length 1
    Put32(f, 9);
    Put32(f, 28);
    std::uint64_t nStampNs = 2'000'000'000ull;
    for (const std::string& frame : frames) {
        const std::uint32_t nPadded = static_cast<std::uint32_t>((frame.size() + 3) & ~3u);
        Put32(f, 6);
        Put32(f, 32 + nPadded);
        Put32(f, 0);
        Put32(f, static_cast<std::uint32_t>(nStampNs >> 32));
        Put32(f, static_cast<std::uint32_t>(nStampNs));
        Put32(f, static_cast<std::uint32_t>(frame.size()));
        Put32(f, static_cast<std::uint32_t>(frame.size()));
        f += frame;
        f.append(nPadded - frame.size(), '\0');
        Put32(f, 32 + nPadded);
        nStampNs += 1'000'000;  // a millisecond apart
    }
    return f;
}

std::string Be32(std::uint32_t n) {
    return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
            static_cast<char>(n)};
}

// The classic format, big-endian, nanosecond stamps.
std::string PcapBigEndianNs(const std::vector<std::string>& frames) {
    std::string f = Be32(0xA1B23C4D) + std::string("\x00\x02\x00\x04", 4) + Be32(0) + Be32(0) +
                    Be32(65535) + Be32(1);
    std::uint32_t nSecond = 1000;
    for (const std::string& frame : frames) {
        const auto nSize = static_cast<std::uint32_t>(frame.size());
        f += Be32(nSecond++) + Be32(500'000) + Be32(nSize) + Be32(nSize) + frame;
    }
    return f;
}

constexpr std::uint8_t kSyn = 0x02;
constexpr std::uint8_t kAck = 0x10;
constexpr std::uint8_t kSynAck = 0x12;
constexpr std::uint8_t kFinAck = 0x11;

TEST(PcapngReaderTest, SegmentsArePlacedBySequenceNumber) {
    for (const bool bV6 : {false, true}) {
        CPacketMaker m{bV6};
        // The client's ISN is near the wrap of the sequence space.
        const std::uint32_t c = 0xFFFFFFF0u;
        const std::uint32_t s = 5000;
        const std::vector<std::string> frames = {
            m.Tcp(true, c, kSyn, ""),
            m.Tcp(false, s, kSynAck, ""),
            m.Tcp(true, c + 1 + 10, kAck, "KLMNOPQRST"),  // ahead of a missing segment
            m.Tcp(true, c + 1, kAck, "ABCDEFGHIJ"),       // the missing one
            m.Tcp(true, c + 1, kAck, "ABCDEFGHIJ"),       // a retransmission
            m.Tcp(true, c + 1 + 15, kAck, "PQRSTUVW"),    // overlaps the end
            m.Tcp(false, s + 1, kAck, "answer"),
            m.Tcp(true, c + 1 + 23, kAck, "second"),
            m.Tcp(true, c + 1 + 29, kFinAck, ""),
        };
        const std::vector<CTcpStream> streams = StreamsOf(Pcapng(frames));
        ASSERT_EQ(1u, streams.size()) << bV6;
        const CTcpStream& t = streams[0];
        EXPECT_TRUE(t.bHandshake);
        EXPECT_FALSE(t.bClientGap);
        EXPECT_EQ(bV6 ? 6 : 4, t.client.nFamily);
        EXPECT_EQ(50000, t.client.nPort);
        EXPECT_EQ(8080, t.server.nPort);
        ASSERT_EQ(2u, t.clientTurns.size());
        EXPECT_EQ("ABCDEFGHIJKLMNOPQRSTUVW", t.clientTurns[0].bytes);
        EXPECT_EQ("second", t.clientTurns[1].bytes);
        EXPECT_EQ(6u, t.nServerBytes);
        // Nanosecond stamps: 2 s, the fourth frame 3 ms later.
        EXPECT_EQ(2'003'000, t.clientTurns[0].nTimeUs);
    }
}

TEST(PcapngReaderTest, ClientIsTheSynSenderOrTheFirstSender) {
    CPacketMaker m;
    // No handshake captured: the first to send is the client.
    std::vector<CTcpStream> streams =
        StreamsOf(Pcapng({m.Tcp(false, 100, kAck, "banner"), m.Tcp(true, 7, kAck, "hi")}));
    ASSERT_EQ(1u, streams.size());
    EXPECT_FALSE(streams[0].bHandshake);
    EXPECT_EQ(8080, streams[0].client.nPort);
    EXPECT_EQ("banner", ClientBytes(streams[0]));
    // Only the SYN-ACK is seen first: its receiver is the client.
    streams = StreamsOf(Pcapng({m.Tcp(false, 100, kSynAck, ""), m.Tcp(true, 8, kAck, "req"),
                                m.Tcp(false, 101, kAck, "banner")}));
    ASSERT_EQ(1u, streams.size());
    EXPECT_EQ(50000, streams[0].client.nPort);
    EXPECT_EQ("req", ClientBytes(streams[0]));
    // The same ports again after a finished connection: a second session.
    streams = StreamsOf(Pcapng({m.Tcp(true, 1, kSyn, ""), m.Tcp(true, 2, kAck, "one"),
                                m.Tcp(true, 900, kSyn, ""), m.Tcp(true, 901, kAck, "two")}));
    ASSERT_EQ(2u, streams.size());
    EXPECT_EQ("one", ClientBytes(streams[0]));
    EXPECT_EQ("two", ClientBytes(streams[1]));
}

TEST(PcapngReaderTest, MissingBytesAreAGapAndClassicPcapIsRead) {
    CPacketMaker m;
    const std::vector<std::string> frames = {
        m.Tcp(true, 10, kSyn, ""), m.Tcp(true, 11, kAck, "abc"),
        m.Tcp(true, 20, kAck, "after a hole"),  // bytes 14..19 never came
        m.Tcp(false, 1, kAck, "x")};
    std::vector<CTcpStream> streams = StreamsOf(Pcapng(frames));
    ASSERT_EQ(1u, streams.size());
    EXPECT_TRUE(streams[0].bClientGap);
    EXPECT_EQ("abcafter a hole", ClientBytes(streams[0]));

    // A frame cut by the capture's snapshot length.
    std::string cut = m.Tcp(true, 14, kAck, "0123456789");
    cut.resize(cut.size() - 4);
    streams = StreamsOf(Pcapng({m.Tcp(true, 10, kSyn, ""), m.Tcp(true, 11, kAck, "abc"), cut}));
    ASSERT_EQ(1u, streams.size());
    EXPECT_TRUE(streams[0].bClientGap);

    streams = StreamsOf(PcapBigEndianNs(
        {m.Tcp(true, 10, kSyn, ""), m.Tcp(true, 11, kAck, "abc"), m.Tcp(false, 5, kAck, "def")}));
    ASSERT_EQ(1u, streams.size());
    ASSERT_EQ(1u, streams[0].clientTurns.size());
    EXPECT_EQ("abc", streams[0].clientTurns[0].bytes);
    EXPECT_EQ(1'001'000'500, streams[0].clientTurns[0].nTimeUs);
    EXPECT_FALSE(streams[0].bClientGap);
}

TEST(PcapngReaderTest, RejectsWhatIsNoCapture) {
    CPcapngReader reader;
    int nPackets = 0;
    const auto count = [&](const CCapturedPacket&) { ++nPackets; };
    EXPECT_FALSE(reader.Read("", count));
    EXPECT_FALSE(reader.Read("GET / HTTP/1.1\r\n\r\n", count));
    // A pcapng header with a broken byte order mark.
    std::string bad = Pcapng({});
    bad[8] = 'x';
    EXPECT_FALSE(reader.Read(bad, count));
    EXPECT_FALSE(reader.GetError().empty());
    EXPECT_EQ(0, nPackets);
}

// Cuts at every length and damage anywhere: the reader stays inside its input, what comes
// out of a cut capture is a prefix of the whole, and the reassembly takes whatever comes.
TEST(PcapngReaderTest, CutAndDamagedInputIsReadSafely) {
    CPacketMaker m;
    std::vector<std::string> frames = {m.Tcp(true, 10, kSyn, ""), m.Tcp(false, 70, kSynAck, "")};
    std::string whole;
    for (int i = 0; i < 12; ++i) {
        const std::string piece = "piece " + std::to_string(i) + ";";
        frames.push_back(m.Tcp(true, 11 + static_cast<std::uint32_t>(whole.size()), kAck, piece));
        whole += piece;
    }
    for (const std::string& file : {Pcapng(frames), PcapBigEndianNs(frames)}) {
        for (std::size_t n = 0; n <= file.size(); ++n) {
            CPcapngReader reader;
            CTcpStreams tcp;
            const std::string_view part(file.data(), n);
            if (!reader.Read(part, [&](const CCapturedPacket& p) { tcp.Add(p); })) {
                continue;
            }
            if (n + 1 == file.size()) {
                EXPECT_TRUE(reader.IsTruncated());
            }
            for (const CTcpStream& s : tcp.Take()) {
                EXPECT_TRUE(whole.starts_with(ClientBytes(s))) << n;
            }
        }
    }
    std::mt19937 random(27);
    const std::string file = Pcapng(frames);
    for (int i = 0; i < 3000; ++i) {
        std::string damaged = file;
        const int nFlips = 1 + static_cast<int>(random() % 8);
        for (int k = 0; k < nFlips; ++k) {
            damaged[random() % damaged.size()] = static_cast<char>(random());
        }
        CPcapngReader reader;
        CTcpStreams tcp;
        std::size_t nBytes = 0;
        reader.Read(damaged, [&](const CCapturedPacket& p) {
            EXPECT_GE(p.data.data(), damaged.data());
            EXPECT_LE(p.data.data() + p.data.size(), damaged.data() + damaged.size());
            tcp.Add(p);
        });
        for (const CTcpStream& s : tcp.Take()) {
            nBytes += ClientBytes(s).size() + s.nServerBytes;
        }
        EXPECT_LE(nBytes, damaged.size());
    }
    // Garbage behind a valid section header.
    for (int i = 0; i < 500; ++i) {
        std::string garbage = file.substr(0, 28);
        const std::size_t nSize = random() % 400;
        for (std::size_t k = 0; k < nSize; ++k) {
            garbage += static_cast<char>(random());
        }
        CPcapngReader reader;
        CTcpStreams tcp;
        reader.Read(garbage, [&](const CCapturedPacket& p) { tcp.Add(p); });
        (void)tcp.Take();
    }
}

}  // namespace
