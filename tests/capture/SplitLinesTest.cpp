#include "capture/SplitLines.h"
#include "platform/TextConv.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<std::string> Lines(std::string_view block) {
    std::vector<std::string> lines;
    SplitLines(block.data(), block.size(),
               [&](std::string_view line) { lines.emplace_back(line); });
    return lines;
}

TEST(SplitLinesTest, LineEndsTakeAtMostOneFollowingBreak) {
    using V = std::vector<std::string>;
    EXPECT_EQ((V{"GET / HTTP/1.1\r\n", "Host: x\r\n", "\r\n", "b"}),
              Lines("GET / HTTP/1.1\r\nHost: x\r\n\r\nb"));
    EXPECT_EQ((V{"a\n\n", "b"}), Lines("a\n\nb"));
    EXPECT_EQ((V{"a\n\r", "b\r\r", "c"}), Lines("a\n\rb\r\rc"));
    EXPECT_EQ((V{"\r\n", "\r\n"}), Lines("\r\n\r\n"));
    EXPECT_EQ((V{"a\n\n", "\n"}), Lines("a\n\n\n"));
    EXPECT_EQ((V{"no end"}), Lines("no end"));
    EXPECT_TRUE(Lines("").empty());
}

TEST(SplitLinesTest, EveryByteBelongsToExactlyOneLine) {
    const std::string block("x\0y\r\n\0\n\r\r\nz\r", 13);
    std::string joined;
    for (const std::string& line : Lines(block)) {
        EXPECT_FALSE(line.empty());
        joined += line;
    }
    EXPECT_EQ(block, joined);
}

TEST(SplitLinesTest, BlockTextKeepsEveryByteVisible) {
    EXPECT_EQ(L"ab\u2400cd", win::BlockText(std::string_view("ab\0cd", 5)));
    EXPECT_EQ(L"\u20ac\u00e9", win::BlockText("\x80\xc3\xa9"));  // a stray byte, then UTF-8
    EXPECT_EQ(L"", win::BlockText(""));
}

}  // namespace
