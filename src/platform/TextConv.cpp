#include "platform/TextConv.h"

#include "platform/Utf8Chunks.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace win {

namespace {

// Windows-1252 characters of the bytes 0x80-0x9F. The five bytes that code page leaves
// undefined keep their own value, as the Windows conversion does.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

constexpr char32_t kReplacement = 0xFFFD;

wchar_t Cp1252(unsigned char b) {
    if (b >= 0x80 && b < 0xA0) {
        return static_cast<wchar_t>(kCp1252High[b - 0x80]);
    }
    return static_cast<wchar_t>(b);
}

bool IsContinuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// Length of the valid UTF-8 sequence at p (1 to 4) and its code point, or 0 when the byte
// at p does not start a valid sequence within the n bytes left. The range of the second
// byte excludes overlong forms, surrogates and values above U+10FFFF.
std::size_t DecodeSequence(const unsigned char* p, std::size_t n, char32_t& cp) {
    const unsigned char b0 = p[0];
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        if (n < 2 || !IsContinuation(p[1])) {
            return 0;
        }
        cp = (static_cast<char32_t>(b0 & 0x1F) << 6) | (p[1] & 0x3F);
        return 2;
    }
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        const unsigned char lo = b0 == 0xE0 ? 0xA0 : 0x80;
        const unsigned char hi = b0 == 0xED ? 0x9F : 0xBF;
        if (n < 3 || p[1] < lo || p[1] > hi || !IsContinuation(p[2])) {
            return 0;
        }
        cp = (static_cast<char32_t>(b0 & 0x0F) << 12) | (static_cast<char32_t>(p[1] & 0x3F) << 6) |
             (p[2] & 0x3F);
        return 3;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        const unsigned char lo = b0 == 0xF0 ? 0x90 : 0x80;
        const unsigned char hi = b0 == 0xF4 ? 0x8F : 0xBF;
        if (n < 4 || p[1] < lo || p[1] > hi || !IsContinuation(p[2]) || !IsContinuation(p[3])) {
            return 0;
        }
        cp = (static_cast<char32_t>(b0 & 0x07) << 18) | (static_cast<char32_t>(p[1] & 0x3F) << 12) |
             (static_cast<char32_t>(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
        return 4;
    }
    return 0;
}

bool IsSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

}  // namespace

std::wstring AnsiToWide(std::string_view bytes) {
    // Every byte gives at most one character, so the result never outgrows the input and
    // can be written in place and cut to size at the end.
    const std::size_t n = bytes.size();
    std::wstring out(n, L'\0');
    const auto* src = reinterpret_cast<const unsigned char*>(bytes.data());
    wchar_t* dst = out.data();
    std::size_t i = 0;
    while (i < n) {
        // Relayed data is mostly ASCII: copy eight bytes at a time while none has the top
        // bit set.
        while (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, src + i, sizeof word);
            if ((word & 0x8080808080808080ull) != 0) {
                break;
            }
            for (int k = 0; k < 8; ++k) {
                *dst++ = static_cast<wchar_t>(src[i + k]);
            }
            i += 8;
        }
        if (i >= n) {
            break;
        }
        const unsigned char b = src[i];
        if (b < 0x80) {
            *dst++ = static_cast<wchar_t>(b);
            ++i;
            continue;
        }
        char32_t cp = 0;
        const std::size_t len = DecodeSequence(src + i, n - i, cp);
        if (len == 0) {
            // Not valid UTF-8: show the byte itself and go on with the next one.
            *dst++ = Cp1252(b);
            ++i;
        } else {
            *dst++ = static_cast<wchar_t>(cp);
            i += len;
        }
    }
    out.resize(static_cast<std::size_t>(dst - out.data()));
    return out;
}

std::string WideToAnsi(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (const wchar_t wc : text) {
        char32_t c = static_cast<char32_t>(wc);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            continue;
        }
        if (IsSurrogate(c) || c > 0x10FFFF) {
            c = kReplacement;
        }
        if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        }
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
    return out;
}

namespace {

// The UTF-8 form of each byte taken on its own (a byte outside a valid sequence): its
// Windows-1252 character, one to three bytes.
struct CByteUtf8 {
    unsigned char nLength;
    char bytes[3];
};

// With bShowZero, a zero byte becomes U+2400 SYMBOL FOR NULL.
constexpr std::array<CByteUtf8, 256> MakeByteUtf8(bool bShowZero) {
    std::array<CByteUtf8, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        const char32_t c = b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : b;
        CByteUtf8& e = table[b];
        if (c < 0x80) {
            e = {1, {static_cast<char>(c), 0, 0}};
        } else if (c < 0x800) {
            e = {2, {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F)), 0}};
        } else {
            e = {3,
                 {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                  static_cast<char>(0x80 | (c & 0x3F))}};
        }
    }
    if (bShowZero) {
        table[0] = {3, {'\xE2', '\x90', '\x80'}};
    }
    return table;
}

constexpr std::array<CByteUtf8, 256> kByteUtf8 = MakeByteUtf8(false);
constexpr std::array<CByteUtf8, 256> kByteUtf8ShowZero = MakeByteUtf8(true);

// The same packed for the chunked conversion, followed by the bytes that stay as they are.
struct CPackedTable {
    ByteTextTable entries;
};

constexpr CPackedTable MakePacked(const std::array<CByteUtf8, 256>& bytes) {
    CPackedTable table{};
    for (unsigned b = 0; b < 256; ++b) {
        const CByteUtf8& e = bytes[b];
        table.entries[b] = static_cast<unsigned char>(e.bytes[0]) |
                           static_cast<std::uint32_t>(static_cast<unsigned char>(e.bytes[1])) << 8 |
                           static_cast<std::uint32_t>(static_cast<unsigned char>(e.bytes[2]))
                               << 16 |
                           static_cast<std::uint32_t>(e.nLength) << 24;
        table.entries[256 + b] = b | 1u << 24;
    }
    return table;
}

constexpr CPackedTable kPacked = MakePacked(kByteUtf8);
constexpr CPackedTable kPackedShowZero = MakePacked(kByteUtf8ShowZero);

}  // namespace

namespace {

// Length of the valid UTF-8 sequence at p, whose first byte is 0xC2 to 0xF4, or 0:
// DecodeSequence without the code point for the common two-byte case.
inline std::size_t ValidSequenceLength(const unsigned char* p, std::size_t n) {
    if (p[0] <= 0xDF) {
        return n >= 2 && IsContinuation(p[1]) ? 2 : 0;
    }
    char32_t cp = 0;
    return DecodeSequence(p, n, cp);
}

}  // namespace

std::size_t AnsiToUtf8(std::string_view bytes, char* pOut, bool bShowZero) {
    const std::size_t n = bytes.size();
    const auto* src = reinterpret_cast<const unsigned char*>(bytes.data());
    char* dst = pOut;
    const std::array<CByteUtf8, 256>& table = bShowZero ? kByteUtf8ShowZero : kByteUtf8;
    // Whole chunks first; the rest (under 67 bytes) byte by byte.
    std::size_t nWritten = 0;
    std::size_t i = AnsiToUtf8Chunks(src, n, (bShowZero ? kPackedShowZero : kPacked).entries,
                                     bShowZero, dst, nWritten);
    dst += nWritten;
    while (i < n) {
        // ASCII runs (without zero bytes when those are shown) go eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, src + i, sizeof word);
            const bool bHighBit = (word & 0x8080808080808080ull) != 0;
            const bool bZero =
                bShowZero && ((word - 0x0101010101010101ull) & ~word & 0x8080808080808080ull) != 0;
            if (bHighBit || bZero) {
                break;
            }
            std::memcpy(dst, &word, sizeof word);
            dst += 8;
            i += 8;
        }
        // The word that held other bytes goes byte by byte (binary data mostly stays here:
        // testing a word before every byte would cost more than it saves).
        const std::size_t nStop = std::min(n, i + 8);
        while (i < nStop) {
            const unsigned char b = src[i];
            if (b >= 0xC2 && b <= 0xF4) {
                const std::size_t len = ValidSequenceLength(src + i, n - i);
                if (len != 0) {
                    std::memcpy(dst, src + i, len);
                    dst += len;
                    i += len;
                    continue;
                }
            }
            // Any other byte on its own, through the table without further tests: three
            // bytes are always room, only the character's own length counts.
            const CByteUtf8& e = table[b];
            std::memcpy(dst, e.bytes, 3);
            dst += e.nLength;
            ++i;
        }
    }
    return static_cast<std::size_t>(dst - pOut);
}

void AppendAnsiAsUtf8(std::string_view bytes, std::string& out, bool bShowZero) {
    const std::size_t nStart = out.size();
    out.resize(nStart + 3 * bytes.size());
    out.resize(nStart + AnsiToUtf8(bytes, out.data() + nStart, bShowZero));
}

std::u16string WideToUtf16(std::wstring_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (const wchar_t wc : text) {
        char32_t c = static_cast<char32_t>(wc);
        if (c > 0x10FFFF) {
            c = kReplacement;
        }
        if (c < 0x10000) {
            // Includes a lone surrogate, which stays the unit it was.
            out.push_back(static_cast<char16_t>(c));
        } else {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 | (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 | (c & 0x3FF)));
        }
    }
    return out;
}

std::wstring Utf16ToWide(std::u16string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            const char32_t c = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                               (static_cast<char32_t>(text[i + 1]) - 0xDC00);
            out.push_back(static_cast<wchar_t>(c));
            ++i;
        } else {
            out.push_back(static_cast<wchar_t>(u));
        }
    }
    return out;
}

}  // namespace win

namespace win {

std::wstring BlockText(std::string_view bytes) {
    std::wstring text = AnsiToWide(bytes);
    std::replace(text.begin(), text.end(), L'\0', L'\u2400');
    return text;
}

}  // namespace win
