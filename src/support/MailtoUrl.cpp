#include "support/MailtoUrl.h"

#include "platform/TextConv.h"

namespace {

bool IsUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

void AppendEscaped(std::string& out, unsigned char c) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 0x0F];
}

}  // namespace

std::string PercentEncodeMailField(std::wstring_view text) {
    const std::string bytes = win::WideToAnsi(text);
    std::string out;
    out.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\r' || c == '\n') {
            // One line break, whichever form it had.
            if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
                ++i;
            }
            out += "%0D%0A";
        } else if (IsUnreserved(c)) {
            out += static_cast<char>(c);
        } else {
            AppendEscaped(out, c);
        }
    }
    return out;
}

std::string BuildMailtoUrl(std::string_view address, std::wstring_view subject,
                           std::wstring_view body) {
    std::string strUrl = "mailto:";
    for (const char ch : address) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsUnreserved(c) || c == '@' || c == '+') {
            strUrl += ch;
        } else {
            AppendEscaped(strUrl, c);
        }
    }
    strUrl += "?subject=" + PercentEncodeMailField(subject);
    strUrl += "&body=" + PercentEncodeMailField(body);
    return strUrl;
}
