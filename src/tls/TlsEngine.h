// The TLS machinery that the sessions share: the contexts toward servers (verifying against
// the system's trust store, which SSL_CERT_FILE and SSL_CERT_DIR override) and toward
// clients (with leaf certificates of the user's certificate authority), the authority
// itself, made or loaded on first use, and the key log.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tls/CertAuthority.h"
#include "tls/KeyLogFile.h"
#include "tls/OpenSslPtr.h"
#include "tls/ServerVerify.h"
#include "tls/TlsConfig.h"

namespace tls {

// What one side's handshake gave, for the log line and the session list.
struct CHandshakeSummary {
    std::string strVersion;  // "TLSv1.3"
    std::string strCipher;
    std::string strSni;
    std::string strAlpn;  // empty: none agreed
    // Server side only.
    std::string strSubject;
    std::string strIssuer;
    std::string strExpiry;
    bool bVerified = false;
    bool bResumed = false;  // an earlier session was resumed
};

// What the handshake toward a client needs and leaves behind: the protocol to agree to (the
// one the server chose; none when empty) and the alert the client sent, if it refused.
struct CClientSideNote {
    std::string strAlpn;
    std::string strAlert;  // "unknown CA"
};

class CTlsEngine {
public:
    // Raises CTlsError when a context cannot be made or the key log cannot be opened.
    explicit CTlsEngine(CTlsConfig config);
    ~CTlsEngine();
    CTlsEngine(const CTlsEngine&) = delete;
    CTlsEngine& operator=(const CTlsEngine&) = delete;

    const CTlsConfig& Config() const { return m_config; }

    // Any thread. A connection toward the server: SNI `strSni` (none when empty), the
    // protocols `alpn` offered, the chain and `strVerifyHost` checked with the outcome in
    // `pNote` (which must outlive the handshake).
    SslPtr NewServerSide(const std::string& strSni, const std::string& strVerifyHost,
                         const std::vector<std::string>& alpn, CVerifyNote* pNote);
    // Any thread. A connection toward a client that shows a certificate for `strHost`, with
    // `pNote` (which must outlive the handshake). Raises CTlsError when the authority is
    // unusable.
    SslPtr NewClientSide(const std::string& strHost, CClientSideNote* pNote);

    // Any thread. The authority, loaded or made on first use; raises CTlsError.
    std::shared_ptr<CCertAuthority> Authority();

    // What a finished handshake agreed.
    static CHandshakeSummary Summarize(SSL* pSsl, bool bServerSide, const CVerifyNote* pNote);

private:
    static void OnKeyLog(const SSL* pSsl, const char* pszLine);
    static void OnInfo(const SSL* pSsl, int nWhere, int nValue);
    static int OnNewSession(SSL* pSsl, SSL_SESSION* pSession);
    static int OnSelectAlpn(SSL* pSsl, const unsigned char** ppOut, unsigned char* pnOut,
                            const unsigned char* pIn, unsigned int nIn, void* pArg);

    const CTlsConfig m_config;
    SslCtxPtr m_toServers;
    SslCtxPtr m_toClients;
    std::unique_ptr<CKeyLogFile> m_keyLog;
    std::mutex m_mutex;  // guards m_authority and m_sessions
    std::shared_ptr<CCertAuthority> m_authority;
    // The last session of each server name (owned), resumed by the next connection to it.
    std::map<std::string, SSL_SESSION*> m_sessions;
};

// The protocols that the log shows readably: the client's list without HTTP/2 and HTTP/3,
// whose frames would be unreadable.
std::vector<std::string> ReadableAlpn(const std::vector<std::string>& offered);

// "TLS 1.3 h1" for the session list.
std::string ShortSummary(const CHandshakeSummary& summary);

}  // namespace tls
