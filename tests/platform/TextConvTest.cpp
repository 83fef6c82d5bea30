#include "platform/TextConv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "Utf8EdgeSequences.h"

namespace {

std::wstring Decode(std::string_view bytes) {
    return win::AnsiToWide(bytes);
}

TEST(TextConvDecode, AsciiAndNulKeepTheirValueAndLength) {
    EXPECT_EQ(Decode(""), L"");
    EXPECT_EQ(Decode("GET / HTTP/1.1\r\n"), L"GET / HTTP/1.1\r\n");
    const std::wstring w = Decode(std::string_view("a\0b", 3));
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[1], L'\0');
    EXPECT_EQ(w[2], L'b');
}

TEST(TextConvDecode, HighByteAtEveryOffsetOfTheAsciiFastPath) {
    // One invalid byte placed at each position around the 8-byte blocks.
    for (std::size_t pos = 0; pos < 24; ++pos) {
        std::string bytes(24, 'x');
        bytes[pos] = '\x80';
        std::wstring expected(24, L'x');
        expected[pos] = L'\u20AC';
        EXPECT_EQ(Decode(bytes), expected) << "position " << pos;
    }
}

TEST(TextConvDecode, EveryByteFrom80To9FIsItsWindows1252Character) {
    const wchar_t expected[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                  0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    for (int b = 0x80; b <= 0x9F; ++b) {
        const char c = static_cast<char>(b);
        EXPECT_EQ(Decode(std::string_view(&c, 1)), std::wstring(1, expected[b - 0x80]))
            << "byte " << std::hex << b;
    }
}

TEST(TextConvDecode, LoneLatin1BytesKeepTheirValue) {
    EXPECT_EQ(Decode("\xA0"), L"\u00A0");
    EXPECT_EQ(Decode("caf\xE9"), L"caf\u00E9");
    EXPECT_EQ(Decode("\xC0"), L"\u00C0");
    EXPECT_EQ(Decode("\xFF\xFE"), L"\u00FF\u00FE");
}

TEST(TextConvDecode, ValidSequencesOfEveryLength) {
    EXPECT_EQ(Decode("caf\xC3\xA9"), L"caf\u00E9");
    EXPECT_EQ(Decode("\xE2\x82\xAC"), L"\u20AC");
    EXPECT_EQ(Decode("\xF0\x9F\x98\x80"), L"\U0001F600");
    // The first and last value of each length.
    EXPECT_EQ(Decode("\xC2\x80"), L"\u0080");
    EXPECT_EQ(Decode("\xDF\xBF"), L"\u07FF");
    EXPECT_EQ(Decode("\xE0\xA0\x80"), L"\u0800");
    EXPECT_EQ(Decode("\xEF\xBF\xBF"), L"\uFFFF");
    EXPECT_EQ(Decode("\xF0\x90\x80\x80"), L"\U00010000");
    EXPECT_EQ(Decode("\xF4\x8F\xBF\xBF"), L"\U0010FFFF");
    // Either side of the surrogate range is valid.
    EXPECT_EQ(Decode("\xED\x9F\xBF"), L"\uD7FF");
    EXPECT_EQ(Decode("\xEE\x80\x80"), L"\uE000");
}

TEST(TextConvDecode, InvalidSequencesFallBackBytewise) {
    // Truncated at the end: each byte is shown on its own.
    EXPECT_EQ(Decode("A\xE2\x82"), L"A\u00E2\u201A");
    EXPECT_EQ(Decode("\xF0\x9F\x98"), L"\u00F0\u0178\u02DC");
    EXPECT_EQ(Decode("\xC3"), L"\u00C3");
    // Decoding resumes right after the bad byte.
    EXPECT_EQ(Decode("\xC3("), L"\u00C3(");
    EXPECT_EQ(Decode("\xE2\x82"
                     "A\xC3\xA9"),
              L"\u00E2\u201A"
              L"A\u00E9");
    EXPECT_EQ(Decode("\xC3\xC3\xA9"), L"\u00C3\u00E9");
    // Overlong forms.
    EXPECT_EQ(Decode("\xC0\xAF"), L"\u00C0\u00AF");
    EXPECT_EQ(Decode("\xC1\xBF"), L"\u00C1\u00BF");
    EXPECT_EQ(Decode("\xE0\x80\x80"), L"\u00E0\u20AC\u20AC");
    EXPECT_EQ(Decode("\xF0\x8F\xBF\xBF"), L"\u00F0\u008F\u00BF\u00BF");
    // Surrogates encoded in UTF-8.
    EXPECT_EQ(Decode("\xED\xA0\x80"), L"\u00ED\u00A0\u20AC");
    EXPECT_EQ(Decode("\xED\xBF\xBF"), L"\u00ED\u00BF\u00BF");
    // Above U+10FFFF, and lead bytes that can never start a sequence.
    EXPECT_EQ(Decode("\xF4\x90\x80\x80"), L"\u00F4\u0090\u20AC\u20AC");
    EXPECT_EQ(Decode("\xF5\x80\x80\x80"), L"\u00F5\u20AC\u20AC\u20AC");
    // A continuation byte where a lead is expected.
    EXPECT_EQ(Decode("a\xA9"
                     "b"),
              L"a\u00A9b");
}

TEST(TextConvEncode, Utf8OfEveryLengthAndReplacement) {
    EXPECT_EQ(win::WideToAnsi(L"abc"), "abc");
    EXPECT_EQ(win::WideToAnsi(std::wstring_view(L"a\0b", 3)), std::string("a\0b", 3));
    EXPECT_EQ(win::WideToAnsi(L"\u00E9\u20AC\U0001F600"), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(win::WideToAnsi(L"\u07FF\u0800\U0010FFFF"), "\xDF\xBF\xE0\xA0\x80\xF4\x8F\xBF\xBF");
    const wchar_t bad[] = {L'a', static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0xDFFF),
                           static_cast<wchar_t>(0x110000), static_cast<wchar_t>(-1)};
    EXPECT_EQ(win::WideToAnsi(std::wstring_view(bad, 5)),
              "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(TextConvEncode, EveryScalarValueRoundTrips) {
    std::wstring all;
    for (wchar_t c = 0; c <= 0x10FFFF; ++c) {
        if (c < 0xD800 || c > 0xDFFF) {
            all.push_back(c);
        }
    }
    const std::string utf8 = win::WideToAnsi(all);
    EXPECT_EQ(Decode(utf8), all);
    EXPECT_EQ(win::WideToAnsi(Decode(utf8)), utf8);
    EXPECT_EQ(win::Utf16ToWide(win::WideToUtf16(all)), all);
}

TEST(TextConvUtf16, SurrogatePairs) {
    EXPECT_EQ(win::WideToUtf16(L"A\u00E9\uFFFF"), u"A\u00E9\uFFFF");
    EXPECT_EQ(win::WideToUtf16(L"\U00010000"), std::u16string({0xD800, 0xDC00}));
    EXPECT_EQ(win::WideToUtf16(L"\U0001F600"), std::u16string({0xD83D, 0xDE00}));
    EXPECT_EQ(win::WideToUtf16(L"\U0010FFFF"), std::u16string({0xDBFF, 0xDFFF}));
    EXPECT_EQ(win::Utf16ToWide(std::u16string({0xD83D, 0xDE00, u'x'})), L"\U0001F600x");
}

TEST(TextConvUtf16, LoneSurrogatesPassThrough) {
    const std::u16string units = {0xDC00, u'a', 0xD800, u'b', 0xD800, 0xD800, 0xDC00, 0xD800};
    const std::wstring w = win::Utf16ToWide(units);
    const std::wstring expected = {
        static_cast<wchar_t>(0xDC00), L'a',          static_cast<wchar_t>(0xD800), L'b',
        static_cast<wchar_t>(0xD800), L'\U00010000', static_cast<wchar_t>(0xD800)};
    EXPECT_EQ(w, expected);
    EXPECT_EQ(win::WideToUtf16(w), units);
}

}  // namespace

namespace {

// The one-pass conversion of the log must give what the two conversions give.
TEST(TextConvTest, OnePassLogConversionMatchesTheTwoSteps) {
    std::mt19937 rng(11);
    for (int nCase = 0; nCase < 2000; ++nCase) {
        // Mix ASCII runs that fill whole words, zero bytes, stray high bytes, valid
        // sequences of every length and invalid ones (a surrogate), cut anywhere.
        static const char* const kPieces[] = {"a",
                                              "\xC3",
                                              "\xA9",
                                              "abcdefghijk",
                                              "\xE2\x82\xAC",
                                              "\xF0\x9F\x98\x80",
                                              "\xED\xA0\x80",
                                              "\xC3\xA9"};
        std::string bytes;
        const std::size_t nPieces = rng() % 40;
        for (std::size_t k = 0; k < nPieces; ++k) {
            const unsigned r = rng() % 10;
            if (r == 0) {
                bytes.push_back('\0');
            } else if (r == 1) {
                bytes.push_back(static_cast<char>(rng()));
            } else {
                bytes += kPieces[r - 2];
            }
        }
        bytes.resize(bytes.size() - (bytes.empty() ? 0 : rng() % 3 % bytes.size()));
        for (const bool bShowZero : {false, true}) {
            std::wstring wide = win::AnsiToWide(bytes);
            if (bShowZero) {
                std::replace(wide.begin(), wide.end(), L'\0', L'\u2400');
            }
            std::string out = "prefix";
            win::AppendAnsiAsUtf8(bytes, out, bShowZero);
            ASSERT_EQ("prefix" + win::WideToAnsi(wide), out) << nCase;
        }
    }
}

}  // namespace

namespace {

// AnsiToWide then WideToAnsi: the conversion of the log in two plain steps.
std::string TwoSteps(std::string_view bytes, bool bShowZero) {
    std::wstring wide = win::AnsiToWide(bytes);
    if (bShowZero) {
        std::replace(wide.begin(), wide.end(), L'\0', L'\u2400');
    }
    return win::WideToAnsi(wide);
}

std::string OnePass(std::string_view bytes, bool bShowZero) {
    std::string out(3 * bytes.size(), '\0');
    out.resize(win::AnsiToUtf8(bytes, out.data(), bShowZero));
    return out;
}

// The measure of `bytes` must give the length of `text`, their conversion, and pair the
// n-th CR or LF byte of the bytes with the n-th of the text.
::testing::AssertionResult MeasureMatches(std::string_view bytes, bool bShowZero,
                                          std::string_view text) {
    std::vector<std::pair<std::size_t, std::size_t>> got;
    auto onBreak = [&](std::size_t nRaw, std::size_t nText) { got.emplace_back(nRaw, nText); };
    const std::size_t nLength = win::MeasureAnsiAsUtf8(bytes, bShowZero, onBreak);
    if (nLength != text.size() || win::AnsiToUtf8Length(bytes, bShowZero) != text.size()) {
        return ::testing::AssertionFailure() << "length " << nLength << ", text " << text.size();
    }
    std::vector<std::size_t> rawBreaks;
    std::vector<std::size_t> textBreaks;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' || bytes[i] == '\n') {
            rawBreaks.push_back(i);
        }
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            textBreaks.push_back(i);
        }
    }
    if (got.size() != rawBreaks.size() || got.size() != textBreaks.size()) {
        return ::testing::AssertionFailure()
               << got.size() << " breaks reported, " << rawBreaks.size() << " in the bytes, "
               << textBreaks.size() << " in the text";
    }
    for (std::size_t k = 0; k < got.size(); ++k) {
        if (got[k].first != rawBreaks[k] || got[k].second != textBreaks[k] ||
            bytes[rawBreaks[k]] != text[textBreaks[k]]) {
            return ::testing::AssertionFailure()
                   << "break " << k << " reported at " << got[k].first << "/" << got[k].second
                   << ", is at " << rawBreaks[k] << "/" << textBreaks[k];
        }
    }
    return ::testing::AssertionSuccess();
}

// Every byte that may or may not lead a sequence, with every second byte and the third
// and fourth bytes right or wrong, at every place of a short text: in the words the
// conversion takes eight bytes at a time, across their ends, and in the last bytes.
TEST(TextConvTest, EveryLeadWithEverySecondByteAtEveryPlaceMatchesTheTwoSteps) {
    const unsigned char kLeads[] = {0x80, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1,
                                    0xEC, 0xED, 0xEE, 0xF0, 0xF1, 0xF4, 0xF5, 0xFF};
    const char* const kRests[] = {"\x80\x80", "\xBFq", "q\x80", "\xC3\xA9"};
    constexpr std::size_t kLength = 13;
    for (const unsigned char b0 : kLeads) {
        for (unsigned b1 = 0; b1 < 256; ++b1) {
            for (const char* pszRest : kRests) {
                for (std::size_t nAt = 0; nAt < kLength; ++nAt) {
                    std::string bytes(kLength, '\x85');
                    std::string piece = {static_cast<char>(b0), static_cast<char>(b1)};
                    piece += pszRest;
                    bytes.replace(nAt, piece.size(), piece);
                    bytes.resize(kLength);
                    ASSERT_EQ(OnePass(bytes, false), TwoSteps(bytes, false))
                        << std::hex << b0 << " " << b1 << " " << pszRest << " at " << nAt;
                }
            }
        }
    }
}

// The conversion writes words past the end of what it has converted so far; they must
// stay within the three bytes per input byte that callers provide.
TEST(TextConvTest, NeverWritesPastThreeBytesPerInputByte) {
    std::mt19937 rng(5);
    for (std::size_t n = 0; n <= 80; ++n) {
        // Bytes of the longest result (0x80 and, shown, zero: three bytes each), random
        // bytes, and ASCII that ends in a sequence of four bytes.
        std::string longest(n, '\x80');
        std::string zeros(n, '\0');
        std::string random(n, '\0');
        for (char& c : random) {
            c = static_cast<char>(rng());
        }
        std::string ascii(n, 'a');
        if (n >= 4) {
            ascii.replace(n - 4, 4, "\xF0\x9F\x98\x80");
        }
        for (const std::string& bytes : {longest, zeros, random, ascii}) {
            for (const bool bShowZero : {false, true}) {
                std::string out(3 * n + 16, '\x5A');
                const std::size_t nWritten = win::AnsiToUtf8(bytes, out.data(), bShowZero);
                ASSERT_LE(nWritten, 3 * n);
                EXPECT_TRUE(MeasureMatches(bytes, bShowZero, out.substr(0, nWritten)));
                EXPECT_EQ(out.substr(3 * n), std::string(16, '\x5A')) << "length " << n;
                EXPECT_EQ(out.substr(0, nWritten), TwoSteps(bytes, bShowZero)) << "length " << n;
            }
        }
    }
}

// Long blocks go through whole chunks of 64 bytes; the conversion must not notice where a
// chunk ends: every edge sequence at every offset around the first chunk boundaries, in
// ASCII, in binary and in UTF-8 text.
TEST(TextConvTest, LongBlocksMatchTheTwoStepsAtEveryChunkOffset) {
    std::string breaks;  // binary bytes and UTF-8 text between CR, LF and CR LF
    while (breaks.size() < 200) {
        breaks += "\x85\r\n\xE9";
        breaks += '\0';
        breaks += "a\n\xC3\xA9\r";
    }
    breaks.resize(200);
    const std::string fillers[] = {std::string(200, 'a'), std::string(200, '\xE9'),
                                   "\xC3\xA9\xE2\x82\xAC" + std::string(195, 'z'), breaks};
    for (const std::string& filler : fillers) {
        for (std::size_t nOffset = 50; nOffset < 140; ++nOffset) {
            for (std::size_t k = 0; k < std::size(test::kUtf8EdgeSequences); ++k) {
                std::string bytes = filler.substr(0, nOffset);
                bytes += test::kUtf8EdgeSequences[k];
                bytes += filler.substr(0, 200 - nOffset);
                for (const bool bShowZero : {false, true}) {
                    std::string out;
                    win::AppendAnsiAsUtf8(bytes, out, bShowZero);
                    ASSERT_EQ(TwoSteps(bytes, bShowZero), out)
                        << "offset " << nOffset << ", sequence " << k;
                    ASSERT_TRUE(MeasureMatches(bytes, bShowZero, out))
                        << "offset " << nOffset << ", sequence " << k;
                }
            }
        }
    }
}

// Random blocks of up to 3 KiB built from the edge sequences, text and random bytes, every
// size from one chunk's look-ahead on: the bulk path and the byte-by-byte rest agree.
TEST(TextConvTest, LongRandomBlocksMatchTheTwoSteps) {
    std::mt19937 rng(29);
    for (int nCase = 0; nCase < 1500; ++nCase) {
        std::string bytes;
        const std::size_t nSize = 60 + rng() % 3000;
        while (bytes.size() < nSize) {
            const unsigned r = rng() % 24;
            if (r < 4) {
                bytes.push_back(static_cast<char>(rng()));
            } else if (r < 7) {
                bytes += "plain text ";
            } else if (r == 7) {
                bytes += rng() % 2 ? "\r" : "\n";
            } else if (r == 8) {
                bytes.push_back('\0');
            } else {
                bytes += test::kUtf8EdgeSequences[(r - 9) % std::size(test::kUtf8EdgeSequences)];
            }
        }
        for (const bool bShowZero : {false, true}) {
            std::string out = "x";
            win::AppendAnsiAsUtf8(bytes, out, bShowZero);
            ASSERT_EQ("x" + TwoSteps(bytes, bShowZero), out) << nCase;
            ASSERT_TRUE(MeasureMatches(bytes, bShowZero, std::string_view(out).substr(1))) << nCase;
        }
    }
}

}  // namespace
