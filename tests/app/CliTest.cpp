// tapvane-cli as a user runs it: options, a port in use, a request through it, Ctrl-C.
#include <gtest/gtest.h>

#include <fstream>

#include "ProcessSupport.h"
#include "SocketTestSupport.h"
#include "TempFolder.h"
#include "app/CliOptions.h"
#include "capture/HttpTestSupport.h"

namespace {

using namespace std::chrono_literals;

class CliTest : public ::testing::Test {
protected:
    std::vector<std::string> Env() const {
        return {"XDG_CONFIG_HOME=" + m_config.Path(),
                "XDG_DESKTOP_DIR=" + m_config.Path("Desktop")};
    }
    CTempFolder m_config;
};

TEST(CliOptionsTest, ReadsEveryOptionAndRefusesBadOnes) {
    CCliOptions options;
    std::string strError;
    const char* good[] = {"tapvane-cli",
                          "--local-port",
                          "8080",
                          "--url",
                          "http://example.com",
                          "--remote-port",
                          "80",
                          "--save-response",
                          "off",
                          "--replace-host",
                          "on",
                          "--log",
                          "x.log",
                          "--data-folder",
                          "/tmp/d"};
    ASSERT_TRUE(ParseCliOptions(std::size(good), good, options, strError)) << strError;
    EXPECT_EQ(8080, *options.nLocalPort);
    EXPECT_EQ(L"http://example.com", *options.strUrl);
    EXPECT_EQ(80, *options.nRemotePort);
    EXPECT_FALSE(*options.bSaveResponse);
    EXPECT_TRUE(*options.bReplaceHost);
    EXPECT_EQ("x.log", *options.strLogFile);
    EXPECT_EQ(L"/tmp/d", *options.strDataFolder);

    const std::vector<std::vector<const char*>> bad = {
        {"tapvane-cli", "--local-port", "0"},
        {"tapvane-cli", "--local-port", "65536"},
        {"tapvane-cli", "--remote-port", "80x"},
        {"tapvane-cli", "--save-response", "yes"},
        {"tapvane-cli", "--url"},
        {"tapvane-cli", "--frobnicate", "1"},
        {"tapvane-cli", "--url", "ftp://"},
        {"tapvane-cli", "--url", " "},
        {"tapvane-cli", "--local-port=http"},
        {"tapvane-cli", "--verbose=yes"},
    };
    for (const auto& args : bad) {
        CCliOptions o;
        std::string e;
        EXPECT_FALSE(ParseCliOptions(static_cast<int>(args.size()), args.data(), o, e)) << args[1];
        EXPECT_FALSE(e.empty());
    }
}

TEST(CliOptionsTest, UnknownOptionsAreNamedWithOrWithoutAValue) {
    for (const char* pszOption : {"--bogus", "--bogus=1", "-x"}) {
        const std::string strName =
            std::string(pszOption).substr(0, std::string(pszOption).find('='));
        // Last on the line, and first with more after it.
        const char* last[] = {"tapvane-cli", "--local-port", "8080", pszOption};
        const char* first[] = {"tapvane-cli", pszOption, "--local-port", "8080"};
        for (const char* const* args : {last, first}) {
            CCliOptions options;
            std::string strError;
            EXPECT_FALSE(ParseCliOptions(4, args, options, strError));
            EXPECT_EQ("unknown option " + strName, strError);
        }
    }
    const char* flagWithValue[] = {"tapvane-cli", "--verbose=yes"};
    CCliOptions options;
    std::string strError;
    EXPECT_FALSE(ParseCliOptions(2, flagWithValue, options, strError));
    EXPECT_EQ("option --verbose takes no value", strError);
}

TEST(CliOptionsTest, BindTakesAllLocalOrAnAddress) {
    const std::vector<std::pair<const char*, std::wstring>> good = {
        {"all", L"all"},   {"local", L"local"},         {"LOCAL", L"local"}, {"::1", L"::1"},
        {"[::1]", L"::1"}, {"127.0.0.1", L"127.0.0.1"}, {"0.0.0.0", L"all"},
    };
    for (const auto& [pszValue, strStored] : good) {
        const char* args[] = {"tapvane-cli", "--bind", pszValue};
        CCliOptions options;
        std::string strError;
        ASSERT_TRUE(ParseCliOptions(std::size(args), args, options, strError)) << strError;
        EXPECT_EQ(strStored, options.strBind.value_or(L"-")) << pszValue;
    }
    for (const char* pszValue : {"", "everyone", "localhost", "1.2.3.4.5", "[::1"}) {
        const char* args[] = {"tapvane-cli", "--bind", pszValue};
        CCliOptions options;
        std::string strError;
        EXPECT_FALSE(ParseCliOptions(std::size(args), args, options, strError)) << pszValue;
        EXPECT_NE(std::string::npos, strError.find("--bind takes all, local or an address"))
            << strError;
    }
    const char* inlined[] = {"tapvane-cli", "--bind=local", "--url=[::1]:8080"};
    {
        CCliOptions options;
        std::string strError;
        ASSERT_TRUE(ParseCliOptions(std::size(inlined), inlined, options, strError)) << strError;
        EXPECT_EQ(L"local", options.strBind.value_or(L"-"));
        EXPECT_EQ(L"[::1]:8080", options.strUrl.value_or(L"-"));
    }
    const char* missing[] = {"tapvane-cli", "--bind"};
    CCliOptions options;
    std::string strError;
    EXPECT_FALSE(ParseCliOptions(std::size(missing), missing, options, strError));
    EXPECT_EQ("option --bind needs a value", strError);
    EXPECT_NE(std::string::npos, std::string(kCliUsage).find("--bind all|local|ADDRESS"));
}

TEST_F(CliTest, BadOptionsAndHelp) {
    test::CChildProcess bad({TAPVANE_CLI_PATH, "--local-port", "http"}, Env());
    EXPECT_EQ(2, bad.Wait(10s));
    EXPECT_NE(std::string::npos, bad.Err().find("bad port for --local-port")) << bad.Err();

    test::CChildProcess help({TAPVANE_CLI_PATH, "--help"}, Env());
    EXPECT_EQ(0, help.Wait(10s));
    EXPECT_NE(std::string::npos, help.Out().find("--remote-port N"));
}

TEST_F(CliTest, PortInUseExitsWithOne) {
    test::CPosixListener other;
    test::CChildProcess cli({TAPVANE_CLI_PATH, "--local-port", std::to_string(other.Port()),
                             "--url", "127.0.0.1", "--remote-port", "80"},
                            Env());
    EXPECT_EQ(1, cli.Wait(10s));
    EXPECT_NE(std::string::npos,
              cli.Err().find("ERROR: CTapvaneView::ThreadListen() failed! SOCKET ERROR: "
                             "CSocketBlocking::Bind. error = 10048."))
        << cli.Err();
    EXPECT_NE(std::string::npos, cli.Err().find("port = " + std::to_string(other.Port())));
    // The port and the program that holds it, this test; no "Start listening" after it.
    std::ifstream comm("/proc/self/comm");
    std::string strProgram;
    std::getline(comm, strProgram);
    EXPECT_NE(std::string::npos, cli.Err().find("\nPort " + std::to_string(other.Port()) +
                                                " is in use by another program: " + strProgram +
                                                " (process " + std::to_string(::getpid()) + ")."))
        << cli.Err();
    EXPECT_EQ(std::string::npos, cli.Err().find("Start listening")) << cli.Err();
}

TEST_F(CliTest, WithoutAUrlAndNoStoredHostItSaysSoAndExitsWithTwo) {
    // The first run's default entry is "ftp://", which names no host.
    const std::uint16_t nLocal = test::FreePort();
    test::CChildProcess cli({TAPVANE_CLI_PATH, "--local-port", std::to_string(nLocal)}, Env());
    EXPECT_EQ(2, cli.Wait(10s)) << cli.Err();
    EXPECT_NE(std::string::npos,
              cli.Err().find("tapvane-cli: no server given: give --url HOST (the stored default "
                             "entry \"ftp://\" names no host)"))
        << cli.Err();
    EXPECT_EQ(std::string::npos, cli.Err().find("Listening on port")) << cli.Err();

    test::CChildProcess noHost({TAPVANE_CLI_PATH, "--url=http://", "--local-port=1"}, Env());
    EXPECT_EQ(2, noHost.Wait(10s)) << noHost.Err();
    EXPECT_NE(std::string::npos,
              noHost.Err().find("tapvane-cli: --url \"http://\": The URL names no host"))
        << noHost.Err();

    test::CChildProcess bogus({TAPVANE_CLI_PATH, "--bogus"}, Env());
    EXPECT_EQ(2, bogus.Wait(10s));
    EXPECT_NE(std::string::npos, bogus.Err().find("tapvane-cli: unknown option --bogus\n"))
        << bogus.Err();
}

TEST_F(CliTest, APastedUrlWithOptionEqualsValueRelaysToItsHostAndPort) {
    test::CHttpTestServer server([](const test::CHttpRequest& request) {
        return test::CHttpAnswer{test::CHttpTestServer::Response("text/plain", request.strHead)};
    });
    const std::uint16_t nLocal = test::FreePort();
    // No --remote-port: the URL's port is the server's.
    test::CChildProcess cli(
        {TAPVANE_CLI_PATH, "--local-port=" + std::to_string(nLocal),
         "--url= http://127.0.0.1:" + std::to_string(server.Port()) + "/some/path ",
         "--replace-host=on", "--save-response=off"},
        Env());
    ASSERT_TRUE(cli.WaitForStderr("Listening on port", 10s)) << cli.Err();
    EXPECT_NE(std::string::npos, cli.Err().find(" port " + std::to_string(server.Port()) + ". "))
        << cli.Err();
    test::CChildProcess curl(
        {"curl", "-s", "--max-time", "10", "http://localhost:" + std::to_string(nLocal) + "/x"});
    EXPECT_EQ(0, curl.Wait(15s)) << curl.Err();
    EXPECT_NE(std::string::npos,
              curl.Out().find("\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n"))
        << curl.Out();
    cli.Signal(SIGINT);
    EXPECT_EQ(0, cli.Wait(10s)) << cli.Err();
}

TEST_F(CliTest, BindLocalListensOnLoopbackOnlyAndSaysSo) {
    const std::uint16_t nLocal = test::FreePort();
    test::CChildProcess cli({TAPVANE_CLI_PATH, "--local-port", std::to_string(nLocal), "--url",
                             "127.0.0.1", "--remote-port", "80", "--bind", "local"},
                            Env());
    ASSERT_TRUE(cli.WaitForStderr("Listening on port", 10s)) << cli.Err();
    // After "Start listening", a status line of its own says where, with the IPv6
    // loopback when the machine has it.
    ASSERT_TRUE(cli.WaitForStderr("Start listening\n", 10s)) << cli.Err();
    ASSERT_TRUE(cli.WaitForStderr("\nListening on this machine only (127.0.0.1", 10s)) << cli.Err();
    EXPECT_LT(cli.Err().find("Start listening\n"),
              cli.Err().find("\nListening on this machine only (127.0.0.1"));
    EXPECT_NE(std::string::npos, cli.Err().find("), port " + std::to_string(nLocal))) << cli.Err();
    const int fd = test::ConnectPosix(nLocal);  // loopback is welcome
    EXPECT_GE(fd, 0);
    ::close(fd);
    cli.Signal(SIGINT);
    EXPECT_EQ(0, cli.Wait(10s)) << cli.Err();
}

TEST_F(CliTest, CurlThroughTheRelayThenCtrlC) {
    const std::string body = "<html>hello through tapvane</html>";
    test::CTestServer server([&body](int fd) {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                return;
            }
            request.append(buffer, static_cast<std::size_t>(n));
        }
        test::SendAllPosix(fd, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                                   std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
                                   body);
    });
    const std::uint16_t nLocal = test::FreePort();
    CTempFolder logFolder;
    test::CChildProcess cli({TAPVANE_CLI_PATH, "--local-port", std::to_string(nLocal), "--url",
                             "http://127.0.0.1", "--remote-port", std::to_string(server.Port()),
                             "--save-response", "off", "--log", logFolder.Path("traffic.log")},
                            Env());
    ASSERT_TRUE(cli.WaitForStderr("Listening on port", 10s)) << cli.Err();

    test::CChildProcess curl(
        {"curl", "-s", "--max-time", "10", "http://127.0.0.1:" + std::to_string(nLocal) + "/x"});
    EXPECT_EQ(0, curl.Wait(15s)) << curl.Err();
    EXPECT_EQ(body, curl.Out());
    ASSERT_TRUE(cli.WaitForStderr("Session 0 stopped.", 10s)) << cli.Err();

    cli.Signal(SIGINT);
    EXPECT_EQ(0, cli.Wait(10s)) << cli.Err();
    const std::string& strLog = cli.Out();
    EXPECT_NE(std::string::npos, strLog.find("\r\nSession 0 starts."));
    EXPECT_NE(std::string::npos, strLog.find("\r\n0---<---GET /x HTTP/1.1"));
    EXPECT_NE(std::string::npos, strLog.find("\r\n0--->---HTTP/1.1 200 OK"));
    EXPECT_NE(std::string::npos, strLog.find(body));
    EXPECT_EQ(std::string::npos, strLog.find("\x1b[1m"));  // not a terminal: no ANSI codes
    EXPECT_NE(std::string::npos, cli.Err().find("The listening was stopped"));

    std::ifstream in(logFolder.Path("traffic.log"), std::ios::binary);
    const std::string strFile((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(strLog, strFile);
}

// Browser-like traffic with "Replace host header" on: kept-alive GETs, each client closing
// first; the relay serves all of them and Ctrl-C still ends it.
TEST_F(CliTest, ThousandKeptAliveGetsWithHostRewriteThenCtrlC) {
    test::CHttpTestServer server([](const test::CHttpRequest& request) {
        return test::CHttpAnswer{test::CHttpTestServer::Response("text/plain", request.strHead)};
    });
    const std::uint16_t nLocal = test::FreePort();
    CTempFolder data;
    test::CChildProcess cli(
        {TAPVANE_CLI_PATH, "--local-port", std::to_string(nLocal), "--url", "127.0.0.1",
         "--remote-port", std::to_string(server.Port()), "--replace-host", "on", "--save-response",
         "on", "--data-folder", data.Path()},
        Env());
    ASSERT_TRUE(cli.WaitForStderr("Listening on port", 10s)) << cli.Err();
    constexpr int kClients = 4;
    const int nEach = 1000 / test::kLoadScale / kClients;
    std::vector<std::thread> clients;
    std::atomic<int> nOk{0};
    std::atomic<int> nDone{0};
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            for (int i = 0; i < nEach; ++i) {
                const std::optional<std::string> body =
                    test::KeptAliveGet(nLocal, "/" + std::to_string(c) + "/" + std::to_string(i));
                nOk += body && body->find("\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) +
                                          "\r\n") != std::string::npos;
            }
            ++nDone;
        });
    }
    // The child's output is drained meanwhile, so that its log never blocks it.
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (nDone < kClients && std::chrono::steady_clock::now() < deadline) {
        if (cli.Wait(50ms) != -1) {
            break;  // ended early: the expectations below tell
        }
    }
    for (std::thread& t : clients) {
        t.join();
    }
    EXPECT_EQ(kClients * nEach, nOk.load());
    cli.Signal(SIGINT);
    EXPECT_EQ(0, cli.Wait(20s)) << cli.Err().substr(0, 2000);
    EXPECT_NE(std::string::npos, cli.Err().find("The listening was stopped"));
}

}  // namespace
