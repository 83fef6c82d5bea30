// The user's own certificate authority, which issues the certificates that Tapvane shows to
// clients whose TLS it decrypts. Its certificate and key live in one folder (0700; the key
// 0600, and a key that others could read is refused). Leaf certificates are made per host
// name on one key pair made at start, and kept in memory.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "tls/OpenSslPtr.h"

namespace tls {

// A failure of the TLS code, its text in plain words.
class CTlsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One issued certificate with the key it certifies (shared by every leaf).
struct CLeafCert {
    X509Ptr cert;
    KeyPtr key;
};

class CCertAuthority {
public:
    static constexpr const char* kCertFile = "tapvane-ca.pem";
    static constexpr const char* kKeyFile = "tapvane-ca.key";

    // $XDG_DATA_HOME/tapvane/ca (~/.local/share/tapvane/ca when it is not set).
    static std::string DefaultFolder();

    // Any thread. The authority kept in `strFolder`, made there first when there is none.
    // Raises CTlsError when the files cannot be read or written, or the key is open to others.
    static std::shared_ptr<CCertAuthority> Open(const std::string& strFolder);
    // Any thread. A new authority in `strFolder`, replacing the one there.
    static std::shared_ptr<CCertAuthority> Renew(const std::string& strFolder);

    CCertAuthority(X509Ptr cert, KeyPtr key, std::string strFolder);

    // "Tapvane Local CA (user@host)".
    std::string Name() const;
    // The SHA-256 fingerprint of the certificate, "AB:CD:...".
    std::string Fingerprint() const;
    std::string CertPath() const { return m_strFolder + "/" + kCertFile; }
    std::string Pem() const;
    std::string Der() const;
    X509* Cert() const { return m_cert.get(); }

    // Any thread. The certificate for `strHost` (a DNS name or an IP address), issued once
    // and then taken from the cache.
    std::shared_ptr<const CLeafCert> LeafFor(const std::string& strHost);

private:
    std::shared_ptr<CLeafCert> Issue(const std::string& strHost);

    X509Ptr m_cert;
    KeyPtr m_key;
    const std::string m_strFolder;
    std::mutex m_mutex;  // guards the two below
    KeyPtr m_leafKey;
    std::map<std::string, std::shared_ptr<const CLeafCert>> m_leaves;
};

// Writes `strText` to a new file `strPath` readable by its owner only, replacing it.
void WritePrivateFile(const std::string& strPath, const std::string& strText);

}  // namespace tls
