#include "tls/CertAuthority.h"

#include "tls/TlsConfig.h"

#include <fcntl.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tls {

namespace {

constexpr long kDay = 24L * 60 * 60;
constexpr long kCaDays = 3653;   // ten years
constexpr long kLeafDays = 396;  // from a day back: 397 days in all, under the 398 limit
constexpr std::size_t kMaxLeaves = 1024;

[[noreturn]] void Fail(const std::string& strWhat) {
    const std::string strDetail = TakeOpenSslError();
    throw CTlsError(strDetail.empty() ? strWhat : strWhat + " (" + strDetail + ")");
}

std::string ErrnoText(const std::string& strWhat, const std::string& strPath) {
    return strWhat + " " + strPath + ": " + std::strerror(errno);
}

KeyPtr NewKey() {
    KeyPtr key(EVP_EC_gen("P-256"));
    if (!key) {
        Fail("Making a key failed");
    }
    return key;
}

void SetRandomSerial(X509* pCert) {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof(bytes)) != 1) {
        Fail("No random serial number");
    }
    bytes[0] &= 0x7F;  // positive
    bytes[0] |= 0x01;  // and never shorter than the rest
    BIGNUM* pNumber = BN_bin2bn(bytes, sizeof(bytes), nullptr);
    const bool bOk =
        pNumber != nullptr && BN_to_ASN1_INTEGER(pNumber, X509_get_serialNumber(pCert));
    BN_free(pNumber);
    if (!bOk) {
        Fail("No random serial number");
    }
}

void AddExtension(X509* pCert, X509* pIssuer, int nNid, const std::string& strValue) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, pIssuer, pCert, nullptr, nullptr, 0);
    X509_EXTENSION* pExt = X509V3_EXT_nconf_nid(nullptr, &ctx, nNid, strValue.c_str());
    const bool bOk = pExt != nullptr && X509_add_ext(pCert, pExt, -1) == 1;
    X509_EXTENSION_free(pExt);
    if (!bOk) {
        Fail("A certificate extension could not be made");
    }
}

std::string UserAtHost() {
    std::string strUser;
    if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_name != nullptr) {
        strUser = pw->pw_name;
    } else if (const char* pszUser = std::getenv("USER")) {
        strUser = pszUser;
    }
    char szHost[256] = {};
    gethostname(szHost, sizeof(szHost) - 1);
    return strUser + "@" + szHost;
}

X509Ptr NewCert(const std::string& strCommonName, long nDays) {
    X509Ptr cert(X509_new());
    if (!cert || X509_set_version(cert.get(), 2) != 1) {
        Fail("Making a certificate failed");
    }
    SetRandomSerial(cert.get());
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -kDay);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), nDays * kDay);
    X509_NAME* pName = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(pName, "O", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Tapvane"), -1, -1, 0);
    if (X509_NAME_add_entry_by_txt(pName, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(strCommonName.c_str()),
                                   static_cast<int>(strCommonName.size()), -1, 0) != 1) {
        Fail("The certificate cannot name " + strCommonName);
    }
    return cert;
}

std::shared_ptr<CCertAuthority> MakeAuthority(const std::string& strFolder) {
    KeyPtr key = NewKey();
    X509Ptr cert = NewCert("Tapvane Local CA (" + UserAtHost() + ")", kCaDays);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
    X509_set_pubkey(cert.get(), key.get());
    AddExtension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(cert.get(), cert.get(), NID_subject_key_identifier, "hash");
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) {
        Fail("Signing the certificate authority failed");
    }
    BioPtr keyBio(BIO_new(BIO_s_mem()));
    BioPtr certBio(BIO_new(BIO_s_mem()));
    if (!keyBio || !certBio ||
        PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
            1 ||
        PEM_write_bio_X509(certBio.get(), cert.get()) != 1) {
        Fail("Writing the certificate authority failed");
    }
    const auto text = [](BIO* pBio) {
        char* pData = nullptr;
        const long n = BIO_get_mem_data(pBio, &pData);
        return std::string(pData, static_cast<std::size_t>(n));
    };
    // The key first: a certificate without its key is never left behind alone.
    WritePrivateFile(strFolder + "/" + CCertAuthority::kKeyFile, text(keyBio.get()));
    WritePrivateFile(strFolder + "/" + CCertAuthority::kCertFile, text(certBio.get()));
    return std::make_shared<CCertAuthority>(std::move(cert), std::move(key), strFolder);
}

void MakeFolder(const std::string& strFolder) {
    for (std::size_t nPos = 1; nPos <= strFolder.size(); ++nPos) {
        if (nPos == strFolder.size() || strFolder[nPos] == '/') {
            const std::string strPart = strFolder.substr(0, nPos);
            if (mkdir(strPart.c_str(), 0700) != 0 && errno != EEXIST) {
                throw CTlsError(ErrnoText("Cannot make the folder", strPart));
            }
        }
    }
}

std::string ReadFile(const std::string& strPath) {
    std::ifstream file(strPath, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    if (!file) {
        throw CTlsError("Cannot read " + strPath);
    }
    return text.str();
}

}  // namespace

void WritePrivateFile(const std::string& strPath, const std::string& strText) {
    const std::string strTemp = strPath + ".new";
    unlink(strTemp.c_str());
    const int fd = open(strTemp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw CTlsError(ErrnoText("Cannot create", strTemp));
    }
    std::size_t nDone = 0;
    while (nDone < strText.size()) {
        const ssize_t n = write(fd, strText.data() + nDone, strText.size() - nDone);
        if (n <= 0) {
            const std::string strError = ErrnoText("Cannot write", strTemp);
            close(fd);
            unlink(strTemp.c_str());
            throw CTlsError(strError);
        }
        nDone += static_cast<std::size_t>(n);
    }
    if (fsync(fd) != 0 || close(fd) != 0 || rename(strTemp.c_str(), strPath.c_str()) != 0) {
        const std::string strError = ErrnoText("Cannot write", strPath);
        unlink(strTemp.c_str());
        throw CTlsError(strError);
    }
}

std::string CCertAuthority::DefaultFolder() {
    const char* pszData = std::getenv("XDG_DATA_HOME");
    std::string strBase;
    if (pszData != nullptr && *pszData == '/') {
        strBase = pszData;
    } else {
        const char* pszHome = std::getenv("HOME");
        strBase = std::string(pszHome != nullptr ? pszHome : "") + "/.local/share";
    }
    return strBase + "/tapvane/ca";
}

std::shared_ptr<CCertAuthority> CCertAuthority::Open(const std::string& strFolder) {
    const std::string strKey = strFolder + "/" + kKeyFile;
    const std::string strCert = strFolder + "/" + kCertFile;
    struct stat st {};
    if (stat(strKey.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            throw CTlsError(ErrnoText("Cannot read", strKey));
        }
        MakeFolder(strFolder);
        return MakeAuthority(strFolder);
    }
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0 || st.st_uid != getuid()) {
        throw CTlsError("The key of the certificate authority, " + strKey +
                        ", can be read by others: it is not used. Make it readable by its "
                        "owner only (chmod 600), or remove the folder to make a new one");
    }
    const std::string strKeyPem = ReadFile(strKey);
    const std::string strCertPem = ReadFile(strCert);
    BioPtr keyBio(BIO_new_mem_buf(strKeyPem.data(), static_cast<int>(strKeyPem.size())));
    BioPtr certBio(BIO_new_mem_buf(strCertPem.data(), static_cast<int>(strCertPem.size())));
    KeyPtr key(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr) : nullptr);
    X509Ptr cert(certBio ? PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key || !cert) {
        Fail("The certificate authority in " + strFolder + " cannot be read");
    }
    if (X509_check_private_key(cert.get(), key.get()) != 1) {
        Fail("The certificate and the key in " + strFolder + " do not belong together");
    }
    return std::make_shared<CCertAuthority>(std::move(cert), std::move(key), strFolder);
}

std::shared_ptr<CCertAuthority> CCertAuthority::Renew(const std::string& strFolder) {
    MakeFolder(strFolder);
    return MakeAuthority(strFolder);
}

CCertAuthority::CCertAuthority(X509Ptr cert, KeyPtr key, std::string strFolder)
    : m_cert(std::move(cert)), m_key(std::move(key)), m_strFolder(std::move(strFolder)) {}

std::string CCertAuthority::Name() const {
    X509_NAME* pName = X509_get_subject_name(m_cert.get());
    const int nIndex = X509_NAME_get_index_by_NID(pName, NID_commonName, -1);
    if (nIndex < 0) {
        return NameText(pName);
    }
    unsigned char* pText = nullptr;
    const int nLength =
        ASN1_STRING_to_UTF8(&pText, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(pName, nIndex)));
    std::string strName = nLength >= 0 ? std::string(reinterpret_cast<char*>(pText),
                                                     static_cast<std::size_t>(nLength))
                                       : std::string();
    OPENSSL_free(pText);
    return strName;
}

std::string CCertAuthority::Fingerprint() const {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int nLength = 0;
    X509_digest(m_cert.get(), EVP_sha256(), digest, &nLength);
    std::string strText;
    char szByte[4];
    for (unsigned int i = 0; i < nLength; ++i) {
        std::snprintf(szByte, sizeof(szByte), i == 0 ? "%02X" : ":%02X", digest[i]);
        strText += szByte;
    }
    return strText;
}

std::string CCertAuthority::Pem() const {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), m_cert.get()) != 1) {
        Fail("Writing the certificate failed");
    }
    char* pData = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &pData);
    return std::string(pData, static_cast<std::size_t>(n));
}

std::string CCertAuthority::Der() const {
    unsigned char* pData = nullptr;
    const int n = i2d_X509(m_cert.get(), &pData);
    if (n < 0) {
        Fail("Writing the certificate failed");
    }
    std::string strDer(reinterpret_cast<char*>(pData), static_cast<std::size_t>(n));
    OPENSSL_free(pData);
    return strDer;
}

std::shared_ptr<const CLeafCert> CCertAuthority::LeafFor(const std::string& strHost) {
    std::lock_guard lock(m_mutex);
    if (const auto found = m_leaves.find(strHost); found != m_leaves.end()) {
        return found->second;
    }
    if (!m_leafKey) {
        m_leafKey = NewKey();
    }
    if (m_leaves.size() >= kMaxLeaves) {
        m_leaves.clear();  // a bound for a client that asks for ever new names
    }
    std::shared_ptr<const CLeafCert> leaf = Issue(strHost);
    m_leaves.emplace(strHost, leaf);
    return leaf;
}

std::shared_ptr<CLeafCert> CCertAuthority::Issue(const std::string& strHost) {
    // A common name has at most 64 characters; the SAN, which clients check, holds the name.
    X509Ptr cert = NewCert(strHost.size() <= 64 ? strHost : strHost.substr(0, 64), kLeafDays);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(m_cert.get()));
    X509_set_pubkey(cert.get(), m_leafKey.get());
    const bool bIp = IsIpLiteral(strHost);
    for (const char c : strHost) {
        // The value goes into the extension's configuration text: no separators in it.
        if (c == ',' || (c == ':' && !bIp) || static_cast<unsigned char>(c) < 0x21) {
            throw CTlsError("No certificate for the name \"" + strHost + "\"");
        }
    }
    AddExtension(cert.get(), m_cert.get(), NID_subject_alt_name, (bIp ? "IP:" : "DNS:") + strHost);
    AddExtension(cert.get(), m_cert.get(), NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert.get(), m_cert.get(), NID_key_usage, "critical,digitalSignature");
    AddExtension(cert.get(), m_cert.get(), NID_ext_key_usage, "serverAuth");
    AddExtension(cert.get(), m_cert.get(), NID_authority_key_identifier, "keyid:always");
    if (X509_sign(cert.get(), m_key.get(), EVP_sha256()) == 0) {
        Fail("Signing the certificate for " + strHost + " failed");
    }
    auto leaf = std::make_shared<CLeafCert>();
    leaf->cert = std::move(cert);
    EVP_PKEY_up_ref(m_leafKey.get());
    leaf->key.reset(m_leafKey.get());
    return leaf;
}

}  // namespace tls
