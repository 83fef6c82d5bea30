// Test certificates made with the OpenSSL API at test time (never checked-in keys), and
// blocking TLS peers on loopback sockets.
#pragma once

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <string>
#include <vector>

#include "SocketTestSupport.h"
#include "tls/OpenSslPtr.h"

namespace test {

struct CKeyAndCert {
    tls::KeyPtr key;
    tls::X509Ptr cert;
};

inline void AddExt(X509* pCert, X509* pIssuer, int nNid, const std::string& strValue) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, pIssuer, pCert, nullptr, nullptr, 0);
    X509_EXTENSION* pExt = X509V3_EXT_nconf_nid(nullptr, &ctx, nNid, strValue.c_str());
    X509_add_ext(pCert, pExt, -1);
    X509_EXTENSION_free(pExt);
}

// A certificate for `strCn`, signed by `pIssuer` (self-signed when null), valid from
// `nFromDays` to `nToDays` days from now; `strSan` as "DNS:a,IP:1.2.3.4" (none when empty).
inline CKeyAndCert MakeCert(const std::string& strCn, const CKeyAndCert* pIssuer, bool bCa,
                            const std::string& strSan, long nFromDays = -1, long nToDays = 30) {
    CKeyAndCert out;
    out.key.reset(EVP_EC_gen("P-256"));
    out.cert.reset(X509_new());
    X509* pCert = out.cert.get();
    X509_set_version(pCert, 2);
    static long s_nSerial = 1000;
    ASN1_INTEGER_set(X509_get_serialNumber(pCert), ++s_nSerial);
    X509_gmtime_adj(X509_getm_notBefore(pCert), nFromDays * 86400L);
    X509_gmtime_adj(X509_getm_notAfter(pCert), nToDays * 86400L);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(pCert), "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(strCn.c_str()), -1, -1, 0);
    X509* pIssuerCert = pIssuer != nullptr ? pIssuer->cert.get() : pCert;
    X509_set_issuer_name(pCert, X509_get_subject_name(pIssuerCert));
    X509_set_pubkey(pCert, out.key.get());
    AddExt(pCert, pIssuerCert, NID_basic_constraints, bCa ? "critical,CA:TRUE" : "CA:FALSE");
    AddExt(pCert, pIssuerCert, NID_subject_key_identifier, "hash");
    if (bCa) {
        AddExt(pCert, pIssuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExt(pCert, pIssuerCert, NID_ext_key_usage, "serverAuth");
    }
    if (!strSan.empty()) {
        AddExt(pCert, pIssuerCert, NID_subject_alt_name, strSan);
    }
    X509_sign(pCert, pIssuer != nullptr ? pIssuer->key.get() : out.key.get(), EVP_sha256());
    return out;
}

inline std::string CertPem(X509* pCert) {
    tls::BioPtr bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(bio.get(), pCert);
    char* pData = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &pData);
    return std::string(pData, static_cast<std::size_t>(n));
}

// A blocking TLS server side on an accepted socket.
struct CServerOptions {
    X509* pCert = nullptr;
    EVP_PKEY* pKey = nullptr;
    std::vector<std::string> alpn;  // accepted, in the server's preference
};

inline int SelectServerAlpn(SSL*, const unsigned char** ppOut, unsigned char* pnOut,
                            const unsigned char* pIn, unsigned int nIn, void* pArg) {
    const auto* pWanted = static_cast<const std::vector<std::string>*>(pArg);
    for (const std::string& strWanted : *pWanted) {
        for (unsigned int i = 0; i < nIn; i += 1 + pIn[i]) {
            if (i + 1 + pIn[i] <= nIn &&
                std::string(reinterpret_cast<const char*>(pIn + i + 1), pIn[i]) == strWanted) {
                *ppOut = pIn + i + 1;
                *pnOut = pIn[i];
                return SSL_TLSEXT_ERR_OK;
            }
        }
    }
    return SSL_TLSEXT_ERR_NOACK;
}

// A TLS connection on a blocking socket `fd` (not owned), server or client role.
class CTlsPeer {
public:
    CTlsPeer(const CTlsPeer&) = delete;
    CTlsPeer& operator=(const CTlsPeer&) = delete;
    ~CTlsPeer() {}

    static std::unique_ptr<CTlsPeer> Server(int fd, const CServerOptions& options) {
        auto peer = std::unique_ptr<CTlsPeer>(new CTlsPeer(TLS_server_method()));
        SSL_CTX_use_certificate(peer->m_ctx.get(), options.pCert);
        SSL_CTX_use_PrivateKey(peer->m_ctx.get(), options.pKey);
        // One ticket key for every test server, so that a client may resume a session with
        // the next connection as it would with one server.
        unsigned char ticketKeys[80] = {7};
        SSL_CTX_set_tlsext_ticket_keys(peer->m_ctx.get(), ticketKeys, sizeof(ticketKeys));
        peer->m_alpn = options.alpn;
        if (!peer->m_alpn.empty()) {
            SSL_CTX_set_alpn_select_cb(peer->m_ctx.get(), SelectServerAlpn, &peer->m_alpn);
        }
        peer->m_ssl.reset(SSL_new(peer->m_ctx.get()));
        SSL_set_fd(peer->m_ssl.get(), fd);
        peer->m_bOk = SSL_accept(peer->m_ssl.get()) == 1;
        return peer;
    }

    // `strCaPem` empty: nothing is trusted (the handshake fails on verification).
    static std::unique_ptr<CTlsPeer> Client(int fd, const std::string& strCaPem,
                                            const std::string& strSni,
                                            const std::vector<std::string>& alpn,
                                            int nMaxVersion = 0) {
        auto peer = std::unique_ptr<CTlsPeer>(new CTlsPeer(TLS_client_method()));
        peer->SetUpClient(strCaPem, strSni, alpn, nMaxVersion);
        SSL_set_fd(peer->m_ssl.get(), fd);
        peer->m_bOk = SSL_connect(peer->m_ssl.get()) == 1;
        return peer;
    }

    // A client that trusts `strCaPem` but takes only a leaf certificate whose key is
    // `pPinned`, as apps that pin their server's key do.
    static std::unique_ptr<CTlsPeer> PinningClient(int fd, const std::string& strCaPem,
                                                   const std::string& strSni, EVP_PKEY* pPinned) {
        auto peer = std::unique_ptr<CTlsPeer>(new CTlsPeer(TLS_client_method()));
        peer->SetUpClient(strCaPem, strSni, {}, 0);
        SSL_set_app_data(peer->m_ssl.get(), pPinned);
        SSL_set_verify(peer->m_ssl.get(), SSL_VERIFY_PEER, [](int bOk, X509_STORE_CTX* pCtx) {
            if (bOk != 1 || X509_STORE_CTX_get_error_depth(pCtx) != 0) {
                return bOk;
            }
            SSL* pSsl = static_cast<SSL*>(
                X509_STORE_CTX_get_ex_data(pCtx, SSL_get_ex_data_X509_STORE_CTX_idx()));
            auto* pWanted = static_cast<EVP_PKEY*>(SSL_get_app_data(pSsl));
            if (EVP_PKEY_eq(X509_get0_pubkey(X509_STORE_CTX_get_current_cert(pCtx)), pWanted) ==
                1) {
                return 1;
            }
            X509_STORE_CTX_set_error(pCtx, X509_V_ERR_APPLICATION_VERIFICATION);
            return 0;
        });
        SSL_set_fd(peer->m_ssl.get(), fd);
        peer->m_bOk = SSL_connect(peer->m_ssl.get()) == 1;
        return peer;
    }

    // A client whose ClientHello carries `nPadding` more bytes in an extension of no meaning
    // (as large post-quantum key shares or long ticket lists make real ones).
    static std::unique_ptr<CTlsPeer> LongHelloClient(int fd, const std::string& strCaPem,
                                                     const std::string& strSni,
                                                     std::size_t nPadding) {
        auto peer = std::unique_ptr<CTlsPeer>(new CTlsPeer(TLS_client_method()));
        peer->m_padding.assign(nPadding, '\x5a');
        SSL_CTX_add_custom_ext(
            peer->m_ctx.get(), 0xfa5a, SSL_EXT_CLIENT_HELLO,
            [](SSL*, unsigned int, unsigned int, const unsigned char** ppOut, std::size_t* pnOut,
               X509*, std::size_t, int*, void* pArg) {
                const auto* pPadding = static_cast<const std::string*>(pArg);
                *ppOut = reinterpret_cast<const unsigned char*>(pPadding->data());
                *pnOut = pPadding->size();
                return 1;
            },
            nullptr, &peer->m_padding, nullptr, nullptr);
        peer->SetUpClient(strCaPem, strSni, {}, 0);
        SSL_set_fd(peer->m_ssl.get(), fd);
        peer->m_bOk = SSL_connect(peer->m_ssl.get()) == 1;
        return peer;
    }

    // A client whose handshake is not started yet (the test drives it over memory BIOs).
    static std::unique_ptr<CTlsPeer> MemoryClient(const std::string& strCaPem,
                                                  const std::string& strSni,
                                                  const std::vector<std::string>& alpn) {
        auto peer = std::unique_ptr<CTlsPeer>(new CTlsPeer(TLS_client_method()));
        peer->SetUpClient(strCaPem, strSni, alpn, 0);
        peer->m_pIn = BIO_new(BIO_s_mem());
        peer->m_pOut = BIO_new(BIO_s_mem());
        SSL_set_bio(peer->m_ssl.get(), peer->m_pIn, peer->m_pOut);
        SSL_set_connect_state(peer->m_ssl.get());
        return peer;
    }

    bool Ok() const { return m_bOk; }
    SSL* Ssl() const { return m_ssl.get(); }
    BIO* In() const { return m_pIn; }
    BIO* Out() const { return m_pOut; }

    bool Write(const std::string& data) {
        std::size_t nDone = 0;
        while (nDone < data.size()) {
            const int n =
                SSL_write(m_ssl.get(), data.data() + nDone,
                          static_cast<int>(std::min<std::size_t>(data.size() - nDone, 65536)));
            if (n <= 0) {
                return false;
            }
            nDone += static_cast<std::size_t>(n);
        }
        return true;
    }
    // Reads up to `n` bytes until the stream ends.
    std::string Read(std::size_t n) {
        std::string data;
        char buffer[16384];
        while (data.size() < n) {
            const int r = SSL_read(m_ssl.get(), buffer,
                                   static_cast<int>(std::min(sizeof(buffer), n - data.size())));
            if (r <= 0) {
                break;
            }
            data.append(buffer, static_cast<std::size_t>(r));
        }
        return data;
    }
    std::string Alpn() const {
        const unsigned char* p = nullptr;
        unsigned int n = 0;
        SSL_get0_alpn_selected(m_ssl.get(), &p, &n);
        return std::string(reinterpret_cast<const char*>(p), n);
    }
    // The SAN and CN of the peer's certificate, as one text.
    std::string PeerNames() const {
        X509* pCert = SSL_get0_peer_certificate(m_ssl.get());
        if (pCert == nullptr) {
            return {};
        }
        char szCn[256] = {};
        X509_NAME_get_text_by_NID(X509_get_subject_name(pCert), NID_commonName, szCn, sizeof(szCn));
        std::string strNames = std::string("CN=") + szCn;
        auto* pNames = static_cast<GENERAL_NAMES*>(
            X509_get_ext_d2i(pCert, NID_subject_alt_name, nullptr, nullptr));
        for (int i = 0; pNames != nullptr && i < sk_GENERAL_NAME_num(pNames); ++i) {
            const GENERAL_NAME* pName = sk_GENERAL_NAME_value(pNames, i);
            if (pName->type == GEN_DNS) {
                strNames += " DNS:" + std::string(reinterpret_cast<const char*>(
                                          ASN1_STRING_get0_data(pName->d.dNSName)));
            } else if (pName->type == GEN_IPADD) {
                strNames += " IP";
            }
        }
        GENERAL_NAMES_free(pNames);
        return strNames;
    }

private:
    explicit CTlsPeer(const SSL_METHOD* pMethod) : m_ctx(SSL_CTX_new(pMethod)) {
        SSL_CTX_set_options(m_ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    }

    void SetUpClient(const std::string& strCaPem, const std::string& strSni,
                     const std::vector<std::string>& alpn, int nMaxVersion) {
        X509_STORE* pStore = SSL_CTX_get_cert_store(m_ctx.get());
        if (!strCaPem.empty()) {
            tls::BioPtr bio(BIO_new_mem_buf(strCaPem.data(), static_cast<int>(strCaPem.size())));
            tls::X509Ptr ca(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
            X509_STORE_add_cert(pStore, ca.get());
        }
        SSL_CTX_set_verify(m_ctx.get(), SSL_VERIFY_PEER, nullptr);
        if (nMaxVersion != 0) {
            SSL_CTX_set_max_proto_version(m_ctx.get(), nMaxVersion);
        }
        m_ssl.reset(SSL_new(m_ctx.get()));
        if (!strSni.empty()) {
            SSL_set_tlsext_host_name(m_ssl.get(), strSni.c_str());
        }
        std::string strWire;
        for (const std::string& strName : alpn) {
            strWire += static_cast<char>(strName.size()) + strName;
        }
        if (!strWire.empty()) {
            SSL_set_alpn_protos(m_ssl.get(), reinterpret_cast<const unsigned char*>(strWire.data()),
                                static_cast<unsigned int>(strWire.size()));
        }
    }

    tls::SslCtxPtr m_ctx;
    tls::SslPtr m_ssl;
    std::vector<std::string> m_alpn;
    std::string m_padding;  // LongHelloClient's extension
    BIO* m_pIn = nullptr;   // owned by the SSL object
    BIO* m_pOut = nullptr;  // owned by the SSL object
    bool m_bOk = false;
};

// The ClientHello that a client with these settings sends first.
inline std::string ClientHelloBytes(const std::string& strSni,
                                    const std::vector<std::string>& alpn) {
    auto peer = CTlsPeer::MemoryClient("", strSni, alpn);
    SSL_do_handshake(peer->Ssl());
    char* pData = nullptr;
    const long n = BIO_get_mem_data(peer->Out(), &pData);
    return std::string(pData, static_cast<std::size_t>(n));
}

}  // namespace test
