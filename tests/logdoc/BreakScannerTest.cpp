// The line break scanners against a plain byte loop: every break found once, in order, at
// every length and alignment, and no byte that only resembles a break.
#include "logdoc/BreakScanner.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::vector<std::size_t> BreaksByBytes(std::string_view text) {
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' || text[i] == '\r') {
            found.push_back(i);
        }
    }
    return found;
}

template <class F>
std::vector<std::size_t> Collect(F scan, std::string_view text) {
    std::vector<std::size_t> found;
    scan(text, [&](std::size_t i) { found.push_back(i); });
    return found;
}

void ExpectBothScannersFind(std::string_view text, const std::string& strWhat) {
    const std::vector<std::size_t> expected = BreaksByBytes(text);
    EXPECT_EQ(Collect([](std::string_view t, auto fn) { breaks::ForEachBreak(t, fn); }, text),
              expected)
        << strWhat;
    EXPECT_EQ(
        Collect([](std::string_view t, auto fn) { breaks::ForEachBreakByWords(t, fn); }, text),
        expected)
        << strWhat;
}

TEST(BreakScannerTest, OneBreakAtEveryOffsetOfEveryLengthAndAlignment) {
    // Filler of bytes next to CR and LF in value, with and without the top bit (0x8A and
    // 0x8D differ from LF and CR in that bit only), and zero bytes, whose borrow misleads
    // the usual has-zero test.
    const std::string filler("\x0B\x0C\x8A\x8D\x00\x09\xFF\x0E", 8);
    const std::string buffer(64 + 16, 'x');
    for (std::size_t nLength = 0; nLength <= 40; ++nLength) {
        for (std::size_t nAlign = 0; nAlign < 16; ++nAlign) {
            for (const char cBreak : {'\n', '\r'}) {
                for (std::size_t nAt = 0; nAt < nLength; ++nAt) {
                    std::string text = buffer;
                    for (std::size_t k = 0; k < nLength; ++k) {
                        text[nAlign + k] = filler[k % filler.size()];
                    }
                    text[nAlign + nAt] = cBreak;
                    ExpectBothScannersFind(
                        std::string_view(text).substr(nAlign, nLength),
                        "length " + std::to_string(nLength) + " break at " + std::to_string(nAt));
                }
            }
        }
    }
}

TEST(BreakScannerTest, DenseAndRandomBreaksComeInOrder) {
    ExpectBothScannersFind(std::string(100, '\n'), "all LF");
    ExpectBothScannersFind(std::string(100, '\r'), "all CR");
    ExpectBothScannersFind("\r\n\r\n\n\r\r\r\n", "mixed");
    std::mt19937 random(7);
    const char kBytes[] = {'\n', '\r', '\x8A', '\x8D', '\0', 'a', '\xFF', '\x0B'};
    for (int nCase = 0; nCase < 500; ++nCase) {
        std::string text(random() % 200, '\0');
        for (char& c : text) {
            c = kBytes[random() % sizeof kBytes];
        }
        ExpectBothScannersFind(text, "case " + std::to_string(nCase));
    }
}

}  // namespace
