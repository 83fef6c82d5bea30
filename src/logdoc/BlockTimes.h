// The arrival times of blocks beside their marker lines, found for the lines on screen
// only: a binary search over the records (which are in log order) finds the first block
// at or after the first line, and the blocks from there are matched to the lines in one
// pass. Costs a few dozen record reads however large the log is.
//
// Threads: any thread, while the relay appends to the log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CBlockRecords;
class CLogDocument;

namespace blocktimes {

constexpr std::int64_t kNoTime = INT64_MIN;

// Any thread. The index of the first record whose text starts at or after nOffset (the record count
// when there is none).
std::uint64_t FirstBlockFrom(const CBlockRecords& records, std::uint64_t nOffset);

// Any thread. For each line nFirstLine.. (nCount of them, fewer at the end of the log): the arrival
// time of the block whose marker line it is, else kNoTime. A block's marker line is the
// first line that holds a character of its text (a leading line break belongs to the line
// before). `out` is reused.
void MarkerTimes(const CLogDocument& doc, std::uint64_t nFirstLine, std::size_t nCount,
                 std::vector<std::int64_t>& out);

// Microseconds since 1970 as local time "HH:MM:SS.mmm".
std::string FormatTime(std::int64_t nTimeUs);

}  // namespace blocktimes
