// Columns of a line: tabs, characters of several bytes, clicks between columns.
#include "logdoc/TextColumns.h"

#include <gtest/gtest.h>

namespace {

TEST(TextColumnsTest, TabsReachTheNextMultipleOfEight) {
    EXPECT_EQ(textcol::ColumnCount("\t"), 8u);
    EXPECT_EQ(textcol::ColumnCount("abc\tx"), 9u);
    EXPECT_EQ(textcol::ColumnCount("abcdefgh\t"), 16u);
    EXPECT_EQ(textcol::ColumnAt("a\tb", 2), 8u);
}

TEST(TextColumnsTest, ACharacterOfSeveralBytesIsOneColumn) {
    const std::string line =
        "\xE2\x82\xAC"
        "a\xF0\x9F\x98\x80"
        "b";  // euro, a, emoji, b
    EXPECT_EQ(textcol::ColumnCount(line), 4u);
    EXPECT_EQ(textcol::ColumnAt(line, 3), 1u);
    EXPECT_EQ(textcol::ByteAtColumn(line, 2), 4u);
    EXPECT_EQ(textcol::NextChar(line, 4), 8u);
    EXPECT_EQ(textcol::PrevChar(line, 8), 4u);
    EXPECT_EQ(textcol::PrevChar(line, 3), 0u);
}

TEST(TextColumnsTest, ByteAtColumnGoesToTheNearerBoundaryOfATab) {
    const std::string line = "a\tb";
    EXPECT_EQ(textcol::ByteAtColumn(line, 0), 0u);
    EXPECT_EQ(textcol::ByteAtColumn(line, 3), 1u);  // nearer the tab's start
    EXPECT_EQ(textcol::ByteAtColumn(line, 6), 2u);  // nearer its end
    EXPECT_EQ(textcol::ByteAtColumn(line, 8), 2u);
    EXPECT_EQ(textcol::ByteAtColumn(line, 100), 3u);  // past the end
}

TEST(TextColumnsTest, InvalidBytesCountOneEachAndControlsShowAsPictures) {
    EXPECT_EQ(textcol::ColumnCount("\xE2\x82x\xFF"), 4u);
    EXPECT_EQ(textcol::DisplayChar(0x01), U'\u2401');
    EXPECT_EQ(textcol::DisplayChar(0x7F), U'\u2421');
    EXPECT_EQ(textcol::DisplayChar('\t'), U'\t');
    EXPECT_TRUE(textcol::IsWordChar(U'\u00E9'));
    EXPECT_FALSE(textcol::IsWordChar(U'-'));
}

}  // namespace
