// End-to-end set-up of the relay: the headless main window on its own GUI thread, a log
// that records every append, a message box that records its texts, a loopback server of
// the test's own and plain POSIX clients.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SocketTestSupport.h"
#include "TempFolder.h"
#include "app/HeadlessMainWindow.h"
#include "capture/ClientCount.h"
#include "capture/SocketClient.h"
#include "module/MyModule.h"
#include "platform/TextConv.h"
#include "settings/RegKeyTalvex.h"
#include "support/ShowMessage.h"

namespace test {

struct CLogRow {
    std::wstring text;
    int nStyle;
    bool operator==(const CLogRow&) const = default;
};

class CRecordingLog : public ILogSink {
public:
    void AppendLog(std::wstring_view text, int nStyle) override {
        std::lock_guard lock(m_mutex);
        m_rows.push_back({std::wstring(text), nStyle});
        if (m_pForward != nullptr) {
            m_pForward->AppendLog(text, nStyle);
        }
    }
    // Blocks and UTF-8 text are recorded as their text but forwarded as they came, so
    // that a forwarded log keeps blocks as it does in the program.
    void AppendLogBytes(std::string_view bytes, int nStyle) override {
        Record(win::BlockText(bytes), nStyle);
        if (m_pForward != nullptr) {
            m_pForward->AppendLogBytes(bytes, nStyle);
        }
    }
    void AppendLogUtf8(std::string_view text, int nStyle) override {
        Record(win::AnsiToWide(text), nStyle);
        if (m_pForward != nullptr) {
            m_pForward->AppendLogUtf8(text, nStyle);
        }
    }
    void OnLogRecord(const CLogRecord& record) override {
        if (m_pForward != nullptr) {
            m_pForward->OnLogRecord(record);
        }
    }
    // Before the relay starts: every append and record also goes to `pSink`.
    void SetForward(ILogSink* pSink) { m_pForward = pSink; }
    std::vector<CLogRow> Rows() {
        std::lock_guard lock(m_mutex);
        return m_rows;
    }
    bool Contains(const std::wstring& text) {
        std::lock_guard lock(m_mutex);
        for (const CLogRow& row : m_rows) {
            if (row.text == text) {
                return true;
            }
        }
        return false;
    }

private:
    void Record(std::wstring text, int nStyle) {
        std::lock_guard lock(m_mutex);
        m_rows.push_back({std::move(text), nStyle});
    }

    std::mutex m_mutex;
    std::vector<CLogRow> m_rows;
    ILogSink* m_pForward = nullptr;
};

// A loopback TCP server that runs `handler` on its own thread for every connection.
class CTestServer {
public:
    explicit CTestServer(std::function<void(int)> handler) : m_handler(std::move(handler)) {
        m_thread = std::thread([this] { AcceptLoop(); });
    }
    ~CTestServer() {
        m_bStop = true;
        m_thread.join();
        for (std::thread& t : m_connections) {
            t.join();
        }
    }
    std::uint16_t Port() const { return m_listener.Port(); }

private:
    void AcceptLoop() {
        while (!m_bStop) {
            pollfd pfd{m_listener.Fd(), POLLIN, 0};
            if (::poll(&pfd, 1, 20) <= 0) {
                continue;
            }
            const int fd = ::accept4(m_listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                m_connections.emplace_back([this, fd] {
                    m_handler(fd);
                    ::close(fd);
                });
            }
        }
    }

    CPosixListener m_listener;
    std::function<void(int)> m_handler;
    std::atomic<bool> m_bStop{false};
    std::vector<std::thread> m_connections;  // accept thread only, joined at the end
    std::thread m_thread;
};

// An echo server that keeps what every connection sent, in the order they connected.
class CRecordingEcho {
public:
    CRecordingEcho()
        : m_server([this](int fd) {
              std::size_t nIndex = 0;
              {
                  std::lock_guard lock(m_mutex);
                  nIndex = m_received.size();
                  m_received.emplace_back();
              }
              ForEachReceived(fd, [this, fd, nIndex](std::string_view chunk) {
                  {
                      std::lock_guard lock(m_mutex);
                      m_received[nIndex].append(chunk);
                  }
                  SendAllPosix(fd, std::string(chunk));
                  return true;
              });
          }) {}
    std::uint16_t Port() const { return m_server.Port(); }
    std::vector<std::string> Received() {
        std::lock_guard lock(m_mutex);
        return m_received;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_received;
    CTestServer m_server;
};

// A port that nothing listens on (free when it was asked for).
inline std::uint16_t FreePort() {
    CPosixListener probe;
    return probe.Port();
}

class RelayFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_CONFIG_HOME", m_config.Path().c_str(), 1);
        ::setenv("XDG_DESKTOP_DIR", (m_config.Path() + "/Desktop").c_str(), 1);
        CRegKeyTalvex settings;
        settings.SetSaveResponse(false);
        settings.SetReplaceHostHeader(false);
        SetMessageBoxPresenter(
            [this](HWND, const std::wstring& strText, const std::wstring&, UINT) {
                std::lock_guard lock(m_mutex);
                m_messages.push_back(strText);
                return IDOK;
            });
        mainWindowClosing = false;
        g_bCloseWhenNoClients = false;
        m_pWindow = std::make_unique<CHeadlessMainWindow>(m_log);
        m_pWindow->SetStatusObserver([this](int nPane, const std::wstring& strText) {
            std::lock_guard lock(m_mutex);
            m_statusShown.emplace_back(nPane, strText);
        });
        g_Module.SetMainWindow(m_pWindow.get());
        m_guiThread = std::thread([this] { m_nExitCode = m_pWindow->Run(); });
        ASSERT_TRUE(WaitUntil([this] { return m_pWindow->IsRunning(); }));
    }

    void TearDown() override {
        m_pWindow->SendMessage(UM_REFRESH_TITLE, 0, 0);  // let queued commands run first
        if (m_pWindow->IsListening()) {
            ToggleListening(false);
        }
        // Every session and client ends and is deleted on the GUI thread.
        EXPECT_TRUE(WaitUntil([] { return g_nClientsCount == 0; }, std::chrono::seconds(20)))
            << g_nClientsCount;
        m_pWindow->Quit(0);
        m_guiThread.join();
        SetRelayOnSessionThread(true);
        g_Module.SetMainWindow(nullptr);
        SetMessageBoxPresenter(nullptr);
        ::unsetenv("XDG_DESKTOP_DIR");
    }

    // Starts listening on a free local port, relaying to `nServerPort` of `strHost`.
    std::uint16_t StartListening(std::uint16_t nServerPort,
                                 const std::wstring& strHost = L"127.0.0.1") {
        const std::uint16_t nLocal = FreePort();
        m_pWindow->SetConnectionSettings(strHost, nLocal, nServerPort);
        ToggleListening(true);
        EXPECT_TRUE(m_pWindow->IsListening());
        return nLocal;
    }

    // Posts the Listen command as the menu (true) or the toolbar (false) does and waits
    // until the GUI thread has handled it.
    void ToggleListening(bool bFlag) {
        g_Module.ToggleListening(bFlag);
        m_pWindow->SendMessage(UM_REFRESH_TITLE, 0, 0);  // queued behind the command
    }

    // Whether the status pane has shown `text` (at any time so far).
    bool StatusShown(int nPane, const std::wstring& text) {
        std::lock_guard lock(m_mutex);
        for (const auto& [n, s] : m_statusShown) {
            if (n == nPane && s == text) {
                return true;
            }
        }
        return false;
    }
    bool WaitForStatus(int nPane, const std::wstring& text) {
        return WaitUntil([&] { return StatusShown(nPane, text); });
    }

    std::vector<std::wstring> Messages() {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }

    // Waits until the log holds `text`.
    bool WaitForLog(const std::wstring& text,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return WaitUntil([&] { return m_log.Contains(text); }, timeout);
    }

    CTempFolder m_config;
    CRecordingLog m_log;
    std::unique_ptr<CHeadlessMainWindow> m_pWindow;
    std::thread m_guiThread;
    std::atomic<int> m_nExitCode{-1};
    std::mutex m_mutex;
    std::vector<std::wstring> m_messages;
    std::vector<std::pair<int, std::wstring>> m_statusShown;
};

}  // namespace test
