#include "logdoc/BlockTimes.h"

#include <cstdio>
#include <ctime>

#include "logdoc/LogDocument.h"

namespace blocktimes {

std::uint64_t FirstBlockFrom(const CBlockRecords& records, std::uint64_t nOffset) {
    std::uint64_t nLow = 0;
    std::uint64_t nHigh = records.GetBlockCount();
    std::vector<CBlockRecord> one;
    one.reserve(1);
    while (nLow < nHigh) {
        const std::uint64_t nMid = nLow + (nHigh - nLow) / 2;
        if (!records.ReadBlocks(nMid, 1, one) || one.empty()) {
            return nHigh;  // unreadable: nothing found rather than a wrong block
        }
        if (one[0].nTextStart < nOffset) {
            nLow = nMid + 1;
        } else {
            nHigh = nMid;
        }
    }
    return nLow;
}

void MarkerTimes(const CLogDocument& doc, std::uint64_t nFirstLine, std::size_t nCount,
                 std::vector<std::int64_t>& out) {
    out.clear();
    const std::vector<CLogLineSpan> lines =
        doc.GetLines(nFirstLine > 0 ? nFirstLine - 1 : 0, nCount + (nFirstLine > 0 ? 1 : 0));
    if (lines.empty() || (nFirstLine > 0 && lines.size() < 2)) {
        return;
    }
    const std::size_t iFirst = nFirstLine > 0 ? 1 : 0;
    out.assign(lines.size() - iFirst, kNoTime);
    // Blocks that start before the end of the line above have their marker line above.
    const std::uint64_t nFrom = iFirst != 0 ? lines[0].nStart + lines[0].nLength : 0;
    const std::uint64_t nTo = lines.back().nStart + lines.back().nLength;
    const CBlockRecords& records = doc.GetRecords();
    // A line is found for a text offset as a block's marker line is: the first line that
    // holds a character at or after it.
    std::size_t iLine = iFirst;
    const auto lineOf = [&](std::uint64_t t) {
        while (iLine < lines.size() &&
               !(lines[iLine].nStart + lines[iLine].nLength > t || lines[iLine].nStart > t)) {
            ++iLine;
        }
        return iLine;
    };
    std::uint64_t nBlock = FirstBlockFrom(records, nFrom);
    // Each block's marker line is a line of its own; many blocks on the few lines shown
    // would be a damaged log, and the pass stops.
    const std::uint64_t nMaxBlocks = 4 * out.size() + 64;
    // The blocks' marker lines, then the session start and stop lines (fewer) where no
    // block's marker is.
    [&] {
        std::vector<CBlockRecord> chunk;
        for (std::uint64_t nRead = 0; nRead < nMaxBlocks; nRead += chunk.size()) {
            if (!records.ReadBlocks(nBlock + nRead, 64, chunk) || chunk.empty()) {
                return;
            }
            for (const CBlockRecord& block : chunk) {
                const std::uint64_t t = block.nTextStart;
                if (t > nTo) {
                    return;
                }
                if (lineOf(t) == lines.size()) {
                    return;
                }
                std::int64_t& nTime = out[iLine - iFirst];
                if (nTime == kNoTime) {
                    nTime = block.nTimeUs;
                }
            }
        }
    }();
    std::vector<std::pair<std::uint64_t, std::int64_t>> sessionLines;
    records.ReadSessionLineTimes(nFrom, nTo + 1, sessionLines);
    iLine = iFirst;
    for (const auto& [t, nTimeUs] : sessionLines) {
        if (lineOf(t) == lines.size()) {
            break;
        }
        if (out[iLine - iFirst] == kNoTime) {
            out[iLine - iFirst] = nTimeUs;
        }
    }
}

std::string FormatTime(std::int64_t nTimeUs) {
    std::int64_t nSeconds = nTimeUs / 1000000;
    std::int64_t nMicros = nTimeUs % 1000000;
    if (nMicros < 0) {
        nMicros += 1000000;
        --nSeconds;
    }
    const auto t = static_cast<std::time_t>(nSeconds);
    std::tm local{};
    if (::localtime_r(&t, &local) == nullptr) {
        return {};
    }
    char szText[32];
    std::snprintf(szText, sizeof(szText), "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(nMicros / 1000));
    return szText;
}

}  // namespace blocktimes
