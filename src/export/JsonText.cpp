#include "export/JsonText.h"

#include <cstdio>
#include <ctime>

namespace jsontext {

namespace {

// The length of the UTF-8 sequence at `s[i]`, or 0 when none begins there.
std::size_t SequenceLength(std::string_view s, std::size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
        return 1;
    }
    std::size_t n = 0;
    std::uint32_t nMin = 0;
    if ((c & 0xE0) == 0xC0) {
        n = 2;
        nMin = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3;
        nMin = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4;
        nMin = 0x10000;
    } else {
        return 0;
    }
    if (i + n > s.size()) {
        return 0;
    }
    std::uint32_t cp = c & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            return 0;
        }
        cp = cp << 6 | (b & 0x3F);
    }
    if (cp < nMin || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return n;
}

}  // namespace

bool IsUtf8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = SequenceLength(bytes, i);
        if (n == 0) {
            return false;
        }
        i += n;
    }
    return true;
}

void AppendString(std::string& out, std::string_view bytes) {
    static const char kHex[] = "0123456789abcdef";
    out.reserve(out.size() + bytes.size() + 2);
    out.push_back('"');
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = SequenceLength(bytes, i);
        if (n == 0) {
            out.append("\xEF\xBF\xBD");
            ++i;
            continue;
        }
        if (n > 1) {
            out.append(bytes.substr(i, n));
            i += n;
            continue;
        }
        const char c = bytes[i++];
        switch (c) {
            case '"':
                out.append("\\\"");
                break;
            case '\\':
                out.append("\\\\");
                break;
            case '\n':
                out.append("\\n");
                break;
            case '\r':
                out.append("\\r");
                break;
            case '\t':
                out.append("\\t");
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                    out.append("\\u00");
                    out.push_back(kHex[(c >> 4) & 0xF]);
                    out.push_back(kHex[c & 0xF]);
                } else {
                    out.push_back(c);
                }
        }
    }
    out.push_back('"');
}

void AppendBase64(std::string& out, std::string_view bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out.reserve(out.size() + (bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t n = static_cast<unsigned char>(bytes[i]) << 16 |
                                static_cast<unsigned char>(bytes[i + 1]) << 8 |
                                static_cast<unsigned char>(bytes[i + 2]);
        out.push_back(kAlphabet[n >> 18]);
        out.push_back(kAlphabet[(n >> 12) & 63]);
        out.push_back(kAlphabet[(n >> 6) & 63]);
        out.push_back(kAlphabet[n & 63]);
    }
    const std::size_t nRest = bytes.size() - i;
    if (nRest > 0) {
        std::uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
        if (nRest == 2) {
            n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        }
        out.push_back(kAlphabet[n >> 18]);
        out.push_back(kAlphabet[(n >> 12) & 63]);
        out.push_back(nRest == 2 ? kAlphabet[(n >> 6) & 63] : '=');
        out.push_back('=');
    }
}

std::string IsoTime(std::int64_t nTimeUs) {
    std::int64_t nSeconds = nTimeUs / 1000000;
    std::int64_t nMicros = nTimeUs % 1000000;
    if (nMicros < 0) {
        nMicros += 1000000;
        --nSeconds;
    }
    const auto t = static_cast<std::time_t>(nSeconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char sz[48];
    std::snprintf(sz, sizeof sz, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(nMicros / 1000));
    return sz;
}

std::string Milliseconds(std::int64_t nUs) {
    if (nUs < 0) {
        return "-1";
    }
    char sz[32];
    std::snprintf(sz, sizeof sz, "%lld.%03lld", static_cast<long long>(nUs / 1000),
                  static_cast<long long>(nUs % 1000));
    return sz;
}

}  // namespace jsontext
