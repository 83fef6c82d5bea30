// Sessions under load and in trouble: many kept-alive HTTP connections with the Host line
// rewritten, a local client that stops reading, and streams that switch protocols.
#include <filesystem>
#include <future>

#include "HttpTestSupport.h"
#include "platform/Winsock.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using test::CHttpAnswer;
using test::CHttpRequest;
using test::CHttpTestServer;

class SessionIsolationTest : public test::RelayFixture {
protected:
    void SetUp() override {
        RelayFixture::SetUp();
        CRegKeyTalvex settings;
        settings.SetDataFolder(m_files.WPath("data").c_str());
    }
    static void SetOptions(bool bReplaceHost, bool bSaveResponse) {
        CRegKeyTalvex settings;
        settings.SetReplaceHostHeader(bReplaceHost);
        settings.SetSaveResponse(bSaveResponse);
    }
    // Log rows that begin with `prefix`.
    std::vector<std::wstring> RowsStartingWith(const std::wstring& prefix) {
        std::vector<std::wstring> rows;
        for (const test::CLogRow& row : m_log.Rows()) {
            if (row.text.starts_with(prefix)) {
                rows.push_back(row.text);
            }
        }
        return rows;
    }
    CTempFolder m_files;
};

// Sessions end (and are deleted on the GUI thread) while others rewrite their Host lines:
// the GUI thread never waits for the module lock, so nothing hangs.
TEST_F(SessionIsolationTest, ThousandKeptAliveGetsWithHostRewriteAllComeBack) {
    SetOptions(true, false);
    CHttpTestServer server([](const CHttpRequest& request) {
        return CHttpAnswer{CHttpTestServer::Response("text/plain", "ok " + request.RequestLine())};
    });
    const std::size_t nSocketsBefore = win::OpenSocketCount();
    const std::uint16_t nLocal = StartListening(server.Port());
    const std::string strServer = "127.0.0.1:" + std::to_string(server.Port());
    constexpr int kClients = 4;
    const int nEach = 1000 / test::kLoadScale / kClients;
    std::vector<std::future<int>> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.push_back(std::async(std::launch::async, [=] {
            int nOk = 0;
            for (int i = 0; i < nEach; ++i) {
                const std::string strPath = "/" + std::to_string(c) + "/" + std::to_string(i);
                nOk += test::KeptAliveGet(nLocal, strPath) == "ok GET " + strPath + " HTTP/1.1";
            }
            return nOk;
        }));
    }
    int nOk = 0;
    for (auto& f : clients) {
        ASSERT_EQ(std::future_status::ready, f.wait_for(120s)) << "the relay hangs";
        nOk += f.get();
    }
    EXPECT_EQ(kClients * nEach, nOk);
    // The GUI thread still answers, and every request had its lines rewritten.
    m_pWindow->SendMessage(UM_REFRESH_TITLE, 0, 0);
    const std::vector<CHttpRequest> requests = server.Requests();
    ASSERT_EQ(static_cast<std::size_t>(kClients * nEach), requests.size());
    for (const CHttpRequest& request : requests) {
        ASSERT_NE(std::string::npos, request.strHead.find("\r\nHost: " + strServer + "\r\n"))
            << request.strHead;
        ASSERT_NE(std::string::npos,
                  request.strHead.find("\r\nReferer: http://" + strServer + "/\r\n"));
    }
    ToggleListening(false);
    EXPECT_TRUE(test::WaitUntil([] { return g_nClientsCount == 0; }, 30s)) << g_nClientsCount;
    EXPECT_TRUE(test::WaitUntil([&] { return win::OpenSocketCount() == nSocketsBefore; }, 10s))
        << win::OpenSocketCount() << " sockets open, " << nSocketsBefore << " before";
}

// A local client that stops reading a large answer: only its own session waits for it,
// and when the send time-out ends that session, the client sees a reset, not a clean end
// of a cut answer, and the server's connection is closed too.
TEST_F(SessionIsolationTest, StalledClientHoldsUpOnlyItsOwnSession) {
    SetOptions(false, false);
    const std::string big = test::Pattern(50 << 20);
    std::atomic<bool> bBigEnded{false};
    test::CTestServer server([&](int fd) {
        char request[256];
        const ssize_t n = ::recv(fd, request, sizeof(request), 0);
        if (n > 0 && std::string_view(request, static_cast<std::size_t>(n)) == "big") {
            test::SendAllPosix(fd, big);  // fails once the relay lets go of it
            test::ReceiveAllPosix(fd);    // up to the relay's close
            bBigEnded = true;
        } else if (n > 0) {
            test::SendAllPosix(fd, "small answer");
            test::ReceiveAllPosix(fd);
        }
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fdStalled = test::ConnectPosix(nLocal);
    ASSERT_TRUE(test::SendAllPosix(fdStalled, "big"));
    // Let the relay fill every buffer toward the stalled client.
    ASSERT_TRUE(WaitForLog(L"\r\n0--->---"));
    std::this_thread::sleep_for(1s);

    for (int i = 0; i < 3; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const int fd = test::ConnectPosix(nLocal);
        ASSERT_TRUE(test::SendAllPosix(fd, "small"));
        std::string got;
        char buffer[64];
        while (got.size() < 12) {
            pollfd pfd{fd, POLLIN, 0};
            if (::poll(&pfd, 1, 9000) <= 0) {
                break;
            }
            const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                break;
            }
            got.append(buffer, static_cast<std::size_t>(n));
        }
        const auto took = std::chrono::steady_clock::now() - start;
        ::close(fd);
        EXPECT_EQ("small answer", got);
        EXPECT_LT(took, 500ms * test::kLoadScale) << "round " << i;
    }

    // The stalled client now reads: the relay held the rest back instead of cutting the
    // session, so the whole answer arrives, byte for byte.
    std::this_thread::sleep_for(10s);
    const std::string got = test::ReceiveExactlyPosix(fdStalled, big.size());
    EXPECT_EQ(big.size(), got.size());
    EXPECT_TRUE(got == big) << "the answer differs";
    ::close(fdStalled);
    EXPECT_TRUE(test::WaitUntil([&] { return bBigEnded.load(); }, 10s));
    for (const test::CLogRow& row : m_log.Rows()) {
        EXPECT_EQ(std::wstring::npos, row.text.find(L"Send timeout")) << row.text;
    }
    EXPECT_TRUE(WaitForLog(L"\r\nSession 0 stopped."));
}

// After a switch of protocols the bytes of both directions are no longer HTTP: nothing in
// them is rewritten or saved, however much they look like header lines.
TEST_F(SessionIsolationTest, SwitchedStreamsPassByteForByteBothWays) {
    SetOptions(true, true);
    const std::string toServer = "\x81\x9a\r\nHost: localhost\r\n\r\nGET /x HTTP/1.1\r\n\0\xff"s;
    const std::string toClient =
        "\x82\x7e\r\nHTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\nHost: localhost\r\n"s;
    struct CCase {
        std::string request;
        std::string answer;
    };
    const CCase cases[] = {
        {"GET /chat HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: "
         "Upgrade\r\n\r\n",
         "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n"},
        {"CONNECT example.org:443 HTTP/1.1\r\nHost: localhost\r\n\r\n",
         "HTTP/1.1 200 Connection established\r\n\r\n"},
    };
    for (const CCase& c : cases) {
        std::mutex mutex;
        std::string head;
        std::string received;
        test::CTestServer server([&](int fd) {
            std::string data;
            char buffer[4096];
            while (data.find("\r\n\r\n") == std::string::npos) {
                const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
                if (n <= 0) {
                    return;
                }
                data.append(buffer, static_cast<std::size_t>(n));
            }
            {
                std::lock_guard lock(mutex);
                head = data;
            }
            // The answer and the first frame in one block, as servers often send them.
            test::SendAllPosix(fd, c.answer + toClient);
            std::string rest = test::ReceiveAllPosix(fd);
            std::lock_guard lock(mutex);
            received = rest;
        });
        const std::uint16_t nLocal = StartListening(server.Port());
        const int fd = test::ConnectPosix(nLocal);
        ASSERT_TRUE(test::SendAllPosix(fd, c.request));
        const std::string answer = test::ReceiveExactlyPosix(fd, c.answer.size() + toClient.size());
        EXPECT_TRUE(c.answer + toClient == answer);
        // Two frames in two blocks.
        ASSERT_TRUE(test::SendAllPosix(fd, toServer));
        std::this_thread::sleep_for(100ms);
        ASSERT_TRUE(test::SendAllPosix(fd, toServer));
        ::shutdown(fd, SHUT_WR);
        test::ReceiveAllPosix(fd);
        ::close(fd);
        ASSERT_TRUE(WaitForLog(L"\r\nSession 0 stopped."));
        std::lock_guard lock(mutex);
        EXPECT_NE(std::string::npos,
                  head.find("\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n"))
            << head;
        EXPECT_EQ(toServer + toServer, received);
        ToggleListening(false);
        ASSERT_TRUE(test::WaitUntil([] { return g_nClientsCount == 0; }, 20s));
    }
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(m_files.Path(), ec)) {
        EXPECT_FALSE(entry.is_regular_file()) << entry.path() << ": a frame saved as a response";
    }
}

// Before the switch is answered the stream is still HTTP: an Upgrade that the server
// refuses leaves the next request on the connection rewritten.
TEST_F(SessionIsolationTest, RefusedUpgradeKeepsRewriting) {
    SetOptions(true, false);
    CHttpTestServer server([](const CHttpRequest&) {
        return CHttpAnswer{CHttpTestServer::Response("text/plain", "no")};
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    std::string body;
    ASSERT_TRUE(test::SendAllPosix(
        fd, "GET /ws HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\n\r\n"));
    ASSERT_TRUE(test::ReadAnswer(fd, &body));
    ASSERT_TRUE(test::SendAllPosix(fd, "GET /next HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    ASSERT_TRUE(test::ReadAnswer(fd, &body));
    ::close(fd);
    ASSERT_EQ(2u, server.Requests().size());
    EXPECT_NE(std::string::npos,
              server.Requests()[1].strHead.find(
                  "\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n"));
}

}  // namespace
