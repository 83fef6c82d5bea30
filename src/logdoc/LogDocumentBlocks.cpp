// The log document's relayed blocks: kept once, as their bytes in the records' raw spool,
// and made into text when read.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "logdoc/LogDocument.h"
#include "module/Messages.h"
#include "platform/TextConv.h"

namespace {

// Where a long block may be cut without changing its text: where no UTF-8 sequence can
// span, that is before a byte that cannot continue one (ASCII, or a lead byte), or after an
// ASCII byte. Near `nWant`, or the whole block when there is no such place.
std::size_t PieceEnd(std::string_view bytes, std::size_t nWant) {
    if (bytes.size() <= nWant) {
        return bytes.size();
    }
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    for (std::size_t i = nWant; i < bytes.size(); ++i) {
        if (byte(i) < 0x80 || byte(i) >= 0xC0 || byte(i - 1) < 0x80) {
            return i;
        }
    }
    return bytes.size();
}

// The blocks a thread converted last, for the reads that follow (the lines of one screen,
// a line's break after its text).
struct CConvertedBlock {
    std::uint64_t nDocument = 0;  // 0: none
    std::uint64_t nResets = 0;
    std::uint64_t nRaw = 0;
    std::uint32_t nRawLength = 0;
    std::size_t nTextLength = 0;
    std::size_t nCapacity = 0;
    std::unique_ptr<char[]> pText;
    std::unique_ptr<char[]> pRaw;
    std::size_t nRawCapacity = 0;
};

struct CConvertedBlocks {
    std::array<CConvertedBlock, 2> blocks;
    std::size_t nNext = 0;
};

thread_local CConvertedBlocks t_converted;

// A large read's segments and the bytes they are made from, kept per thread for the next.
struct CBulkRead {
    std::vector<CLogSegment> segments;
    std::string raw;
    std::string literal;
    std::string text;
};

thread_local CBulkRead t_bulk;

// Reads of at least this many bytes take every segment's source bytes in one read each.
constexpr std::size_t kBulkRead = 256 * 1024;

}  // namespace

std::string_view CLogDocument::ConvertLocked(std::string_view bytes) {
    if (m_convert.size() < 3 * bytes.size()) {
        m_convert.resize(3 * bytes.size());
    }
    return std::string_view(m_convert.data(), win::AnsiToUtf8(bytes, m_convert.data(), true));
}

void CLogDocument::AppendLogBytes(std::string_view bytes, int nStyle) {
    std::lock_guard lock(m_appendMutex);
    AppendBlockLocked(bytes, nStyle);
}

void CLogDocument::AppendBlockLocked(std::string_view bytes, int nStyle) {
    m_pLastBlock = nullptr;
    m_nLastBlockRaw = UINT64_MAX;
    if (bytes.size() < kSmallBlock) {
        AppendLocked(ConvertLocked(bytes), nStyle);
        return;
    }
    if (nStyle != LOG_STYLE_KEEP) {
        m_bBoldFormat = nStyle == LOG_STYLE_BOLD;
    }
    NoteDroppedLocked();
    const std::string_view whole = bytes;
    std::uint64_t nFirstRaw = UINT64_MAX;
    bool bWhole = true;  // every piece is in the raw spool, one after the other
    std::uint64_t nNextRaw = UINT64_MAX;
    while (!bytes.empty()) {
        const std::string_view piece = bytes.substr(0, PieceEnd(bytes, kPieceBytes));
        bytes.remove_prefix(piece.size());
        // A segment's lengths are 32-bit, and a piece's text is at most three times as long.
        const std::uint64_t nRaw =
            piece.size() <= UINT32_MAX / 3 ? m_pRecords->StoreRaw(piece) : UINT64_MAX;
        if (nRaw == UINT64_MAX) {
            // The raw spool cannot keep them: the text goes where other text goes.
            bWhole = false;
            AppendLocked(ConvertLocked(piece), LOG_STYLE_KEEP);
            continue;
        }
        if (nFirstRaw == UINT64_MAX) {
            nFirstRaw = nRaw;
        } else if (nRaw != nNextRaw) {
            bWhole = false;
        }
        nNextRaw = nRaw + piece.size();
        // The lines and the length of the piece's text, counted from its bytes (the text
        // itself is made only when it is read) before the state lock is taken, so that
        // readers on other threads (the view's paint) never wait for the count. Appends
        // hold m_appendMutex, so no other text can come between the count and the splice.
        CLineIndex::CountBlock(piece, m_counted);
        {
            std::lock_guard state(m_stateMutex);
            m_bold.SetBoldFrom(m_nSize, m_bBoldFormat);
            const std::uint64_t nText = m_index.Splice(m_nSize, m_counted);
            m_segments.AddBlock(m_nSize, nRaw, static_cast<std::uint32_t>(piece.size()),
                                static_cast<std::uint32_t>(nText));
            m_nSize += nText;
        }
        m_bModified.store(true, std::memory_order_release);
        m_nGeneration.fetch_add(1, std::memory_order_acq_rel);
    }
    if (bWhole && nFirstRaw != UINT64_MAX) {
        m_pLastBlock = whole.data();
        m_nLastBlock = whole.size();
        m_nLastBlockRaw = nFirstRaw;
    }
}

void CLogDocument::OnLogRecord(const CLogRecord& record) {
    std::lock_guard lock(m_appendMutex);
    std::uint64_t nStoredRaw = UINT64_MAX;
    if (record.kind == LogRecordKind::Block) {
        // The record of the block just appended: its bytes are in the raw spool already.
        if (m_pLastBlock != nullptr && record.bytes.data() == m_pLastBlock &&
            record.bytes.size() == m_nLastBlock &&
            std::memcmp(record.bytes.data(), m_pLastBlock, m_nLastBlock) == 0) {
            nStoredRaw = m_nLastBlockRaw;
        }
        m_pLastBlock = nullptr;
        m_nLastBlockRaw = UINT64_MAX;
    }
    m_pRecords->Apply(record, GetSize(), nStoredRaw);
}

std::string_view CLogDocument::BlockText(const CLogSegment& segment) const {
    const std::uint64_t nResets = GetResetCount();
    for (const CConvertedBlock& block : t_converted.blocks) {
        if (block.nDocument == m_nId && block.nResets == nResets && block.nRaw == segment.nSource &&
            block.nRawLength == segment.nRawLength) {
            return std::string_view(block.pText.get(), block.nTextLength);
        }
    }
    CConvertedBlock& block = t_converted.blocks[t_converted.nNext];
    t_converted.nNext = (t_converted.nNext + 1) % t_converted.blocks.size();
    block.nDocument = 0;
    if (block.nRawCapacity < segment.nRawLength) {
        block.nRawCapacity = segment.nRawLength;
        block.pRaw = std::make_unique_for_overwrite<char[]>(block.nRawCapacity);
    }
    const std::size_t nRoom = 3 * std::size_t{segment.nRawLength};
    if (block.nCapacity < nRoom) {
        block.nCapacity = nRoom;
        block.pText = std::make_unique_for_overwrite<char[]>(block.nCapacity);
    }
    if (!m_pRecords->ReadRawAt(segment.nSource, block.pRaw.get(), segment.nRawLength)) {
        return {};
    }
    block.nTextLength = win::AnsiToUtf8(std::string_view(block.pRaw.get(), segment.nRawLength),
                                        block.pText.get(), true);
    if (block.nTextLength != segment.nTextLength) {
        return {};  // not the bytes this text was made from
    }
    block.nDocument = m_nId;
    block.nResets = nResets;
    block.nRaw = segment.nSource;
    block.nRawLength = segment.nRawLength;
    return std::string_view(block.pText.get(), block.nTextLength);
}

bool CLogDocument::ReadBulk(std::uint64_t nOffset, char* p, std::size_t n) const {
    CBulkRead& bulk = t_bulk;
    bulk.segments.clear();
    {
        std::lock_guard state(m_stateMutex);
        if (nOffset + n > m_nSize) {
            return false;
        }
        for (std::size_t i = m_segments.IndexOf(nOffset);
             i < m_segments.Count() && m_segments.At(i).nTextStart < nOffset + n; ++i) {
            bulk.segments.push_back(m_segments.At(i));
        }
    }
    // The raw bytes of the blocks lie one after the other in the raw spool, and so does
    // the literal text between them in the text's spool: one read of each.
    std::uint64_t nRawFrom = UINT64_MAX;
    std::uint64_t nRawTo = 0;
    std::uint64_t nLiteralFrom = UINT64_MAX;
    std::uint64_t nLiteralTo = 0;
    for (const CLogSegment& segment : bulk.segments) {
        if (segment.IsBlock()) {
            nRawFrom = std::min(nRawFrom, segment.nSource);
            nRawTo = std::max(nRawTo, segment.nSource + segment.nRawLength);
        } else {
            const std::uint64_t nFrom = std::max(nOffset, segment.nTextStart);
            const std::uint64_t nTo = std::min(nOffset + n, segment.TextEnd());
            nLiteralFrom = std::min(nLiteralFrom, segment.nSource + (nFrom - segment.nTextStart));
            nLiteralTo = std::max(nLiteralTo, segment.nSource + (nTo - segment.nTextStart));
        }
    }
    if (nRawFrom != UINT64_MAX && nRawTo - nRawFrom > 2 * std::uint64_t{n} + kPieceBytes) {
        return ReadPieces(nOffset, p, n);  // other bytes between the blocks: read each alone
    }
    if (nRawFrom != UINT64_MAX) {
        bulk.raw.resize(static_cast<std::size_t>(nRawTo - nRawFrom));
        if (!m_pRecords->ReadRawAt(nRawFrom, bulk.raw.data(), bulk.raw.size())) {
            return false;
        }
    }
    if (nLiteralFrom != UINT64_MAX) {
        bulk.literal.resize(static_cast<std::size_t>(nLiteralTo - nLiteralFrom));
        if (!ReadLiteral(nLiteralFrom, bulk.literal.data(), bulk.literal.size())) {
            return false;
        }
    }
    const std::uint64_t nEnd = nOffset + n;
    for (const CLogSegment& segment : bulk.segments) {
        const std::uint64_t nFrom = std::max(nOffset, segment.nTextStart);
        const std::uint64_t nTo = std::min(nEnd, segment.TextEnd());
        char* const pTo = p + (nFrom - nOffset);
        if (!segment.IsBlock()) {
            std::memcpy(pTo,
                        bulk.literal.data() +
                            (segment.nSource + (nFrom - segment.nTextStart) - nLiteralFrom),
                        static_cast<std::size_t>(nTo - nFrom));
            continue;
        }
        const std::string_view bytes(bulk.raw.data() + (segment.nSource - nRawFrom),
                                     segment.nRawLength);
        const std::size_t nRoom = 3 * bytes.size();
        if (nFrom == segment.nTextStart && nEnd - nFrom >= nRoom) {
            // Whole, with room for the conversion's widest text: made in place.
            if (win::AnsiToUtf8(bytes, pTo, true) != segment.nTextLength) {
                return false;
            }
            continue;
        }
        if (bulk.text.size() < nRoom) {
            bulk.text.resize(nRoom);
        }
        if (win::AnsiToUtf8(bytes, bulk.text.data(), true) != segment.nTextLength) {
            return false;
        }
        std::memcpy(pTo, bulk.text.data() + (nFrom - segment.nTextStart),
                    static_cast<std::size_t>(nTo - nFrom));
    }
    return true;
}

bool CLogDocument::ReadRaw(std::uint64_t nOffset, char* p, std::size_t n) const {
    return n >= kBulkRead ? ReadBulk(nOffset, p, n) : ReadPieces(nOffset, p, n);
}

bool CLogDocument::ReadPieces(std::uint64_t nOffset, char* p, std::size_t n) const {
    std::size_t nIndex;
    {
        std::lock_guard state(m_stateMutex);
        if (nOffset + n > m_nSize) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        nIndex = m_segments.IndexOf(nOffset);
    }
    // Segments are only added at the end, and a clear waits for this reader: the ones
    // found stay as they are.
    for (std::uint64_t nPos = nOffset; nPos < nOffset + n; ++nIndex) {
        CLogSegment segment;
        {
            std::lock_guard state(m_stateMutex);
            if (nIndex >= m_segments.Count()) {
                return false;
            }
            segment = m_segments.At(nIndex);
        }
        const std::uint64_t nEnd = std::min(nOffset + n, segment.TextEnd());
        const auto nCopy = static_cast<std::size_t>(nEnd - nPos);
        const std::uint64_t nWithin = nPos - segment.nTextStart;
        char* const pTo = p + (nPos - nOffset);
        if (!segment.IsBlock()) {
            if (!ReadLiteral(segment.nSource + nWithin, pTo, nCopy)) {
                return false;
            }
        } else {
            const std::string_view text = BlockText(segment);
            if (text.size() != segment.nTextLength) {
                return false;
            }
            std::memcpy(pTo, text.data() + nWithin, nCopy);
        }
        nPos = nEnd;
    }
    return true;
}
