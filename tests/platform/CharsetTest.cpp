#include "platform/Charset.h"

#include <gtest/gtest.h>

namespace {

std::u16string Convert(std::string_view strCharset, const std::vector<std::string_view>& parts) {
    std::unique_ptr<CCharsetConverter> converter = CCharsetConverter::Create(strCharset);
    EXPECT_TRUE(converter) << strCharset;
    std::u16string out;
    if (converter) {
        for (std::string_view part : parts) {
            converter->Convert(part, out);
        }
        converter->Finish(out);
    }
    return out;
}

TEST(CharsetTest, MultiByteCharactersCutAtEveryOffsetComeOutWhole) {
    const std::string utf8 = "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80z";
    const std::string sjis =
        "\x93\xfa\x96\x7b"
        "a";
    const std::string utf16 = std::string("\x3d\xd8\x00\xde", 4) + std::string("x\0", 2);
    const struct {
        const char* pszCharset;
        const std::string& bytes;
        std::u16string text;
    } cases[] = {{"utf-8", utf8, u"a\u00e9\u20ac\U0001F600z"},
                 {"Shift_JIS", sjis, u"\u65e5\u672ca"},
                 {"UTF-16LE", utf16, u"\U0001F600x"}};
    for (const auto& c : cases) {
        for (std::size_t nCut = 0; nCut <= c.bytes.size(); ++nCut) {
            const std::string_view b(c.bytes);
            EXPECT_EQ(c.text, Convert(c.pszCharset, {b.substr(0, nCut), b.substr(nCut)}))
                << c.pszCharset << " cut at " << nCut;
        }
    }
}

TEST(CharsetTest, Latin1IsReadAsWindows1252AndBadBytesAreReplaced) {
    EXPECT_EQ(u"\u20ac\u00e9\u0178", Convert("ISO-8859-1", {"\x80\xe9\x9f"}));
    EXPECT_EQ(u"\u20ac\u0081", Convert("\"windows-1252\"", {"\x80\x81"}));  // unused byte kept
    EXPECT_EQ(u"a\ufffdb", Convert("utf-8", {"a\xff"
                                             "b"}));
    EXPECT_EQ(u"a\ufffd", Convert("utf-8", {"a\xe2\x82"}));  // cut at the very end
}

TEST(CharsetTest, UnknownNamesGiveNoConverter) {
    EXPECT_FALSE(CCharsetConverter::Create("no-such-charset"));
    EXPECT_FALSE(CCharsetConverter::Create(""));
    EXPECT_FALSE(CCharsetConverter::Create("utf-8//IGNORE"));
}

TEST(CharsetTest, TheCharsetParameterIsFoundInAContentType) {
    EXPECT_EQ("utf-8", ContentTypeCharset("text/html; charset=utf-8"));
    EXPECT_EQ("ISO-8859-1", ContentTypeCharset("text/html;CHARSET = \"ISO-8859-1\" ; q=1"));
    EXPECT_EQ("Shift_JIS", ContentTypeCharset("text/plain; format=flowed; charset=Shift_JIS"));
    EXPECT_EQ("", ContentTypeCharset("text/plain"));
    EXPECT_EQ("", ContentTypeCharset("text/plain; charsetx=1"));
}

}  // namespace
