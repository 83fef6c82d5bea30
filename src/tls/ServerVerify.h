// The check of the server's certificate: what went wrong first while the chain was
// verified, kept for the plain-word reason that the log and the status line show.
#pragma once

#include <openssl/ssl.h>

#include <string>
#include <vector>

namespace tls {

struct CVerifyNote {
    long nError = 0;           // X509_V_OK when nothing failed
    std::string strSubject;    // the certificate the first failure was about
    std::string strNotBefore;  // its validity
    std::string strNotAfter;
    std::vector<std::string> names;  // the names the server's own certificate is for
    bool bAcceptAny = false;         // the failure is noted but does not end the handshake
};

// Sets up `pSsl` to verify the server's chain and its name `strHost` (a DNS name or an IP
// address, none when empty) and to note the first failure in `pNote`, which must outlive
// the handshake.
void SetUpServerVerify(SSL* pSsl, const std::string& strHost, CVerifyNote* pNote);

// "The server's certificate is not trusted: self-signed certificate in chain (CN=...)", "The
// server's certificate expired on ...", "The server's certificate is for a.example, not
// b.example". `strHost` is the name the server was asked for.
std::string ServerCertProblem(const CVerifyNote& note, const std::string& strHost);

// The short name of a certificate's subject: "CN=name" when it has a common name.
std::string ShortName(const X509_NAME* pName);

}  // namespace tls
