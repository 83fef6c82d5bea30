// A plain session relays both directions on its own thread until a peer does not take a
// block at once. Neither peer may then wait for the other direction: a client that sends
// its whole upload before it reads, or a server that sends its whole answer before it
// reads, gets every byte both ways, as over a direct connection.
#include <dirent.h>
#include <sys/socket.h>

#include <future>

#include "RelayFixture.h"

namespace {

using namespace std::chrono_literals;

class OneThreadRelayTest : public test::RelayFixture {};

constexpr std::size_t kBig = 24u << 20;  // more than the buffers of both connections

// Sends and receives on `fd` fail after 20 s instead of waiting for ever: a relay that holds
// one direction back behind the other ends the test instead of hanging it.
void BoundWaits(int fd) {
    const timeval tv{20, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}

struct CTwoWays {
    std::string toServer;
    std::string toClient;
};

int CountThreads() {
    int n = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(dir)) {
            n += entry->d_name[0] != '.' ? 1 : 0;
        }
        ::closedir(dir);
    }
    return n;
}

// The thread count once idle pooled threads have ended (they wait two seconds for work).
int SettledThreadCount() {
    int nLast = CountThreads();
    for (int n = 0; n < 50; ++n) {
        std::this_thread::sleep_for(100ms);
        const int nNow = CountThreads();
        if (n >= 25 && nNow == nLast) {
            break;
        }
        nLast = nNow;
    }
    return nLast;
}

// The server streams its answer from one thread and reads the upload on another; the
// client sends its whole upload before it reads the answer. The relay must go on reading
// the upload while the client does not read.
TEST_F(OneThreadRelayTest, AClientThatUploadsBeforeItReadsGetsTheWholeAnswer) {
    const std::string upload = test::Pattern(kBig);
    const std::string answer = test::Pattern(kBig + 4096).substr(4096);
    std::promise<std::string> uploaded;
    test::CTestServer server([&](int fd) {
        BoundWaits(fd);
        std::thread sender([&] { test::SendAllPosix(fd, answer); });
        uploaded.set_value(test::ReceiveExactlyPosix(fd, upload.size()));
        sender.join();
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_GE(fd, 0);
    BoundWaits(fd);
    EXPECT_TRUE(test::SendAllPosix(fd, upload)) << "the upload was held up";
    const std::string received = test::ReceiveExactlyPosix(fd, answer.size());
    ::close(fd);
    EXPECT_EQ(answer.size(), received.size());
    EXPECT_TRUE(received == answer) << "the answer's bytes differ";
    auto atServer = uploaded.get_future();
    ASSERT_EQ(std::future_status::ready, atServer.wait_for(30s));
    EXPECT_TRUE(atServer.get() == upload) << "the upload's bytes differ";
    EXPECT_TRUE(WaitForLog(L"\r\nSession 0 stopped.", 15s));
}

// The mirror image: the server sends its whole answer before it reads; the client sends
// from one thread and reads on another. The relay must go on relaying the answer while the
// server does not read.
TEST_F(OneThreadRelayTest, AServerThatAnswersBeforeItReadsGetsTheWholeUpload) {
    const std::string upload = test::Pattern(kBig);
    const std::string answer = test::Pattern(kBig + 4096).substr(4096);
    std::promise<std::string> uploaded;
    test::CTestServer server([&](int fd) {
        BoundWaits(fd);
        test::SendAllPosix(fd, answer);
        uploaded.set_value(test::ReceiveExactlyPosix(fd, upload.size()));
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_GE(fd, 0);
    BoundWaits(fd);
    std::thread sender([&] { test::SendAllPosix(fd, upload); });
    const std::string received = test::ReceiveExactlyPosix(fd, answer.size());
    sender.join();
    auto atServer = uploaded.get_future();
    ASSERT_EQ(std::future_status::ready, atServer.wait_for(30s));
    ::close(fd);
    EXPECT_TRUE(received == answer) << received.size() << " of " << answer.size() << " bytes";
    EXPECT_TRUE(atServer.get() == upload) << "the upload's bytes differ";
    EXPECT_TRUE(WaitForLog(L"\r\nSession 0 stopped.", 15s));
}

// Sessions that exchange small blocks hold one thread each; with a thread per server
// connection they hold two.
TEST_F(OneThreadRelayTest, EachPlainSessionHoldsOneThread) {
    test::CTestServer server([](int fd) { test::EchoPosix(fd, 20000); });
    const std::uint16_t nLocal = StartListening(server.Port());
    constexpr int kSessions = 20;
    for (const bool bOneThread : {true, false}) {
        SetRelayOnSessionThread(bOneThread);
        const int nBefore = SettledThreadCount();
        std::vector<int> clients;
        for (int n = 0; n < kSessions; ++n) {
            const int fd = test::ConnectPosix(nLocal);
            ASSERT_GE(fd, 0);
            clients.push_back(fd);
            ASSERT_TRUE(test::SendAllPosix(fd, "ping"));
            ASSERT_EQ("ping", test::ReceiveExactlyPosix(fd, 4)) << n;
        }
        // The test's server runs a thread per connection in this process too. A session
        // runs on the thread that accepted it, which may have been waiting already (up to
        // two wait between connections), and threads that went idle end at their own pace.
        const int nAdded = CountThreads() - nBefore - kSessions;
        if (bOneThread) {
            EXPECT_GE(nAdded, kSessions - 4);
            EXPECT_LT(nAdded, kSessions * 3 / 2);
        } else {
            EXPECT_GT(nAdded, kSessions * 3 / 2);
        }
        for (const int fd : clients) {
            ::close(fd);
        }
        ASSERT_TRUE(test::WaitUntil([] { return g_nClientsCount == 0; }, 15s));
    }
}

// One loop for both peers still passes each close on in order: the server's close reaches
// the client, whose last request still reaches the server, then the session ends.
TEST_F(OneThreadRelayTest, HalfClosesPassInOrderEitherWayRound) {
    // The server answers, closes its sending side, and then reads what is left.
    std::promise<std::string> lastRequest;
    test::CTestServer server([&](int fd) {
        test::ReceiveExactlyPosix(fd, 5);
        test::SendAllPosix(fd, "answer");
        ::shutdown(fd, SHUT_WR);
        lastRequest.set_value(test::ReceiveAllPosix(fd));
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(test::SendAllPosix(fd, "first"));
    EXPECT_EQ("answer", test::ReceiveAllPosix(fd)) << "the answer, then an orderly end";
    ASSERT_TRUE(test::SendAllPosix(fd, "after the end"));
    ::shutdown(fd, SHUT_WR);
    auto atServer = lastRequest.get_future();
    ASSERT_EQ(std::future_status::ready, atServer.wait_for(15s));
    EXPECT_EQ("after the end", atServer.get());
    char c = 0;
    EXPECT_EQ(0, ::recv(fd, &c, 1, 0));
    ::close(fd);
    EXPECT_TRUE(WaitForLog(L"\r\nSession 0 stopped.", 15s));
}

}  // namespace
