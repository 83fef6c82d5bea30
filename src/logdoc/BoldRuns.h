// The bold runs of an append-only text, kept small: the offsets where bold starts and
// ends, delta-coded in chunks (a marker line and its block cost about two bytes).
// Not thread-safe: the log document guards it.
#pragma once

#include <cstdint>
#include <vector>

struct CBoldRun {
    std::uint64_t nStart;
    std::uint64_t nEnd;  // exclusive
};

class CBoldRuns {
public:
    // The text from `nOffset` on is bold (`bBold`) or plain. Offsets never decrease; a
    // change at the offset of the previous one replaces it.
    void SetBoldFrom(std::uint64_t nOffset, bool bBold);

    // Whether the text at the end is bold.
    bool IsBoldAtEnd() const { return (m_nCount & 1) != 0; }

    // The runs that overlap [nFrom, nTo), cut to that range.
    std::vector<CBoldRun> GetRuns(std::uint64_t nFrom, std::uint64_t nTo) const;

    void Clear();
    std::uint64_t GetMemoryUse() const;

private:
    static constexpr std::uint32_t kPerChunk = 256;

    struct CChunk {
        std::uint64_t nFirst = 0;        // the offset of its first change
        std::uint64_t nLast = 0;         // the offset of its last change
        std::vector<std::uint8_t> data;  // LEB128 deltas of the changes after the first
    };

    // The offsets of the changes of one chunk, in order.
    static void Decode(const CChunk& chunk, std::vector<std::uint64_t>& out);
    void RemoveLast();

    std::vector<CChunk> m_chunks;
    std::uint64_t m_nCount = 0;  // changes; even ones start bold, odd ones end it
};
