// The host form of Connect over both families: names resolved to several addresses (through
// a resolver of the test's own), IPv6 literals, and the race of the attempts when an
// address stays silent.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "DualStackTestSupport.h"
#include "net/HostResolver.h"
#include "net/SocketBlocking.h"
#include "net/WinsockInit.h"
#include "support/SystemErrorText.h"

namespace {

using namespace std::chrono_literals;

CSocketAddress Addr(const char* pszText) {
    return CSocketAddress::Parse(pszText, 0).value();
}

class DualStackConnectTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(g_WinsockInit.Startup());
        m_nSocketsBefore = win::OpenSocketCount();
    }
    void TearDown() override {
        SetHostResolver(nullptr);
        EXPECT_EQ(m_nSocketsBefore, win::OpenSocketCount()) << "a socket was left open";
    }

    // Names resolve to the given addresses; every look-up is counted.
    void Resolve(std::vector<CSocketAddress> addrs) {
        SetHostResolver([this, addrs](const std::string& strHost, std::vector<CSocketAddress>* p) {
            ++m_nLookups;
            m_strLastLookup = strHost;
            *p = addrs;
            return 0;
        });
    }

    std::size_t m_nSocketsBefore = 0;
    std::atomic<int> m_nLookups{0};
    std::string m_strLastLookup;
};

TEST_F(DualStackConnectTest, ServerOnIpv6LoopbackOnlyIsReachedByNameAndByLiteral) {
    TAPVANE_REQUIRE_IPV6_LOOPBACK();
    test::CFamilyListener server("::1", 0);
    ASSERT_GE(server.Fd(), 0);
    // "localhost" as a hosts file may give it: IPv4 first (refused here), then IPv6.
    Resolve({Addr("127.0.0.1"), Addr("::1")});
    for (const wchar_t* pszHost : {L"localhost", L"::1", L"[::1]"}) {
        CSocketBlocking s;
        ASSERT_EQ(0, s.Connect(pszHost, server.Port(), FALSE)) << pszHost;
        const int fd = server.Accept();
        EXPECT_GE(fd, 0) << pszHost;
        ::close(fd);
        std::wstring strAddr;
        int nPort = 0;
        ASSERT_TRUE(s.GetPeerAddrText(&strAddr, &nPort));
        EXPECT_EQ(L"::1", strAddr);
        EXPECT_EQ(server.Port(), nPort);
        EXPECT_EQ(L"[::1]:" + std::to_wstring(server.Port()),
                  s.GetConnectedAddress().TextWithPort());
        s.Close();
    }
    // Addresses are never looked up.
    EXPECT_EQ(1, m_nLookups.load());
    EXPECT_EQ("localhost", m_strLastLookup);
}

TEST_F(DualStackConnectTest, ServerOnIpv4OnlyIsReachedWhenTheNameGivesIpv6First) {
    TAPVANE_REQUIRE_IPV6_LOOPBACK();
    test::CFamilyListener server("127.0.0.1", 0);
    ASSERT_GE(server.Fd(), 0);
    Resolve({Addr("::1"), Addr("127.0.0.1")});
    CSocketBlocking s;
    ASSERT_EQ(0, s.Connect(L"localhost", server.Port(), FALSE));
    const int fd = server.Accept();
    EXPECT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(L"127.0.0.1", s.GetConnectedAddress().Text());
    s.Close();
}

TEST_F(DualStackConnectTest, SilentAddressAheadOfAGoodOneCostsAFractionOfASecond) {
    TAPVANE_REQUIRE_IPV6_LOOPBACK();
    test::CFamilyListener good("::1", 0);
    ASSERT_GE(good.Fd(), 0);
    // The silent address on the same port number, IPv4.
    test::CSilentListener silent("127.0.0.1", good.Port());
    if (!silent.IsSilent()) {
        GTEST_SKIP() << "no connection stays pending on a full loopback queue here";
    }
    Resolve({Addr("127.0.0.1"), Addr("::1")});
    // Should the attempts wait for each other after all, the silent address is refused
    // after 2 s, so that the test ends in bounded time.
    std::promise<void> done;
    std::thread watchdog([&silent, f = done.get_future()] {
        if (f.wait_for(2s) == std::future_status::timeout) {
            silent.CloseListener();
        }
    });
    CSocketBlocking s;
    const auto start = std::chrono::steady_clock::now();
    const int nResult = s.Connect(L"slow.test", good.Port(), FALSE);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    done.set_value();
    watchdog.join();
    ASSERT_EQ(0, nResult);
    EXPECT_LT(elapsed, 1s);
    EXPECT_GE(elapsed, CSocketBlocking::kAttemptDelay - 20ms) << "the first attempt was skipped";
    EXPECT_EQ(L"::1", s.GetConnectedAddress().Text());
    const int fd = good.Accept();
    EXPECT_GE(fd, 0);
    ::close(fd);
    s.Close();  // the pending attempt was closed already: TearDown counts the sockets
}

TEST_F(DualStackConnectTest, EveryAddressFailingIsReportedOnceWithTheHostAsGiven) {
    TAPVANE_REQUIRE_IPV6_LOOPBACK();
    std::uint16_t nDead = 0;
    {
        test::CFamilyListener probe("127.0.0.1", 0);
        nDead = probe.Port();
    }
    Resolve({Addr("::1"), Addr("127.0.0.1")});
    CSocketBlocking s;
    EXPECT_EQ(WSAECONNREFUSED, s.Connect(L"dead.test", nDead, FALSE));
    EXPECT_EQ(0u, s.GetSocket());
    EXPECT_EQ(
        L"SOCKET ERROR: CSocketBlocking::Connect(...). error = 10061. " + GetSystemErrorText(10061),
        g_szSocketError.Get());
    try {
        s.Connect(L"dead.test", nDead, TRUE);
        FAIL() << "connected to a dead port";
    } catch (CException* e) {
        EXPECT_EQ(L"SOCKET ERROR: CSocketBlocking::Connect(...). error = 10061. " +
                      GetSystemErrorText(10061) + L" Host Address: 'dead.test', Host Port = " +
                      std::to_wstring(nDead),
                  e->GetText());
        delete e;
    }
}

TEST_F(DualStackConnectTest, ResolverFailureKeepsItsText) {
    SetHostResolver(
        [](const std::string&, std::vector<CSocketAddress>*) { return WSAHOST_NOT_FOUND; });
    CSocketBlocking s;
    EXPECT_EQ(WSAHOST_NOT_FOUND, s.Connect(L"nowhere.test", 80, FALSE));
    EXPECT_EQ(
        0u, g_szSocketError.Get().find(L"SOCKET ERROR: CSocketBlocking::Connect(lpszHostAddress = "
                                       L"'nowhere.test', nHostPort = 80). error = 11001. "));
    // A resolver that answers with nothing is "no data", not success.
    Resolve({});
    EXPECT_EQ(WSANO_DATA, s.Connect(L"empty.test", 80, FALSE));
}

TEST_F(DualStackConnectTest, SocketHeldBeforeIsReplacedForAnotherFamily) {
    TAPVANE_REQUIRE_IPV6_LOOPBACK();
    test::CFamilyListener server("::1", 0);
    CSocketBlocking s;
    s.Create();  // IPv4, as callers made it before
    const SOCKET hBefore = s.GetSocket();
    ASSERT_EQ(0, s.Connect(L"::1", server.Port(), FALSE));
    EXPECT_NE(hBefore, s.GetSocket());
    const int fd = server.Accept();
    EXPECT_GE(fd, 0);
    ::close(fd);
    s.Close();
}

TEST(HostResolverTest, FamiliesAlternateFromTheResolversFirst) {
    const std::vector<CSocketAddress> order = InterleaveFamilies(
        {Addr("::1"), Addr("::2"), Addr("::3"), Addr("10.0.0.1"), Addr("10.0.0.2")});
    std::vector<std::wstring> texts;
    for (const CSocketAddress& a : order) {
        texts.push_back(a.Text());
    }
    EXPECT_EQ((std::vector<std::wstring>{L"::1", L"10.0.0.1", L"::2", L"10.0.0.2", L"::3"}), texts);
    EXPECT_TRUE(InterleaveFamilies({}).empty());
}

TEST(HostResolverTest, SystemResolverGivesLoopbackForLocalhostWithThePort) {
    std::vector<CSocketAddress> addrs;
    ASSERT_EQ(0, ResolveHost("localhost", 8080, &addrs));
    ASSERT_FALSE(addrs.empty());
    for (const CSocketAddress& a : addrs) {
        EXPECT_TRUE(a.IsLoopback()) << a.Text();
        EXPECT_EQ(8080, a.Port());
    }
    EXPECT_NE(0, ResolveHost("no-such-host.invalid", 80, &addrs));
    EXPECT_TRUE(addrs.empty());
}

}  // namespace
