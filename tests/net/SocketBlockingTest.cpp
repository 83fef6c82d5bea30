// CSocketBlocking and CSocketTelnet on real loopback connections and threads.
#include "net/SocketBlocking.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "SocketTestSupport.h"
#include "net/SocketTelnet.h"
#include "net/WinsockInit.h"
#include "platform/DebugOutput.h"
#include "platform/TextConv.h"
#include "support/SystemErrorText.h"

namespace {

using namespace std::chrono_literals;

// Records what the receive loop hands to it.
class CRecordingSocket : public CSocketTelnet {
public:
    explicit CRecordingSocket(BOOL bThrow, int nDataSize = 65536, int nMaxDataSize = 0)
        : CSocketTelnet(bThrow, nDataSize, nMaxDataSize) {}

    void OnReceive(int nErrorCode) override {
        CheckReceiveError(nErrorCode);
        const int n = ReceiveData();
        std::lock_guard lock(m_mutex);
        if (n > 0) {
            m_strData.append(GetData(), static_cast<std::size_t>(n));
            m_nLargest = std::max(m_nLargest, n);
        }
        m_calls.push_back("receive");
    }
    void OnClose(int nErrorCode) override {
        {
            std::lock_guard lock(m_mutex);
            m_calls.push_back("close:" + std::to_string(nErrorCode));
            m_hThreadAtClose = m_thread.GetHandle();
        }
        CSocketTelnet::OnClose(nErrorCode);
    }
    void OnThreadEnd() override { m_ended.set_value(); }

    // Waits for the receive thread's end.
    bool WaitEnded(std::chrono::seconds timeout = 10s) {
        return m_endedFuture.wait_for(timeout) == std::future_status::ready;
    }
    std::vector<std::string> Calls() {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }
    std::string Data() {
        std::lock_guard lock(m_mutex);
        return m_strData;
    }
    HANDLE ThreadAtClose() {
        std::lock_guard lock(m_mutex);
        return m_hThreadAtClose;
    }
    int Largest() {
        std::lock_guard lock(m_mutex);
        return m_nLargest;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_calls;
    std::string m_strData;
    HANDLE m_hThreadAtClose = 0;
    int m_nLargest = 0;  // the longest receive
    std::promise<void> m_ended;
    std::future<void> m_endedFuture = m_ended.get_future();
};

std::wstring TakeText(CException* e) {
    std::wstring s = e->GetText();
    delete e;
    return s;
}

class SocketBlockingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(g_WinsockInit.Startup());
        m_nSocketsBefore = win::OpenSocketCount();
    }
    void TearDown() override { EXPECT_EQ(m_nSocketsBefore, win::OpenSocketCount()); }

    // Accepts one connection from a plain POSIX client into `target`; returns the client.
    int AcceptInto(CSocketBlocking& target) {
        CSocketBlocking listener(TRUE);
        listener.Create();
        listener.Bind(test::Loopback(0));
        listener.Listen();
        sockaddr_in addr{};
        EXPECT_TRUE(listener.GetSockAddr(&addr));
        const int fd = test::ConnectPosix(ntohs(addr.sin_port));
        sockaddr_in peer{};
        EXPECT_TRUE(listener.Accept(target, &peer));
        EXPECT_EQ(htonl(INADDR_LOOPBACK), peer.sin_addr.s_addr);
        listener.Close();
        return fd;
    }

    std::size_t m_nSocketsBefore = 0;
};

TEST_F(SocketBlockingTest, BindToAPortInUseGivesTheSocketErrorText) {
    test::CPosixListener other;
    CSocketBlocking s;
    s.Create();
    try {
        s.Bind(test::Loopback(other.Port()));
        FAIL() << "Bind succeeded on a port in use";
    } catch (CException* e) {
        const std::wstring strExpected =
            L"SOCKET ERROR: CSocketBlocking::Bind. error = 10048. " + GetSystemErrorText(10048);
        EXPECT_EQ(strExpected, TakeText(e));
        EXPECT_EQ(strExpected, g_szSocketError.Get());
        EXPECT_FALSE(GetSystemErrorText(10048).empty());
    }
    s.Close();
}

TEST_F(SocketBlockingTest, AcceptOnListenerClosedByAnotherThreadReturnsFalseSilently) {
    CSocketBlocking listener(TRUE);
    listener.Create();
    listener.Bind(test::Loopback(0));
    listener.Listen();
    g_szSocketError.Set(L"earlier text");
    CSocketBlocking vessel;
    auto accepted = std::async(std::launch::async, [&] {
        sockaddr_in peer{};
        return listener.Accept(vessel, &peer);
    });
    std::this_thread::sleep_for(50ms);
    listener.Close();
    ASSERT_EQ(std::future_status::ready, accepted.wait_for(5s));
    EXPECT_FALSE(accepted.get());
    EXPECT_EQ(0u, vessel.GetSocket());
    EXPECT_EQ(L"earlier text", g_szSocketError.Get());

    // Closed before the call: the same quiet end.
    sockaddr_in peer{};
    EXPECT_FALSE(listener.Accept(vessel, &peer));
}

TEST_F(SocketBlockingTest, StopHandshakeEndsTheReceiveLoopAndClosesTheSocket) {
    CRecordingSocket s(TRUE);
    const int fd = AcceptInto(s);
    s.StartThread();
    s.StopThread(5000);
    ASSERT_TRUE(s.WaitEnded());
    EXPECT_EQ(0u, s.GetSocket());
    EXPECT_EQ(0u, s.GetEvent());
    EXPECT_TRUE(s.Calls().empty());
    char c;
    EXPECT_EQ(0, ::recv(fd, &c, 1, 0));  // the peer sees the close
    // A second stop does nothing.
    s.StopThread(5000);
    ::close(fd);
}

TEST_F(SocketBlockingTest, StopThreadOnALoopThatNeverStartedTimesOut) {
    CSocketBlocking none;
    none.StopThread(1000);  // no socket: nothing to do, at once

    CSocketBlocking s;
    s.Create();
    s.SetStopEvent();  // no event yet: nothing happens
    const auto start = std::chrono::steady_clock::now();
    try {
        s.StopThread(1000);
        FAIL() << "StopThread did not time out";
    } catch (CException* e) {
        EXPECT_EQ(L"ERROR: Wait thread is created timeout\n", TakeText(e));
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 900ms);
    EXPECT_LT(elapsed, 3s);
    // Only one stop per object: the second returns at once.
    const auto again = std::chrono::steady_clock::now();
    s.StopThread(1000);
    EXPECT_LT(std::chrono::steady_clock::now() - again, 500ms);
    s.Close();
}

TEST_F(SocketBlockingTest, DataFollowedByCloseIsReceivedBeforeTheClose) {
    CRecordingSocket s(TRUE);
    const int fd = AcceptInto(s);
    ASSERT_TRUE(test::SendAllPosix(fd, "hello"));
    ::close(fd);
    std::this_thread::sleep_for(20ms);  // both arrive before the loop's first wait
    s.StartThread();
    ASSERT_TRUE(s.WaitEnded());
    EXPECT_EQ((std::vector<std::string>{"receive", "close:0"}), s.Calls());
    EXPECT_EQ("hello", s.Data());
    EXPECT_EQ(0u, s.GetSocket());
    EXPECT_FALSE(s.IsThreadStarted());       // cleared by the close
    EXPECT_TRUE(g_szSocketError.IsEmpty());  // an orderly close records nothing
}

TEST_F(SocketBlockingTest, PeerClosingRightAfterThreeMegabytesLosesNothing) {
    CRecordingSocket s(TRUE, 4096);  // small reads: many OnReceive per close
    const int fd = AcceptInto(s);
    const std::string payload = test::Pattern(3 * 1024 * 1024);
    std::thread sender([fd, &payload] {
        test::SendAllPosix(fd, payload);
        ::close(fd);
    });
    std::this_thread::sleep_for(100ms);  // let the data and the close pile up
    s.StartThread();
    ASSERT_TRUE(s.WaitEnded(30s));
    sender.join();
    EXPECT_EQ(payload.size(), s.Data().size());
    EXPECT_TRUE(payload == s.Data());
    EXPECT_EQ("close:0", s.Calls().back());
}

// Short exchanges keep the small receives; a stream that fills them in a row gets larger
// ones, and loses nothing on the way.
TEST_F(SocketBlockingTest, ABulkStreamGrowsTheReceivesAndShortExchangesDoNot) {
    CRecordingSocket s(TRUE, 4096, 65536);
    const int fd = AcceptInto(s);
    s.StartThread();
    std::string strSent;
    for (std::size_t i = 0; i < 2 * CSocketTelnet::kFullBeforeGrowing; ++i) {
        const std::string piece = test::Pattern(1000 + 3000 * (i % 2));
        ASSERT_TRUE(test::SendAllPosix(fd, piece));
        strSent += piece;
        for (int nWait = 0; nWait < 1000 && s.Data().size() < strSent.size(); ++nWait) {
            std::this_thread::sleep_for(5ms);
        }
        ASSERT_EQ(strSent.size(), s.Data().size());
    }
    EXPECT_LE(s.Largest(), 4095);
    const std::string bulk = test::Pattern(4 << 20);
    std::thread sender([fd, &bulk] {
        test::SendAllPosix(fd, bulk);
        ::close(fd);
    });
    ASSERT_TRUE(s.WaitEnded(30s));
    sender.join();
    EXPECT_TRUE(s.Data() == strSent + bulk);
    EXPECT_GT(s.Largest(), 4095);
    EXPECT_LE(s.Largest(), 65535);
}

TEST_F(SocketBlockingTest, ResetIsRecordedOrRaisedWithTheThreadHandle) {
    {
        CRecordingSocket s(FALSE);
        const int fd = AcceptInto(s);
        test::CloseWithReset(fd);
        s.StartThread();
        ASSERT_TRUE(s.WaitEnded());
        EXPECT_EQ((std::vector<std::string>{"close:10054"}), s.Calls());
        const std::wstring strExpected = win::FormatW(
            L"ERROR: Close socket. The connection was reset by the remote side. thread = 0x%x\n",
            s.ThreadAtClose());
        EXPECT_NE(0u, s.ThreadAtClose());
        EXPECT_EQ(strExpected, g_szSocketError.Get());
    }
    {
        CRecordingSocket s(TRUE);
        const int fd = AcceptInto(s);
        test::CloseWithReset(fd);
        testing::internal::CaptureStdout();
        s.StartThread();
        ASSERT_TRUE(s.WaitEnded());
        const std::string strTrace = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos,
                  strTrace.find("ERROR: Close socket. The connection was reset by the remote "
                                "side. thread = 0x"));
        EXPECT_NE(std::wstring::npos, g_szSocketError.Get().find(L"reset by the remote side"));
    }
}

TEST_F(SocketBlockingTest, SendToAVanishedPeerRaisesWithoutHanging) {
    CSocketBlocking s;
    const int fd = AcceptInto(s);
    test::CloseWithReset(fd);
    const std::string block = test::Pattern(3 * 1024 * 1024);
    auto sent = std::async(std::launch::async, [&] {
        try {
            s.SendAll(block.data(), static_cast<int>(block.size()), 5);
            return std::wstring(L"no failure");
        } catch (CException* e) {
            return TakeText(e);
        }
    });
    ASSERT_EQ(std::future_status::ready, sent.wait_for(15s));
    const std::wstring strText = sent.get();
    EXPECT_EQ(0u, strText.find(L"SOCKET ERROR: CSocketBlocking::Send(...). error = 1005"))
        << win::WideToAnsi(strText);
    s.Close();
}

TEST_F(SocketBlockingTest, ReceiveEndsOnAFailureThatPersists) {
    CSocketBlocking s;
    const int fd = AcceptInto(s);
    test::CloseWithReset(fd);
    std::this_thread::sleep_for(20ms);
    auto received = std::async(std::launch::async, [&] {
        char buf[64];
        try {
            return std::to_wstring(s.Receive(buf, sizeof(buf), 1, 0));
        } catch (CException* e) {
            return TakeText(e);
        }
    });
    ASSERT_EQ(std::future_status::ready, received.wait_for(10s));
    EXPECT_EQ(0u,
              received.get().find(L"SOCKET ERROR: CSocketBlocking::Receive(...). error = 10054. "));
    s.Close();
}

TEST_F(SocketBlockingTest, ConnectByHostText) {
    test::CPosixListener server;
    CSocketBlocking s;
    s.Create();
    EXPECT_EQ(0, s.Connect(L"127.0.0.1", server.Port(), TRUE));
    const int fd = server.Accept();
    ASSERT_GE(fd, 0);
    std::wstring strAddr;
    int nPort = 0;
    ASSERT_TRUE(s.GetPeerAddrText(&strAddr, &nPort));
    EXPECT_EQ(L"127.0.0.1", strAddr);
    EXPECT_EQ(server.Port(), nPort);
    s.Close();
    ::close(fd);

    // An unknown name: the code is returned and the text names host and port.
    s.Create();
    EXPECT_EQ(WSAHOST_NOT_FOUND, s.Connect(L"no-such-host.invalid", 1, FALSE));
    EXPECT_EQ(
        0u, g_szSocketError.Get().find(L"SOCKET ERROR: CSocketBlocking::Connect(lpszHostAddress = "
                                       L"'no-such-host.invalid', nHostPort = 1). error = 11001. "));
    s.Close();
}

TEST_F(SocketBlockingTest, RefusedConnectionClosesTheSocket) {
    std::uint16_t nFreePort = 0;
    {
        test::CPosixListener gone;
        nFreePort = gone.Port();
    }
    CSocketBlocking s;
    s.Create();
    try {
        s.Connect(L"127.0.0.1", nFreePort, TRUE);
        FAIL() << "connected to a closed port";
    } catch (CException* e) {
        const std::wstring strExpected =
            L"SOCKET ERROR: CSocketBlocking::Connect(...). error = 10061. " +
            GetSystemErrorText(10061) + L" Host Address: '127.0.0.1', Host Port = " +
            std::to_wstring(nFreePort);
        EXPECT_EQ(strExpected, TakeText(e));
    }
    EXPECT_EQ(0u, s.GetSocket());

    s.Create();
    EXPECT_EQ(WSAECONNREFUSED, s.Connect(L"127.0.0.1", nFreePort, FALSE));
    EXPECT_EQ(0u, s.GetSocket());
}

TEST_F(SocketBlockingTest, ReceiveErrorTexts) {
    CSocketBlocking s;
    s.CheckReceiveError(0);
    const std::pair<int, std::wstring> cases[] = {
        {WSAENETDOWN,
         L"Socket Receive error: The Windows Sockets implementation detected that the network "
         L"subsystem failed."},
        {WSAECONNRESET, L"Socket Receive error: Unknown error."},
    };
    for (const auto& [nCode, strText] : cases) {
        try {
            s.CheckReceiveError(nCode);
            ADD_FAILURE() << nCode;
        } catch (CException* e) {
            EXPECT_EQ(strText, TakeText(e));
        }
    }
}

TEST_F(SocketBlockingTest, FormattedErrorThatDoesNotFitRaises) {
    // A long format alone is cut to 1,023 units and fits; a long expansion does not.
    const std::wstring strLong(2000, L'x');
    CSocketBlocking::SetErrorFormat(strLong.c_str());
    EXPECT_EQ(strLong.substr(0, 1023), g_szSocketError.Get());
    try {
        CSocketBlocking::SetErrorFormat(L"%s!", strLong);
        FAIL();
    } catch (CException* e) {
        EXPECT_EQ(L"CSocketBlocking::SetError(...) error: StringCchVPrintf(...) failed!",
                  TakeText(e));
    }
    EXPECT_EQ(1023u, g_szSocketError.Get().size());
    CSocketBlocking::SetErrorFormat(L"port %d", 80);
    EXPECT_EQ(L"port 80", g_szSocketError.Get());
}

TEST_F(SocketBlockingTest, StopRacingAnEndingLoopIsHarmless) {
    for (int i = 0; i < 20; ++i) {
        CRecordingSocket s(FALSE);
        const int fd = AcceptInto(s);
        s.StartThread();
        std::thread closer([fd] { ::close(fd); });
        try {
            s.StopThread(5000);
        } catch (CException* e) {
            ADD_FAILURE() << win::WideToAnsi(TakeText(e));
        }
        closer.join();
        ASSERT_TRUE(s.WaitEnded());
        EXPECT_EQ(0u, s.GetSocket());
    }
}

TEST_F(SocketBlockingTest, LineSocketBlocksAndTraces) {
    CSocketTelnet vessel(FALSE, 512);
    const int fd = AcceptInto(vessel);
    CSocketTelnet s(vessel, TRUE, 1 << 20);  // adopts the accepted socket
    EXPECT_EQ(vessel.GetSocket(), s.GetSocket());

    const char block[] = {'a', 'b', '\0', 'c', 'd'};
    ASSERT_EQ(5, ::send(fd, block, 5, 0));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(L"ab", s.ReceiveString());
    EXPECT_EQ(5, s.GetDataLength());

    ::shutdown(fd, SHUT_WR);
    EXPECT_EQ(0, s.ReceiveData());
    EXPECT_STREQ("", s.GetData());

    char szPath[] = "/tmp/tapvane-debug-XXXXXX";
    const int nTmp = ::mkstemp(szPath);
    ::close(nTmp);
    win::SetDebugOutputTarget(szPath);
    s.TraceW(L"wide\ntext");
    s.TraceA("narrow");
    win::SetDebugOutputTarget("");
    std::ifstream in(szPath, std::ios::binary);
    const std::string strWritten((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ("wide\ntextnarrow", strWritten);
    std::remove(szPath);

    s.Close();
    ::close(fd);
}

}  // namespace
