// The user's certificate authority: made on first use with private files, loaded again,
// refused when its key is open to others, renewed; its leaf certificates verify.
#include <gtest/gtest.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <fstream>

#include "TempFolder.h"
#include "TlsTestSupport.h"
#include "tls/CertAuthority.h"
#include "tls/KeyLogFile.h"

namespace {

using tls::CCertAuthority;

mode_t ModeOf(const std::string& strPath) {
    struct stat st {};
    stat(strPath.c_str(), &st);
    return st.st_mode & 0777;
}

// Verifies `pLeaf` against `pCa` for `strHost` as a TLS client would.
long VerifyLeaf(X509* pCa, X509* pLeaf, const std::string& strHost) {
    X509_STORE* pStore = X509_STORE_new();
    X509_STORE_add_cert(pStore, pCa);
    X509_STORE_CTX* pCtx = X509_STORE_CTX_new();
    X509_STORE_CTX_init(pCtx, pStore, pLeaf, nullptr);
    X509_VERIFY_PARAM* pParam = X509_STORE_CTX_get0_param(pCtx);
    X509_VERIFY_PARAM_set_purpose(pParam, X509_PURPOSE_SSL_SERVER);
    if (strHost.find_first_not_of("0123456789.") == std::string::npos) {
        X509_VERIFY_PARAM_set1_ip_asc(pParam, strHost.c_str());
    } else {
        X509_VERIFY_PARAM_set1_host(pParam, strHost.c_str(), 0);
    }
    const long nResult = X509_verify_cert(pCtx) == 1 ? X509_V_OK : X509_STORE_CTX_get_error(pCtx);
    X509_STORE_CTX_free(pCtx);
    X509_STORE_free(pStore);
    return nResult;
}

TEST(CertAuthorityTest, IsMadeOnFirstUseWithPrivateFilesAndLoadedAgain) {
    CTempFolder temp;
    const std::string strFolder = temp.Path("data/tapvane/ca");
    const auto made = CCertAuthority::Open(strFolder);
    EXPECT_EQ(0700u, ModeOf(strFolder));
    EXPECT_EQ(0600u, ModeOf(strFolder + "/" + CCertAuthority::kKeyFile));
    EXPECT_EQ(0600u, ModeOf(strFolder + "/" + CCertAuthority::kCertFile));
    EXPECT_TRUE(made->Name().starts_with("Tapvane Local CA (")) << made->Name();
    EXPECT_NE(std::string::npos, made->Name().find('@'));
    EXPECT_EQ(95u, made->Fingerprint().size());  // 32 bytes as AB:CD:...
    EXPECT_TRUE(made->Pem().starts_with("-----BEGIN CERTIFICATE-----"));
    EXPECT_EQ(1, X509_check_ca(made->Cert()));
    // About ten years.
    int nDays = 0;
    int nSeconds = 0;
    ASN1_TIME_diff(&nDays, &nSeconds, X509_get0_notBefore(made->Cert()),
                   X509_get0_notAfter(made->Cert()));
    EXPECT_GE(nDays, 3650);
    EXPECT_LE(nDays, 3660);

    const auto loaded = CCertAuthority::Open(strFolder);
    EXPECT_EQ(made->Fingerprint(), loaded->Fingerprint());
    // The DER export is the same certificate.
    const std::string der = loaded->Der();
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    tls::X509Ptr fromDer(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    ASSERT_TRUE(fromDer);
    EXPECT_EQ(0, X509_cmp(fromDer.get(), made->Cert()));
}

TEST(CertAuthorityTest, AKeyThatOthersCanReadIsRefusedAndSaidSo) {
    CTempFolder temp;
    const std::string strFolder = temp.Path("ca");
    CCertAuthority::Open(strFolder);
    const std::string strKey = strFolder + "/" + CCertAuthority::kKeyFile;
    ASSERT_EQ(0, chmod(strKey.c_str(), 0644));
    try {
        CCertAuthority::Open(strFolder);
        ADD_FAILURE() << "a key readable by others was used";
    } catch (const tls::CTlsError& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find("can be read by others"))
            << e.what();
        EXPECT_NE(std::string::npos, std::string(e.what()).find(strKey));
    }
    ASSERT_EQ(0, chmod(strKey.c_str(), 0600));
    EXPECT_NO_THROW(CCertAuthority::Open(strFolder));
}

TEST(CertAuthorityTest, RenewingMakesAnotherAuthorityThatIsKept) {
    CTempFolder temp;
    const std::string strFolder = temp.Path("ca");
    const auto first = CCertAuthority::Open(strFolder);
    const auto renewed = CCertAuthority::Renew(strFolder);
    EXPECT_NE(first->Fingerprint(), renewed->Fingerprint());
    EXPECT_EQ(renewed->Fingerprint(), CCertAuthority::Open(strFolder)->Fingerprint());
    EXPECT_EQ(0600u, ModeOf(strFolder + "/" + CCertAuthority::kKeyFile));
    // Serial numbers are random, not counted.
    EXPECT_NE(0, ASN1_INTEGER_cmp(X509_get0_serialNumber(first->Cert()),
                                  X509_get0_serialNumber(renewed->Cert())));
}

TEST(CertAuthorityTest, LeavesVerifyForTheirNameAreCachedAndShareOneKey) {
    CTempFolder temp;
    const auto ca = CCertAuthority::Open(temp.Path("ca"));
    const auto leaf = ca->LeafFor("api.example.org");
    EXPECT_EQ(X509_V_OK, VerifyLeaf(ca->Cert(), leaf->cert.get(), "api.example.org"));
    EXPECT_EQ(X509_V_ERR_HOSTNAME_MISMATCH,
              VerifyLeaf(ca->Cert(), leaf->cert.get(), "other.example.org"));
    const auto ip = ca->LeafFor("127.0.0.1");
    EXPECT_EQ(X509_V_OK, VerifyLeaf(ca->Cert(), ip->cert.get(), "127.0.0.1"));

    EXPECT_EQ(leaf, ca->LeafFor("api.example.org"));  // from the cache
    EXPECT_EQ(1, EVP_PKEY_eq(leaf->key.get(), ip->key.get()));
    EXPECT_EQ(1, X509_check_private_key(leaf->cert.get(), leaf->key.get()));

    // Backdated a day, less than 398 days in all, for servers, naming the CA's key.
    int nDays = 0;
    int nSeconds = 0;
    ASN1_TIME_diff(&nDays, &nSeconds, X509_get0_notBefore(leaf->cert.get()), nullptr);
    EXPECT_EQ(1, nDays);
    ASN1_TIME_diff(&nDays, &nSeconds, X509_get0_notBefore(leaf->cert.get()),
                   X509_get0_notAfter(leaf->cert.get()));
    EXPECT_LT(nDays, 398);
    EXPECT_NE(0u, X509_get_extended_key_usage(leaf->cert.get()) & XKU_SSL_SERVER);
    EXPECT_EQ(0, ASN1_OCTET_STRING_cmp(X509_get0_authority_key_id(leaf->cert.get()),
                                       X509_get0_subject_key_id(ca->Cert())));
    // A name that cannot go into a certificate's extension text is refused, not garbled.
    EXPECT_THROW(ca->LeafFor("a,DNS:evil.example"), tls::CTlsError);
}

TEST(CertAuthorityTest, KeyLogFileIsPrivateAndAppendsWholeLines) {
    CTempFolder temp;
    const std::string strPath = temp.Path("keys.log");
    {
        tls::CKeyLogFile keyLog(strPath);
        keyLog.Write("CLIENT_RANDOM 00 11");
        keyLog.Write("CLIENT_RANDOM 22 33");
    }
    EXPECT_EQ(0600u, ModeOf(strPath));
    tls::CKeyLogFile(strPath).Write("SERVER_TRAFFIC_SECRET_0 44 55");
    std::ifstream file(strPath);
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    EXPECT_EQ("CLIENT_RANDOM 00 11\nCLIENT_RANDOM 22 33\nSERVER_TRAFFIC_SECRET_0 44 55\n", text);
    EXPECT_THROW(tls::CKeyLogFile(temp.Path("no/such/folder/keys.log")), tls::CTlsError);
}

}  // namespace
