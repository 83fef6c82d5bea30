#include "tls/TlsEngine.h"

#include <openssl/err.h>

namespace tls {

namespace {

constexpr long kModes =
    SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS;

SslCtxPtr NewContext(const SSL_METHOD* pMethod) {
    SslCtxPtr ctx(SSL_CTX_new(pMethod));
    if (!ctx) {
        throw CTlsError("No TLS context: " + TakeOpenSslError());
    }
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_mode(ctx.get(), kModes);
    // A peer that closes without close_notify ends its stream in order, as a plain one would.
    SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    // One relay thread reads a connection while the other writes it: a renegotiation would
    // make a write wait for reads (and a read for writes) halfway through a handshake.
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_RENEGOTIATION);
    return ctx;
}

std::string AlpnWire(const std::vector<std::string>& alpn) {
    std::string strWire;
    for (const std::string& strName : alpn) {
        if (!strName.empty() && strName.size() < 256) {
            strWire += static_cast<char>(strName.size());
            strWire += strName;
        }
    }
    return strWire;
}

}  // namespace

CTlsEngine::CTlsEngine(CTlsConfig config)
    : m_config(std::move(config)),
      m_toServers(NewContext(TLS_client_method())),
      m_toClients(NewContext(TLS_server_method())) {
    if (SSL_CTX_set_default_verify_paths(m_toServers.get()) != 1) {
        throw CTlsError("The system's trusted certificates cannot be read: " + TakeOpenSslError());
    }
    // Repeated connections to the same server resume their session, as a browser's would.
    SSL_CTX_set_app_data(m_toServers.get(), this);
    SSL_CTX_set_app_data(m_toClients.get(), this);
    SSL_CTX_set_session_cache_mode(m_toServers.get(),
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(m_toServers.get(), &CTlsEngine::OnNewSession);
    SSL_CTX_set_session_cache_mode(m_toClients.get(), SSL_SESS_CACHE_SERVER);
    SSL_CTX_set_session_id_context(m_toClients.get(),
                                   reinterpret_cast<const unsigned char*>("tapvane"), 7);
    SSL_CTX_set_alpn_select_cb(m_toClients.get(), &CTlsEngine::OnSelectAlpn, nullptr);
    SSL_CTX_set_info_callback(m_toClients.get(), &CTlsEngine::OnInfo);
    if (!m_config.strKeyLogFile.empty()) {
        m_keyLog = std::make_unique<CKeyLogFile>(m_config.strKeyLogFile);
        SSL_CTX_set_keylog_callback(m_toServers.get(), &CTlsEngine::OnKeyLog);
        SSL_CTX_set_keylog_callback(m_toClients.get(), &CTlsEngine::OnKeyLog);
    }
}

CTlsEngine::~CTlsEngine() {
    for (auto& [strName, pSession] : m_sessions) {
        SSL_SESSION_free(pSession);
    }
}

int CTlsEngine::OnNewSession(SSL* pSsl, SSL_SESSION* pSession) {
    auto* pEngine = static_cast<CTlsEngine*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(pSsl)));
    const char* pszName = SSL_get_servername(pSsl, TLSEXT_NAMETYPE_host_name);
    if (pEngine == nullptr || SSL_get_verify_result(pSsl) != X509_V_OK) {
        return 0;  // only a verified session is worth resuming
    }
    std::lock_guard lock(pEngine->m_mutex);
    SSL_SESSION*& pKept = pEngine->m_sessions[pszName != nullptr ? pszName : ""];
    if (pKept != nullptr) {
        SSL_SESSION_free(pKept);
    }
    pKept = pSession;
    return 1;  // the engine owns it now
}

void CTlsEngine::OnKeyLog(const SSL* pSsl, const char* pszLine) {
    auto* pEngine = static_cast<CTlsEngine*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(pSsl)));
    if (pEngine != nullptr && pEngine->m_keyLog) {
        pEngine->m_keyLog->Write(pszLine);
    }
}

int CTlsEngine::OnSelectAlpn(SSL* pSsl, const unsigned char** ppOut, unsigned char* pnOut,
                             const unsigned char* pIn, unsigned int nIn, void* /*pArg*/) {
    const auto* pNote = static_cast<const CClientSideNote*>(SSL_get_app_data(pSsl));
    const std::string* pstrWanted = pNote != nullptr ? &pNote->strAlpn : nullptr;
    if (pstrWanted == nullptr || pstrWanted->empty()) {
        return SSL_TLSEXT_ERR_NOACK;
    }
    for (unsigned int i = 0; i < nIn;) {
        const unsigned int nLength = pIn[i];
        if (i + 1 + nLength > nIn) {
            break;
        }
        if (std::string_view(reinterpret_cast<const char*>(pIn + i + 1), nLength) == *pstrWanted) {
            *ppOut = pIn + i + 1;
            *pnOut = static_cast<unsigned char>(nLength);
            return SSL_TLSEXT_ERR_OK;
        }
        i += 1 + nLength;
    }
    return SSL_TLSEXT_ERR_NOACK;
}

SslPtr CTlsEngine::NewServerSide(const std::string& strSni, const std::string& strVerifyHost,
                                 const std::vector<std::string>& alpn, CVerifyNote* pNote) {
    SslPtr ssl(SSL_new(m_toServers.get()));
    if (!ssl) {
        throw CTlsError("No TLS connection: " + TakeOpenSslError());
    }
    if (!strSni.empty()) {
        SSL_set_tlsext_host_name(ssl.get(), strSni.c_str());
    }
    const std::string strWire = AlpnWire(alpn);
    if (!strWire.empty()) {
        SSL_set_alpn_protos(ssl.get(), reinterpret_cast<const unsigned char*>(strWire.data()),
                            static_cast<unsigned int>(strWire.size()));
    }
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_sessions.find(strSni);
        if (found != m_sessions.end() && SSL_SESSION_is_resumable(found->second)) {
            SSL_set_session(ssl.get(), found->second);
        }
    }
    pNote->bAcceptAny = m_config.bAcceptAnyServerCert;
    SetUpServerVerify(ssl.get(), strVerifyHost, pNote);
    SSL_set_connect_state(ssl.get());
    return ssl;
}

void CTlsEngine::OnInfo(const SSL* pSsl, int nWhere, int nValue) {
    if ((nWhere & SSL_CB_READ_ALERT) == 0) {
        return;
    }
    auto* pNote = static_cast<CClientSideNote*>(SSL_get_app_data(pSsl));
    // close_notify is an ordinary end, not a refusal.
    if (pNote != nullptr && pNote->strAlert.empty() && (nValue & 0xFF) != SSL_AD_CLOSE_NOTIFY) {
        pNote->strAlert = SSL_alert_desc_string_long(nValue);
    }
}

SslPtr CTlsEngine::NewClientSide(const std::string& strHost, CClientSideNote* pNote) {
    const std::shared_ptr<CCertAuthority> authority = Authority();
    const std::shared_ptr<const CLeafCert> leaf = authority->LeafFor(strHost);
    SslPtr ssl(SSL_new(m_toClients.get()));
    if (!ssl || SSL_use_certificate(ssl.get(), leaf->cert.get()) != 1 ||
        SSL_use_PrivateKey(ssl.get(), leaf->key.get()) != 1 ||
        SSL_add1_chain_cert(ssl.get(), authority->Cert()) != 1) {
        throw CTlsError("No TLS connection toward the client: " + TakeOpenSslError());
    }
    SSL_set_app_data(ssl.get(), pNote);
    SSL_set_accept_state(ssl.get());
    return ssl;
}

std::shared_ptr<CCertAuthority> CTlsEngine::Authority() {
    std::lock_guard lock(m_mutex);
    if (!m_authority) {
        m_authority = CCertAuthority::Open(
            m_config.strCaFolder.empty() ? CCertAuthority::DefaultFolder() : m_config.strCaFolder);
    }
    return m_authority;
}

CHandshakeSummary CTlsEngine::Summarize(SSL* pSsl, bool bServerSide, const CVerifyNote* pNote) {
    CHandshakeSummary summary;
    summary.strVersion = SSL_get_version(pSsl);
    summary.strCipher = SSL_get_cipher_name(pSsl);
    if (const char* pszSni = SSL_get_servername(pSsl, TLSEXT_NAMETYPE_host_name)) {
        summary.strSni = pszSni;
    }
    const unsigned char* pAlpn = nullptr;
    unsigned int nAlpn = 0;
    SSL_get0_alpn_selected(pSsl, &pAlpn, &nAlpn);
    summary.strAlpn.assign(reinterpret_cast<const char*>(pAlpn), nAlpn);
    summary.bResumed = SSL_session_reused(pSsl) == 1;
    if (bServerSide) {
        if (X509* pCert = SSL_get0_peer_certificate(pSsl)) {
            summary.strSubject = ShortName(X509_get_subject_name(pCert));
            summary.strIssuer = ShortName(X509_get_issuer_name(pCert));
            summary.strExpiry = TimeText(X509_get0_notAfter(pCert));
        }
        summary.bVerified = pNote != nullptr && pNote->nError == X509_V_OK &&
                            SSL_get_verify_result(pSsl) == X509_V_OK;
    }
    return summary;
}

std::vector<std::string> ReadableAlpn(const std::vector<std::string>& offered) {
    std::vector<std::string> readable;
    for (const std::string& strName : offered) {
        if (strName != "h2" && strName != "h2c" && !strName.starts_with("h3") &&
            !strName.starts_with("spdy")) {
            readable.push_back(strName);
        }
    }
    return readable;
}

std::string ShortSummary(const CHandshakeSummary& summary) {
    std::string strVersion = summary.strVersion;
    if (strVersion.starts_with("TLSv")) {
        strVersion = "TLS " + strVersion.substr(4);
    }
    std::string strAlpn = summary.strAlpn;
    if (strAlpn == "http/1.1" || strAlpn == "http/1.0") {
        strAlpn = "h1";
    }
    return strAlpn.empty() ? strVersion : strVersion + " " + strAlpn;
}

}  // namespace tls
