// Saving responses end to end while one session's file cannot be written at the pace of
// the traffic (a named pipe in its place, a slow disk through the fault seam): the other
// sessions' requests keep their latency, and every thread and descriptor goes away.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "HttpTestSupport.h"
#include "platform/FaultInjection.h"

namespace {

using namespace std::chrono_literals;
using test::CHttpAnswer;
using test::CHttpRequest;
using test::CHttpTestServer;

std::size_t EntriesOf(const char* pszFolder) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(pszFolder)) {
        ++n;
    }
    return n;
}

// The descriptors that sessions and files may hold: not the settings store's connections,
// which its pool keeps open for the threads that read settings.
std::size_t SessionDescriptors() {
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        n += std::filesystem::read_symlink(entry.path(), ec).string().find("registry.db") ==
                     std::string::npos
                 ? 1
                 : 0;
    }
    return n;
}

// What this process's descriptors are open on, for a failure message.
std::string OpenDescriptors() {
    std::string strText;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        strText += entry.path().filename().string() + "=" +
                   std::filesystem::read_symlink(entry.path(), ec).string() + " ";
    }
    return strText;
}

class SaveIsolationTest : public test::RelayFixture {
protected:
    void SetUp() override {
        RelayFixture::SetUp();
        CRegKeyTalvex settings;
        settings.SetDataFolder(m_files.WPath("data").c_str());
        settings.SetSaveResponse(true);
        std::filesystem::create_directories(m_files.Path("data/127.0.0.1"));
    }
    void TearDown() override {
        win::DisarmFaults();
        RelayFixture::TearDown();
    }

    // One request on a connection of its own; the time until its answer was whole.
    static std::chrono::microseconds Get(std::uint16_t nLocal, const std::string& strPath) {
        const auto start = std::chrono::steady_clock::now();
        const int fd = test::ConnectPosix(nLocal);
        std::string body;
        const bool bSent =
            fd >= 0 && test::SendAllPosix(fd, "GET " + strPath + " HTTP/1.1\r\nHost: x\r\n\r\n");
        const bool bAnswered = bSent && test::ReadAnswer(fd, &body);
        if (fd >= 0) {
            ::close(fd);
        }
        EXPECT_TRUE(bAnswered) << strPath;
        return std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - start);
    }
    static std::chrono::microseconds P99(std::uint16_t nLocal, int nCount) {
        std::vector<std::chrono::microseconds> times;
        for (int i = 0; i < nCount; ++i) {
            times.push_back(Get(nLocal, "/small" + std::to_string(i)));
        }
        std::sort(times.begin(), times.end());
        return times[static_cast<std::size_t>(nCount * 99 / 100)];
    }
    // Other sessions' p99 while a loop requests `strBusy` again and again.
    void ExpectLatencyKeptWhile(const std::string& strBusy) {
        CHttpTestServer server([](const CHttpRequest& request) {
            const bool bBig = request.RequestLine().find("/small") == std::string::npos;
            return CHttpAnswer{CHttpTestServer::Response(
                "application/octet-stream", std::string(bBig ? 512 * 1024 : 100, 'b'))};
        });
        const std::uint16_t nLocal = StartListening(server.Port());
        // Counted after the baseline's sessions: what is made once per process (the TLS
        // library's state, say) is not what the blocked file may leave behind.
        const auto baseline = P99(nLocal, 40);
        ASSERT_TRUE(test::WaitUntil([] { return g_nClientsCount == 0; }, 20s));
        const std::size_t nThreads = EntriesOf("/proc/self/task");
        const std::size_t nFds = SessionDescriptors();
        const std::string strFdsBefore = OpenDescriptors();
        std::atomic<bool> bStop{false};
        std::atomic<int> nBusy{0};
        std::thread busy([&] {
            while (!bStop) {
                Get(nLocal, strBusy);
                ++nBusy;
            }
        });
        ASSERT_TRUE(test::WaitUntil([&] { return nBusy > 0; }, 20s));
        const auto loaded = P99(nLocal, 40);
        bStop = true;
        busy.join();
        RecordProperty("baseline_p99_us", static_cast<int>(baseline.count()));
        RecordProperty("loaded_p99_us", static_cast<int>(loaded.count()));
        // Twice the baseline, with room for a scheduler on a busy machine that stays well
        // below one held-up write (300 ms) or open (for ever).
        EXPECT_LE(loaded, 2 * baseline + 100ms) << "baseline " << baseline.count() << " us";
        ToggleListening(false);
        EXPECT_TRUE(test::WaitUntil([] { return g_nClientsCount == 0; }, 20s));
        // A writer still saving at a held-up disk's pace finishes by itself, then goes.
        EXPECT_TRUE(test::WaitUntil([&] { return EntriesOf("/proc/self/task") <= nThreads; }, 20s))
            << EntriesOf("/proc/self/task") << " threads, " << nThreads << " before";
        EXPECT_TRUE(test::WaitUntil([&] { return SessionDescriptors() <= nFds; }, 20s))
            << SessionDescriptors() << " descriptors, " << nFds << " before: " << OpenDescriptors()
            << "\nbefore: " << strFdsBefore;
    }

    CTempFolder m_files;
};

TEST_F(SaveIsolationTest, ANamedPipeInPlaceOfAFileHoldsUpNoSession) {
    ASSERT_EQ(0, ::mkfifo(m_files.Path("data/127.0.0.1/pipe").c_str(), 0600));
    ExpectLatencyKeptWhile("/pipe");
    const std::wstring strPipe = m_files.WPath("data/127.0.0.1/pipe");
    EXPECT_TRUE(m_log.Contains(L"\nOpen \"" + strPipe +
                               L"\" failed! the name is taken by something that is not a "
                               L"regular file\n"));
}

TEST_F(SaveIsolationTest, ASlowDiskHoldsUpNoOtherSession) {
    win::CFaultRule rule;
    rule.call = win::FaultCall::SaveWrite;
    rule.nErrno = 0;
    rule.nDelayMs = 300;  // every write of a saved response
    rule.nTimes = -1;
    win::ArmFault(rule);
    ExpectLatencyKeptWhile("/big");
    EXPECT_TRUE(std::filesystem::exists(m_files.Path("data/127.0.0.1/big")));
}

}  // namespace
