#include "tls/ServerVerify.h"

#include <arpa/inet.h>
#include <openssl/x509v3.h>

#include "tls/OpenSslPtr.h"
#include "tls/TlsConfig.h"

namespace tls {

namespace {

std::vector<std::string> CertNames(X509* pCert) {
    std::vector<std::string> names;
    auto* pNames = static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(pCert, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; pNames != nullptr && i < sk_GENERAL_NAME_num(pNames); ++i) {
        const GENERAL_NAME* pName = sk_GENERAL_NAME_value(pNames, i);
        if (pName->type == GEN_DNS) {
            const ASN1_STRING* pText = pName->d.dNSName;
            names.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(pText)),
                               static_cast<std::size_t>(ASN1_STRING_length(pText)));
        } else if (pName->type == GEN_IPADD) {
            const ASN1_OCTET_STRING* pIp = pName->d.iPAddress;
            const int nLength = ASN1_STRING_length(pIp);
            char szIp[INET6_ADDRSTRLEN] = {};
            if ((nLength == 4 || nLength == 16) &&
                inet_ntop(nLength == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(pIp), szIp,
                          sizeof(szIp)) != nullptr) {
                names.emplace_back(szIp);
            }
        }
    }
    GENERAL_NAMES_free(pNames);
    if (names.empty()) {
        const std::string strCn = ShortName(X509_get_subject_name(pCert));
        if (strCn.starts_with("CN=")) {
            names.push_back(strCn.substr(3));
        }
    }
    return names;
}

int VerifyCallback(int nPreverifyOk, X509_STORE_CTX* pStore) {
    auto* pSsl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(pStore, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* pNote = pSsl != nullptr ? static_cast<CVerifyNote*>(SSL_get_app_data(pSsl)) : nullptr;
    if (pNote == nullptr) {
        return nPreverifyOk;
    }
    if (X509_STORE_CTX_get_error_depth(pStore) == 0 && pNote->names.empty()) {
        if (X509* pLeaf = X509_STORE_CTX_get_current_cert(pStore)) {
            pNote->names = CertNames(pLeaf);
        }
    }
    if (nPreverifyOk == 0 && pNote->nError == X509_V_OK) {
        pNote->nError = X509_STORE_CTX_get_error(pStore);
        if (X509* pCert = X509_STORE_CTX_get_current_cert(pStore)) {
            pNote->strSubject = ShortName(X509_get_subject_name(pCert));
            pNote->strNotBefore = TimeText(X509_get0_notBefore(pCert));
            pNote->strNotAfter = TimeText(X509_get0_notAfter(pCert));
            if (pNote->names.empty()) {
                pNote->names = CertNames(pCert);
            }
        }
    }
    return pNote->bAcceptAny ? 1 : nPreverifyOk;
}

}  // namespace

std::string ShortName(const X509_NAME* pName) {
    const int nIndex = X509_NAME_get_index_by_NID(pName, NID_commonName, -1);
    if (nIndex < 0) {
        return NameText(pName);
    }
    unsigned char* pText = nullptr;
    const int nLength =
        ASN1_STRING_to_UTF8(&pText, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(pName, nIndex)));
    std::string strName = "CN=";
    if (nLength > 0) {
        strName.append(reinterpret_cast<char*>(pText), static_cast<std::size_t>(nLength));
    }
    OPENSSL_free(pText);
    return strName;
}

void SetUpServerVerify(SSL* pSsl, const std::string& strHost, CVerifyNote* pNote) {
    SSL_set_app_data(pSsl, pNote);
    SSL_set_verify(pSsl, SSL_VERIFY_PEER, VerifyCallback);
    if (strHost.empty()) {
        return;
    }
    X509_VERIFY_PARAM* pParam = SSL_get0_param(pSsl);
    if (IsIpLiteral(strHost)) {
        X509_VERIFY_PARAM_set1_ip_asc(pParam, strHost.c_str());
    } else {
        X509_VERIFY_PARAM_set_hostflags(pParam, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        SSL_set1_host(pSsl, strHost.c_str());
    }
}

std::string ServerCertProblem(const CVerifyNote& note, const std::string& strHost) {
    const std::string strWhose = note.strSubject.empty() ? "" : " (" + note.strSubject + ")";
    switch (note.nError) {
        case X509_V_OK:
            return {};
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return "The server's certificate expired on " + note.strNotAfter + strWhose;
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return "The server's certificate is not valid before " + note.strNotBefore + strWhose;
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH: {
            std::string strNames;
            for (const std::string& strName : note.names) {
                strNames += (strNames.empty() ? "" : ", ") + strName;
            }
            return "The server's certificate is for " + (strNames.empty() ? "no name" : strNames) +
                   ", not " + strHost;
        }
        default:
            return std::string("The server's certificate is not trusted: ") +
                   X509_verify_cert_error_string(note.nError) + strWhose;
    }
}

}  // namespace tls
