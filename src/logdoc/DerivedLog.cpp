#include "logdoc/DerivedLog.h"

#include <algorithm>

#include "logdoc/HexDump.h"
#include "logdoc/LogDocument.h"
#include "module/Messages.h"

namespace {

// Records read at a time.
constexpr std::size_t kChunkRecords = 1024;
// What passing over a block of another session costs of the budget.
constexpr std::size_t kSkipCost = 8;
// How far back from a cut the copy of plain text looks for a line break.
constexpr std::uint64_t kCutReach = 4096;

}  // namespace

CDerivedLog::CDerivedLog(const CLogDocument& source, std::uint32_t nSessionRow, Format format)
    : m_source(source),
      m_nSessionRow(nSessionRow),
      m_format(format),
      m_pDoc(std::make_unique<CLogDocument>(source.GetSpoolFolder())),
      m_nSeenResets(source.GetResetCount()) {}

CDerivedLog::~CDerivedLog() = default;

void CDerivedLog::Restart() {
    m_pDoc->Clear();
    m_nNextBlock = 0;
    m_nCursor = 0;
}

bool CDerivedLog::CatchUp(std::size_t nBudget) {
    if (const std::uint64_t nResets = m_source.GetResetCount(); nResets != m_nSeenResets) {
        m_nSeenResets = nResets;
        Restart();
        m_bSessionGone = !AllSessions();
    }
    if (m_bSessionGone) {
        return true;
    }
    const CBlockRecords& records = m_source.GetRecords();
    // In this order: text before the size is either in a block recorded by the time the
    // count is read, or in the block still open, or between blocks and settled.
    const std::uint64_t nSize = m_source.GetSize();
    const std::uint64_t nOpen = records.GetOpenBlockStart();
    const std::uint64_t nBlocks = records.GetBlockCount();
    if (!AllSessions() && m_nNextBlock < nBlocks) {
        // Blocks before the session's first are not its own. Read after the count, the row
        // knows every block of the session below it.
        CSessionInfo info;
        if (!records.Sessions().GetRow(m_nSessionRow, info)) {
            return true;
        }
        const std::uint64_t nJump = info.nFirstBlock == UINT64_MAX ? nBlocks : info.nFirstBlock;
        if (nJump > m_nNextBlock) {
            // The text of the block before is another session's (see TakeBlock).
            if (records.ReadBlocks(nJump - 1, 1, m_chunk) && !m_chunk.empty()) {
                m_nCursor = std::max(m_nCursor, m_chunk[0].nTextStart + m_chunk[0].nTextLength);
            }
            m_nNextBlock = nJump;
        }
    }
    std::size_t nLeft = std::max<std::size_t>(nBudget, 1);
    while (m_nNextBlock < nBlocks) {
        const auto nWant = static_cast<std::size_t>(
            std::min<std::uint64_t>(kChunkRecords, nBlocks - m_nNextBlock));
        if (!records.ReadBlocks(m_nNextBlock, nWant, m_chunk) || m_chunk.empty()) {
            return false;  // tried again on the next call
        }
        for (const CBlockRecord& block : m_chunk) {
            if (nLeft == 0) {
                return false;
            }
            if (AllSessions()) {
                if (!CopyUpTo(block.nTextStart, nLeft)) {
                    return false;  // the text before the block is not all in yet
                }
            } else if (block.nSessionRow != m_nSessionRow) {
                m_nCursor = std::max(m_nCursor, block.nTextStart + block.nTextLength);
                ++m_nNextBlock;
                nLeft -= std::min(nLeft, kSkipCost);
                continue;
            }
            nLeft -= std::min(nLeft, TakeBlock(block));
            ++m_nNextBlock;
        }
    }
    if (AllSessions() && !CopyUpTo(std::min(nSize, nOpen), nLeft)) {
        return false;  // the text after the last block, up to a block being written
    }
    // Emptied meanwhile: what was taken in may be of the new log; the next call starts over.
    return m_source.GetResetCount() == m_nSeenResets;
}

std::size_t CDerivedLog::TakeBlock(const CBlockRecord& block) {
    // A block's text never reaches back into the text of the blocks before it: in HTTP
    // mode a marker is logged before its request arrives, other sessions' blocks can come
    // between, and the block's record then spans them too. Their text is not this block's
    // (nor shown twice).
    const std::uint64_t nStart = std::max(block.nTextStart, m_nCursor);
    const std::uint64_t nEnd = std::max(nStart, block.nTextStart + block.nTextLength);
    // The marker is the bold run the block's text begins with.
    std::uint64_t nMarkerEnd = nStart;
    if (const std::vector<CBoldRun> runs = m_source.GetBoldRuns(nStart, nEnd);
        !runs.empty() && runs[0].nStart <= nStart) {
        nMarkerEnd = std::min(runs[0].nEnd, nEnd);
    }

    CLogRecord record;
    record.kind = LogRecordKind::BlockBegin;
    record.nSessionId = std::uint64_t{block.nSessionRow} + 1;
    m_pDoc->OnLogRecord(record);
    std::size_t nTaken = 0;
    if (!AllSessions() && block.nTextStart < nStart) {
        // Its marker line came before the text of those other blocks: shown here above
        // its own text.
        // The marker is one bold line (after the break that ends the line before it); the
        // other blocks' markers may follow it in the same bold run.
        if (const std::vector<CBoldRun> runs = m_source.GetBoldRuns(block.nTextStart, nStart);
            !runs.empty() && runs[0].nStart <= block.nTextStart) {
            const std::uint64_t nBoldEnd = std::min(runs[0].nEnd, nStart);
            const std::string head = m_source.ReadBytes(
                block.nTextStart, std::min<std::uint64_t>(nBoldEnd - block.nTextStart, 4096));
            std::size_t nLineEnd = head.find_first_not_of("\r\n");
            nLineEnd = nLineEnd == std::string::npos
                           ? head.size()
                           : std::min(head.size(), head.find_first_of("\r\n", nLineEnd));
            CopyStyled(block.nTextStart, block.nTextStart + nLineEnd);
            nTaken += nLineEnd;
        }
    }
    // Bytes that could not be kept (the records' spool failed) leave the text to show.
    const bool bBytesKept = block.nRawLength != 0 || nMarkerEnd == nEnd;
    if (m_format == Format::Hex && bBytesKept && m_source.GetRecords().ReadRaw(block, m_raw)) {
        CopyStyled(nStart, nMarkerEnd);
        m_text.clear();
        hexdump::AppendLines(m_text, m_raw);
        if (!m_text.empty()) {
            m_pDoc->AppendUtf8(m_text, LOG_STYLE_PLAIN);
        }
        nTaken += static_cast<std::size_t>(nMarkerEnd - nStart) + m_raw.size();
    } else {
        CopyStyled(nStart, nEnd);
        nTaken += static_cast<std::size_t>(nEnd - nStart);
    }
    record.kind = LogRecordKind::Block;
    record.nTimeUs = block.nTimeUs;
    record.direction = static_cast<LogDirection>(block.nDirection);
    m_pDoc->OnLogRecord(record);
    m_nCursor = std::max(m_nCursor, nEnd);
    return std::max<std::size_t>(nTaken, 1);
}

bool CDerivedLog::CopyUpTo(std::uint64_t nTo, std::size_t& nBudget) {
    if (m_nCursor >= nTo) {
        return true;
    }
    std::uint64_t nEnd = nTo;
    if (nTo - m_nCursor > nBudget) {
        // Cut after the last line break near the budget's end, else before a character
        // that starts there (never inside one, nor inside a CR LF).
        nEnd = m_nCursor + std::max<std::size_t>(nBudget, 1);
        const std::uint64_t nWindow = nEnd - m_nCursor > kCutReach ? nEnd - kCutReach : m_nCursor;
        const std::string window = m_source.ReadBytes(nWindow, nEnd + 1 - nWindow);
        std::size_t k = static_cast<std::size_t>(nEnd - nWindow);
        if (const std::size_t nBreak = window.find_last_of('\n', k - 1);
            nBreak != std::string::npos && nWindow + nBreak + 1 > m_nCursor) {
            k = nBreak + 1;
        } else {
            while (k > 1 && k < window.size() &&
                   ((static_cast<unsigned char>(window[k]) & 0xC0) == 0x80 ||
                    (window[k] == '\n' && window[k - 1] == '\r'))) {
                --k;
            }
        }
        nEnd = nWindow + k;
    }
    CopyStyled(m_nCursor, nEnd);
    nBudget -= std::min<std::uint64_t>(nBudget, nEnd - m_nCursor);
    m_nCursor = nEnd;
    return nEnd == nTo;
}

void CDerivedLog::CopyStyled(std::uint64_t nFrom, std::uint64_t nTo) {
    std::uint64_t nAt = nFrom;
    for (const CBoldRun& run : m_source.GetBoldRuns(nFrom, nTo)) {
        const std::uint64_t nBoldFrom = std::max(run.nStart, nAt);
        const std::uint64_t nBoldTo = std::min(run.nEnd, nTo);
        if (nBoldFrom > nAt) {
            m_pDoc->AppendUtf8(m_source.ReadBytes(nAt, nBoldFrom - nAt), LOG_STYLE_PLAIN);
        }
        if (nBoldTo > nBoldFrom) {
            m_pDoc->AppendUtf8(m_source.ReadBytes(nBoldFrom, nBoldTo - nBoldFrom), LOG_STYLE_BOLD);
        }
        nAt = std::max(nAt, nBoldTo);
    }
    if (nTo > nAt) {
        m_pDoc->AppendUtf8(m_source.ReadBytes(nAt, nTo - nAt), LOG_STYLE_PLAIN);
    }
}
