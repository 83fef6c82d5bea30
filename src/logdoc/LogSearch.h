// Finding text in the traffic log without loading it: the spooled text is read in large
// pieces and scanned, so that a log of gigabytes is searched at the speed of memory.
//
// Plain text: the bytes of the UTF-8 text, anywhere, across line breaks too; without case,
// ASCII letters match either case. Regular expressions (the program's own engine, see
// CRegMatcher for the syntax): matched against one line at a time, so a match never spans
// a line break; '^' and '$' are the line's start and end. A line longer than
// kRegexSegmentBytes is matched in segments that start at multiples of kRegexSegmentBytes;
// each segment sees kRegexOverlapBytes of the text after it, so a match that starts in it
// may reach that far; there '^' matches only at the line's start, and a match that would
// end at the edge of that view (not the line's end) is not reported. Empty matches are
// never reported. Without case, a pattern's ASCII letters outside brackets match either
// case.
//
// Every search step does bounded work (about nBudget bytes of text), so that a caller on
// a worker thread can report progress and stop between steps. Matches that do not overlap
// are counted: after a match the count goes on at its end.
//
// Threads: one object is used by one thread at a time; the document may be appended to
// from any thread meanwhile (a search sees the text as it was at the start of each call).
// A clear or load of the document ends every search with EFindResult::Changed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "logdoc/LogDocument.h"
#include "logdoc/TextScanner.h"

class CLogDocument;
class CRegProgram;

struct CFindOptions {
    std::string strText;  // UTF-8
    bool bMatchCase = false;
    bool bRegex = false;
};

struct CFindMatch {
    std::uint64_t nStart = 0;
    std::uint64_t nEnd = 0;  // exclusive
};

enum class EFindResult {
    Found,     // the match is filled in
    NotFound,  // the whole range was searched
    More,      // the budget was spent: call again from the resume point
    Changed,   // the log was cleared or loaded since the search began
};

class CLogSearch {
public:
    static constexpr std::size_t kChunkBytes = 4 << 20;
    static constexpr std::uint64_t kRegexSegmentBytes = 1 << 20;
    static constexpr std::uint64_t kRegexOverlapBytes = 64 << 10;

    CLogSearch(const CLogDocument& doc, CFindOptions options);
    ~CLogSearch();
    CLogSearch(const CLogSearch&) = delete;
    CLogSearch& operator=(const CLogSearch&) = delete;

    // False for an empty text or a pattern that does not compile (GetErrorText says why).
    bool IsValid() const { return m_bValid; }
    const std::wstring& GetErrorText() const { return m_strError; }
    // Whether some line was too costly for the pattern (the engine's work bound) and was
    // taken as holding no match.
    bool HadAbortedLines() const { return m_bAborted; }

    // The first match that starts in [nFrom, nTo). More: go on from nResume.
    EFindResult FindNext(std::uint64_t nFrom, std::uint64_t nTo, std::uint64_t nBudget,
                         CFindMatch& match, std::uint64_t& nResume);
    // The last match that starts in [nFrom, nTo). More: go on with nResume as the new nTo.
    EFindResult FindPrevious(std::uint64_t nFrom, std::uint64_t nTo, std::uint64_t nBudget,
                             CFindMatch& match, std::uint64_t& nResume);
    // Adds to nCount the matches that start in [nFrom, nTo), one after the other. NotFound
    // when the range is done, with nResume where counting goes on later (nTo, or the end
    // of the last match when that lies beyond); More: go on from nResume.
    EFindResult Count(std::uint64_t nFrom, std::uint64_t nTo, std::uint64_t nBudget,
                      std::uint64_t& nCount, std::uint64_t& nResume);
    // The matches that overlap [nFrom, nTo) (the text on screen), at most nMax of them.
    std::vector<CFindMatch> FindOverlapping(std::uint64_t nFrom, std::uint64_t nTo,
                                            std::size_t nMax);

    // Where counting may stop for now in a text of nSize bytes so that the matches before
    // it stay as they are whatever is appended: the start of the last line for patterns,
    // the last place a whole needle fits for plain text.
    std::uint64_t SettledEnd(std::uint64_t nSize);

private:
    // One line (or segment of a long line) as the pattern sees it.
    struct CSegment {
        std::uint64_t nStart = 0;        // its first byte
        std::uint64_t nEnd = 0;          // where the next segment's text begins (or the break)
        std::uint64_t nNext = 0;         // the next segment's start; UINT64_MAX at the end
        std::uint64_t nSubjectFrom = 0;  // what the pattern sees: one character before
        std::uint64_t nSubjectTo = 0;    // nStart for a cut segment, up to the line's end
        bool bCut = false;               // nStart is not the start of its line
        bool bOpenEnd = false;           // nSubjectTo is not the line's end
        std::uint64_t nSize = 0;         // the size of the text when it was read
    };

    // UTF-8 to UTF-16 (bytes that are not UTF-8 as U+FFFD), with the byte offset of every
    // unit and of the end when pOffsets is given.
    static void ToUtf16(std::string_view text, std::u16string& out,
                        std::vector<std::uint32_t>* pOffsets);
    bool Reset() const;
    // Reads [nOffset, nOffset + n) into m_buffer; false when the log changed.
    bool Read(std::uint64_t nOffset, std::size_t n);
    EFindResult AsciiNext(std::uint64_t nFrom, std::uint64_t nTo, std::uint64_t nBudget,
                          CFindMatch& match, std::uint64_t& nResume);
    EFindResult PlainNext(std::uint64_t nFrom, std::uint64_t nTo, std::uint64_t nBudget,
                          CFindMatch& match, std::uint64_t& nResume);
    EFindResult PlainPrevious(std::uint64_t nFrom, std::uint64_t nTo, std::uint64_t nBudget,
                              CFindMatch& match, std::uint64_t& nResume);
    EFindResult RegexNext(std::uint64_t nFrom, std::uint64_t nTo, std::uint64_t nBudget,
                          CFindMatch& match, std::uint64_t& nResume);
    EFindResult RegexPrevious(std::uint64_t nFrom, std::uint64_t nTo, std::uint64_t nBudget,
                              CFindMatch& match, std::uint64_t& nResume);
    // The segment that holds byte p (p below the size), or the last one at the end.
    bool SegmentStart(std::uint64_t p, std::uint64_t& nStart);
    bool ReadSegment(std::uint64_t nStart, std::uint64_t nSize, CSegment& seg);
    // The first match in the segment that starts at or after nMin (in its own part).
    bool MatchInSegment(const CSegment& seg, std::uint64_t nMin, CFindMatch& match);
    bool Window(std::uint64_t nOffset, std::size_t n, std::uint64_t nSize, const char*& p);

    const CLogDocument& m_doc;
    CFindOptions m_options;
    std::uint64_t m_nResets;
    bool m_bValid = false;
    bool m_bAborted = false;
    std::wstring m_strError;
    std::unique_ptr<CTextScanner> m_pScanner;
    std::unique_ptr<CRegProgram> m_pProgram;
    // Finds what every match of the pattern holds (ASCII only), to pass over lines cheaply.
    void FindLiterals();
    std::string m_mustHave;    // a literal in every match
    std::string m_linePrefix;  // a literal every match begins with, at a line's start
    std::string m_buffer;      // the last piece read: the text from m_nBufferBase
    std::uint64_t m_nBufferBase = 0;
    // Plain ASCII text without zero bytes is looked for in the blocks' bytes, which spares
    // making their text (see CLogDocument::ReadSearchable): the last piece read, for text
    // [m_nSearchableFrom, m_nSearchableTo), and where its next scan may start.
    bool m_bAsciiNeedle = false;
    CSearchableText m_searchable;
    std::uint64_t m_nSearchableFrom = 0;
    std::uint64_t m_nSearchableTo = 0;
    std::uint64_t m_nResumeText = UINT64_MAX;  // a text offset whose place is known:
    std::size_t m_nResumeAt = 0;               // this one in the bytes
    // A window of the text kept between segments (patterns read line after line).
    std::string m_window;
    std::uint64_t m_nWindowBase = 0;
    // The last subject converted, [m_nSubjectFrom, m_nSubjectTo) (none when equal).
    std::u16string m_subject;
    std::uint64_t m_nSubjectFrom = 0;
    std::uint64_t m_nSubjectTo = 0;
    std::vector<std::uint32_t> m_unitOffsets;  // byte offset of each UTF-16 unit, and the end
};
