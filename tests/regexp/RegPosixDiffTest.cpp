// Differential test against the C library's POSIX extended regular expressions, over
// generated patterns and subjects.
//
// What is compared, and why only that:
// - Whether a match exists, and where the leftmost one starts. Both engines report the
//   leftmost match, and at a given start both find a match whenever one exists, so these
//   must agree.
// - Not where the match ends. POSIX takes the longest match at that start; this engine
//   takes the first that succeeds in its order of trial (alternatives left to right, greedy
//   repetitions longest first), e.g. "(a|ab)" on "ab" gives "a" here and "ab" in POSIX. So
//   the end is only checked to lie within POSIX's longest match, and (for patterns without
//   anchors) the text it covers must itself be a full match of the pattern in POSIX.
//
// The generated patterns keep to the syntax both define the same way: literals, '.',
// bracket sets with ranges, '*', '+', '?', groups, '|', '^' and '$'. Left out, because the
// two engines differ there or POSIX leaves them undefined: a repetition of something that
// can match the empty string (refused here with "*+ operand could be empty"; allowed by
// POSIX), empty groups and empty alternatives, a repetition right after '(' or '|', braces
// (intervals in POSIX, literals here), back-references, and \< \> (whose end rule differs).
// More than nine groups are not generated (refused here).
//
// Nor are '^' and '$' inside a repeated group: the C library's matcher gets those wrong,
// e.g. it matches "(c|$b)+" against "cb" as a whole, though '$' cannot be followed by a
// character. And subjects for patterns with anchors hold no line breaks: the C library
// lets an anchor that is not at the end of the pattern match next to a line break even
// without REG_NEWLINE ("a$." matches "a\n" there; "a$" does not). Anchors in the middle of a
// pattern are still compared on other subjects, and line breaks with the other patterns.
//
// Both engines run without REG_NEWLINE semantics: '.' takes a line break and '^' / '$'
// are the ends of the whole subject, as here. The case-folding variant uses REG_ICASE and
// patterns without brackets, since folding here leaves bracket sets as they are written.
#include "regexp/RegMatcher.h"

#include <gtest/gtest.h>
#include <regex.h>

#include <cstdint>
#include <random>
#include <string>

namespace {

class CPatternGenerator {
public:
    CPatternGenerator(std::uint32_t nSeed, bool bSets) : m_random(nSeed), m_bSets(bSets) {}

    // A pattern, and whether it uses '^' or '$'.
    std::string Next(bool* pbAnchors) {
        m_nGroups = 0;
        m_bAnchors = false;
        bool bWidth = false;
        std::string strPattern = Expression(0, false, &bWidth);
        *pbAnchors = m_bAnchors;
        return strPattern;
    }

private:
    int Pick(int n) { return static_cast<int>(m_random() % static_cast<std::uint32_t>(n)); }

    std::string Expression(int nDepth, bool bInLoop, bool* pbWidth) {
        const int nBranches = Pick(nDepth == 0 ? 4 : 3) == 0 ? 2 + Pick(2) : 1;
        std::string str;
        *pbWidth = true;
        for (int i = 0; i < nBranches; ++i) {
            bool bWidth = false;
            if (i > 0) {
                str += '|';
            }
            str += Branch(nDepth, bInLoop, &bWidth);
            *pbWidth = *pbWidth && bWidth;
        }
        return str;
    }

    std::string Branch(int nDepth, bool bInLoop, bool* pbWidth) {
        const int nPieces = 1 + Pick(4);
        std::string str;
        *pbWidth = false;
        for (int i = 0; i < nPieces; ++i) {
            bool bWidth = false;
            str += Piece(nDepth, bInLoop, &bWidth);
            *pbWidth = *pbWidth || bWidth;
        }
        return str;
    }

    std::string Piece(int nDepth, bool bInLoop, bool* pbWidth) {
        const int nQuantifier = Pick(6);
        const bool bLoop = nQuantifier == 0 || nQuantifier == 1;
        bool bWidth = false;
        std::string str = Atom(nDepth, bInLoop || bLoop, &bWidth);
        *pbWidth = bWidth;
        if (bWidth) {
            switch (nQuantifier) {
                case 0:
                    str += '*';
                    *pbWidth = false;
                    break;
                case 1:
                    str += '+';
                    break;
                case 2:
                    str += '?';
                    *pbWidth = false;
                    break;
                default:
                    break;
            }
        }
        return str;
    }

    std::string Atom(int nDepth, bool bInLoop, bool* pbWidth) {
        *pbWidth = true;
        const int n = Pick(20);
        if (n < 9) {
            return std::string(1, "abcabcaAB"[n]);
        }
        if (n < 11) {
            return ".";
        }
        if (n < 12) {
            return "\\.";
        }
        if (n < 15 && m_bSets) {
            return Set();
        }
        if (n < 18 && nDepth < 3 && m_nGroups < 9) {
            ++m_nGroups;
            return "(" + Expression(nDepth + 1, bInLoop, pbWidth) + ")";
        }
        if (n == 18 && !bInLoop) {
            m_bAnchors = true;
            *pbWidth = false;
            return "^";
        }
        if (n == 19 && !bInLoop) {
            m_bAnchors = true;
            *pbWidth = false;
            return "$";
        }
        return "b";
    }

    std::string Set() {
        static const char* const kMembers[] = {"a", "b", "c", "a-b", "b-c", ".", "A"};
        std::string str = Pick(3) == 0 ? "[^" : "[";
        const int nMembers = 1 + Pick(3);
        for (int i = 0; i < nMembers; ++i) {
            str += kMembers[Pick(7)];
        }
        return str + "]";
    }

    std::mt19937 m_random;
    bool m_bSets;
    int m_nGroups = 0;
    bool m_bAnchors = false;
};

std::string Subject(std::mt19937& random, bool bMixedCase, bool bLineBreaks) {
    static const char kLetters[] = "abcab.ABC\n";
    const int nLength = static_cast<int>(random() % 9);
    const std::uint32_t nKinds = (bMixedCase ? 9 : 6) + (bLineBreaks ? 1 : 0);
    std::string str;
    for (int i = 0; i < nLength; ++i) {
        const std::uint32_t n = random() % nKinds;
        str += n == nKinds - 1 && bLineBreaks ? '\n' : kLetters[n];
    }
    return str;
}

std::u16string Widen(const std::string& str) {
    return std::u16string(str.begin(), str.end());
}

// A compiled POSIX expression, freed at the end of its scope.
struct SPosix {
    SPosix(const std::string& strPattern, int nFlags)
        : bOk(regcomp(&re, strPattern.c_str(), REG_EXTENDED | nFlags) == 0) {}
    ~SPosix() {
        if (bOk) {
            regfree(&re);
        }
    }
    SPosix(const SPosix&) = delete;
    SPosix& operator=(const SPosix&) = delete;
    regex_t re{};
    bool bOk;
};

// Runs generated patterns against generated subjects and counts the comparisons; stops at
// the first disagreement.
void Compare(std::uint32_t nSeed, int nPatterns, bool bIgnoreCase, int* pnCompared) {
    CPatternGenerator generator(nSeed, !bIgnoreCase);
    std::mt19937 random(nSeed + 1);
    const int nPosixFlags = bIgnoreCase ? REG_ICASE : 0;
    int& nCompared = *pnCompared;
    nCompared = 0;
    for (int i = 0; i < nPatterns; ++i) {
        bool bAnchors = false;
        const std::string strPattern = generator.Next(&bAnchors);
        SCOPED_TRACE("pattern " + strPattern);
        CRegMatcher ours(Widen(strPattern), bIgnoreCase);
        SPosix posix(strPattern, nPosixFlags);
        SPosix whole("^(" + strPattern + ")$", nPosixFlags);
        if (!ours.IsCompiled() || !posix.bOk || !whole.bOk) {
            ADD_FAILURE() << "compile: ours " << ours.IsCompiled() << ", POSIX " << posix.bOk;
            continue;
        }
        for (int j = 0; j < 24; ++j) {
            const std::string strSubject = Subject(random, bIgnoreCase, !bAnchors);
            SCOPED_TRACE("subject \"" + strSubject + "\"");
            const bool bOurs = ours.Match(Widen(strSubject));
            EXPECT_EQ(ours.GetErrorText(), L"");
            regmatch_t match[1];
            const bool bPosix = regexec(&posix.re, strSubject.c_str(), 1, match, 0) == 0;
            ++nCompared;
            ASSERT_EQ(bOurs, bPosix);
            if (!bOurs) {
                continue;
            }
            const int nStart = ours.GetSubStart(0);
            const int nEnd = nStart + ours.GetSubLength(0);
            ASSERT_EQ(nStart, match[0].rm_so);
            ASSERT_LE(nEnd, match[0].rm_eo);
            if (!bAnchors) {
                const std::string strCovered = strSubject.substr(nStart, nEnd - nStart);
                EXPECT_EQ(regexec(&whole.re, strCovered.c_str(), 0, nullptr, 0), 0)
                    << "our match \"" << strCovered << "\" is no match of the pattern";
            }
        }
    }
}

TEST(RegPosixDiff, MatchExistenceAndStartAgree) {
    int nCompared = 0;
    Compare(20240611, 2500, false, &nCompared);
    EXPECT_EQ(nCompared, 2500 * 24);
}

TEST(RegPosixDiff, MatchExistenceAndStartAgreeWithCaseFolding) {
    int nCompared = 0;
    Compare(777, 1000, true, &nCompared);
    EXPECT_EQ(nCompared, 1000 * 24);
}

}  // namespace
