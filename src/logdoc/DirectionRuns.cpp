#include "logdoc/DirectionRuns.h"

#include <algorithm>

#include "logdoc/BlockRecords.h"
#include "logdoc/BlockTimes.h"

namespace directionruns {

void BlockRuns(const CBlockRecords& records, std::uint64_t nFrom, std::uint64_t nTo,
               std::vector<CDirectionRun>& out) {
    out.clear();
    if (nFrom >= nTo) {
        return;
    }
    // The block before the first one that starts in the range may reach into it.
    std::uint64_t nBlock = blocktimes::FirstBlockFrom(records, nFrom);
    if (nBlock > 0) {
        --nBlock;
    }
    std::vector<CBlockRecord> chunk;
    std::size_t nSeen = 0;
    while (nSeen < kMaxRuns) {
        if (!records.ReadBlocks(nBlock, 64, chunk) || chunk.empty()) {
            return;
        }
        for (const CBlockRecord& block : chunk) {
            ++nSeen;
            const std::uint64_t nStart = block.nTextStart;
            const std::uint64_t nEnd = nStart + block.nTextLength;
            if (nStart >= nTo) {
                return;
            }
            const std::uint64_t nCutStart = std::max(nStart, nFrom);
            const std::uint64_t nCutEnd = std::min(nEnd, nTo);
            // Records out of order (a damaged log) must not make the runs overlap.
            if (nCutStart < nCutEnd && (out.empty() || out.back().nEnd <= nCutStart)) {
                out.push_back(
                    {nCutStart, nCutEnd,
                     block.nDirection == static_cast<std::uint8_t>(LogDirection::ServerToClient)
                         ? LogDirection::ServerToClient
                         : LogDirection::ClientToServer});
            }
        }
        nBlock += chunk.size();
    }
}

}  // namespace directionruns
