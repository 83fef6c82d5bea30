// tapvane-cli with many clients at once under the usual desktop limit of open files: it
// raises its soft limit, relays every client byte-exact, and gives every descriptor back
// once the clients are gone.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ProcessSupport.h"
#include "SocketTestSupport.h"
#include "TempFolder.h"
#include "capture/HttpTestSupport.h"
#include "capture/RelayFixture.h"

namespace {

using namespace std::chrono_literals;

// An echo server on one thread: every connection gets back what it sends and is closed
// when its peer closes.
class CEchoServer {
public:
    CEchoServer() {
        ::listen(m_listener.Fd(), 4096);  // a longer queue: many sessions connect at once
        ::fcntl(m_listener.Fd(), F_SETFL, ::fcntl(m_listener.Fd(), F_GETFL) | O_NONBLOCK);
        m_thread = std::thread([this] { Run(); });
    }
    ~CEchoServer() {
        m_bStop = true;
        m_thread.join();
        for (const pollfd& p : m_fds) {
            ::close(p.fd);
        }
    }
    std::uint16_t Port() const { return m_listener.Port(); }
    int Accepted() const { return m_nAccepted.load(); }
    int Open() const { return m_nOpen.load(); }

private:
    void Run() {
        char buffer[65536];
        while (!m_bStop) {
            std::vector<pollfd> fds = {{m_listener.Fd(), POLLIN, 0}};
            fds.insert(fds.end(), m_fds.begin(), m_fds.end());
            if (::poll(fds.data(), fds.size(), 20) <= 0) {
                continue;
            }
            std::vector<pollfd> keep;
            while (fds[0].revents & POLLIN) {
                const int fd =
                    ::accept4(m_listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd < 0) {
                    break;
                }
                const int nFlags = ::fcntl(fd, F_GETFL);
                ::fcntl(fd, F_SETFL, nFlags & ~O_NONBLOCK);
                keep.push_back({fd, POLLIN, 0});
                ++m_nAccepted;
                ++m_nOpen;
            }
            for (std::size_t i = 1; i < fds.size(); ++i) {
                bool bOpen = true;
                if (fds[i].revents != 0) {
                    const ssize_t n = ::recv(fds[i].fd, buffer, sizeof(buffer), 0);
                    bOpen = n > 0 && test::SendAllPosix(
                                         fds[i].fd, std::string(buffer, static_cast<size_t>(n)));
                }
                if (bOpen) {
                    keep.push_back({fds[i].fd, POLLIN, 0});
                } else {
                    ::close(fds[i].fd);
                    --m_nOpen;
                }
            }
            m_fds = std::move(keep);
        }
    }

    test::CPosixListener m_listener;
    std::vector<pollfd> m_fds;  // the server thread's
    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_nAccepted{0};
    std::atomic<int> m_nOpen{0};
    std::thread m_thread;
};

int OpenDescriptors(pid_t pid) {
    DIR* pDir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (pDir == nullptr) {
        return -1;
    }
    int n = 0;
    while (const dirent* p = ::readdir(pDir)) {
        n += p->d_name[0] != '.';
    }
    ::closedir(pDir);
    return n;
}

// The payload of client `i`: its own bytes, so that a mix-up between sessions shows.
std::string Payload(int i) {
    std::string s = test::Pattern(1500);
    for (std::size_t k = 0; k < s.size(); k += 97) {
        s[k] = static_cast<char>(i & 0xFF);
        s[k + 1 < s.size() ? k + 1 : k] = static_cast<char>((i >> 8) & 0xFF);
    }
    return s;
}

// Sends client `i`'s payload and reads it back; whether it came back whole.
bool EchoesExactly(int fd, int i) {
    const std::string strWant = Payload(i);
    if (fd < 0 || !test::SendAllPosix(fd, strWant)) {
        return false;
    }
    return test::ReceiveExactlyPosix(fd, strWant.size()) == strWant;
}

std::size_t Occurrences(const std::string& strText, const std::string& strWhat) {
    std::size_t n = 0;
    for (std::size_t pos = strText.find(strWhat); pos != std::string::npos;
         pos = strText.find(strWhat, pos + 1)) {
        ++n;
    }
    return n;
}

TEST(ManySessionsTest, ManyClientsAtOnceUnderADesktopLimitAllRelayedAndReleased) {
    // A thousand sessions take about 4,000 descriptors in the relay, four times what a soft
    // limit of 1,024 allows: they all get through only because the relay raises its limit.
    constexpr int kClients = 1000 / test::kLoadScale;
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < 8192) {
        GTEST_SKIP() << "the hard limit of open files is " << limit.rlim_max
                     << ", below the 8,192 this test needs";
    }
    if (limit.rlim_cur < 2 * kClients + 256) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 2 * kClients + 256);
        ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &limit));
    }
    CTempFolder config;
    CEchoServer server;
    const std::uint16_t nLocal = test::FreePort();
    test::CChildProcess cli(
        {"/bin/sh", "-c", "ulimit -Sn 1024 && exec \"$0\" \"$@\"", TAPVANE_CLI_PATH, "--local-port",
         std::to_string(nLocal), "--url", "127.0.0.1", "--remote-port",
         std::to_string(server.Port()), "--save-response", "off", "--verbose"},
        {"XDG_CONFIG_HOME=" + config.Path(), "XDG_DESKTOP_DIR=" + config.Path("Desktop")});
    ASSERT_TRUE(cli.WaitForStderr("Listening on port", 10s)) << cli.Err();
    EXPECT_NE(std::string::npos, cli.Err().find("Open files limit: ")) << cli.Err();
    EXPECT_NE(std::string::npos, cli.Err().find("(raised from 1024;")) << cli.Err();
    const int nBaseline = OpenDescriptors(cli.Pid());
    ASSERT_GT(nBaseline, 0);

    std::vector<int> clients;
    std::atomic<int> nExact{0};
    std::atomic<bool> bDone{false};
    int nPeak = 0;
    std::thread work([&] {
        for (int i = 0; i < kClients; ++i) {
            clients.push_back(test::ConnectPosix(nLocal));
        }
        // Every session holds its connection to the server before any data flows.
        test::WaitUntil([&] { return server.Accepted() >= kClients; }, 60s);
        for (int i = 0; i < kClients; ++i) {
            if (clients[i] >= 0) {
                test::SendAllPosix(clients[i], Payload(i));
            }
        }
        for (int i = 0; i < kClients; ++i) {
            const std::string strWant = Payload(i);
            std::string strGot;
            char buffer[4096];
            while (clients[i] >= 0 && strGot.size() < strWant.size()) {
                pollfd pfd{clients[i], POLLIN, 0};
                if (::poll(&pfd, 1, 10000) <= 0) {
                    break;
                }
                const ssize_t n = ::recv(clients[i], buffer, sizeof(buffer), 0);
                if (n <= 0) {
                    break;
                }
                strGot.append(buffer, static_cast<std::size_t>(n));
            }
            nExact += strGot == strWant;
        }
        bDone = true;
    });
    // The relay's log is drained meanwhile, so that it never blocks on its output.
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (!bDone && std::chrono::steady_clock::now() < deadline && cli.Wait(50ms) == -1) {
        nPeak = std::max(nPeak, OpenDescriptors(cli.Pid()));
    }
    work.join();
    EXPECT_EQ(kClients, server.Accepted());
    EXPECT_EQ(kClients, nExact.load());
    // Two sockets and their two event objects per session, and little else.
    EXPECT_LE(nPeak, nBaseline + 4 * kClients + 16);
    EXPECT_GE(nPeak, nBaseline + 2 * kClients);

    for (int fd : clients) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    // Everything is given back once the clients are gone (well within the half-close
    // linger, as the server closes right after its client).
    int nAfter = -1;
    const bool bReleased = test::WaitUntil(
        [&] {
            cli.Wait(1ms);
            nAfter = OpenDescriptors(cli.Pid());
            return nAfter <= nBaseline + 6 && server.Open() == 0;
        },
        20s);
    EXPECT_TRUE(bReleased) << nAfter << " descriptors open, " << nBaseline << " before";
    EXPECT_EQ(std::string::npos, cli.Err().find("Session limit reached")) << cli.Err();
    cli.Signal(SIGINT);
    EXPECT_EQ(0, cli.Wait(20s)) << cli.Err().substr(0, 2000);
}

}  // namespace

namespace {

// With a hard limit that leaves room for 50 sessions, the 51st client and those after it are
// refused at once (a reset), the limit is told once with the number of open sessions, the
// open sessions go on byte-exact, and once they have ended new clients are served again.
TEST(ManySessionsTest, PastTheLimitNewClientsAreRefusedOnceToldAndOpenOnesServed) {
    constexpr int kClients = 80;
    CTempFolder config;
    CEchoServer server;
    const std::uint16_t nLocal = test::FreePort();
    test::CChildProcess cli(
        {"/bin/sh", "-c", "ulimit -n 256 && exec \"$0\" \"$@\"", TAPVANE_CLI_PATH, "--local-port",
         std::to_string(nLocal), "--url", "127.0.0.1", "--remote-port",
         std::to_string(server.Port()), "--save-response", "off", "--verbose"},
        {"XDG_CONFIG_HOME=" + config.Path(), "XDG_DESKTOP_DIR=" + config.Path("Desktop")});
    ASSERT_TRUE(cli.WaitForStderr("Listening on port", 10s)) << cli.Err();
    ASSERT_NE(std::string::npos, cli.Err().find("Open files limit: 256 (hard limit 256), room for "
                                                "50 sessions"))
        << cli.Err();
    const int nBaseline = OpenDescriptors(cli.Pid());

    std::vector<int> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(test::ConnectPosix(nLocal));
        // One at a time, so that exactly the first fifty are the open sessions.
        test::WaitUntil([&] { return server.Accepted() > i || i >= 50; }, 5s);
    }
    ASSERT_TRUE(cli.WaitForStderr("New clients are refused", 10s)) << cli.Err();
    int nServed = 0;
    int nRefused = 0;
    for (int i = 0; i < kClients; ++i) {
        if (i < 50) {
            nServed += EchoesExactly(clients[i], i);
        } else {
            char c = 0;
            pollfd pfd{clients[i], POLLIN, 0};
            nRefused += ::poll(&pfd, 1, 5000) == 1 && ::recv(clients[i], &c, 1, 0) <= 0;
        }
        cli.Wait(1ms);
    }
    EXPECT_EQ(50, nServed);
    EXPECT_EQ(kClients - 50, nRefused);
    EXPECT_EQ(50, server.Accepted());
    // Told once, however many are refused: one status line (its trace shows it).
    EXPECT_EQ(1u, Occurrences(cli.Err(),
                              "Status: \"Session limit reached: 50 sessions are open, "
                              "as many as the limit of 256 open files allows"))
        << cli.Err();
    EXPECT_NE(std::string::npos, cli.Out().find("Session limit reached: 50 sessions are open"));

    for (int fd : clients) {
        ::close(fd);
    }
    int nAfter = -1;
    EXPECT_TRUE(test::WaitUntil(
        [&] {
            cli.Wait(1ms);
            nAfter = OpenDescriptors(cli.Pid());
            return nAfter <= nBaseline + 6 && server.Open() == 0;
        },
        20s))
        << nAfter << " descriptors open, " << nBaseline << " before";
    EXPECT_TRUE(cli.WaitForStderr("Sessions are accepted again; 30 clients were refused.", 10s))
        << cli.Err();
    // Room again: a new client is served.
    const int fd = test::ConnectPosix(nLocal);
    EXPECT_TRUE(EchoesExactly(fd, 7));
    ::close(fd);
    cli.Signal(SIGINT);
    EXPECT_EQ(0, cli.Wait(20s)) << cli.Err().substr(0, 2000);
}

}  // namespace
