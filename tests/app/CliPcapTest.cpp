// tapvane-cli --pcap: the capture written while the relay runs, read back by tshark after
// the process was killed in the middle of a session.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "ProcessSupport.h"
#include "SocketTestSupport.h"
#include "TempFolder.h"
#include "app/CliOptions.h"
#include "capture/RelayFixture.h"
#include "logdoc/TsharkSupport.h"

namespace {

using namespace std::chrono_literals;

TEST(CliPcapOptionTest, TakesTheCaptureFile) {
    CCliOptions options;
    std::string strError;
    const char* args[] = {"tapvane-cli", "--pcap", "/tmp/x.pcapng", "--local-port", "81"};
    ASSERT_TRUE(ParseCliOptions(std::size(args), args, options, strError)) << strError;
    EXPECT_EQ("/tmp/x.pcapng", *options.strPcapFile);
    const char* missing[] = {"tapvane-cli", "--pcap"};
    EXPECT_FALSE(ParseCliOptions(std::size(missing), missing, options, strError));
}

TEST(CliPcapTest, KilledRunLeavesAReadableCaptureOfEveryByte) {
    if (!test::HaveTshark()) {
        GTEST_SKIP() << "tshark is not installed: the capture cannot be read back";
    }
    const std::string request = "GET /a HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
    // HTTP requests get an answer and a close; anything else is echoed until the client
    // closes.
    test::CTestServer server([&](int fd) {
        bool bFirst = true;
        test::ForEachReceived(fd, [&](std::string_view chunk) {
            if (bFirst && chunk.starts_with("GET ")) {
                test::SendAllPosix(fd, response);
                return false;
            }
            bFirst = false;
            test::SendAllPosix(fd, std::string(chunk));
            return true;
        });
    });
    CTempFolder folder;
    const std::string strCapture = folder.Path("live.pcapng");
    const std::uint16_t nLocal = test::FreePort();
    test::CChildProcess cli(
        {TAPVANE_CLI_PATH, "--local-port", std::to_string(nLocal), "--url", "127.0.0.1",
         "--remote-port", std::to_string(server.Port()), "--save-response", "off", "--replace-host",
         "off", "--pcap", strCapture},
        {"XDG_CONFIG_HOME=" + folder.Path(), "XDG_DESKTOP_DIR=" + folder.Path()});
    ASSERT_TRUE(cli.WaitForStderr("Listening on port", 10s)) << cli.Err();

    // An HTTP exchange that ends, then a binary one that is still open when the relay is
    // killed.
    const int fdHttp = test::ConnectPosix(nLocal);
    ASSERT_GE(fdHttp, 0);
    ASSERT_TRUE(test::SendAllPosix(fdHttp, request));
    EXPECT_EQ(response, test::ReceiveAllPosix(fdHttp));
    ::close(fdHttp);
    ASSERT_TRUE(cli.WaitForStderr("Session 0 stopped.", 10s)) << cli.Err();

    std::mt19937 random(5);
    std::string binary(300000, '\0');
    for (char& c : binary) {
        c = static_cast<char>(random());
    }
    const int fdBinary = test::ConnectPosix(nLocal);
    ASSERT_GE(fdBinary, 0);
    std::thread sender([&] { test::SendAllPosix(fdBinary, binary); });
    std::string echoed;
    char buffer[65536];
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (echoed.size() < binary.size() && std::chrono::steady_clock::now() < deadline) {
        (void)cli.Out();  // the log goes to the standard output: keep its pipe from filling
        pollfd pfd{fdBinary, POLLIN, 0};
        if (::poll(&pfd, 1, 10) <= 0) {
            continue;
        }
        const ssize_t n = ::recv(fdBinary, buffer, sizeof(buffer), 0);
        if (n <= 0) {
            break;
        }
        echoed.append(buffer, static_cast<std::size_t>(n));
    }
    sender.join();
    ASSERT_TRUE(echoed == binary) << echoed.size() << " bytes came back\n" << cli.Err();
    // The capture reaches the disk in batches at least every few milliseconds: a run killed
    // a moment after its last block leaves that block in the file.
    std::this_thread::sleep_for(100ms);
    cli.Signal(SIGKILL);
    EXPECT_EQ(128 + SIGKILL, cli.Wait(10s));
    ::close(fdBinary);

    const test::CTsharkRun read = test::RunTshark({"-r", strCapture});
    EXPECT_EQ(0, read.nExit) << read.strErr;
    EXPECT_TRUE(test::TsharkQuiet(read.strErr)) << read.strErr;
    EXPECT_EQ(2u, test::Conversations(strCapture).size());
    auto [httpClient, httpServer] = test::FollowTcp(strCapture, 0);
    EXPECT_EQ(request, httpClient);
    EXPECT_EQ(response, httpServer);
    auto [binClient, binServer] = test::FollowTcp(strCapture, 1);
    EXPECT_TRUE(binClient == binary) << binClient.size() << " client bytes in the capture";
    EXPECT_TRUE(binServer == binary) << binServer.size() << " server bytes in the capture";
    const test::CTsharkRun http = test::RunTshark(
        {"-r", strCapture, "-Y", "http.request", "-T", "fields", "-e", "http.request.uri"});
    EXPECT_EQ("/a\n", http.strOut);
}

}  // namespace
