// Real handshakes through the relay on loopback: plain and TLS clients, TLS and plain
// servers, what the log says of them, and the refusals with their reasons.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "TlsRelayFixture.h"

namespace {

using namespace std::chrono_literals;
using test::CTestPki;
using test::CTlsPeer;

class TlsRelayTest : public test::TlsRelayFixture {};

TEST_F(TlsRelayTest, PlainClientTalksToATlsServerInClearText) {
    test::CTestServer server(test::TlsEcho(CTestPki::Instance().good));
    const std::uint16_t nLocal = StartListening(server.Port(), L"https://localhost");
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(test::SendAllPosix(fd, "hello over tls"));
    EXPECT_EQ("hello over tls", test::ReceiveExactlyPosix(fd, 14));
    ::close(fd);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 0 stopped."));
    EXPECT_TRUE(LogHas(L"Session 0: TLS to the server: TLSv1.3"));
    EXPECT_TRUE(
        LogHas(L"SNI localhost, no ALPN, certificate CN=localhost issued by CN=Tapvane "
               L"Test Root"));
    EXPECT_TRUE(LogHas(L", verified"));
    // The log shows the clear text, under the usual markers.
    EXPECT_TRUE(m_log.Contains(L"\r\n0---<---"));
    EXPECT_TRUE(m_log.Contains(L"hello over tls"));
    EXPECT_TRUE(SummaryShown("TLS 1.3"));

    // The next connection to the server resumes the verified session.
    const int fdNext = test::ConnectPosix(nLocal);
    ASSERT_TRUE(test::SendAllPosix(fdNext, "again"));
    EXPECT_EQ("again", test::ReceiveExactlyPosix(fdNext, 5));
    ::close(fdNext);
    EXPECT_TRUE(WaitForLogPart(L", verified (session resumed)"));
}

class TlsVersionTest : public test::TlsRelayFixture, public ::testing::WithParamInterface<int> {};

TEST_P(TlsVersionTest, TlsClientToTlsServerCarriesFourMebibytesEachWayByteExact) {
    const std::size_t kSize = 4u << 20;
    const std::string up = test::Pattern(kSize);
    std::string down = test::Pattern(kSize + 7).substr(7);
    std::atomic<bool> bServerGotAll{false};
    test::CTestServer server([&](int fd) {
        test::CServerOptions options{
            CTestPki::Instance().good.cert.get(), CTestPki::Instance().good.key.get(), {}};
        auto peer = CTlsPeer::Server(fd, options);
        if (peer->Ok() && peer->Read(kSize) == up) {
            bServerGotAll = true;
            peer->Write(down);
        }
        SSL_shutdown(peer->Ssl());
    });
    const std::uint16_t nLocal = StartListening(server.Port(), L"https://localhost");
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_GE(fd, 0);
    auto client = CTlsPeer::Client(fd, CaPem(), "localhost", {}, GetParam());
    ASSERT_TRUE(client->Ok());
    ASSERT_TRUE(client->Write(up));
    EXPECT_TRUE(client->Read(kSize) == down);
    EXPECT_TRUE(bServerGotAll);
    SSL_shutdown(client->Ssl());
    ::close(fd);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 0 stopped."));
    const std::wstring strVersion = GetParam() == TLS1_2_VERSION ? L"TLSv1.2" : L"TLSv1.3";
    EXPECT_TRUE(LogHas(L"Session 0: TLS from the client: " + strVersion)) << strVersion;
    EXPECT_TRUE(LogHas(L"Session 0: TLS to the server: "));
}

INSTANTIATE_TEST_SUITE_P(Versions, TlsVersionTest,
                         ::testing::Values(TLS1_2_VERSION, TLS1_3_VERSION));

TEST_F(TlsRelayTest, TlsClientToAPlainServerGetsACertificateForTheNameItAskedFor) {
    test::CTestServer server([](int fd) { test::EchoPosix(fd, 5000); });
    const std::uint16_t nLocal = StartListening(server.Port(), L"127.0.0.1");
    const std::string strCa = CaPem();
    {
        const int fd = test::ConnectPosix(nLocal);
        auto client = CTlsPeer::Client(fd, strCa, "api.example.org", {"http/1.1"});
        ASSERT_TRUE(client->Ok());
        EXPECT_EQ("CN=api.example.org DNS:api.example.org", client->PeerNames());
        EXPECT_EQ("http/1.1", client->Alpn());
        ASSERT_TRUE(client->Write("ping"));
        EXPECT_EQ("ping", client->Read(4));
        ::close(fd);
    }
    {
        // No SNI, an address in the URL: the address the client connected to.
        const int fd = test::ConnectPosix(nLocal);
        auto client = CTlsPeer::Client(fd, strCa, "", {});
        ASSERT_TRUE(client->Ok());
        EXPECT_EQ("CN=127.0.0.1 IP", client->PeerNames());
        EXPECT_EQ("", client->Alpn());
        ::close(fd);
    }
    EXPECT_TRUE(WaitForLogPart(L"TLS from the client: TLSv1.3, "));
    EXPECT_TRUE(WaitForLogPart(L"SNI api.example.org, ALPN http/1.1"));
    EXPECT_TRUE(WaitForLogPart(L"no SNI, no ALPN"));
}

TEST_F(TlsRelayTest, WithoutSniTheCertificateNamesTheUrlsHost) {
    test::CTestServer server([](int fd) { test::EchoPosix(fd, 5000); });
    const std::uint16_t nLocal = StartListening(server.Port(), L"localhost");
    const int fd = test::ConnectPosix(nLocal);
    auto client = CTlsPeer::Client(fd, CaPem(), "", {});
    ASSERT_TRUE(client->Ok());
    EXPECT_EQ("CN=localhost DNS:localhost", client->PeerNames());
    ::close(fd);
}

TEST_F(TlsRelayTest, TheServerIsOfferedOnlyReadableProtocolsAndTheClientGetsItsChoice) {
    test::CTestServer server(test::TlsEcho(CTestPki::Instance().good, {"h2", "http/1.1"}));
    const std::uint16_t nLocal = StartListening(server.Port(), L"https://localhost");
    const int fd = test::ConnectPosix(nLocal);
    auto client = CTlsPeer::Client(fd, CaPem(), "localhost", {"h2", "http/1.1"});
    ASSERT_TRUE(client->Ok());
    EXPECT_EQ("http/1.1", client->Alpn());
    ASSERT_TRUE(client->Write("GET / HTTP/1.1\r\n\r\n"));
    EXPECT_EQ("GET / HTTP/1.1\r\n\r\n", client->Read(18));
    ::close(fd);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 0 stopped."));
    EXPECT_TRUE(LogHas(L"ALPN http/1.1, certificate CN=localhost"));
    EXPECT_TRUE(
        LogHas(L"ALPN http/1.1 (offered: h2, http/1.1; HTTP/2 and HTTP/3 are not "
               L"offered to the server"));
    EXPECT_TRUE(SummaryShown("TLS 1.3 h1"));
}

TEST_F(TlsRelayTest, PlainClientInHttpModeOffersHttp11) {
    CRegKeyTalvex().SetReplaceHostHeader(true);
    test::CTestServer server(test::TlsEcho(CTestPki::Instance().good, {"h2", "http/1.1"}));
    const std::uint16_t nLocal = StartListening(server.Port(), L"https://localhost");
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_TRUE(test::SendAllPosix(fd, "GET / HTTP/1.1\r\nHost: localhost:1\r\n\r\n"));
    // The Host line names the server, as the SNI does, with its port (not https's 443).
    const std::string strExpected =
        "GET / HTTP/1.1\r\nHost: localhost:" + std::to_string(server.Port()) + "\r\n\r\n";
    EXPECT_EQ(strExpected, test::ReceiveExactlyPosix(fd, strExpected.size()));
    ::close(fd);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 0 stopped."));
    EXPECT_TRUE(LogHas(L"SNI localhost, ALPN http/1.1"));
}

struct CBadCert {
    const test::CKeyAndCert* pCert;
    std::wstring strReason;
};

TEST_F(TlsRelayTest, BadServerCertificatesEndTheSessionWithTheirReasonUnlessAccepted) {
    CTestPki& pki = CTestPki::Instance();
    const std::vector<CBadCert> cases = {
        {&pki.expired, L"The server's certificate expired on "},
        {&pki.selfSigned,
         L"The server's certificate is not trusted: self-signed certificate (CN=localhost)"},
        {&pki.otherHost, L"The server's certificate is for other.example, not localhost"},
    };
    for (const CBadCert& bad : cases) {
        test::CTestServer server(test::TlsEcho(*bad.pCert));
        const std::uint16_t nLocal = StartListening(server.Port(), L"https://localhost");
        const int fd = test::ConnectPosix(nLocal);
        test::SendAllPosix(fd, "never passes");
        EXPECT_EQ("", test::ReceiveAllPosix(fd));  // closed at once, nothing relayed
        ::close(fd);
        EXPECT_TRUE(WaitForLogPart(bad.strReason)) << bad.strReason;
        EXPECT_FALSE(m_log.Contains(L"never passes"));
        ToggleListening(false);
    }
    EXPECT_TRUE(SummaryShown("failed: server certificate"));

    // A TLS client is told by an alert.
    {
        test::CTestServer server(test::TlsEcho(pki.expired));
        const std::uint16_t nLocal = StartListening(server.Port(), L"https://localhost");
        const int fd = test::ConnectPosix(nLocal);
        auto client = CTlsPeer::Client(fd, CaPem(), "localhost", {});
        EXPECT_FALSE(client->Ok());
        const unsigned long nError = ERR_peek_last_error();
        EXPECT_EQ(SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE, ERR_GET_REASON(nError));
        ERR_clear_error();
        ::close(fd);
        ToggleListening(false);
    }

    m_config.bAcceptAnyServerCert = true;
    ApplyConfig();
    for (const CBadCert& bad : cases) {
        test::CTestServer server(test::TlsEcho(*bad.pCert));
        const std::uint16_t nLocal = StartListening(server.Port(), L"https://localhost");
        const int fd = test::ConnectPosix(nLocal);
        ASSERT_TRUE(test::SendAllPosix(fd, "let through"));
        EXPECT_EQ("let through", test::ReceiveExactlyPosix(fd, 11));
        ::close(fd);
        ToggleListening(false);
    }
    EXPECT_TRUE(WaitForLogPart(L"NOT verified: The server's certificate expired on"));
    EXPECT_TRUE(
        WaitForLogPart(L"Warning: the server's certificate was accepted although it does "
                       L"not verify"));
}

TEST_F(TlsRelayTest, AClientThatDoesNotTrustTheAuthoritySaysSoInOneLine) {
    test::CTestServer server([](int fd) { test::EchoPosix(fd, 5000); });
    const std::uint16_t nLocal = StartListening(server.Port(), L"127.0.0.1");
    const int fd = test::ConnectPosix(nLocal);
    auto client = CTlsPeer::Client(fd, "", "api.example.org", {});
    EXPECT_FALSE(client->Ok());
    ERR_clear_error();
    ::close(fd);
    EXPECT_TRUE(
        WaitForLog(L"\r\nSession 0: The client refused Tapvane's certificate: unknown CA. "
                   L"Trust the certificate authority, or switch off decryption for this "
                   L"client"));
    EXPECT_TRUE(SummaryShown("failed: unknown CA"));
}

TEST_F(TlsRelayTest, AClientThatPinsTheServersKeySaysSoInOneLine) {
    // The client trusts Tapvane's authority, so only the pin refuses the certificate.
    const test::CKeyAndCert& serverCert = CTestPki::Instance().good;
    test::CTestServer server([](int fd) { test::EchoPosix(fd, 5000); });
    const std::uint16_t nLocal = StartListening(server.Port(), L"127.0.0.1");
    const int fd = test::ConnectPosix(nLocal);
    auto client = CTlsPeer::PinningClient(fd, CaPem(), "localhost", serverCert.key.get());
    EXPECT_FALSE(client->Ok());
    ERR_clear_error();
    ::close(fd);
    EXPECT_TRUE(
        WaitForLog(L"\r\nSession 0: The client refused Tapvane's certificate: handshake "
                   L"failure. Trust the certificate authority, or switch off decryption for "
                   L"this client"));
    EXPECT_TRUE(SummaryShown("failed: handshake failure"));

    // The same client with the pin of Tapvane's leaf (taken from a first handshake) goes
    // through, so the refusal above was the pin's and nothing else's.
    const int fdFirst = test::ConnectPosix(nLocal);
    auto first = CTlsPeer::Client(fdFirst, CaPem(), "localhost", {});
    ASSERT_TRUE(first->Ok());
    tls::KeyPtr leafKey(X509_get_pubkey(SSL_get0_peer_certificate(first->Ssl())));
    ::close(fdFirst);
    const int fdPinned = test::ConnectPosix(nLocal);
    auto pinned = CTlsPeer::PinningClient(fdPinned, CaPem(), "localhost", leafKey.get());
    EXPECT_TRUE(pinned->Ok());
    EXPECT_TRUE(pinned->Write("pinned"));
    EXPECT_EQ("pinned", pinned->Read(6));
    ::close(fdPinned);
}

TEST_F(TlsRelayTest, AClientHelloSentOneByteAtATimeIsStillAnswered) {
    test::CTestServer server([](int fd) { test::EchoPosix(fd, 5000); });
    const std::uint16_t nLocal = StartListening(server.Port(), L"127.0.0.1");
    const int fd = test::ConnectPosix(nLocal);
    const int nOn = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof(nOn));
    auto client = CTlsPeer::MemoryClient(CaPem(), "split.example", {});
    bool bFirstFlight = true;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (SSL_do_handshake(client->Ssl()) != 1 && std::chrono::steady_clock::now() < deadline) {
        char* pData = nullptr;
        const long nOut = BIO_get_mem_data(client->Out(), &pData);
        const std::string out(pData, static_cast<std::size_t>(nOut));
        (void)BIO_reset(client->Out());
        for (std::size_t i = 0; i < out.size(); ++i) {
            ASSERT_TRUE(test::SendAllPosix(fd, out.substr(i, bFirstFlight ? 1 : out.size())));
            if (!bFirstFlight) {
                break;
            }
            std::this_thread::sleep_for(1ms);
        }
        bFirstFlight = bFirstFlight && out.empty();
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 50) > 0) {
            char buffer[16384];
            const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
            ASSERT_GT(n, 0);
            BIO_write(client->In(), buffer, static_cast<int>(n));
        }
    }
    EXPECT_EQ("CN=split.example DNS:split.example", client->PeerNames());
    // The client's Finished, still in its memory BIO.
    char* pData = nullptr;
    const long nOut = BIO_get_mem_data(client->Out(), &pData);
    ASSERT_TRUE(test::SendAllPosix(fd, std::string(pData, static_cast<std::size_t>(nOut))));
    ::close(fd);
    EXPECT_TRUE(WaitForLogPart(L"Session 0: TLS from the client: TLSv1.3"));
}

// A ClientHello longer than the first look at the client's bytes takes (16 KiB), so long
// that it spans several records, is still seen whole and answered.
TEST_F(TlsRelayTest, AClientHelloOfSeveralRecordsIsAnswered) {
    test::CTestServer server([](int fd) { test::EchoPosix(fd, 5000); });
    const std::uint16_t nLocal = StartListening(server.Port(), L"127.0.0.1");
    for (const std::size_t nPadding : {16000u, 40000u}) {
        const int fd = test::ConnectPosix(nLocal);
        auto client = CTlsPeer::LongHelloClient(fd, CaPem(), "long.example", nPadding);
        ASSERT_TRUE(client->Ok()) << nPadding;
        EXPECT_EQ("CN=long.example DNS:long.example", client->PeerNames());
        ASSERT_TRUE(client->Write("after a long hello"));
        EXPECT_EQ("after a long hello", client->Read(18));
        ::close(fd);
    }
}

TEST_F(TlsRelayTest, ABinaryStreamThatStartsWith0x16PassesUntouched) {
    test::CTestServer server([](int fd) { test::EchoPosix(fd, 5000); });
    const std::uint16_t nLocal = StartListening(server.Port(), L"127.0.0.1");
    const int fd = test::ConnectPosix(nLocal);
    const std::string data("\x16\x03\x01\x00\x05\x02\x00\x00\x01\xff binary \x00 end", 24);
    ASSERT_TRUE(test::SendAllPosix(fd, data));
    EXPECT_EQ(data, test::ReceiveExactlyPosix(fd, data.size()));
    ::close(fd);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 0 stopped."));
    EXPECT_FALSE(LogHas(L"TLS"));
}

TEST_F(TlsRelayTest, AServerThatSpeaksFirstIsRelayedPlainAtOnce) {
    test::CTestServer server([](int fd) {
        test::SendAllPosix(fd, "220 ready\r\n");
        test::EchoPosix(fd, 5000);
    });
    const std::uint16_t nLocal = StartListening(server.Port(), L"127.0.0.1");
    const int fd = test::ConnectPosix(nLocal);
    EXPECT_EQ("220 ready\r\n", test::ReceiveExactlyPosix(fd, 11));
    // A ClientHello after that is the client's business: relayed as it comes.
    const std::string hello = test::ClientHelloBytes("late.example", {});
    ASSERT_TRUE(test::SendAllPosix(fd, hello));
    EXPECT_EQ(hello, test::ReceiveExactlyPosix(fd, hello.size()));
    ::close(fd);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 0 stopped."));
    EXPECT_FALSE(LogHas(L"TLS"));
}

// Decryption from clients off, a TLS server: a TLS client reaches the server as it is,
// instead of through a second TLS layer.
TEST_F(TlsRelayTest, WithClientDecryptionOffATlsClientIsPassedToATlsServer) {
    m_config.clientTls = tls::ClientTlsMode::Off;
    m_config.serverTls = tls::ServerTlsMode::On;
    ApplyConfig();
    test::CTestServer server(test::TlsEcho(CTestPki::Instance().api));
    const std::uint16_t nLocal = StartListening(server.Port(), L"127.0.0.1");
    const int fd = test::ConnectPosix(nLocal);
    auto client = CTlsPeer::Client(fd, test::CertPem(CTestPki::Instance().root.cert.get()),
                                   "api.example.org", {});
    ASSERT_TRUE(client->Ok());
    ASSERT_TRUE(client->Write("end to end"));
    EXPECT_EQ("end to end", client->Read(10));
    ::close(fd);
    EXPECT_TRUE(WaitForLogPart(L"Session 0: TLS from the client for api.example.org is passed"));
    EXPECT_TRUE(SummaryShown("passthrough"));
}

TEST_F(TlsRelayTest, PassthroughHostsReachTheServerUndecrypted) {
    m_config.passthrough = {"*.EXAMPLE.org"};
    ApplyConfig();
    test::CTestServer server(test::TlsEcho(CTestPki::Instance().api));
    const std::uint16_t nLocal = StartListening(server.Port(), L"127.0.0.1");
    const int fd = test::ConnectPosix(nLocal);
    auto client = CTlsPeer::Client(fd, test::CertPem(CTestPki::Instance().root.cert.get()),
                                   "api.example.org", {});
    ASSERT_TRUE(client->Ok());  // the server's own certificate, from the test root
    ASSERT_TRUE(client->Write("direct"));
    EXPECT_EQ("direct", client->Read(6));
    ::close(fd);
    EXPECT_TRUE(WaitForLogPart(L"Session 0: TLS for api.example.org is passed through"));
    EXPECT_TRUE(SummaryShown("passthrough"));
}

TEST_F(TlsRelayTest, FiftyTlsSessionsAtOnce) {
    test::CTestServer server(test::TlsEcho(CTestPki::Instance().good));
    const std::uint16_t nLocal = StartListening(server.Port(), L"https://localhost");
    const std::string strCa = CaPem();
    std::atomic<int> nGood{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 50; ++i) {
        clients.emplace_back([&, i] {
            const int fd = test::ConnectPosix(nLocal);
            auto client = CTlsPeer::Client(fd, strCa, "localhost", {});
            const std::string data = test::Pattern(32768 + static_cast<std::size_t>(i));
            if (client->Ok() && client->Write(data) && client->Read(data.size()) == data) {
                ++nGood;
            }
            ::close(fd);
        });
    }
    for (std::thread& t : clients) {
        t.join();
    }
    EXPECT_EQ(50, nGood);
}

TEST_F(TlsRelayTest, StoppingWhileHandshakesWaitEndsEverySession) {
    // Three ways to wait: toward a server that never answers TLS; for the rest of a
    // ClientHello; for the client's Finished after the whole ClientHello (toward a plain server).
    std::atomic<bool> bRelease{false};
    const auto silent = [&](int) { test::WaitUntil([&] { return bRelease.load(); }, 20s); };
    test::CTestServer tlsServer(silent);
    test::CTestServer plainServer(silent);
    const std::string hello = test::ClientHelloBytes("stuck.example", {});
    std::vector<int> fds;
    for (int nPhase = 0; nPhase < 2; ++nPhase) {
        const std::uint16_t nLocal = nPhase == 0
                                         ? StartListening(tlsServer.Port(), L"https://localhost")
                                         : StartListening(plainServer.Port(), L"127.0.0.1");
        for (int i = 0; i < 4; ++i) {
            const int fd = test::ConnectPosix(nLocal);
            test::SendAllPosix(fd, i % 2 == 0 ? hello.substr(0, 20) : hello);
            fds.push_back(fd);
        }
        ASSERT_TRUE(test::WaitUntil([] { return g_nClientsCount == 4; }));
        std::this_thread::sleep_for(300ms);
        const auto start = std::chrono::steady_clock::now();
        ToggleListening(false);
        EXPECT_TRUE(test::WaitUntil([] { return g_nClientsCount == 0; }, 5s)) << nPhase;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    }
    for (int fd : fds) {
        EXPECT_EQ(std::string::npos,
                  test::ReceiveExactlyPosix(fd, 1 << 20).find("stuck"));  // nothing relayed
        ::close(fd);
    }
    bRelease = true;
}

TEST_F(TlsRelayTest, AnOrderlyEndAndAResetReachTheOtherTlsPeerAsSuch) {
    // The server ends its stream in order after "bye", or resets after "reset".
    test::CTestServer server([](int fd) {
        test::CServerOptions options{
            CTestPki::Instance().good.cert.get(), CTestPki::Instance().good.key.get(), {}};
        auto peer = CTlsPeer::Server(fd, options);
        const std::string strWord = peer->Ok() ? peer->Read(3) : std::string();
        if (strWord == "bye") {
            peer->Write("ok");
            SSL_shutdown(peer->Ssl());
            test::ReceiveAllPosix(fd);
        } else {
            test::CloseWithReset(::dup(fd));
        }
    });
    const std::uint16_t nLocal = StartListening(server.Port(), L"https://localhost");
    for (const std::string strWord : {"bye", "rst"}) {
        const int fd = test::ConnectPosix(nLocal);
        auto client = CTlsPeer::Client(fd, CaPem(), "localhost", {});
        ASSERT_TRUE(client->Ok());
        ASSERT_TRUE(client->Write(strWord));
        char buffer[16];
        int n = 0;
        std::string strGot;
        while ((n = SSL_read(client->Ssl(), buffer, sizeof(buffer))) > 0) {
            strGot.append(buffer, static_cast<std::size_t>(n));
        }
        const int nError = SSL_get_error(client->Ssl(), n);
        const int nErrno = errno;
        ERR_clear_error();
        if (strWord == "bye") {
            EXPECT_EQ("ok", strGot);
            EXPECT_EQ(SSL_ERROR_ZERO_RETURN, nError);  // close_notify, passed on
        } else {
            EXPECT_EQ("", strGot);
            EXPECT_EQ(SSL_ERROR_SYSCALL, nError);
            EXPECT_EQ(ECONNRESET, nErrno);
        }
        ::close(fd);
    }
}

TEST_F(TlsRelayTest, TheKeyLogHoldsBothSidesSecretsAndIsPrivate) {
    m_config.strKeyLogFile = m_tlsTemp.Path("keys.log");
    ApplyConfig();
    test::CTestServer server(test::TlsEcho(CTestPki::Instance().good));
    const std::uint16_t nLocal = StartListening(server.Port(), L"https://localhost");
    const int fd = test::ConnectPosix(nLocal);
    auto client = CTlsPeer::Client(fd, CaPem(), "localhost", {});
    ASSERT_TRUE(client->Ok());
    ASSERT_TRUE(client->Write("x"));
    EXPECT_EQ("x", client->Read(1));
    ::close(fd);
    std::ifstream file(m_config.strKeyLogFile);
    std::string strLine;
    int nClientSecrets = 0;
    while (std::getline(file, strLine)) {
        nClientSecrets += strLine.starts_with("CLIENT_TRAFFIC_SECRET_0 ") ? 1 : 0;
    }
    EXPECT_EQ(2, nClientSecrets);  // one per side
    struct stat st {};
    ASSERT_EQ(0, ::stat(m_config.strKeyLogFile.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    EXPECT_FALSE(LogHas(L"TRAFFIC_SECRET"));
}

}  // namespace
