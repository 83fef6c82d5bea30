// Which direction each part of the log's text was relayed in, for the text on screen only:
// the text of every block (its marker line and its data) in the block's direction, found
// from the block records with a binary search and one pass; text in no block is the log's
// own lines (session starts and ends, errors). Costs a few dozen record reads however
// large the log is.
//
// Threads: any thread, while the relay appends to the log.
#pragma once

#include <cstdint>
#include <vector>

#include "module/LogRecord.h"

class CBlockRecords;

namespace directionruns {

// The text [nStart, nEnd) of one block.
struct CDirectionRun {
    std::uint64_t nStart = 0;
    std::uint64_t nEnd = 0;
    LogDirection direction = LogDirection::ClientToServer;
};

// At most this many blocks are looked at per call; a window of text that holds more (a
// damaged log) shows the rest as the log's own lines.
constexpr std::size_t kMaxRuns = 8192;

// Any thread. The blocks whose text overlaps [nFrom, nTo), in log order, cut to the
// range. `out` is reused.
void BlockRuns(const CBlockRecords& records, std::uint64_t nFrom, std::uint64_t nTo,
               std::vector<CDirectionRun>& out);

}  // namespace directionruns
