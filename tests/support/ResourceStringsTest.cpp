#include "support/ResourceStrings.h"

#include <gtest/gtest.h>

#include <array>
#include <cwchar>
#include <string>

namespace {

constexpr UINT kSessionStarts = 147;   // "Session %ld starts."
constexpr UINT kConnectFailed = 140;   // "Connect to %s host %d port failed!"
constexpr UINT kFileNotFound = 61858;  // "%1 was not found."
constexpr UINT kNoSuchString = 9;

TEST(FormatResource, FillsTheNumberedText) {
    std::wstring text;
    FormatResource(text, kSessionStarts, 3);
    EXPECT_EQ(text, L"Session 3 starts.");

    const std::wstring host = L"relay.example.net";
    FormatResource(text, kConnectFailed, host, 8080);
    EXPECT_EQ(text, L"Connect to relay.example.net host 8080 port failed!");
}

TEST(FormatResource, MissingStringGivesAnEmptyText) {
    ASSERT_FALSE(HasResourceString(kNoSuchString));
    std::wstring text = L"previous";
    FormatResource(text, kNoSuchString, 1);
    EXPECT_EQ(text, L"");
}

TEST(LoadResourceString, WholeStringAndExistence) {
    EXPECT_TRUE(HasResourceString(kSessionStarts));
    EXPECT_EQ(LoadResourceString(kSessionStarts), L"Session %ld starts.");
    EXPECT_EQ(LoadResourceString(kNoSuchString), L"");
}

TEST(LoadResourceString, SmallBufferCutsAndTerminates) {
    std::array<wchar_t, 12> buffer;
    buffer.fill(L'#');
    EXPECT_EQ(LoadResourceString(kSessionStarts, buffer.data(), 8), 7);
    EXPECT_EQ(std::wstring(buffer.data()), L"Session");
    EXPECT_EQ(buffer[8], L'#') << "wrote past the given size";
}

TEST(LoadResourceString, BufferOfExactSizeHoldsTheWholeString) {
    const std::wstring whole = LoadResourceString(kSessionStarts);
    std::array<wchar_t, 64> buffer;
    buffer.fill(L'#');
    const int nSize = static_cast<int>(whole.size()) + 1;
    EXPECT_EQ(LoadResourceString(kSessionStarts, buffer.data(), nSize), nSize - 1);
    EXPECT_EQ(std::wstring(buffer.data()), whole);
    EXPECT_EQ(buffer[nSize], L'#');
}

TEST(LoadResourceString, MissingStringOrNoRoomCopiesNothing) {
    std::array<wchar_t, 4> buffer;
    buffer.fill(L'#');
    EXPECT_EQ(LoadResourceString(kNoSuchString, buffer.data(), 4), 0);
    EXPECT_EQ(buffer[0], L'\0');

    buffer.fill(L'#');
    EXPECT_EQ(LoadResourceString(kSessionStarts, buffer.data(), 0), 0);
    EXPECT_EQ(buffer[0], L'#');

    EXPECT_EQ(LoadResourceString(kSessionStarts, buffer.data(), 1), 0);
    EXPECT_EQ(buffer[0], L'\0');
}

TEST(AfxFormatString, FileNameTakesThePlaceOfTheFirstPlaceholder) {
    std::wstring text;
    AfxFormatString(text, kFileNotFound, L"/var/log/tapvane/a%2.log");
    EXPECT_EQ(text, L"/var/log/tapvane/a%2.log was not found.");
}

TEST(AfxFormatString, MissingStringLeavesTheResultEmpty) {
    std::wstring text = L"previous";
    AfxFormatString(text, kNoSuchString, L"x");
    EXPECT_EQ(text, L"");
}

TEST(SubstitutePlaceholders, OnlyTheFirstPlaceholderHasAnArgument) {
    EXPECT_EQ(SubstitutePlaceholders(L"%2 before %1", L"f"), L"? before f");
    EXPECT_EQ(SubstitutePlaceholders(L"%1%1", L"ab"), L"abab");
    EXPECT_EQ(SubstitutePlaceholders(L"<%9|%A|%Z>", L"f"), L"<?|?|?>");
    EXPECT_EQ(SubstitutePlaceholders(L"%1", L""), L"");
}

TEST(SubstitutePlaceholders, OtherPercentSequencesAreCopied) {
    EXPECT_EQ(SubstitutePlaceholders(L"100%% %a %0 %z %[", L"f"), L"100%% %a %0 %z %[");
    EXPECT_EQ(SubstitutePlaceholders(L"ends with %", L"f"), L"ends with %");
    EXPECT_EQ(SubstitutePlaceholders(L"", L"f"), L"");
}

}  // namespace
