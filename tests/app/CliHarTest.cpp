// tapvane-cli --har: a real relayed run, stopped with Ctrl-C while a request still waits
// for its answer; the archive passes the schema check with every exchange in it.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <thread>

#include "ProcessSupport.h"
#include "SocketTestSupport.h"
#include "TempFolder.h"
#include "app/CliHar.h"
#include "app/CliOptions.h"
#include "capture/RelayFixture.h"
#include "export/ExportTestSupport.h"

namespace {

using namespace std::chrono_literals;

TEST(CliHarOptionTest, TakesTheArchiveFile) {
    CCliOptions options;
    std::string strError;
    const char* args[] = {"tapvane-cli", "--har", "/tmp/x.har", "--local-port", "81"};
    ASSERT_TRUE(ParseCliOptions(5, args, options, strError)) << strError;
    EXPECT_EQ("/tmp/x.har", *options.strHarFile);
    const char* missing[] = {"tapvane-cli", "--har"};
    EXPECT_FALSE(ParseCliOptions(2, missing, options, strError));
}

// An archive that cannot be created stops the run before it starts, saying why.
TEST(CliHarOptionTest, AnArchiveThatCannotBeCreatedIsABadOption) {
    CTempFolder folder;
    test::CChildProcess cli(
        {TAPVANE_CLI_PATH, "--local-port", std::to_string(test::FreePort()), "--url", "127.0.0.1",
         "--remote-port", "9", "--har", folder.Path("no/such/folder/run.har")},
        {"XDG_CONFIG_HOME=" + folder.Path()});
    EXPECT_EQ(2, cli.Wait(10s));
    EXPECT_NE(std::string::npos, cli.Err().find("no/such/folder/run.har")) << cli.Err();
}

TEST(CliHarTest, CtrlCWritesEveryExchangeOfTheRun) {
    const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
    // Answers every request but /slow, which waits until the relay closes the connection.
    test::CTestServer server([&](int fd) {
        test::ForEachReceived(fd, [&](std::string_view request) {
            if (request.find("/slow") == std::string_view::npos) {
                test::SendAllPosix(fd, response);
            }
            return true;
        });
    });
    CTempFolder folder;
    const std::string strHar = folder.Path("run.har");
    const std::uint16_t nLocal = test::FreePort();
    test::CChildProcess cli(
        {TAPVANE_CLI_PATH, "--local-port", std::to_string(nLocal), "--url", "127.0.0.1",
         "--remote-port", std::to_string(server.Port()), "--save-response", "off", "--replace-host",
         "off", "--har", strHar},
        {"XDG_CONFIG_HOME=" + folder.Path(), "XDG_DESKTOP_DIR=" + folder.Path()});
    ASSERT_TRUE(cli.WaitForStderr("Listening on port", 10s)) << cli.Err();

    const std::string strHost = "Host: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n";
    // Two requests on one connection, each answered.
    const int fdKeep = test::ConnectPosix(nLocal);
    ASSERT_GE(fdKeep, 0);
    for (const char* pszPath : {"/one", "/two?a=b"}) {
        ASSERT_TRUE(test::SendAllPosix(
            fdKeep, std::string("GET ") + pszPath + " HTTP/1.1\r\n" + strHost + "\r\n"));
        EXPECT_EQ(response, test::ReceiveExactlyPosix(fdKeep, response.size()));
    }
    ::close(fdKeep);
    // One still waiting when the run is stopped.
    const int fdSlow = test::ConnectPosix(nLocal);
    ASSERT_GE(fdSlow, 0);
    const std::string slow = "POST /slow HTTP/1.1\r\n" + strHost + "Content-Length: 4\r\n\r\nwait";
    ASSERT_TRUE(test::SendAllPosix(fdSlow, slow));
    // The relay logs the block once it has passed it on.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (cli.Out().find("wait") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    cli.Signal(SIGINT);
    EXPECT_EQ(0, cli.Wait(20s)) << cli.Err();
    ::close(fdSlow);

    const auto [nExit, strOut] = test::CheckHar(strHar);
    ASSERT_EQ(0, nExit) << strOut;
    const std::string strBase = "http://127.0.0.1:" + std::to_string(server.Port());
    const std::string strEmpty = test::Sha256Hex("");
    const std::string strHello = test::Sha256Hex("hello");
    EXPECT_EQ("GET " + strBase + "/one 200 " + strEmpty + " " + strHello + " 5\n" + "GET " +
                  strBase + "/two?a=b 200 " + strEmpty + " " + strHello + " 5\n" + "POST " +
                  strBase + "/slow 0 " + test::Sha256Hex("wait") + " " + strEmpty + " 0\n",
              strOut);
}

// Records are copied when they come (the relay reuses its buffers at once) and become
// entries in their order on the archive's own thread; a queue fuller than its bound holds
// the relay back instead of growing, and records after Finish are left out.
TEST(CliHarTest, QueuedRecordsBecomeEntriesInOrderWithBoundedMemory) {
    CTempFolder folder;
    std::string strError;
    std::unique_ptr<CCliHar> pHar = CCliHar::Open(
        folder.Path("q.har"), [](const std::string&) {}, strError);
    ASSERT_TRUE(pHar) << strError;
    constexpr int kSessions = 40;
    // Four large answers (each within the archive's body limit): together more than the
    // queue may hold, so the relay side must wait for room.
    const std::string big(CCliHar::kMaxQueuedBytes / 3, 'x');
    const auto bodyOf = [&big](int i) {
        return i >= 5 && i < 9 ? big : "body " + std::to_string(i);
    };
    std::string buffer;  // reused for every block, as a relay thread does
    const auto feed = [&](std::uint64_t nId, LogRecordKind kind, LogDirection direction,
                          const std::string& bytes) {
        CLogRecord record;
        record.kind = kind;
        record.nSessionId = nId;
        record.nSession = static_cast<long>(nId);
        record.nTimeUs = 1'700'000'000'000'000 + static_cast<std::int64_t>(nId) * 1000;
        record.direction = direction;
        buffer = bytes;
        record.bytes = buffer;
        record.strServerHost = "server.test";
        record.server.nFamily = 4;
        record.server.nPort = 80;
        pHar->OnRecord(record);
        std::memset(buffer.data(), '#', buffer.size());  // the relay's next block
    };
    std::thread relay([&] {
        for (int i = 0; i < kSessions; ++i) {
            const auto nId = static_cast<std::uint64_t>(i + 1);
            const std::string body = bodyOf(i);
            feed(nId, LogRecordKind::SessionStart, LogDirection::ClientToServer, "");
            feed(nId, LogRecordKind::SessionConnected, LogDirection::ClientToServer, "");
            feed(nId, LogRecordKind::Block, LogDirection::ClientToServer,
                 "GET /" + std::to_string(i) + " HTTP/1.1\r\nHost: server.test\r\n\r\n");
            feed(nId, LogRecordKind::Block, LogDirection::ServerToClient,
                 "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                     std::to_string(body.size()) + "\r\n\r\n" + body);
            feed(nId, LogRecordKind::SessionEnd, LogDirection::ClientToServer, "");
        }
    });
    relay.join();
    pHar->Finish();
    pHar->Finish();  // a second call (a second Ctrl-C) changes nothing
    feed(99, LogRecordKind::SessionStart, LogDirection::ClientToServer, "");  // too late
    pHar->Writer().Close();

    const auto [nExit, strOut] = test::CheckHar(folder.Path("q.har"));
    ASSERT_EQ(0, nExit) << strOut.substr(0, 2000);
    std::string strWant;
    for (int i = 0; i < kSessions; ++i) {
        const std::string body = bodyOf(i);
        strWant += "GET http://server.test/" + std::to_string(i) + " 200 " + test::Sha256Hex("") +
                   " " + test::Sha256Hex(body) + " " + std::to_string(body.size()) + "\n";
    }
    EXPECT_EQ(strWant, strOut);
}

}  // namespace
