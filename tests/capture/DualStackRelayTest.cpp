// The relay over both address families: the dual-stack listener, "Listen Address", servers
// that listen on IPv6 only, and the texts that show addresses.
#include <ifaddrs.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "DualStackTestSupport.h"
#include "RelayFixture.h"
#include "net/HostResolver.h"
#include "support/SystemErrorText.h"
#include "support/Trace.h"

namespace {

using namespace std::chrono_literals;

// A server on one numeric address that sends back what it receives (until the peer's
// close) and keeps a copy of it.
class CEchoServer {
public:
    explicit CEchoServer(const char* pszAddr) : m_listener(pszAddr, 0) {
        m_thread = std::thread([this] {
            while (!m_bStop) {
                const int fd = m_listener.Accept(20);
                if (fd < 0) {
                    continue;
                }
                m_connections.emplace_back([this, fd] {
                    test::ForEachReceived(fd, [this, fd](std::string_view chunk) {
                        {
                            std::lock_guard lock(m_mutex);
                            m_strReceived.append(chunk);
                        }
                        return test::SendAllPosix(fd, std::string(chunk));
                    });
                    ::close(fd);
                });
            }
        });
    }
    ~CEchoServer() {
        m_bStop = true;
        m_thread.join();
        for (std::thread& t : m_connections) {
            t.join();
        }
    }
    bool IsUp() const { return m_listener.Fd() >= 0; }
    std::uint16_t Port() const { return m_listener.Port(); }
    std::string Received() {
        std::lock_guard lock(m_mutex);
        return m_strReceived;
    }

private:
    test::CFamilyListener m_listener;
    std::atomic<bool> m_bStop{false};
    std::mutex m_mutex;
    std::string m_strReceived;
    std::vector<std::thread> m_connections;  // server thread only, joined at the end
    std::thread m_thread;
};

// A non-loopback address of this machine, IPv4 or IPv6 (not link-local); empty if none.
std::string NonLoopbackAddress() {
    ifaddrs* pList = nullptr;
    if (::getifaddrs(&pList) != 0) {
        return {};
    }
    std::string strFound;
    for (const ifaddrs* p = pList; p != nullptr && strFound.empty(); p = p->ifa_next) {
        if (p->ifa_addr == nullptr) {
            continue;
        }
        const CSocketAddress addr(p->ifa_addr, p->ifa_addr->sa_family == AF_INET6
                                                   ? static_cast<int>(sizeof(sockaddr_in6))
                                                   : static_cast<int>(sizeof(sockaddr_in)));
        if (!addr.IsValid() || addr.IsLoopback()) {
            continue;
        }
        if (addr.Family() == AF_INET6 &&
            IN6_IS_ADDR_LINKLOCAL(&reinterpret_cast<const sockaddr_in6*>(addr.Get())->sin6_addr)) {
            continue;
        }
        strFound = win::WideToAnsi(addr.Text());
    }
    ::freeifaddrs(pList);
    return strFound;
}

class DualStackRelayTest : public test::RelayFixture {
protected:
    void TearDown() override {
        test::RelayFixture::TearDown();
        SetHostResolver(nullptr);
    }

    // Sends `data` through the relay from a client on `pszClientAddr` and expects it back
    // unchanged.
    void ExpectEcho(const char* pszClientAddr, std::uint16_t nLocal, const std::string& data) {
        const int fd = test::ConnectTo(pszClientAddr, nLocal);
        ASSERT_GE(fd, 0) << pszClientAddr << ": " << std::strerror(errno);
        std::thread sender([&] { test::SendAllPosix(fd, data); });
        EXPECT_TRUE(test::ReceiveExactlyPosix(fd, data.size()) == data) << pszClientAddr;
        sender.join();
        ::close(fd);
    }
};

TEST_F(DualStackRelayTest, ClientsOfBothFamiliesAtOnceAndAnIpv6OnlyServer) {
    TAPVANE_REQUIRE_IPV6_LOOPBACK();
    CEchoServer server("::1");
    ASSERT_TRUE(server.IsUp());
    const std::uint16_t nLocal = StartListening(server.Port(), L"::1");
    EXPECT_TRUE(WaitForStatus(STATUS_PANE_TEXT, L"Listening on all interfaces, port " +
                                                    std::to_wstring(nLocal) + L" (IPv4 and IPv6)"));
    const int fd4 = test::ConnectTo("127.0.0.1", nLocal);
    const int fd6 = test::ConnectTo("::1", nLocal);
    ASSERT_GE(fd4, 0);
    ASSERT_GE(fd6, 0);
    ASSERT_TRUE(test::SendAllPosix(fd4, "four"));
    ASSERT_TRUE(test::SendAllPosix(fd6, "six"));
    EXPECT_EQ("four", test::ReceiveExactlyPosix(fd4, 4));
    EXPECT_EQ("six", test::ReceiveExactlyPosix(fd6, 3));
    ::close(fd4);
    ::close(fd6);
}

TEST_F(DualStackRelayTest, BytesPassUnchangedOverIpv6InPlainAndHttpMode) {
    TAPVANE_REQUIRE_IPV6_LOOPBACK();
    CEchoServer server("::1");
    ASSERT_TRUE(server.IsUp());
    const std::string data = test::Pattern(3 * 1024 * 1024 + 17);
    const std::uint16_t nLocal = StartListening(server.Port(), L"[::1]");
    ExpectEcho("::1", nLocal, data);
    ToggleListening(false);  // off

    // HTTP mode: the Host line names the server's address in brackets; the body and the
    // other lines pass unchanged.
    CRegKeyTalvex().SetReplaceHostHeader(true);
    const std::string body = test::Pattern(200000);
    const std::string request = "POST /up HTTP/1.1\r\nHost: localhost:" + std::to_string(nLocal) +
                                "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                                body;
    const std::uint16_t nLocal2 = StartListening(server.Port(), L"::1");
    const std::string expected =
        "POST /up HTTP/1.1\r\nHost: [::1]:" + std::to_string(server.Port()) +
        "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    const int fd = test::ConnectTo("::1", nLocal2);
    ASSERT_GE(fd, 0);
    std::thread sender([&] { test::SendAllPosix(fd, request); });
    EXPECT_TRUE(test::ReceiveExactlyPosix(fd, expected.size()) == expected);
    sender.join();
    ::close(fd);
    EXPECT_TRUE(server.Received().ends_with(expected));
}

TEST_F(DualStackRelayTest, UrlBoxFormsOfAnIpv6Address) {
    TAPVANE_REQUIRE_IPV6_LOOPBACK();
    CEchoServer server("::1");
    ASSERT_TRUE(server.IsUp());
    // The port that counts is the remote port field's; what follows the brackets is not
    // looked at for connecting.
    for (const wchar_t* pszUrl : {L"http://[::1]", L"http://[::1]:8080/path"}) {
        const std::uint16_t nLocal = StartListening(server.Port(), pszUrl);
        ExpectEcho("127.0.0.1", nLocal, "ping");
        ToggleListening(false);
    }
    EXPECT_TRUE(Messages().empty()) << win::WideToAnsi(Messages().front());
}

TEST_F(DualStackRelayTest, NameWithIpv6FirstReachesAnIpv4OnlyServerAndFailsOnce) {
    TAPVANE_REQUIRE_IPV6_LOOPBACK();
    CEchoServer server("127.0.0.1");
    SetHostResolver([](const std::string&, std::vector<CSocketAddress>* p) {
        *p = {*CSocketAddress::Parse("::1", 0), *CSocketAddress::Parse("127.0.0.1", 0)};
        return 0;
    });
    const std::uint16_t nLocal = StartListening(server.Port(), L"http://dual.test");
    ExpectEcho("::1", nLocal, "over both");
    ToggleListening(false);

    // Nothing answers on either address: one message, naming the host as typed.
    const std::uint16_t nDead = test::FreePort();
    const std::uint16_t nLocal2 = StartListening(nDead, L"http://dual.test");
    const int fd = test::ConnectTo("127.0.0.1", nLocal2);
    ASSERT_TRUE(test::WaitUntil([this] { return !Messages().empty(); }));
    ASSERT_TRUE(test::WaitUntil([this] { return !m_pWindow->IsListening(); }));
    std::this_thread::sleep_for(300ms);  // a second message would come now
    std::wstring strReason = GetSystemErrorText(WSAECONNREFUSED);
    while (!strReason.empty() && (strReason.back() == L'\n' || strReason.back() == L'\r')) {
        strReason.pop_back();
    }
    EXPECT_EQ(std::vector<std::wstring>{L"Connect to dual.test host " + std::to_wstring(nDead) +
                                        L" port failed!\n" + strReason},
              Messages());
    ::close(fd);
}

TEST_F(DualStackRelayTest, StoppingWhileASessionConnectsEndsItAtOnceWithoutABox) {
    test::CSilentListener silent("127.0.0.1");
    if (!silent.IsSilent()) {
        GTEST_SKIP() << "no connection stays pending on a full loopback queue here";
    }
    const std::uint16_t nLocal = StartListening(silent.Port());
    const int fd = test::ConnectTo("127.0.0.1", nLocal);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 0 starts."));
    std::this_thread::sleep_for(300ms);  // connecting now, to an address that stays silent
    ToggleListening(false);
    EXPECT_TRUE(WaitForLog(L"\r\nSession 0 stopped.", 3s));
    EXPECT_TRUE(Messages().empty()) << win::WideToAnsi(Messages().front());
    ::close(fd);
}

// The command name of this process, as the system shows it to others.
std::string ProgramName() {
    std::ifstream in("/proc/self/comm");
    std::string strName;
    std::getline(in, strName);
    return strName;
}

TEST_F(DualStackRelayTest, PortInUseOnIpv6OnlyGivesTheSameText) {
    TAPVANE_REQUIRE_IPV6_LOOPBACK();
    test::CFamilyListener blocker("::", 0);  // IPv6 only, every interface
    ASSERT_GE(blocker.Fd(), 0);
    m_pWindow->SetConnectionSettings(L"127.0.0.1", blocker.Port(), 80);
    ToggleListening(true);
    EXPECT_FALSE(m_pWindow->IsListening());
    ASSERT_EQ(1u, Messages().size());
    EXPECT_EQ(
        L"ERROR: CTapvaneView::ThreadListen() failed! SOCKET ERROR: CSocketBlocking::Bind. "
        L"error = 10048. " +
            GetSystemErrorText(10048) + L"\nport = " + std::to_wstring(blocker.Port()) +
            L"\nPort " + std::to_wstring(blocker.Port()) + L" is in use by another program: " +
            win::AnsiToWide(ProgramName()) + L" (process " + std::to_wstring(::getpid()) + L").",
        Messages()[0]);
    // Not "Start listening": it did not start.
    EXPECT_FALSE(StatusShown(STATUS_PANE_TEXT, L"Start listening"));
}

TEST_F(DualStackRelayTest, ThisMachineOnlyTakesLoopbackOfBothFamiliesAndNothingElse) {
    TAPVANE_REQUIRE_IPV6_LOOPBACK();
    CEchoServer server("127.0.0.1");
    CRegKeyTalvex().SetListenAddress(L"local");
    const std::uint16_t nLocal = StartListening(server.Port());
    EXPECT_TRUE(WaitForStatus(STATUS_PANE_TEXT,
                              L"Listening on this machine only (127.0.0.1 and "
                              L"::1), port " +
                                  std::to_wstring(nLocal)));
    ExpectEcho("127.0.0.1", nLocal, "v4");
    ExpectEcho("::1", nLocal, "v6");
    const std::string strOther = NonLoopbackAddress();
    if (strOther.empty()) {
        GTEST_SKIP() << "this machine has no address but loopback to try from";
    }
    const int fd = test::ConnectTo(strOther.c_str(), nLocal);
    const int nErrno = errno;
    EXPECT_LT(fd, 0) << "accepted on " << strOther;
    EXPECT_EQ(ECONNREFUSED, nErrno) << strOther;
    if (fd >= 0) {
        ::close(fd);
    }
}

TEST_F(DualStackRelayTest, TraceShowsClientsOfTheDualSocketInTheirOwnFamily) {
    TAPVANE_REQUIRE_IPV6_LOOPBACK();
    // The trace goes to a file that is read through a stream of its own. The writing stream
    // is left open: a trace line may still be on its way when the test ends.
    char szPath[] = "/tmp/tapvane-trace-XXXXXX";
    const int fdTrace = ::mkstemp(szPath);
    ASSERT_GE(fdTrace, 0);
    static std::FILE* s_pTrace = nullptr;
    s_pTrace = ::fdopen(fdTrace, "a");
    ASSERT_NE(nullptr, s_pTrace);
    CEchoServer server("::1");
    SetTraceOutput(s_pTrace);
    const std::uint16_t nLocal = StartListening(server.Port(), L"::1");
    ExpectEcho("127.0.0.1", nLocal, "mapped");
    ExpectEcho("::1", nLocal, "native");
    const auto readTrace = [&] {
        std::ifstream in(szPath);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    std::string strTrace;
    EXPECT_TRUE(test::WaitUntil([&] {
        strTrace = readTrace();
        return strTrace.find("Connection accepted from [::1]:") != std::string::npos;
    }));
    SetTraceOutput(nullptr);
    ::unlink(szPath);
    EXPECT_NE(std::string::npos, strTrace.find("Connection accepted from 127.0.0.1:")) << strTrace;
    EXPECT_NE(std::string::npos, strTrace.find("Connection accepted from [::1]:")) << strTrace;
    EXPECT_EQ(std::string::npos, strTrace.find("::ffff:")) << strTrace;
    EXPECT_NE(std::string::npos,
              strTrace.find("connected to [::1]:" + std::to_string(server.Port()) + " (::1)"))
        << strTrace;
}

}  // namespace
