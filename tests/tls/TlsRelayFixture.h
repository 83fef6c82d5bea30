// The relay end to end with TLS on either side: a test PKI made at start (a root that
// SSL_CERT_FILE makes the only trusted one, and server certificates good and bad), TLS echo
// servers and TLS clients, and the TLS settings of the process set per test.
#pragma once

#include <fstream>

#include "TlsTestSupport.h"
#include "capture/RelayFixture.h"
#include "capture/SessionTls.h"
#include "tls/CertAuthority.h"
#include "tls/TlsSocketFilter.h"

namespace test {

struct CTestPki {
    CKeyAndCert root = MakeCert("Tapvane Test Root", nullptr, true, "", -1, 30);
    CKeyAndCert good = MakeCert("localhost", &root, false, "DNS:localhost,IP:127.0.0.1");
    CKeyAndCert api = MakeCert("api.example.org", &root, false, "DNS:api.example.org");
    CKeyAndCert expired = MakeCert("localhost", &root, false, "DNS:localhost", -30, -2);
    CKeyAndCert selfSigned = MakeCert("localhost", nullptr, false, "DNS:localhost");
    CKeyAndCert otherHost = MakeCert("other.example", &root, false, "DNS:other.example");

    static CTestPki& Instance() {
        static CTestPki s_pki;
        return s_pki;
    }
};

class TlsRelayFixture : public RelayFixture {
protected:
    void SetUp() override {
        // The test's own TLS peers write with OpenSSL, which raises SIGPIPE on a reset.
        ::signal(SIGPIPE, SIG_IGN);
        m_tlsTemp.WriteFile("root.pem", CertPem(CTestPki::Instance().root.cert.get()));
        ::setenv("SSL_CERT_FILE", m_tlsTemp.Path("root.pem").c_str(), 1);
        ::setenv("SSL_CERT_DIR", m_tlsTemp.Path("no-such-dir").c_str(), 1);
        m_config.strCaFolder = m_tlsTemp.Path("ca");
        ApplyConfig();
        RelayFixture::SetUp();
    }
    void TearDown() override {
        RelayFixture::TearDown();
        // Every TLS side (its SSL object) goes with its session's socket.
        EXPECT_TRUE(WaitUntil([] { return tls::CTlsSocketFilter::LiveCount() == 0; },
                              std::chrono::seconds(15)))
            << tls::CTlsSocketFilter::LiveCount();
        SetTlsConfigOverride(std::nullopt);
    }
    void ApplyConfig() { SetTlsConfigOverride(m_config); }

    std::string CaPem() { return CurrentTlsEngine()->Authority()->Pem(); }

    // Whether a log row contains `part`.
    bool LogHas(const std::wstring& part) {
        for (const CLogRow& row : m_log.Rows()) {
            if (row.text.find(part) != std::wstring::npos) {
                return true;
            }
        }
        return false;
    }
    bool WaitForLogPart(const std::wstring& part) {
        return WaitUntil([&] { return LogHas(part); }, std::chrono::seconds(10));
    }
    // Whether some session's TLS summary is `strSummary`.
    static bool SummaryShown(const std::string& strSummary) {
        for (std::uint64_t n = 1; n < 200000; ++n) {
            if (SessionTlsSummary(n) == strSummary) {
                return true;
            }
        }
        return false;
    }

    CTempFolder m_tlsTemp;
    tls::CTlsConfig m_config;
};

// A TLS server that echoes until its client ends the stream.
inline std::function<void(int)> TlsEcho(const CKeyAndCert& cert,
                                        std::vector<std::string> alpn = {}) {
    return [&cert, alpn](int fd) {
        CServerOptions options{cert.cert.get(), cert.key.get(), alpn};
        auto peer = CTlsPeer::Server(fd, options);
        if (!peer->Ok()) {
            return;
        }
        char buffer[16384];
        for (;;) {
            const int n = SSL_read(peer->Ssl(), buffer, sizeof(buffer));
            if (n <= 0 || !peer->Write(std::string(buffer, static_cast<std::size_t>(n)))) {
                break;
            }
        }
        SSL_shutdown(peer->Ssl());
    };
}

}  // namespace test
