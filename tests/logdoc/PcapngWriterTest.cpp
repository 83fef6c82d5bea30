// The pcapng capture: written live from the relay's records and exported from a log's
// stored records, read back by tshark (skipped when it is not installed).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "TempFolder.h"
#include "TsharkSupport.h"
#include "logdoc/LogDocument.h"
#include "logdoc/PcapngWriter.h"
#include "logdoc/SessionExport.h"
#include "module/Messages.h"

namespace {

CNetAddress V4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d,
               std::uint16_t nPort) {
    CNetAddress address;
    address.nFamily = 4;
    address.addr[0] = a;
    address.addr[1] = b;
    address.addr[2] = c;
    address.addr[3] = d;
    address.nPort = nPort;
    return address;
}

std::string RandomBytes(std::size_t n, unsigned nSeed) {
    std::mt19937 random(nSeed);
    std::string s(n, '\0');
    for (char& c : s) {
        c = static_cast<char>(random() & 0xFF);
    }
    return s;
}

// Feeds the records of a few sessions, in log order, to a sink (the writer or a log).
class CScript {
public:
    explicit CScript(std::function<void(const CLogRecord&)> fn) : m_fn(std::move(fn)) {}

    void Start(std::uint64_t nId, const CNetAddress& client) {
        CLogRecord r = Make(LogRecordKind::SessionStart, nId);
        r.client = client;
        m_fn(r);
    }
    void Connect(std::uint64_t nId, const CNetAddress& server) {
        CLogRecord r = Make(LogRecordKind::SessionConnected, nId);
        r.server = server;
        r.strServerHost = "server.test";
        m_fn(r);
    }
    void Block(std::uint64_t nId, LogDirection direction, std::string_view bytes) {
        m_fn(Make(LogRecordKind::BlockBegin, nId));
        CLogRecord r = Make(LogRecordKind::Block, nId);
        r.direction = direction;
        r.bytes = bytes;
        m_fn(r);
    }
    void Side(std::uint64_t nId, LogRecordKind kind, LogDirection side) {
        CLogRecord r = Make(kind, nId);
        r.direction = side;
        m_fn(r);
    }
    void Refuse(std::uint64_t nId) {
        CLogRecord r = Make(LogRecordKind::SessionRefused, nId);
        r.server.nPort = 9;
        m_fn(r);
    }
    void End(std::uint64_t nId) { m_fn(Make(LogRecordKind::SessionEnd, nId)); }

private:
    CLogRecord Make(LogRecordKind kind, std::uint64_t nId) {
        CLogRecord r;
        r.kind = kind;
        r.nSessionId = nId;
        r.nSession = static_cast<long>(nId);
        r.nTimeUs = m_nTime += 1000;
        return r;
    }
    std::function<void(const CLogRecord&)> m_fn;
    std::int64_t m_nTime = 1'700'000'000'000'000;
};

class PcapngTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::HaveTshark()) {
            GTEST_SKIP() << "tshark is not installed: the captures cannot be read back";
        }
    }

    // Four sessions: plain binary (segments split, half-close), HTTP, a reset by the
    // server, one refused (no conversation), and one that the relay ends itself.
    void Play(CScript& s) {
        s.Start(1, V4(10, 0, 0, 1, 40001));
        s.Start(2, V4(10, 0, 0, 1, 40002));
        s.Connect(1, V4(10, 0, 0, 2, 7000));
        s.Connect(2, V4(10, 0, 0, 2, 80));
        s.Block(1, LogDirection::ClientToServer, m_big);
        s.Block(2, LogDirection::ClientToServer, m_request);
        s.Block(1, LogDirection::ServerToClient, m_reply);
        s.Side(1, LogRecordKind::SideClosed, LogDirection::ClientToServer);
        s.Block(1, LogDirection::ServerToClient, "after the client's FIN");
        s.Block(2, LogDirection::ServerToClient, m_response);
        s.Side(1, LogRecordKind::SideClosed, LogDirection::ServerToClient);
        s.End(1);
        s.Start(3, V4(10, 0, 0, 1, 40003));
        s.Connect(3, V4(10, 0, 0, 3, 7001));
        s.Block(3, LogDirection::ClientToServer, "cut short");
        s.Side(3, LogRecordKind::SideReset, LogDirection::ServerToClient);
        s.End(3);
        s.Start(4, V4(10, 0, 0, 1, 40004));
        s.Refuse(4);
        s.End(4);
        s.Start(5, V4(10, 0, 0, 1, 40005));
        s.Connect(5, V4(10, 0, 0, 2, 7000));
        s.Block(5, LogDirection::ClientToServer, "stopped");
        s.End(5);
        s.Side(2, LogRecordKind::SideClosed, LogDirection::ServerToClient);
        s.Side(2, LogRecordKind::SideClosed, LogDirection::ClientToServer);
        s.End(2);
    }

    // What tshark reads from the file of Play().
    void CheckCapture(const std::string& strFile) {
        const test::CTsharkRun read = test::RunTshark({"-r", strFile});
        EXPECT_EQ(0, read.nExit) << read.strErr;
        EXPECT_TRUE(test::TsharkQuiet(read.strErr)) << read.strErr;

        const std::vector<std::string> conversations = test::Conversations(strFile);
        EXPECT_EQ(4u, conversations.size());
        for (const char* psz :
             {"10.0.0.1:40001 <-> 10.0.0.2:7000", "10.0.0.1:40002 <-> 10.0.0.2:80",
              "10.0.0.1:40003 <-> 10.0.0.3:7001", "10.0.0.1:40005 <-> 10.0.0.2:7000"}) {
            EXPECT_NE(std::find(conversations.begin(), conversations.end(), psz),
                      conversations.end())
                << psz;
        }
        // Streams are numbered by their first packet: sessions 1, 2, 3, 5.
        auto [c1, s1] = test::FollowTcp(strFile, 0);
        EXPECT_EQ(m_big.size(), c1.size());
        EXPECT_TRUE(c1 == m_big) << "client bytes of the binary session differ";
        EXPECT_EQ(m_reply + "after the client's FIN", s1);
        auto [c2, s2] = test::FollowTcp(strFile, 1);
        EXPECT_EQ(m_request, c2);
        EXPECT_EQ(m_response, s2);
        auto [c3, s3] = test::FollowTcp(strFile, 2);
        EXPECT_EQ("cut short", c3);
        EXPECT_EQ("", s3);
        auto [c5, s5] = test::FollowTcp(strFile, 3);
        EXPECT_EQ("stopped", c5);

        // The dissectors see HTTP on port 80, one reset from the server, the closes, and
        // no sequence trouble.
        const test::CTsharkRun http =
            test::RunTshark({"-r", strFile, "-Y", "http", "-T", "fields", "-e",
                             "http.request.method", "-e", "http.response.code"});
        EXPECT_NE(std::string::npos, http.strOut.find("GET")) << http.strOut;
        EXPECT_NE(std::string::npos, http.strOut.find("200")) << http.strOut;
        const test::CTsharkRun resets = test::RunTshark(
            {"-r", strFile, "-Y", "tcp.flags.reset == 1", "-T", "fields", "-e", "ip.src"});
        EXPECT_EQ("10.0.0.3\n", resets.strOut);
        const test::CTsharkRun fins = test::RunTshark(
            {"-r", strFile, "-Y", "tcp.flags.fin == 1", "-T", "fields", "-e", "tcp.stream"});
        EXPECT_EQ(6, std::count(fins.strOut.begin(), fins.strOut.end(), '\n')) << fins.strOut;
        const test::CTsharkRun trouble = test::RunTshark(
            {"-r", strFile, "-Y",
             "tcp.analysis.lost_segment or tcp.analysis.retransmission or "
             "tcp.analysis.out_of_order or tcp.analysis.ack_lost_segment or _ws.malformed"});
        EXPECT_EQ("", trouble.strOut);
        // Segments are at most 65,000 bytes: the 200,000 bytes take four.
        const test::CTsharkRun big = test::RunTshark(
            {"-r", strFile, "-Y", "tcp.stream == 0 and tcp.len > 0 and ip.src == 10.0.0.1", "-T",
             "fields", "-e", "tcp.len"});
        EXPECT_EQ("65000\n65000\n65000\n5000\n", big.strOut);
    }

    CTempFolder m_folder;
    const std::string m_big = RandomBytes(200000, 7);
    const std::string m_reply = RandomBytes(1000, 8);
    const std::string m_request = "GET /index.html HTTP/1.1\r\nHost: server.test\r\n\r\n";
    const std::string m_response = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
};

TEST_F(PcapngTest, LiveCaptureReadsBackExactly) {
    const std::string strFile = m_folder.Path("live.pcapng");
    CPcapngWriter writer;
    ASSERT_EQ(0, writer.Open(strFile));
    CScript script([&](const CLogRecord& r) { writer.OnRecord(r); });
    Play(script);
    EXPECT_EQ(0, writer.Close());
    CheckCapture(strFile);
}

TEST_F(PcapngTest, ExportOfTheStoredRecordsReadsBackExactly) {
    CLogDocument doc(m_folder.Path());
    CScript script([&](const CLogRecord& r) {
        if (r.kind == LogRecordKind::Block) {
            doc.AppendLogBytes(r.bytes, LOG_STYLE_PLAIN);
        }
        doc.OnLogRecord(r);
        if (r.kind == LogRecordKind::BlockBegin) {
            doc.AppendLog(L"\r\nmarker", LOG_STYLE_BOLD);
        }
    });
    Play(script);
    const std::string strFile = m_folder.Path("export.pcapng");
    ASSERT_EQ(0, ExportPcapng(doc.GetRecords(), strFile));
    CheckCapture(strFile);

    // A cancelled export leaves no file behind.
    const std::string strCancelled = m_folder.Path("cancelled.pcapng");
    EXPECT_EQ(ECANCELED, ExportPcapng(doc.GetRecords(), strCancelled,
                                      [](std::uint64_t, std::uint64_t) { return false; }));
    EXPECT_NE(0, ::access(strCancelled.c_str(), F_OK));
}

// An IPv4 client relayed to an IPv6 server: one conversation, the IPv4 side mapped.
TEST_F(PcapngTest, MixedFamiliesMakeOneIpv6Conversation) {
    const std::string strFile = m_folder.Path() + "/mixed.pcapng";
    {
        CPcapngWriter writer;
        ASSERT_EQ(0, writer.Open(strFile));
        CScript s([&](const CLogRecord& r) { writer.OnRecord(r); });
        CNetAddress server;
        server.nFamily = 6;
        server.addr[15] = 1;  // ::1
        server.nPort = 8080;
        s.Start(1, V4(127, 0, 0, 1, 40001));
        s.Connect(1, server);
        s.Block(1, LogDirection::ClientToServer, m_request);
        s.Block(1, LogDirection::ServerToClient, m_response);
        s.End(1);
    }
    const std::vector<std::string> conversations = test::Conversations(strFile);
    ASSERT_EQ(1u, conversations.size());
    // tshark writes IPv6 ends with or without brackets, depending on its version.
    const std::string& conv = conversations[0];
    const auto either = [&](const std::string& x, const std::string& y) {
        return conv.find(x) != std::string::npos || conv.find(y) != std::string::npos;
    };
    EXPECT_TRUE(either("::ffff:127.0.0.1:40001 <-> ", "[::ffff:127.0.0.1]:40001 <-> ")) << conv;
    EXPECT_TRUE(either("<-> ::1:8080", "<-> [::1]:8080")) << conv;
    auto [client, server] = test::FollowTcp(strFile, 0);
    EXPECT_EQ(m_request, client);
    EXPECT_EQ(m_response, server);
}

TEST(PcapngWriterTest, AnOutputGetsWholeBlocksAsTheyCome) {
    // A live capture hands each block to its output at once, whole: the file its output
    // writes is valid up to whatever it has written.
    std::vector<std::string> calls;
    CPcapngWriter writer;
    writer.Open([&](std::string_view bytes) { calls.emplace_back(bytes); });
    EXPECT_TRUE(writer.IsOpen());
    writer.Connect(1, V4(127, 0, 0, 1, 5000), V4(127, 0, 0, 1, 80), 1'000'000);
    writer.Data(1, LogDirection::ClientToServer, "abc", 2'000'000);
    // The section and interface headers (28 + 20), three handshake packets and one data
    // packet, each 32 + 40 bytes of headers (+ 3 data bytes padded to 4).
    ASSERT_EQ(5u, calls.size());
    EXPECT_EQ(48u, calls[0].size());
    for (std::size_t i = 1; i < calls.size(); ++i) {
        // Every block states its length at both ends.
        const std::string& block = calls[i];
        std::uint32_t nFront = 0;
        std::uint32_t nBack = 0;
        std::memcpy(&nFront, block.data() + 4, 4);
        std::memcpy(&nBack, block.data() + block.size() - 4, 4);
        EXPECT_EQ(block.size(), nFront) << "block " << i;
        EXPECT_EQ(nFront, nBack) << "block " << i;
    }
    EXPECT_EQ(76u, calls[4].size());
    // Another data block goes out at once.
    writer.Data(1, LogDirection::ServerToClient, std::string(70000, 'x'), 3'000'000);
    EXPECT_EQ(7u, calls.size());  // split at 65,000 bytes
}

TEST(PcapngWriterTest, AFileIsWrittenInPiecesAndWholeAtTheEnd) {
    CTempFolder folder;
    const std::string strFile = folder.Path("export.pcapng");
    const auto size = [&] {
        struct stat st {};
        return ::stat(strFile.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    };
    CPcapngWriter writer;
    ASSERT_EQ(0, writer.Open(strFile));
    EXPECT_EQ(48u, size());  // the headers at once: an empty capture is valid
    writer.Connect(1, V4(127, 0, 0, 1, 5000), V4(127, 0, 0, 1, 80), 1'000'000);
    writer.Data(1, LogDirection::ClientToServer, "abc", 2'000'000);
    EXPECT_EQ(48u, size());  // collected, not yet written
    EXPECT_EQ(0, writer.Flush());
    EXPECT_EQ(48u + 3u * 72u + 76u, size());
    // More than a piece's worth goes out without a flush, in whole blocks.
    const std::string big(60000, 'b');
    for (int i = 0; i < 40; ++i) {
        writer.Data(1, LogDirection::ServerToClient, big, 3'000'000 + i);
    }
    const std::uint64_t nWritten = size();
    EXPECT_GT(nWritten, 48u + 3u * 72u + 76u);
    EXPECT_EQ(0u, (nWritten - 48u - 3u * 72u - 76u) % (32u + 40u + 60000u));
    EXPECT_EQ(0, writer.Close());
    EXPECT_EQ(48u + 3u * 72u + 76u + 40u * (32u + 40u + 60000u), size());
    if (test::HaveTshark()) {
        const test::CTsharkRun read = test::RunTshark({"-r", strFile});
        EXPECT_EQ(0, read.nExit) << read.strErr;
        EXPECT_TRUE(test::TsharkQuiet(read.strErr)) << read.strErr;
    }
}

TEST(PcapngWriterTest, OpenFailsWithTheReason) {
    CPcapngWriter writer;
    EXPECT_EQ(ENOENT, writer.Open("/nonexistent-folder/x.pcapng"));
    EXPECT_FALSE(writer.IsOpen());
}

}  // namespace
