// Where the lines of an append-only text start, kept compact enough for logs of many
// gigabytes: the start of every 64th line, and every 64 KiB a checkpoint naming the line
// that holds that byte (so that the end of a very long line is found without reading it
// all). A line ends at LF, at CR, or at CR LF (one break), also when CR and LF arrive in
// different appends. Not thread-safe: the log document guards it.
//
// A relayed block's breaks may be counted apart from the index (CountBlock, no shared
// state) and spliced in later (Splice), so that the costly count runs outside the lock
// that guards the index and only the splice, a pass over the breaks found, runs under it.
#pragma once

#include <cstdint>
#include <deque>
#include <string_view>
#include <vector>

class CLineIndex {
public:
    static constexpr std::uint64_t kLinesPerBlock = 64;
    static constexpr std::uint64_t kCheckpointBytes = 64 * 1024;

    // Takes in the text appended at the current end (`nBase`, the size before it).
    void Append(std::uint64_t nBase, std::string_view text);

    // A block's line breaks and text length, counted from its bytes without an index.
    struct CBlockBreaks {
        // Text offsets within the block's text, times two, plus one for a CR.
        std::vector<std::uint64_t> breaks;
        std::uint64_t nTextLength = 0;
    };
    // Any thread. Counts the text win::AnsiToUtf8 makes of `bytes` (zero bytes shown) into
    // `out` (its storage reused), without making that text.
    static void CountBlock(std::string_view bytes, CBlockBreaks& out);
    // Takes in a counted block appended at the current end (`nBase`, the size before it):
    // the same index as Append of the block's text. Returns its text length.
    std::uint64_t Splice(std::uint64_t nBase, const CBlockBreaks& counted);

    // Empty again: one empty line.
    void Clear();

    // At least 1: an empty text is one empty line, and a text ending in a break has an
    // empty last line.
    std::uint64_t GetLineCount() const { return m_nLines; }

    // The start of line nBlock * kLinesPerBlock; nBlock must be below GetBlockCount().
    std::uint64_t GetBlockStart(std::uint64_t nBlock) const { return m_blockStarts[nBlock]; }
    std::uint64_t GetBlockCount() const { return m_blockStarts.size(); }

    // A byte offset above `nFrom` that still belongs to line `nLine`, as far on as the
    // checkpoints know (the scan for the line's end may start there); `nFrom` when none.
    std::uint64_t SkipWithinLine(std::uint64_t nLine, std::uint64_t nFrom) const;

    // Bytes of memory held by the index.
    std::uint64_t GetMemoryUse() const;

private:
    struct CCheckpoint {
        std::uint64_t nOffset;  // a multiple of kCheckpointBytes
        std::uint64_t nLine;    // the last line starting at or before nOffset
    };

    void StartLine(std::uint64_t nStart);
    // A CR (bCr) or an LF at text offset nAt.
    void AddBreak(std::uint64_t nAt, bool bCr);
    void AddCheckpointsUpTo(std::uint64_t nOffset);  // every checkpoint at or below nOffset

    // A deque: growing it never copies what it holds, which for a log of gigabytes would
    // be megabytes copied while readers wait for the lock that guards the index.
    std::deque<std::uint64_t> m_blockStarts{0};
    std::vector<CCheckpoint> m_checkpoints;
    std::uint64_t m_nLines = 1;
    std::uint64_t m_nLastStart = 0;
    std::uint64_t m_nNextCheckpoint = kCheckpointBytes;
    std::uint64_t m_nCrAt = UINT64_MAX;  // offset of the last byte when it is a CR
};
