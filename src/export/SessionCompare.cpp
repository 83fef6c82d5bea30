#include "export/SessionCompare.h"

#include <algorithm>
#include <cerrno>

namespace {

constexpr std::size_t kChunk = 4096;

}  // namespace

void CommonEnds(std::string_view a, std::string_view b, std::uint32_t& nPrefix,
                std::uint32_t& nSuffix) {
    const std::size_t nShort = std::min(a.size(), b.size());
    std::size_t p = 0;
    while (p < nShort && a[p] == b[p]) {
        ++p;
    }
    std::size_t s = 0;
    while (s < nShort - p && a[a.size() - 1 - s] == b[b.size() - 1 - s]) {
        ++s;
    }
    nPrefix = static_cast<std::uint32_t>(p);
    nSuffix = static_cast<std::uint32_t>(s);
}

CDiffRuns DifferingRuns(std::string_view a, std::string_view b) {
    CDiffRuns out;
    std::uint32_t nPrefix = 0;
    std::uint32_t nSuffix = 0;
    CommonEnds(a, b, nPrefix, nSuffix);
    const std::size_t nEnd[2] = {a.size() - nSuffix, b.size() - nSuffix};
    const auto add = [&out](int nSide, std::size_t nFrom, std::size_t nTo) {
        if (nTo <= nFrom) {
            return;
        }
        auto& runs = out.runs[nSide];
        if (!runs.empty() && runs.back().second == nFrom) {
            runs.back().second = nTo;
        } else {
            runs.emplace_back(nFrom, nTo);
        }
    };
    if (nEnd[0] - nPrefix > CDiffRuns::kFineLimit || nEnd[1] - nPrefix > CDiffRuns::kFineLimit) {
        add(0, nPrefix, nEnd[0]);
        add(1, nPrefix, nEnd[1]);
        return out;
    }
    // Whether the blocks agree again at (i, j): kResync bytes alike, or near the end all
    // that is left on both sides (a single byte alike must not count as agreement).
    const auto agree = [&](std::size_t i, std::size_t j) {
        const std::size_t nLeftA = nEnd[0] - i;
        const std::size_t nLeftB = nEnd[1] - j;
        if (nLeftA < CDiffRuns::kResync || nLeftB < CDiffRuns::kResync) {
            return nLeftA == nLeftB && a.substr(i, nLeftA) == b.substr(j, nLeftB);
        }
        return a.substr(i, CDiffRuns::kResync) == b.substr(j, CDiffRuns::kResync);
    };
    std::size_t i = nPrefix;
    std::size_t j = nPrefix;
    while (i < nEnd[0] && j < nEnd[1]) {
        if (a[i] == b[j]) {
            ++i;
            ++j;
            continue;
        }
        // The nearest point where they agree again, by the bytes skipped on both sides.
        bool bFound = false;
        std::size_t ni = std::min(i + CDiffRuns::kWindow, nEnd[0]);
        std::size_t nj = std::min(j + CDiffRuns::kWindow, nEnd[1]);
        for (std::size_t d = 1; d <= 2 * CDiffRuns::kWindow && !bFound; ++d) {
            for (std::size_t k = 0; k <= d && !bFound; ++k) {
                const std::size_t ii = i + k;
                const std::size_t jj = j + (d - k);
                if (ii < nEnd[0] && jj < nEnd[1] && agree(ii, jj)) {
                    ni = ii;
                    nj = jj;
                    bFound = true;
                }
            }
        }
        add(0, i, ni);
        add(1, j, nj);
        i = ni;
        j = nj;
    }
    add(0, i, nEnd[0]);
    add(1, j, nEnd[1]);
    return out;
}

bool ReadPairSide(const CBlockRecords& records, const CBlockPair& pair, int nSide,
                  std::string& out) {
    out.clear();
    if (pair.nBlock[nSide] == CBlockPair::kNone) {
        return true;
    }
    std::vector<CBlockRecord> one;
    if (!records.ReadBlocks(pair.nBlock[nSide], 1, one) || one.empty()) {
        return false;
    }
    return records.ReadRaw(one.front(), out);
}

int CompareSessions(const CBlockRecords& records, std::uint32_t nRowA, std::uint32_t nRowB,
                    CSessionComparison& out,
                    const std::function<bool(std::uint64_t, std::uint64_t)>& fnProgress) {
    out = CSessionComparison{};
    CSessionInfo info[2];
    if (!records.Sessions().GetRow(nRowA, info[0]) || !records.Sessions().GetRow(nRowB, info[1])) {
        return ENOENT;
    }
    // First the places of both sessions' blocks, side by side as they come per direction.
    std::uint64_t nFirst = UINT64_MAX;
    std::uint64_t nEnd = 0;
    for (const CSessionInfo& i : info) {
        if (i.nFirstBlock != UINT64_MAX) {
            nFirst = std::min(nFirst, i.nFirstBlock);
            nEnd = std::max(nEnd, i.nLastBlock + 1);
        }
    }
    nEnd = std::min(nEnd, records.GetBlockCount());
    const std::uint64_t nTotal = nEnd > nFirst ? 2 * (nEnd - nFirst) : 0;
    std::size_t nNext[2][2] = {};  // [direction][side]: the next pair each side fills
    std::vector<CBlockRecord> chunk;
    for (std::uint64_t nAt = nFirst; nAt < nEnd; nAt += chunk.size()) {
        if (fnProgress && !fnProgress(nAt - nFirst, nTotal)) {
            return ECANCELED;
        }
        const auto nWant = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, nEnd - nAt));
        if (!records.ReadBlocks(nAt, nWant, chunk) || chunk.empty()) {
            return EIO;
        }
        for (std::size_t k = 0; k < chunk.size(); ++k) {
            const CBlockRecord& block = chunk[k];
            // One session compared with itself fills both sides.
            for (int nSide = 0; nSide < 2; ++nSide) {
                if (block.nSessionRow != (nSide == 0 ? nRowA : nRowB)) {
                    continue;
                }
                const int nDir = block.nDirection != 0 ? 1 : 0;
                std::vector<CBlockPair>& pairs = out.pairs[nDir];
                const std::size_t nIndex = nNext[nDir][nSide]++;
                out.nPairsTotal[nDir] = std::max<std::uint64_t>(out.nPairsTotal[nDir], nIndex + 1);
                if (nIndex >= CSessionComparison::kMaxPairs) {
                    continue;
                }
                if (nIndex >= pairs.size()) {
                    pairs.resize(nIndex + 1);
                }
                pairs[nIndex].nBlock[nSide] = nAt + k;
                pairs[nIndex].nLength[nSide] = block.nRawLength;
            }
        }
    }
    // Then the bytes of each pair, compared.
    std::string a;
    std::string b;
    std::uint64_t nDone = 0;
    std::uint64_t nFirstDifference[2] = {UINT64_MAX, UINT64_MAX};  // record index
    const std::uint64_t nHalf = nTotal / 2;
    const std::uint64_t nPairCount = out.pairs[0].size() + out.pairs[1].size();
    for (int nDir = 0; nDir < 2; ++nDir) {
        for (std::size_t i = 0; i < out.pairs[nDir].size(); ++i, ++nDone) {
            if (fnProgress && nDone % 256 == 0 &&
                !fnProgress(nHalf + (nPairCount == 0 ? 0 : nDone * nHalf / nPairCount), nTotal)) {
                return ECANCELED;
            }
            CBlockPair& pair = out.pairs[nDir][i];
            if (!ReadPairSide(records, pair, 0, a) || !ReadPairSide(records, pair, 1, b)) {
                return EIO;
            }
            CommonEnds(a, b, pair.nPrefix, pair.nSuffix);
            if (!pair.Same()) {
                ++out.nDifferent[nDir];
                if (nFirstDifference[nDir] == UINT64_MAX) {
                    nFirstDifference[nDir] = std::min(pair.nBlock[0], pair.nBlock[1]);
                    if (out.nFirstDirection < 0 ||
                        nFirstDifference[nDir] < nFirstDifference[out.nFirstDirection]) {
                        out.nFirstDirection = nDir;
                        out.nFirstPair = i;
                    }
                }
            }
        }
    }
    return 0;
}
