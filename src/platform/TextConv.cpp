#include "platform/TextConv.h"

#include "platform/Utf8Chunks.h"

#include <algorithm>
#include <array>
#include <bit>
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

}  // namespace

namespace {

// Length of the valid UTF-8 sequence at p, or 0: DecodeSequence without the code point for
// the common two-byte case.
inline std::size_t ValidSequenceLength(const unsigned char* p, std::size_t n) {
    if (p[0] < 0xC2 || p[0] > 0xF4) {
        return 0;
    }
    if (p[0] <= 0xDF) {
        return n >= 2 && IsContinuation(p[1]) ? 2 : 0;
    }
    char32_t cp = 0;
    return DecodeSequence(p, n, cp);
}

// The byte tables as words: the UTF-8 bytes in the low three bytes (the first lowest), the
// length in the top byte.
constexpr std::array<std::uint32_t, 256> MakeByteWords(const std::array<CByteUtf8, 256>& bytes) {
    std::array<std::uint32_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        const CByteUtf8& e = bytes[b];
        table[b] = static_cast<std::uint32_t>(static_cast<unsigned char>(e.bytes[0])) |
                   static_cast<std::uint32_t>(static_cast<unsigned char>(e.bytes[1])) << 8 |
                   static_cast<std::uint32_t>(static_cast<unsigned char>(e.bytes[2])) << 16 |
                   static_cast<std::uint32_t>(e.nLength) << 24;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kByteWords = MakeByteWords(kByteUtf8);
constexpr std::array<std::uint32_t, 256> kByteWordsShowZero = MakeByteWords(kByteUtf8ShowZero);

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

constexpr std::uint64_t kHighBits = 0x8080808080808080ull;

// Eight bytes, the first in the lowest bits.
inline std::uint64_t Load64(const unsigned char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) {
        word = __builtin_bswap64(word);
    }
    return word;
}

// Writes the four bytes of n, the lowest first.
inline void Store32(char* p, std::uint32_t n) {
    if constexpr (std::endian::native == std::endian::big) {
        n = __builtin_bswap32(n);
    }
    std::memcpy(p, &n, sizeof n);
}

// The top bit of each byte of the result is set where `word` holds a byte that may lead a
// sequence (11xxxxxx) followed by a continuation byte (10xxxxxx); `after` is the byte
// after the word. Every valid sequence starts at such a byte.
inline std::uint64_t LeadCandidates(std::uint64_t word, unsigned char after) {
    const std::uint64_t next = (word >> 8) | (static_cast<std::uint64_t>(after) << 56);
    const std::uint64_t leads = word & (word << 1) & kHighBits;
    const std::uint64_t continuations = next & ~(next << 1) & kHighBits;
    return leads & continuations;
}

}  // namespace

std::size_t AnsiToUtf8(std::string_view bytes, char* pOut, bool bShowZero) {
    const std::size_t n = bytes.size();
    const auto* src = reinterpret_cast<const unsigned char*>(bytes.data());
    char* dst = pOut;
    const std::array<CByteUtf8, 256>& table = bShowZero ? kByteUtf8ShowZero : kByteUtf8;
    const std::array<std::uint32_t, 256>& words = bShowZero ? kByteWordsShowZero : kByteWords;
    // Whole chunks of 64 bytes first, with vector compares; the rest (under 67 bytes, or all
    // of it without vector support) below.
    std::size_t nWritten = 0;
    std::size_t i = AnsiToUtf8Chunks(src, n, (bShowZero ? kPackedShowZero : kPacked).entries,
                                     bShowZero, dst, nWritten);
    dst += nWritten;
    // Eight bytes at a time, from the start of a character on. In binary data a byte that
    // may lead a sequence comes every few bytes and whether it does is a coin toss: a
    // branch per byte mispredicted so often that it cost more than all the rest. So the
    // bytes up to the first one that may lead a sequence go through the table without
    // branching on them (all eight are written, as each input byte has three bytes of room
    // and nine are left; only those before it count), then that one byte is looked at.
    while (i + 9 <= n) {
        const std::uint64_t word = Load64(src + i);
        const bool bZero = bShowZero && ((word - 0x0101010101010101ull) & ~word & kHighBits) != 0;
        if ((word & kHighBits) == 0 && !bZero) {
            std::memcpy(dst, src + i, 8);  // ASCII
            dst += 8;
            i += 8;
            continue;
        }
        const std::uint64_t candidates = LeadCandidates(word, src[i + 8]);
        const unsigned nSingle =
            candidates == 0 ? 8 : static_cast<unsigned>(std::countr_zero(candidates)) / 8;
        // Unrolled, so that every shift is a constant one.
#pragma GCC unroll 8
        for (unsigned k = 0; k < 8; ++k) {
            const std::uint32_t e = words[(word >> (8 * k)) & 0xFF];
            Store32(dst, e);
            dst += (e >> 24) & (0u - static_cast<std::uint32_t>(k < nSingle));
        }
        i += nSingle;
        if (nSingle == 8) {
            continue;
        }
        std::size_t len = ValidSequenceLength(src + i, n - i);
        if (len != 0) {
            // Text in a language with accents has its sequences side by side.
            do {
                std::memcpy(dst, src + i, len);
                dst += len;
                i += len;
            } while (i < n && (len = ValidSequenceLength(src + i, n - i)) != 0);
        } else {
            const std::uint32_t e = words[src[i]];
            Store32(dst, e);
            dst += e >> 24;
            ++i;
        }
    }
    // The last bytes, one character at a time.
    while (i < n) {
        const std::size_t len = ValidSequenceLength(src + i, n - i);
        if (len != 0) {
            std::memcpy(dst, src + i, len);
            dst += len;
            i += len;
            continue;
        }
        const CByteUtf8& e = table[src[i]];
        std::memcpy(dst, e.bytes, e.nLength);
        dst += e.nLength;
        ++i;
    }
    return static_cast<std::size_t>(dst - pOut);
}

namespace {

// What the measure takes for granted about the conversion's table: break bytes and other
// ASCII stay one byte (a zero byte three when shown), the bytes 0x80-0x9F become two or
// three, the bytes 0xA0-0xFF two. A change to the table that breaks this fails the build.
constexpr bool MeasureRulesHold() {
    for (unsigned b = 0; b < 256; ++b) {
        const unsigned nPlain = kByteUtf8[b].nLength;
        const unsigned nShown = kByteUtf8ShowZero[b].nLength;
        const unsigned nWant = b < 0x80 ? 1 : b >= 0xA0 ? 2 : nPlain;
        if (nPlain != nWant || nShown != (b == 0 ? 3 : nWant) || nPlain < 1 || nPlain > 3) {
            return false;
        }
        if ((b == '\n' || b == '\r') && kByteUtf8[b].bytes[0] != static_cast<char>(b)) {
            return false;
        }
    }
    return (kPacked.entries[0] >> 24) == 1 && (kPackedShowZero.entries[0] >> 24) == 3;
}
static_assert(MeasureRulesHold());

}  // namespace

std::size_t MeasureAnsiAsUtf8(std::string_view bytes, bool bShowZero, TextBreakFn fnBreak,
                              void* pContext) {
    const std::size_t n = bytes.size();
    const auto* src = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::array<CByteUtf8, 256>& table = bShowZero ? kByteUtf8ShowZero : kByteUtf8;
    // The whole chunks as AnsiToUtf8 converts them, then the rest byte by byte as it does.
    std::size_t nText = 0;
    std::size_t i = MeasureAnsiToUtf8Chunks(src, n, (bShowZero ? kPackedShowZero : kPacked).entries,
                                            bShowZero, fnBreak, pContext, nText);
    while (i < n) {
        // ASCII without zero bytes and breaks, eight bytes at a time.
        if (i + 8 <= n) {
            const std::uint64_t word = Load64(src + i);
            const auto has = [word](std::uint64_t pattern) {
                const std::uint64_t v = word ^ pattern;
                return ((v - 0x0101010101010101ull) & ~v & kHighBits) != 0;
            };
            if ((word & kHighBits) == 0 && !has(0) && !has(0x0A0A0A0A0A0A0A0Aull) &&
                !has(0x0D0D0D0D0D0D0D0Dull)) {
                nText += 8;
                i += 8;
                continue;
            }
        }
        const unsigned char b = src[i];
        if (b == '\n' || b == '\r') {
            if (fnBreak != nullptr) {
                fnBreak(pContext, i, nText);
            }
            ++nText;
            ++i;
            continue;
        }
        const std::size_t len = ValidSequenceLength(src + i, n - i);
        nText += len != 0 ? len : table[b].nLength;
        i += len != 0 ? len : 1;
    }
    return nText;
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
