// Many sessions opened and closed: nothing is left over afterwards.
#include <dirent.h>

#include <cstring>
#include <future>

#include "RelayFixture.h"

namespace {

using namespace std::chrono_literals;

// Descriptors of the process, not counting those of the settings store: SQLite keeps the
// descriptors of closed connections for reuse while another connection of the process has
// the same file open (closing them would drop that connection's locks).
std::size_t CountDescriptors(std::size_t* pnStore = nullptr) {
    std::size_t n = 0;
    std::size_t nStore = 0;
    if (DIR* pDir = ::opendir("/proc/self/fd")) {
        while (const dirent* pEntry = ::readdir(pDir)) {
            if (pEntry->d_name[0] == '.') {
                continue;
            }
            char szTarget[512] = {};
            const std::string strLink = std::string("/proc/self/fd/") + pEntry->d_name;
            ::readlink(strLink.c_str(), szTarget, sizeof(szTarget) - 1);
            if (std::strstr(szTarget, "registry.db") != nullptr) {
                ++nStore;
            } else {
                ++n;
            }
        }
        ::closedir(pDir);
    }
    if (pnStore != nullptr) {
        *pnStore = nStore;
    }
    return n;
}

std::size_t CountEntries(const char* pszFolder) {
    std::size_t n = 0;
    if (DIR* pDir = ::opendir(pszFolder)) {
        while (const dirent* pEntry = ::readdir(pDir)) {
            n += pEntry->d_name[0] != '.' ? 1 : 0;
        }
        ::closedir(pDir);
    }
    return n;
}

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kSequential = 200;  // the sanitizers make each session far slower
#else
constexpr int kSequential = 1000;
#endif
constexpr int kConcurrent = 50;

class SessionLifecycleTest : public test::RelayFixture {};

TEST_F(SessionLifecycleTest, ThousandSessionsThenFiftyAtOnceLeaveNothingBehind) {
    test::CTestServer server([](int fd) {
        char buffer[256];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0 || ::send(fd, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) {
                return;
            }
        }
    });
    // Settle the fixture's own threads and descriptors first.
    std::this_thread::sleep_for(50ms);
    const std::size_t nFdsBefore = CountDescriptors();
    const std::size_t nThreadsBefore = CountEntries("/proc/self/task");
    const std::size_t nSocketsBefore = win::OpenSocketCount();

    const std::uint16_t nLocal = StartListening(server.Port());
    auto oneRoundTrip = [nLocal] {
        const int fd = test::ConnectPosix(nLocal);
        if (fd < 0) {
            return false;
        }
        char c = 0;
        const bool bOk = ::send(fd, "x", 1, MSG_NOSIGNAL) == 1 &&
                         ::recv(fd, &c, 1, MSG_WAITALL) == 1 && c == 'x';
        ::close(fd);
        return bOk;
    };
    int nFailed = 0;
    for (int i = 0; i < kSequential; ++i) {
        nFailed += oneRoundTrip() ? 0 : 1;
    }
    EXPECT_EQ(0, nFailed);

    std::vector<std::future<bool>> clients;
    for (int i = 0; i < kConcurrent; ++i) {
        clients.push_back(std::async(std::launch::async, oneRoundTrip));
    }
    int nConcurrentOk = 0;
    for (auto& f : clients) {
        nConcurrentOk += f.get() ? 1 : 0;
    }
    EXPECT_EQ(kConcurrent, nConcurrentOk);

    ToggleListening(false);
    ASSERT_TRUE(test::WaitUntil([] { return g_nClientsCount == 0; }, 30s)) << g_nClientsCount;
    EXPECT_TRUE(test::WaitUntil([&] { return win::OpenSocketCount() == nSocketsBefore; }, 10s))
        << win::OpenSocketCount() << " sockets open, " << nSocketsBefore << " before";
    EXPECT_TRUE(test::WaitUntil([&] { return CountDescriptors() <= nFdsBefore; }, 10s))
        << CountDescriptors() << " descriptors, " << nFdsBefore << " before";
    // The store's kept descriptors are bounded by the threads that used it at once, not by
    // the number of sessions.
    std::size_t nStore = 0;
    CountDescriptors(&nStore);
    EXPECT_LE(nStore, 3u * (kConcurrent + 10)) << nStore;
    // Session, client and accept threads have all ended (so have the test server's).
    EXPECT_TRUE(
        test::WaitUntil([&] { return CountEntries("/proc/self/task") <= nThreadsBefore; }, 10s))
        << CountEntries("/proc/self/task") << " threads, " << nThreadsBefore << " before";
    EXPECT_TRUE(WaitForStatus(STATUS_PANE_SESSIONS, L"0 session(s) open"));
}

}  // namespace
