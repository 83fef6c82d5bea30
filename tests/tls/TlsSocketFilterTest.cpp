// TLS as a filter under a socket handle, against an OpenSSL peer on loopback: one thread
// reads while another writes the same connection, the event model sees decrypted bytes,
// and the ends of a TLS stream (close_notify, a reset, a key update) read as they should.
#include "tls/TlsSocketFilter.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <functional>
#include <thread>

#include "SocketTestSupport.h"
#include "TlsTestSupport.h"
#include "tls/SocketBio.h"

namespace {

using namespace win;

class TlsSocketFilterTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        ::signal(SIGPIPE, SIG_IGN);  // the peer writes with OpenSSL's own socket BIO
        WSADATA data;
        ASSERT_EQ(0, WSAStartup(0x0002, &data));
        m_nLiveBefore = tls::CTlsSocketFilter::LiveCount();
    }
    void TearDown() override {
        if (m_s != INVALID_SOCKET) {
            closesocket(m_s);
        }
        if (m_peerThread.joinable()) {
            m_peerThread.join();
        }
        if (m_peer >= 0) {
            ::close(m_peer);
        }
        // The SSL object goes with the socket.
        EXPECT_EQ(m_nLiveBefore, tls::CTlsSocketFilter::LiveCount());
        WSACleanup();
    }

    // Connects, runs `peer` on the accepted end as a TLS server on a thread of its own,
    // and puts a TLS client filter (protocol version at most GetParam()) under the handle.
    void Connect(std::function<void(test::CTlsPeer&, int)> peer) {
        test::CPosixListener listener;
        m_s = win::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = test::Loopback(listener.Port());
        ASSERT_EQ(0, win::connect(m_s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
        m_peer = listener.Accept();
        ASSERT_GE(m_peer, 0);
        const timeval limit{20, 0};  // a peer whose test failed ends by itself
        ::setsockopt(m_peer, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        ::setsockopt(m_peer, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
        m_peerThread = std::thread([this, peer = std::move(peer)] {
            test::CServerOptions options{Cert().cert.get(), Cert().key.get(), {}};
            auto tlsPeer = test::CTlsPeer::Server(m_peer, options);
            if (tlsPeer->Ok()) {
                peer(*tlsPeer, m_peer);
            }
        });
        m_ctx.reset(SSL_CTX_new(TLS_client_method()));
        SSL_CTX_set_max_proto_version(m_ctx.get(), GetParam());
        tls::SslPtr ssl(SSL_new(m_ctx.get()));
        ASSERT_TRUE(tls::SetSocketBio(ssl.get(), SocketDescriptor(m_s)));
        ASSERT_EQ(1, SSL_connect(ssl.get()));
        ASSERT_EQ(0, AttachSocketFilter(
                         m_s, std::make_unique<tls::CTlsSocketFilter>(std::move(ssl), nullptr)));
        EXPECT_EQ(m_nLiveBefore + 1, tls::CTlsSocketFilter::LiveCount());
    }

    // Receives through the event model until `n` bytes came or the stream ended; the
    // error code of FD_CLOSE in *pnCloseError (-1: no close seen).
    std::string ReceiveByEvents(std::size_t n, int* pnCloseError) {
        const WSAEVENT ev = WSACreateEvent();
        EXPECT_EQ(0, WSAEventSelect(m_s, ev, FD_READ | FD_CLOSE));
        std::string data;
        *pnCloseError = -1;
        std::vector<char> buffer(65536);
        while (data.size() < n && *pnCloseError < 0) {
            if (WSAWaitForMultipleEvents(1, &ev, FALSE, 10000, FALSE) != WSA_WAIT_EVENT_0) {
                break;  // stalled: the test sees the bytes missing
            }
            WSANETWORKEVENTS events{};
            EXPECT_EQ(0, WSAEnumNetworkEvents(m_s, ev, &events));
            if (events.lNetworkEvents & FD_READ) {
                const int r = win::recv(m_s, buffer.data(), static_cast<int>(buffer.size()), 0);
                if (r > 0) {
                    data.append(buffer.data(), static_cast<std::size_t>(r));
                }
            }
            if (events.lNetworkEvents & FD_CLOSE) {
                *pnCloseError = events.iErrorCode[FD_CLOSE_BIT];
            }
        }
        WSAEventSelect(m_s, ev, 0);
        WSACloseEvent(ev);
        return data;
    }

    static const test::CKeyAndCert& Cert() {
        static const test::CKeyAndCert s_cert =
            test::MakeCert("localhost", nullptr, false, "DNS:localhost");
        return s_cert;
    }

    SOCKET m_s = INVALID_SOCKET;
    int m_peer = -1;
    std::thread m_peerThread;
    tls::SslCtxPtr m_ctx;
    int m_nLiveBefore = 0;
};

// Echoes until the client's close_notify, then sends its own.
void Echo(test::CTlsPeer& peer, int /*fd*/) {
    char buffer[16384];
    for (;;) {
        const int n = SSL_read(peer.Ssl(), buffer, sizeof(buffer));
        if (n <= 0 || !peer.Write(std::string(buffer, static_cast<std::size_t>(n)))) {
            break;
        }
    }
    SSL_shutdown(peer.Ssl());
}

TEST_P(TlsSocketFilterTest, OneThreadWritesWhileAnotherReadsFourMebibytes) {
    Connect(&Echo);
    const std::string data = test::Pattern(4 << 20);
    std::thread writer([&] {
        std::size_t nDone = 0;
        while (nDone < data.size()) {
            const int n =
                win::send(m_s, data.data() + nDone,
                          static_cast<int>(std::min<std::size_t>(data.size() - nDone, 65536)), 0);
            if (n > 0) {
                nDone += static_cast<std::size_t>(n);
            } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
                const timeval wait{1, 0};
                win::select(m_s, SelectFor::Write, &wait);
            } else {
                break;
            }
        }
        // close_notify and FIN: the echo ends and answers with its own close_notify.
        EXPECT_EQ(0, win::shutdown(m_s, SD_SEND));
    });
    int nCloseError = -1;
    const std::string echoed = ReceiveByEvents(data.size() + 1, &nCloseError);
    writer.join();
    EXPECT_EQ(data.size(), echoed.size());
    EXPECT_TRUE(echoed == data);
    EXPECT_EQ(0, nCloseError);  // the peer's close_notify, an orderly end
    char c = 0;
    EXPECT_EQ(0, win::recv(m_s, &c, 1, 0));
}

TEST_P(TlsSocketFilterTest, CloseNotifyWithoutFinEndsTheStreamAndTheOtherWayGoesOn) {
    std::string fromClient;
    Connect([&fromClient](test::CTlsPeer& peer, int) {
        peer.Write("bye");
        SSL_shutdown(peer.Ssl());         // the TCP connection stays open
        fromClient = peer.Read(1 << 20);  // what the client still says, until its end
    });
    int nCloseError = -1;
    EXPECT_EQ("bye", ReceiveByEvents(1 << 20, &nCloseError));
    EXPECT_EQ(0, nCloseError);
    char c = 0;
    EXPECT_EQ(0, win::recv(m_s, &c, 1, 0));
    // The half that is still open carries on, and its end is close_notify as well.
    unsigned long ulOff = 0;
    ASSERT_EQ(0, ioctlsocket(m_s, FIONBIO_, &ulOff));
    ASSERT_EQ(5, win::send(m_s, "after", 5, 0));
    ASSERT_EQ(0, win::shutdown(m_s, SD_SEND));
    m_peerThread.join();
    EXPECT_EQ("after", fromClient);
}

TEST_P(TlsSocketFilterTest, ResetUnderTlsReadsAsReset) {
    Connect([](test::CTlsPeer& peer, int fd) {
        peer.Write("partial");
        // A reset while the descriptor stays open (the fixture closes it): disconnecting a
        // socket that lingers for no time resets the connection.
        const linger lg{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
        sockaddr unspec{};
        unspec.sa_family = AF_UNSPEC;
        ::connect(fd, &unspec, sizeof(unspec));
    });
    int nCloseError = -1;
    const std::string data = ReceiveByEvents(1 << 20, &nCloseError);
    EXPECT_TRUE(data.empty() || data == "partial") << data;
    EXPECT_EQ(WSAECONNRESET, nCloseError);
}

// Key updates are TLS 1.3's.
class TlsKeyUpdateTest : public TlsSocketFilterTest {};

TEST_P(TlsKeyUpdateTest, KeyUpdateAskedByThePeerIsAnsweredByTheReadingSide) {
    std::string fromClient;
    Connect([&fromClient](test::CTlsPeer& peer, int) {
        SSL_key_update(peer.Ssl(), SSL_KEY_UPDATE_REQUESTED);
        peer.Write("one");
        fromClient = peer.Read(3);
        peer.Write("two");
        peer.Read(1);  // until the client's end
    });
    unsigned long ulOff = 0;
    ASSERT_EQ(0, ioctlsocket(m_s, FIONBIO_, &ulOff));
    char buffer[16];
    ASSERT_EQ(3, win::recv(m_s, buffer, sizeof(buffer), 0));
    EXPECT_EQ("one", std::string(buffer, 3));
    ASSERT_EQ(3, win::send(m_s, "ack", 3, 0));
    ASSERT_EQ(3, win::recv(m_s, buffer, sizeof(buffer), 0));
    EXPECT_EQ("two", std::string(buffer, 3));
    ASSERT_EQ(0, win::shutdown(m_s, SD_SEND));
    m_peerThread.join();
    EXPECT_EQ("ack", fromClient);
}

INSTANTIATE_TEST_SUITE_P(Tls13, TlsKeyUpdateTest, ::testing::Values(TLS1_3_VERSION));
INSTANTIATE_TEST_SUITE_P(Versions, TlsSocketFilterTest,
                         ::testing::Values(TLS1_2_VERSION, TLS1_3_VERSION), [](const auto& info) {
                             return info.param == TLS1_3_VERSION ? "Tls13" : "Tls12";
                         });

}  // namespace
