// How TLS sessions end through the relay when both sides speak TLS: a half close that lets
// the other direction finish, and network conditions that cut a TLS session.
#include <gtest/gtest.h>

#include "TlsRelayFixture.h"
#include "capture/NetConditionsParser.h"

namespace {

using test::CTestPki;
using test::CTlsPeer;

class TlsSessionEndsTest : public test::TlsRelayFixture {
protected:
    void TearDown() override {
        SetActiveNetConditions(CNetConditions());
        TlsRelayFixture::TearDown();
    }

    static test::CServerOptions GoodServer() {
        return {CTestPki::Instance().good.cert.get(), CTestPki::Instance().good.key.get(), {}};
    }

    // Reads until the stream ends; the SSL error that ended it in *pnError.
    static std::string ReadToEnd(CTlsPeer& peer, int* pnError) {
        std::string data;
        char buffer[16384];
        int n = 0;
        while ((n = SSL_read(peer.Ssl(), buffer, sizeof(buffer))) > 0) {
            data.append(buffer, static_cast<std::size_t>(n));
        }
        *pnError = SSL_get_error(peer.Ssl(), n);
        ERR_clear_error();
        return data;
    }
};

TEST_F(TlsSessionEndsTest, AHalfCloseLetsTheServerAnswerAfterTheClientsEnd) {
    const std::string answer = test::Pattern(300000);
    std::atomic<bool> bServerSawEnd{false};
    test::CTestServer server([&](int fd) {
        auto peer = CTlsPeer::Server(fd, GoodServer());
        int nError = 0;
        // The whole request, then the client's close_notify: only then the answer.
        if (peer->Ok() && ReadToEnd(*peer, &nError) == "request" &&
            nError == SSL_ERROR_ZERO_RETURN) {
            bServerSawEnd = true;
            peer->Write(answer);
        }
        SSL_shutdown(peer->Ssl());
    });
    const std::uint16_t nLocal = StartListening(server.Port(), L"https://localhost");
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_GE(fd, 0);
    auto client = CTlsPeer::Client(fd, CaPem(), "localhost", {});
    ASSERT_TRUE(client->Ok());
    // A FIN without close_notify would now read as a failure, not as the end.
    SSL_clear_options(client->Ssl(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    ASSERT_TRUE(client->Write("request"));
    ASSERT_EQ(0, SSL_shutdown(client->Ssl()));  // close_notify: this direction has ended
    ::shutdown(fd, SHUT_WR);
    int nError = 0;
    EXPECT_TRUE(ReadToEnd(*client, &nError) == answer);
    EXPECT_EQ(SSL_ERROR_ZERO_RETURN, nError);  // the server's close_notify, passed on
    EXPECT_TRUE(bServerSawEnd);
    ::close(fd);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 0 stopped."));
}

TEST_F(TlsSessionEndsTest, ACutAfterSomeBytesEndsTheTlsStreamInOrderThere) {
    const std::string data = test::Pattern(200000);
    test::CTestServer server([&](int fd) {
        auto peer = CTlsPeer::Server(fd, GoodServer());
        if (peer->Ok()) {
            peer->Write(data);
            int nError = 0;
            ReadToEnd(*peer, &nError);
        }
    });
    CNetConditions conditions;
    std::string strError;
    ASSERT_TRUE(ApplyNetConditionOption("cut-after", "down:65536", conditions, &strError))
        << strError;
    SetActiveNetConditions(conditions);
    const std::uint16_t nLocal = StartListening(server.Port(), L"https://localhost");
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_GE(fd, 0);
    auto client = CTlsPeer::Client(fd, CaPem(), "localhost", {});
    ASSERT_TRUE(client->Ok());
    // A FIN without close_notify would now read as a failure, not as the end.
    SSL_clear_options(client->Ssl(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    int nError = 0;
    const std::string got = ReadToEnd(*client, &nError);
    // Exactly the clear bytes up to the cut, then close_notify: an orderly end.
    EXPECT_EQ(65536u, got.size());
    EXPECT_TRUE(got == data.substr(0, 65536));
    EXPECT_EQ(SSL_ERROR_ZERO_RETURN, nError);
    ::close(fd);
    EXPECT_TRUE(WaitForLogPart(L"Session 0: cut after 65536 bytes: close (server to client)"));
}

}  // namespace
