// A compiled regular expression as its users hold it: compile once, Match a subject, read
// the groups.
//
//     CRegMatcher re(L"^(GET|POST) (.*) HTTP/.*", true);
//     if (re.Match(strLine) && re.GetSubCount() == 2) { strPath = re.GetSubString(2); }
//
// Syntax: literals; '.' any character (line breaks included); [set], [^set] with ranges;
// '*', '+', '?' (greedy); (group), up to nine; '|'; '^' and '$' (start and end of the whole
// subject); \< and \> (word start and end); '\' makes the next character literal. The first
// successful alternative wins (not the longest), and the leftmost match is reported.
//
// The engine works on UTF-16 code units. Overloads take and return std::wstring for callers
// that hold wide text; offsets and lengths are then still in UTF-16 units.
//
// Copies share the compiled program. The sharing is counted atomically, so copies may live
// on different threads; one object is used by one thread at a time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "regexp/RegProgram.h"

class CRegMatcher {
public:
    // Holds no program: every operation reports "NULL regexp" until another is assigned.
    CRegMatcher() = default;
    // Compiles at once; never fails outright (see IsCompiled and GetErrorText). With
    // bIgnoreCase, letters outside brackets match either case. A null pattern gives an
    // uncompiled program. The pattern ends at its first zero character.
    CRegMatcher(const char16_t* pszPattern, bool bIgnoreCase);
    CRegMatcher(std::u16string_view strPattern, bool bIgnoreCase);
    CRegMatcher(std::wstring_view strPattern, bool bIgnoreCase);
    CRegMatcher(const CRegMatcher& other);
    CRegMatcher& operator=(const CRegMatcher& other);
    ~CRegMatcher();

    // The folded form of a pattern: each ASCII letter outside brackets becomes a set of its
    // two cases. Brackets keep their text; backslashes get no special treatment.
    static std::u16string FoldCase(std::u16string_view strPattern);

    // True when the pattern matches somewhere in the subject. The subject is borrowed: keep
    // it alive while reading the groups (the wide overload keeps its own converted copy).
    // A null subject is an error; zero characters inside a view are ordinary characters.
    bool Match(const char16_t* pszSubject);
    bool Match(std::u16string_view strSubject);
    bool Match(std::wstring_view strSubject);

    // Number of leading groups set by the last Match (group 0 not counted); -1 after a
    // failed Match.
    int GetSubCount();
    // Offset of the group's start in the subject and its length, in UTF-16 units; -1 for an
    // unset group or a negative index. An index above 9 is taken as 9.
    int GetSubStart(int nIndex);
    int GetSubLength(int nIndex);
    // The group's text; empty for an unset group or an index outside 0 to 9.
    std::wstring GetSubString(int nIndex);
    std::u16string GetSubString16(int nIndex);

    bool IsCompiled() const;
    // The program's last error (of compiling or matching), or the object's own.
    const std::wstring& GetErrorText() const;

private:
    bool MatchText(const char16_t* pSubject, std::size_t nLength);
    // False (and "NULL regexp") when there is no program; clears the error texts.
    bool Begin();
    void Release();
    void CopySubject(const CRegMatcher& other);
    // Offset and length of a set group in the last subject, false when unset or invalid.
    bool FindGroup(int nIndex, std::size_t* pnStart, std::size_t* pnLength) const;

    const char16_t* m_pSubject = nullptr;
    std::size_t m_nSubjectLength = 0;
    // The converted subject of the wide Match; m_pSubject then points into it.
    std::u16string m_strOwnSubject;
    bool m_bOwnSubject = false;
    CRegErrorHandler m_error;
    CRegProgram* m_pProgram = nullptr;
};
