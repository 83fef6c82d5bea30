// A server that cannot be reached: every waiting client is reset at once, the log names
// the session and the reason, and the window shows one box at a time (or keeps listening
// when told to).
#include <condition_variable>

#include "RelayFixture.h"
#include "capture/UnreachableServer.h"
#include "support/SystemErrorText.h"

namespace {

using namespace std::chrono_literals;

class UnreachableServerTest : public test::RelayFixture {
protected:
    void TearDown() override {
        ReleaseBoxes();
        SetKeepListeningAlways(false);
        RelayFixture::TearDown();
    }

    // From now on a message box stays open until ReleaseBoxes, as a real one does until
    // the user presses OK.
    void HoldBoxes() {
        SetMessageBoxPresenter(
            [this](HWND, const std::wstring& strText, const std::wstring&, UINT) {
                std::unique_lock lock(m_boxMutex);
                m_boxes.push_back(strText);
                ++m_nOpen;
                m_boxCv.wait(lock, [this] { return m_bRelease; });
                --m_nOpen;
                return IDOK;
            });
    }
    void ReleaseBoxes() {
        {
            std::lock_guard lock(m_boxMutex);
            m_bRelease = true;
        }
        m_boxCv.notify_all();
        EXPECT_TRUE(test::WaitUntil([this] {
            std::lock_guard lock(m_boxMutex);
            return m_nOpen == 0;
        }));
    }
    std::vector<std::wstring> Boxes() {
        std::lock_guard lock(m_boxMutex);
        return m_boxes;
    }

    // Whether the client's connection ends in a reset within `timeout` (not an orderly
    // close, not a wait).
    static bool SeesReset(int fd, std::chrono::milliseconds timeout) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(timeout.count())) != 1) {
            return false;
        }
        char c;
        return ::recv(fd, &c, 1, 0) < 0 && errno == ECONNRESET;
    }

    // The log's lines that begin with "Session ".
    std::vector<std::wstring> SessionErrorLines() {
        std::vector<std::wstring> lines;
        for (const test::CLogRow& row : m_log.Rows()) {
            if (row.text.find(L"port failed!") != std::wstring::npos) {
                lines.push_back(row.text);
            }
        }
        return lines;
    }

    std::mutex m_boxMutex;
    std::condition_variable m_boxCv;
    std::vector<std::wstring> m_boxes;
    int m_nOpen = 0;
    bool m_bRelease = false;
};

std::wstring ReasonText(int nCode) {
    std::wstring strText = GetSystemErrorText(static_cast<DWORD>(nCode));
    while (!strText.empty() && (strText.back() == L'\n' || strText.back() == L'\r')) {
        strText.pop_back();
    }
    return strText;
}

TEST_F(UnreachableServerTest, TwentyClientsAreResetAtOnceUnderOneBox) {
    HoldBoxes();
    const std::uint16_t nDead = test::FreePort();
    const std::uint16_t nLocal = StartListening(nDead);
    std::vector<int> clients;
    for (int n = 0; n < 20; ++n) {
        // Listening stops after the first failure: a later client may find the port closed.
        if (const int fd = test::ConnectPosix(nLocal); fd >= 0) {
            clients.push_back(fd);
        }
    }
    ASSERT_FALSE(clients.empty());
    // Every client that got in learns at once, while the first box is still open: the
    // first one, whose session certainly tried the server, by a reset (an orderly close
    // would look like an empty answer); none gets a byte.
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t n = 0; n < clients.size(); ++n) {
        pollfd pfd{clients[n], POLLIN, 0};
        ASSERT_EQ(1, ::poll(&pfd, 1, 3000)) << n;
        char c;
        const ssize_t nGot = ::recv(clients[n], &c, 1, 0);
        EXPECT_LE(nGot, 0) << n;
        if (n == 0) {
            EXPECT_EQ(-1, nGot);
            EXPECT_EQ(ECONNRESET, errno);
        }
        ::close(clients[n]);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    ASSERT_TRUE(test::WaitUntil([this] { return !Boxes().empty(); }));
    EXPECT_EQ(1u, Boxes().size());
    const std::wstring strText = L"Connect to 127.0.0.1 host " + std::to_wstring(nDead) +
                                 L" port failed!\n" + ReasonText(WSAECONNREFUSED);
    EXPECT_EQ(strText, Boxes()[0]);
    // The log names each failed session with the reason, on one line.
    const std::vector<std::wstring> lines = SessionErrorLines();
    ASSERT_FALSE(lines.empty());
    const std::wstring strTail = L": Connect to 127.0.0.1 host " + std::to_wstring(nDead) +
                                 L" port failed! " + ReasonText(WSAECONNREFUSED);
    for (const std::wstring& line : lines) {
        EXPECT_TRUE(line.starts_with(L"\r\nSession ") && line.ends_with(strTail)) << line;
    }
    EXPECT_TRUE(test::WaitUntil([this] { return !m_pWindow->IsListening(); }));
    EXPECT_EQ(1u, Boxes().size());  // still one while it is open
    ReleaseBoxes();
}

TEST_F(UnreachableServerTest, KeepListeningSettingFailsEachSessionAlone) {
    CRegKeyTalvex().SetKeepListening(true);
    const std::uint16_t nDead = test::FreePort();
    const std::uint16_t nLocal = StartListening(nDead);
    for (int n = 0; n < 3; ++n) {
        const int fd = test::ConnectPosix(nLocal);
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(SeesReset(fd, 3s)) << n;
        ::close(fd);
    }
    ASSERT_TRUE(test::WaitUntil([this] { return SessionErrorLines().size() == 3; }));
    m_pWindow->SendMessage(UM_REFRESH_TITLE, 0, 0);
    EXPECT_TRUE(m_pWindow->IsListening());
    EXPECT_TRUE(Messages().empty());

    // A server that comes up later is reached by the next client without pressing Listen.
    test::CTestServer server([](int fd) { test::EchoPosix(fd, 2000); });
    m_pWindow->SetConnectionSettings(L"127.0.0.1", nLocal, server.Port());
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_TRUE(test::SendAllPosix(fd, "ping"));
    EXPECT_EQ("ping", test::ReceiveExactlyPosix(fd, 4));
    ::close(fd);
}

TEST_F(UnreachableServerTest, CommandLineKeepsListeningWhateverTheSetting) {
    CRegKeyTalvex().SetKeepListening(false);
    SetKeepListeningAlways(true);
    EXPECT_TRUE(KeepListeningWhenUnreachable());
    const std::uint16_t nLocal = StartListening(test::FreePort());
    const int fd = test::ConnectPosix(nLocal);
    EXPECT_TRUE(SeesReset(fd, 3s));
    ::close(fd);
    ASSERT_TRUE(test::WaitUntil([this] { return SessionErrorLines().size() == 1; }));
    m_pWindow->SendMessage(UM_REFRESH_TITLE, 0, 0);
    EXPECT_TRUE(m_pWindow->IsListening());
    SetKeepListeningAlways(false);
    EXPECT_FALSE(KeepListeningWhenUnreachable());
}

}  // namespace
