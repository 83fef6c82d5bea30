// The TLS settings as the sessions read them, the command line's TLS options, and
// tapvane-cli with TLS toward a server: clear text in the log and the capture, private files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "ProcessSupport.h"
#include "TempFolder.h"
#include "TlsRelayFixture.h"
#include "app/CliOptions.h"
#include "tls/TlsConfig.h"

namespace {

using namespace std::chrono_literals;

TEST(TlsConfigTest, AutoMeansAnHttpsUrlInAnyCase) {
    using tls::ServerTlsMode;
    EXPECT_TRUE(tls::ServerUsesTls(ServerTlsMode::Auto, "https://api.example.org"));
    EXPECT_TRUE(tls::ServerUsesTls(ServerTlsMode::Auto, "HTTPS://api.example.org"));
    EXPECT_TRUE(tls::ServerUsesTls(ServerTlsMode::Auto, "  HttpS://x"));
    EXPECT_FALSE(tls::ServerUsesTls(ServerTlsMode::Auto, "http://api.example.org"));
    EXPECT_FALSE(tls::ServerUsesTls(ServerTlsMode::Auto, "api.example.org"));
    EXPECT_FALSE(tls::ServerUsesTls(ServerTlsMode::Auto, "https:/"));
    EXPECT_TRUE(tls::ServerUsesTls(ServerTlsMode::On, "api.example.org"));
    EXPECT_FALSE(tls::ServerUsesTls(ServerTlsMode::Off, "https://api.example.org"));
}

TEST(TlsConfigTest, UrlHostDropsSchemeUserPortAndPath) {
    EXPECT_EQ("api.example.org", tls::UrlHost("https://api.example.org"));
    EXPECT_EQ("api.example.org", tls::UrlHost("https://user@api.example.org:8443/x?y"));
    EXPECT_EQ("::1", tls::UrlHost("https://[::1]:8443/x"));
    EXPECT_EQ("::1", tls::UrlHost("::1"));
    EXPECT_EQ("10.0.0.1", tls::UrlHost("10.0.0.1:443"));
    EXPECT_TRUE(tls::IsIpLiteral("::1"));
    EXPECT_TRUE(tls::IsIpLiteral("10.0.0.1"));
    EXPECT_FALSE(tls::IsIpLiteral("10.0.0.1.example"));
}

TEST(TlsConfigTest, PassthroughPatternsMatchWholeNamesInAnyCase) {
    const std::vector<std::string> patterns =
        tls::SplitPatterns("  *.bank.example \r\n\n pin?.example\n");
    ASSERT_EQ((std::vector<std::string>{"*.bank.example", "pin?.example"}), patterns);
    EXPECT_TRUE(tls::IsPassthroughHost(patterns, "www.BANK.example"));
    EXPECT_TRUE(tls::IsPassthroughHost(patterns, "pin1.example"));
    EXPECT_FALSE(tls::IsPassthroughHost(patterns, "bank.example.evil"));
    EXPECT_FALSE(tls::IsPassthroughHost(patterns, "pin12.example"));
    EXPECT_FALSE(tls::IsPassthroughHost({}, "anything"));
}

TEST(TlsConfigTest, CommandLineTakesTheTlsOptions) {
    const char* args[] = {"tapvane-cli",
                          "--server-tls",
                          "on",
                          "--client-tls",
                          "off",
                          "--insecure",
                          "--tls-passthrough",
                          "*.a",
                          "--tls-passthrough",
                          "b",
                          "--keylog",
                          "/tmp/k",
                          "--export-ca",
                          "/tmp/ca.pem"};
    CCliOptions options;
    std::string strError;
    ASSERT_TRUE(ParseCliOptions(std::size(args), args, options, strError)) << strError;
    EXPECT_EQ(tls::ServerTlsMode::On, options.serverTls);
    EXPECT_EQ(tls::ClientTlsMode::Off, options.clientTls);
    EXPECT_TRUE(options.bInsecure);
    EXPECT_EQ((std::vector<std::string>{"*.a", "b"}), options.tlsPassthrough);
    EXPECT_EQ("/tmp/k", options.strKeyLogFile);
    EXPECT_EQ("/tmp/ca.pem", options.strExportCa);
    for (const char* pszBad : {"--server-tls", "--client-tls"}) {
        const char* bad[] = {"tapvane-cli", pszBad, "maybe"};
        CCliOptions o;
        EXPECT_FALSE(ParseCliOptions(std::size(bad), bad, o, strError)) << pszBad;
        EXPECT_NE(std::string::npos, strError.find("\"maybe\"")) << strError;
    }
    const char* on[] = {"tapvane-cli", "--client-tls", "on"};
    CCliOptions o;
    EXPECT_FALSE(ParseCliOptions(std::size(on), on, o, strError));  // on is not offered
}

class TlsCliTest : public ::testing::Test {
protected:
    std::vector<std::string> Env() const {
        return {"XDG_CONFIG_HOME=" + m_temp.Path("config"),
                "XDG_DATA_HOME=" + m_temp.Path("data"),
                "XDG_DESKTOP_DIR=" + m_temp.Path("Desktop"),
                "SSL_CERT_FILE=" + m_temp.Path("root.pem"),
                "SSL_CERT_DIR=" + m_temp.Path("none"),
                "SSLKEYLOGFILE=" + m_temp.Path("env.keys")};
    }
    CTempFolder m_temp;
};

TEST_F(TlsCliTest, ExportCaWritesThePemOfTheAuthorityItMadeAndExitsZero) {
    test::CChildProcess run({TAPVANE_CLI_PATH, "--export-ca", m_temp.Path("ca.pem")}, Env());
    ASSERT_EQ(0, run.Wait(20s)) << run.Err();
    std::ifstream file(m_temp.Path("ca.pem"));
    const std::string pem((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(pem.starts_with("-----BEGIN CERTIFICATE-----")) << pem;
    EXPECT_NE(std::string::npos, run.Err().find("Tapvane Local CA ("));
    // Made where the data folder says, and the same one the next time.
    const auto authority = tls::CCertAuthority::Open(m_temp.Path("data/tapvane/ca"));
    EXPECT_EQ(authority->Pem(), pem);
    const std::string strKey = m_temp.Path("data/tapvane/ca/") + tls::CCertAuthority::kKeyFile;
    ASSERT_EQ(0, ::chmod(strKey.c_str(), 0640));
    test::CChildProcess refused({TAPVANE_CLI_PATH, "--export-ca", m_temp.Path("ca2.pem")}, Env());
    EXPECT_EQ(2, refused.Wait(20s));
    EXPECT_NE(std::string::npos, refused.Err().find("can be read by others")) << refused.Err();
}

TEST_F(TlsCliTest, PlainClientThroughTheCliToATlsServerWritesClearTextAndPrivateFiles) {
    ::signal(SIGPIPE, SIG_IGN);
    test::CTestPki& pki = test::CTestPki::Instance();
    m_temp.WriteFile("root.pem", test::CertPem(pki.root.cert.get()));
    test::CTestServer server(test::TlsEcho(pki.good));
    const std::uint16_t nLocal = test::FreePort();
    test::CChildProcess cli(
        {TAPVANE_CLI_PATH, "--local-port", std::to_string(nLocal), "--url", "https://localhost",
         "--remote-port", std::to_string(server.Port()), "--log", m_temp.Path("log.txt"), "--pcap",
         m_temp.Path("cap.pcapng"), "--keylog", m_temp.Path("keys.log")},
        Env());
    ASSERT_TRUE(cli.WaitForStderr("Listening on port", 20s)) << cli.Err();
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(test::SendAllPosix(fd, "clear through the cli"));
    EXPECT_EQ("clear through the cli", test::ReceiveExactlyPosix(fd, 21));
    ::close(fd);
    ASSERT_TRUE(
        test::WaitUntil([&] { return cli.Out().find(" stopped.") != std::string::npos; }, 10s));
    cli.Signal(SIGINT);
    EXPECT_EQ(0, cli.Wait(20s)) << cli.Err();
    EXPECT_NE(std::string::npos, cli.Out().find("TLS to the server: TLSv1.3")) << cli.Out();
    for (const char* pszFile : {"log.txt", "cap.pcapng", "keys.log"}) {
        struct stat st {};
        ASSERT_EQ(0, ::stat(m_temp.Path(pszFile).c_str(), &st)) << pszFile;
        EXPECT_EQ(0600u, st.st_mode & 0777) << pszFile;
    }
    std::ifstream capture(m_temp.Path("cap.pcapng"), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(capture)),
                            std::istreambuf_iterator<char>());
    EXPECT_NE(std::string::npos, bytes.find("clear through the cli"));
    std::ifstream keys(m_temp.Path("keys.log"));
    const std::string strKeys((std::istreambuf_iterator<char>(keys)),
                              std::istreambuf_iterator<char>());
    EXPECT_NE(std::string::npos, strKeys.find("SERVER_TRAFFIC_SECRET_0 "));
    // --keylog wins over SSLKEYLOGFILE.
    EXPECT_NE(0, ::access(m_temp.Path("env.keys").c_str(), F_OK));
}

}  // namespace
