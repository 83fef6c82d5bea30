// Where each stretch of the log's text comes from: text kept as it is (marker and session
// lines, loaded files, small blocks) in the document's own spool, or a relayed block whose
// bytes lie once in the records' raw spool and whose text is made from them when it is
// read. A block's text length is known from its append, so offsets into the text stay
// exact without the text being kept. Not thread-safe: the log document guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

struct CLogSegment {
    std::uint64_t nTextStart = 0;
    std::uint64_t nSource = 0;  // literal: offset in the text spool; block: in the raw spool
    std::uint32_t nTextLength = 0;
    std::uint32_t nRawLength = 0;  // 0 for literal text

    bool IsBlock() const { return nRawLength != 0; }
    std::uint64_t TextEnd() const { return nTextStart + nTextLength; }
};

class CLogSegments {
public:
    // Literal text of `nLength` bytes at `nLiteral` in the text spool, at the text's end
    // (`nTextStart`). Joins the previous literal segment where both are contiguous.
    void AddLiteral(std::uint64_t nTextStart, std::uint64_t nLiteral, std::uint64_t nLength);
    // A block's text of `nTextLength` bytes, made from the raw bytes at `nRaw`.
    void AddBlock(std::uint64_t nTextStart, std::uint64_t nRaw, std::uint32_t nRawLength,
                  std::uint32_t nTextLength);

    // The index of the segment that holds text offset `nOffset`; Count() when none does.
    std::size_t IndexOf(std::uint64_t nOffset) const;
    const CLogSegment& At(std::size_t nIndex) const { return m_segments[nIndex]; }
    std::size_t Count() const { return m_segments.size(); }

    void Clear();
    std::uint64_t GetMemoryUse() const;

private:
    std::deque<CLogSegment> m_segments;
};
