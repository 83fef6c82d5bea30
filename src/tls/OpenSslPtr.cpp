#include "tls/OpenSslPtr.h"

#include <openssl/err.h>

#include <ctime>

namespace tls {

std::string TakeOpenSslError() {
    const unsigned long nError = ERR_get_error();
    ERR_clear_error();
    if (nError == 0) {
        return {};
    }
    char szText[256];
    ERR_error_string_n(nError, szText, sizeof(szText));
    return szText;
}

std::string NameText(const X509_NAME* pName) {
    if (pName == nullptr) {
        return {};
    }
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(
                    bio.get(), pName, 0,
                    (XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB) | ASN1_STRFLGS_UTF8_CONVERT) < 0) {
        return {};
    }
    char* pData = nullptr;
    const long nLength = BIO_get_mem_data(bio.get(), &pData);
    const std::string_view text(pData, static_cast<std::size_t>(nLength));
    // The one-line form writes "CN = x"; the log uses the short "CN=x".
    std::string strText;
    for (std::size_t nPos = 0; nPos < text.size();) {
        if (text.substr(nPos, 3) == " = ") {
            strText += '=';
            nPos += 3;
        } else {
            strText += text[nPos++];
        }
    }
    return strText;
}

std::string TimeText(const ASN1_TIME* pTime) {
    std::tm tmTime{};
    if (pTime == nullptr || ASN1_TIME_to_tm(pTime, &tmTime) != 1) {
        return "an unknown date";
    }
    char szText[64];
    std::strftime(szText, sizeof(szText), "%Y-%m-%d %H:%M:%S UTC", &tmTime);
    return szText;
}

}  // namespace tls
