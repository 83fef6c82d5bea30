#include "platform/Charset.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>

#include "platform/AsciiText.h"

namespace {

// Longest start of a character that is held back; no charset iconv knows needs more.
constexpr std::size_t kMaxTail = 16;

}  // namespace

std::string ContentTypeCharset(std::string_view strContentType) {
    const std::string lower = LowerAsciiText(strContentType);
    for (std::size_t nSemi = lower.find(';'); nSemi != std::string::npos;
         nSemi = lower.find(';', nSemi + 1)) {
        const std::string_view param = Trim(std::string_view(lower).substr(nSemi + 1));
        if (!param.starts_with("charset")) {
            continue;
        }
        std::string_view value = Trim(param.substr(7));
        if (!value.starts_with('=')) {
            continue;
        }
        value = Trim(value.substr(1));
        value = value.substr(0, value.find(';'));
        value = Trim(value);
        if (value.size() >= 2 && value.front() == '"') {
            value = value.substr(1, value.find('"', 1) == std::string_view::npos
                                        ? value.size() - 1
                                        : value.find('"', 1) - 1);
        }
        // The value as it was written (its case does not matter to iconv).
        const std::size_t nStart = static_cast<std::size_t>(value.data() - lower.data());
        return std::string(strContentType.substr(nStart, value.size()));
    }
    return {};
}

std::unique_ptr<CCharsetConverter> CCharsetConverter::Create(std::string_view strCharset) {
    std::string name = LowerAsciiText(Trim(strCharset));
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
        name = name.substr(1, name.size() - 2);
    }
    if (name.empty() || name.find('/') != std::string::npos) {
        return nullptr;  // iconv reads '/' as the start of its own options
    }
    const bool bWindows1252 = name == "iso-8859-1" || name == "latin1" || name == "us-ascii" ||
                              name == "ascii" || name == "windows-1252" || name == "cp1252" ||
                              name == "iso_8859-1" || name == "l1";
    if (bWindows1252) {
        name = "WINDOWS-1252";
    }
    const iconv_t cd = iconv_open("UTF-16LE", name.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return nullptr;
    }
    return std::unique_ptr<CCharsetConverter>(new CCharsetConverter(cd, bWindows1252));
}

CCharsetConverter::CCharsetConverter(void* pIconv, bool bWindows1252)
    : m_pIconv(pIconv), m_bWindows1252(bWindows1252) {}

CCharsetConverter::~CCharsetConverter() {
    iconv_close(static_cast<iconv_t>(m_pIconv));
}

void CCharsetConverter::Convert(std::string_view bytes, std::u16string& out) {
    Run(bytes, out, false);
}

void CCharsetConverter::Finish(std::u16string& out) {
    Run({}, out, true);
}

void CCharsetConverter::Run(std::string_view bytes, std::u16string& out, bool bFinal) {
    std::string input = std::move(m_strTail);
    m_strTail.clear();
    input.append(bytes);
    const auto cd = static_cast<iconv_t>(m_pIconv);
    char* pIn = input.data();
    std::size_t nIn = input.size();
    std::string buffer(4 * nIn + 16, '\0');
    while (nIn > 0) {
        char* pOut = buffer.data();
        std::size_t nOut = buffer.size();
        const std::size_t nResult = iconv(cd, &pIn, &nIn, &pOut, &nOut);
        const std::size_t nMade = buffer.size() - nOut;
        for (std::size_t i = 0; i + 1 < nMade; i += 2) {
            out += static_cast<char16_t>(static_cast<unsigned char>(buffer[i]) |
                                         (static_cast<unsigned char>(buffer[i + 1]) << 8));
        }
        if (nResult != static_cast<std::size_t>(-1)) {
            continue;
        }
        if (errno == E2BIG) {
            continue;
        }
        if (errno == EINVAL && !bFinal && nIn <= kMaxTail) {
            m_strTail.assign(pIn, nIn);  // the start of a character: its rest comes later
            break;
        }
        if (errno == EINVAL && bFinal) {
            out += u'\uFFFD';  // the start of a character that never got its rest
            break;
        }
        // Not a character of the set: one byte is replaced, and the conversion goes on
        // after it.
        const auto c = static_cast<unsigned char>(*pIn);
        out += m_bWindows1252 ? static_cast<char16_t>(c) : u'\uFFFD';
        ++pIn;
        --nIn;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);  // a clean state after the bad byte
    }
    if (bFinal) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
}
