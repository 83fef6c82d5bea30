// The blocks of one session as the log's records keep them, for sending them again.
//
// Threads: any thread (the GUI's), while the relay goes on appending; blocks appended after
// the start are left out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "logdoc/BlockRecords.h"
#include "module/LogRecord.h"

struct CRecordedBlock {
    std::string bytes;
    std::int64_t nTimeUs = 0;
    LogDirection direction = LogDirection::ClientToServer;
};

// The blocks of session row `nRow` in log order (with `bClientOnly` only the client's).
// 0 or the errno: ENOENT for no such row, EIO for a read error, EFBIG when they hold more
// than `nMaxBytes`.
int ReadSessionBlocks(const CBlockRecords& records, std::uint32_t nRow, bool bClientOnly,
                      std::vector<CRecordedBlock>& out,
                      std::uint64_t nMaxBytes = std::uint64_t{256} << 20);
