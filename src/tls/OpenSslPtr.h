// Owning pointers for the OpenSSL objects that the TLS code keeps, and the text of
// OpenSSL's error queue.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace tls {

struct CFreeX509 {
    void operator()(X509* p) const { X509_free(p); }
};
struct CFreeKey {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct CFreeSslCtx {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
struct CFreeSsl {
    void operator()(SSL* p) const { SSL_free(p); }
};
struct CFreeBio {
    void operator()(BIO* p) const { BIO_free(p); }
};

using X509Ptr = std::unique_ptr<X509, CFreeX509>;
using KeyPtr = std::unique_ptr<EVP_PKEY, CFreeKey>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, CFreeSslCtx>;
using SslPtr = std::unique_ptr<SSL, CFreeSsl>;
using BioPtr = std::unique_ptr<BIO, CFreeBio>;

// Empties the calling thread's OpenSSL error queue and returns its first entry as text
// ("" when it was empty).
std::string TakeOpenSslError();

// "CN=name, O=org" of a certificate's subject or issuer, one line, UTF-8.
std::string NameText(const X509_NAME* pName);

// A certificate time as "2026-01-31 23:59:59 UTC".
std::string TimeText(const ASN1_TIME* pTime);

}  // namespace tls
