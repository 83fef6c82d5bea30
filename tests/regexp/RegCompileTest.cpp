// The compiled form of patterns and the errors of compiling.
#include "regexp/RegProgram.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "regexp/RegMatcher.h"

namespace {

std::vector<int> Words(const CRegProgram& program) {
    return std::vector<int>(program.GetWords(), program.GetWords() + program.GetSize());
}

std::unique_ptr<CRegProgram> Compiled(std::u16string_view strPattern) {
    auto pProgram = std::make_unique<CRegProgram>();
    pProgram->Compile(strPattern.data(), strPattern.size());
    return pProgram;
}

std::wstring CompileError(std::u16string_view strPattern) {
    CRegMatcher re(strPattern, false);
    EXPECT_FALSE(re.IsCompiled()) << "pattern compiled";
    return re.GetErrorText();
}

TEST(RegCompile, EncodesSignatureThreeWordNodesAndForwardLinks) {
    // "ab*c": branch(a, star(b), c), end. The run "ab" splits so that '*' takes b alone.
    const auto pProgram = Compiled(u"ab*c");
    const CRegProgram& program = *pProgram;
    ASSERT_TRUE(program.IsCompiled()) << program.GetErrorText();
    const std::vector<int> expected = {
        0xFF9C,                     // signature
        OP_BRANCH,  21, 0,          // 1: the only alternative; next is the end at 22
        OP_EXACTLY, 5,  0, 'a', 0,  // 4: "a", next the star at 9
        OP_STAR,    8,  0,          // 9: next the literal at 17
        OP_EXACTLY, 0,  0, 'b', 0,  // 12: the star's operand, no next
        OP_EXACTLY, 5,  0, 'c', 0,  // 17: "c", next the end
        OP_END,     0,  0,          // 22
    };
    EXPECT_EQ(Words(program), expected);
    EXPECT_EQ(program.GetFirstChar(), u'a');
    EXPECT_FALSE(program.IsAnchored());
    EXPECT_TRUE(program.GetMustHave().empty());
}

TEST(RegCompile, EncodesAlternativesSetsGroupsAndBackwardLoops) {
    // A starred group: a choice between the group (which loops back to the choice) and
    // nothing. The set's range is expanded into its members.
    const auto pProgram = Compiled(u"(x|[^a-c])*");
    const CRegProgram& program = *pProgram;
    ASSERT_TRUE(program.IsCompiled()) << program.GetErrorText();
    const std::vector<int> expected = {
        0xFF9C,       OP_BRANCH, 39, 0,                 // 1: the only alternative; next the end
        OP_BRANCH,    30,        0,                     // 4: one more repetition ... (or 34)
        OP_OPEN + 1,  3,         0,                     // 7
        OP_BRANCH,    8,         0,                     // 10: "x", or 18
        OP_EXACTLY,   15,        0,  'x', 0,            // 13: next the close at 28
        OP_BRANCH,    10,        0,                     // 18: "[^a-c]"; the choice ends at 28
        OP_ANYBUT,    7,         0,  'a', 'b', 'c', 0,  // 21: next the close
        OP_CLOSE + 1, 3,         0,                     // 28
        OP_BACK,      27,        0,                     // 31: back to the choice at 4
        OP_BRANCH,    3,         0,                     // 34: ... or leave
        OP_NOTHING,   3,         0,                     // 37
        OP_END,       0,         0,                     // 40
    };
    EXPECT_EQ(Words(program), expected);
    EXPECT_EQ(program.GetFirstChar(), 0);
    EXPECT_FALSE(program.IsAnchored());
}

TEST(RegCompile, HintsComeFromASingleAlternativeOnly) {
    EXPECT_TRUE(Compiled(u"^abc")->IsAnchored());
    EXPECT_FALSE(Compiled(u"^a|b")->IsAnchored());
    EXPECT_FALSE(Compiled(u"a^")->IsAnchored());
    EXPECT_EQ(Compiled(u"xy|xz")->GetFirstChar(), 0);
    EXPECT_EQ(Compiled(u"x?y")->GetFirstChar(), 0);
    EXPECT_EQ(Compiled(u"x*y")->GetFirstChar(), 0);
    EXPECT_EQ(Compiled(u"xyz")->GetFirstChar(), u'x');
}

TEST(RegCompile, MustHaveIsTheLongestMandatoryLiteralAfterALeadingRepetition) {
    EXPECT_EQ(Compiled(u"x*abc")->GetMustHave(), u"abc");
    // The run "bc" splits before the starred c; "de" is the longest.
    EXPECT_EQ(Compiled(u"a*bc*de")->GetMustHave(), u"de");
    // Equal lengths: the later one.
    EXPECT_EQ(Compiled(u".*ab.*cd")->GetMustHave(), u"cd");
    // Optional or repeated literals are not on the main chain.
    EXPECT_EQ(Compiled(u".*(abcdef)?x")->GetMustHave(), u"x");
    // Only worth it when the match starts with a repetition.
    EXPECT_TRUE(Compiled(u"abc.*")->GetMustHave().empty());
    EXPECT_TRUE(Compiled(u".*a|.*b")->GetMustHave().empty());
}

TEST(RegCompile, SyntaxErrorsGiveTheirTexts) {
    EXPECT_EQ(CompileError(u"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)"), L"too many ()");
    EXPECT_EQ(CompileError(u"((((((((((a))))))))))"), L"too many ()");
    EXPECT_EQ(CompileError(u"a**"), L"nested *?+");
    EXPECT_EQ(CompileError(u"a+?"), L"nested *?+");
    EXPECT_EQ(CompileError(u"(a*)*"), L"*+ operand could be empty");
    EXPECT_EQ(CompileError(u"(a|)+"), L"*+ operand could be empty");
    EXPECT_EQ(CompileError(u"(^)*"), L"*+ operand could be empty");
    EXPECT_EQ(CompileError(u"[z-a]"), L"invalid [] range");
    EXPECT_EQ(CompileError(u"abc)"), L"unmatched ()");
    EXPECT_EQ(CompileError(u"(abc"), L"unterminated ()");
    EXPECT_EQ(CompileError(u"[abc"), L"unmatched []");
    EXPECT_EQ(CompileError(u"[]"), L"unmatched []");
    EXPECT_EQ(CompileError(u"*a"), L"?+* follows nothing");
    EXPECT_EQ(CompileError(u"a|?"), L"?+* follows nothing");
    EXPECT_EQ(CompileError(u"ab\\"), L"trailing \\");
}

TEST(RegCompile, AcceptsWhatTheGrammarAllows) {
    for (const char16_t* psz : {u"(a)(b)(c)(d)(e)(f)(g)(h)(i)", u"(^)?a", u"a|", u"()", u"[]a]",
                                u"[-a]", u"[a-]", u"[a-a]", u"x{2}", u"a\\*", u"\\<a\\>"}) {
        const auto pProgram = Compiled(psz);
        const CRegProgram& program = *pProgram;
        EXPECT_TRUE(program.IsCompiled()) << program.GetErrorText();
    }
}

TEST(RegCompile, RefusesProgramsAboveTheWordLimitWithoutWrapping) {
    EXPECT_EQ(CompileError(u"[\x01-\uFFFF]"), L"regexp too big");
    // Many wide ranges: their count is far beyond 32 bits of words if summed in an int.
    std::u16string strRanges;
    for (int i = 0; i < 40000; ++i) {
        strRanges += u"[\x01-\uFFFF]";
    }
    EXPECT_EQ(CompileError(strRanges), L"regexp too big");
    EXPECT_EQ(CompileError(std::u16string(40000, u'a')), L"regexp too big");
    // The largest literal that fits: signature, branch, literal node with terminator, end.
    const std::size_t nFits = kRegMaxWords - 1 - 3 - 3 - 1 - 3;
    EXPECT_TRUE(CRegMatcher(std::u16string(nFits, u'a'), false).IsCompiled());
    EXPECT_EQ(CompileError(std::u16string(nFits + 1, u'a')), L"regexp too big");
}

TEST(RegCompile, MissingPatternAndPatternEndAtZero) {
    CRegMatcher missing(static_cast<const char16_t*>(nullptr), false);
    EXPECT_FALSE(missing.IsCompiled());
    EXPECT_EQ(missing.GetErrorText(), L"NULL argument to regcomp");
    // Operands are zero-terminated, so the pattern ends at its first zero character.
    CRegMatcher re(std::u16string_view(u"ab\0(", 4), false);
    ASSERT_TRUE(re.IsCompiled()) << re.GetErrorText();
    EXPECT_TRUE(re.Match(u"xaby"));
}

TEST(RegCompile, ErrorTableLookup) {
    EXPECT_STREQ(CRegErrorHandler::GetErrorTextOf(1), L"NULL argument to regexec");
    EXPECT_STREQ(CRegErrorHandler::GetErrorTextOf(20), L"internal error: \\0|) unexpected");
    EXPECT_STREQ(CRegErrorHandler::GetErrorTextOf(24), L"NULL regexp");
    EXPECT_STREQ(CRegErrorHandler::GetErrorTextOf(0), L"Unknown error");
    EXPECT_STREQ(CRegErrorHandler::GetErrorTextOf(-3), L"Unknown error");
    EXPECT_STREQ(CRegErrorHandler::GetErrorTextOf(1000), L"Unknown error");
}

}  // namespace
