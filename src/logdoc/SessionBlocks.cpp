#include "logdoc/SessionBlocks.h"

#include <algorithm>
#include <cerrno>

#include "logdoc/SessionTable.h"

namespace {

constexpr std::size_t kChunk = 4096;

}  // namespace

int ReadSessionBlocks(const CBlockRecords& records, std::uint32_t nRow, bool bClientOnly,
                      std::vector<CRecordedBlock>& out, std::uint64_t nMaxBytes) {
    out.clear();
    CSessionInfo info;
    if (!records.Sessions().GetRow(nRow, info)) {
        return ENOENT;
    }
    if (info.nFirstBlock == UINT64_MAX) {
        return 0;  // no block yet
    }
    // The session's blocks lie between its first and last; the rows of others are skipped.
    const std::uint64_t nEnd = std::min(records.GetBlockCount(), info.nLastBlock + 1);
    std::uint64_t nBytes = 0;
    std::vector<CBlockRecord> chunk;
    for (std::uint64_t nFirst = info.nFirstBlock; nFirst < nEnd; nFirst += kChunk) {
        const auto nCount =
            static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, nEnd - nFirst));
        if (!records.ReadBlocks(nFirst, nCount, chunk)) {
            return EIO;
        }
        for (const CBlockRecord& block : chunk) {
            if (block.nSessionRow != nRow || (bClientOnly && block.nDirection != 0)) {
                continue;
            }
            nBytes += block.nRawLength;
            if (nBytes > nMaxBytes) {
                out.clear();
                return EFBIG;
            }
            CRecordedBlock recorded;
            if (!records.ReadRaw(block, recorded.bytes)) {
                out.clear();
                return EIO;
            }
            recorded.nTimeUs = block.nTimeUs;
            recorded.direction = static_cast<LogDirection>(block.nDirection);
            out.push_back(std::move(recorded));
        }
    }
    return 0;
}
