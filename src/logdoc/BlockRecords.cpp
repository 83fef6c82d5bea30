#include "logdoc/BlockRecords.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

CBlockRecords::CBlockRecords(const std::string& strFolder) {
    int nError = m_recordSpool.Open(strFolder);
    if (nError == 0) {
        nError = m_rawSpool.Open(strFolder);
    }
    m_bOpen = nError == 0;
    m_nError = nError;
    m_records.reserve(kTailRecords);
}

void CBlockRecords::NoteError(int nErrno) {
    if (m_nError == 0) {
        m_nError = nErrno;
    }
}

bool CBlockRecords::FlushRecordsLocked() {
    if (m_records.empty()) {
        return true;
    }
    const int nError = m_recordSpool.WriteAt(m_nRecordsSpooled * sizeof(CBlockRecord),
                                             reinterpret_cast<const char*>(m_records.data()),
                                             m_records.size() * sizeof(CBlockRecord));
    if (nError != 0) {
        NoteError(nError);
        return false;
    }
    m_nRecordsSpooled += m_records.size();
    m_records.clear();
    return true;
}

std::uint64_t CBlockRecords::StoreRaw(std::string_view bytes) {
    if (!m_bOpen) {
        return UINT64_MAX;
    }
    // The raw spool keeps its own lock: readers of the records do not wait while it waits
    // for the disk.
    int nError = 0;
    const std::uint64_t nAt = m_rawSpool.Store(bytes, nError);
    if (nAt == UINT64_MAX) {
        std::lock_guard lock(m_mutex);
        NoteError(nError);
    }
    return nAt;
}

std::uint64_t CBlockRecords::StoreRawLocked(std::string_view bytes) {
    int nError = 0;
    const std::uint64_t nAt = m_rawSpool.Store(bytes, nError);
    if (nAt == UINT64_MAX) {
        NoteError(nError);
    }
    return nAt;
}

void CBlockRecords::Apply(const CLogRecord& record, std::uint64_t nTextSize,
                          std::uint64_t nStoredRaw) {
    if (record.kind == LogRecordKind::BlockBegin) {
        std::lock_guard lock(m_mutex);
        m_nPendingStart = nTextSize;
        m_bBlockOpen = true;
        m_blockStarts[record.nSessionId] = nTextSize;
        return;
    }
    if (record.kind != LogRecordKind::Block) {
        if (record.kind == LogRecordKind::SessionEnd) {
            std::lock_guard lock(m_mutex);
            m_blockStarts.erase(record.nSessionId);  // a marker whose request never came
        }
        if (record.kind == LogRecordKind::SessionStart ||
            record.kind == LogRecordKind::SessionEnd) {
            // Its line follows at once ("Session N starts.", "Session N stopped.").
            std::lock_guard lock(m_mutex);
            if (m_sessionLines.empty() || m_sessionLines.back().first <= nTextSize) {
                m_sessionLines.emplace_back(nTextSize, record.nTimeUs);
            }
        }
        m_sessions.Apply(record, 0, 0);
        return;
    }
    std::lock_guard lock(m_mutex);
    m_bBlockOpen = false;
    // The block's own marker: the start its session noted, not another session's.
    std::uint64_t nBegun = m_nPendingStart;
    if (const auto it = m_blockStarts.find(record.nSessionId); it != m_blockStarts.end()) {
        nBegun = it->second;
        m_blockStarts.erase(it);
    }
    if (!m_bOpen) {
        m_sessions.Apply(record, UINT64_MAX, UINT64_MAX);
        return;
    }
    const std::uint64_t nStart = std::min(nBegun, nTextSize);  // a Clear between
    CBlockRecord block;
    block.nTextStart = nStart;
    block.nTextLength =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(nTextSize - nStart, UINT32_MAX));
    block.nTimeUs = record.nTimeUs;
    block.nRawLength = static_cast<std::uint32_t>(record.bytes.size());
    block.nDirection = static_cast<std::uint8_t>(record.direction);
    block.nSessionRow = m_sessions.Apply(record, m_nRecordsSpooled + m_records.size(), nStart);

    if (nStoredRaw != UINT64_MAX) {
        block.nRawOffset = nStoredRaw;  // the log's text keeps them there already
    } else if (const std::uint64_t nRaw = StoreRawLocked(record.bytes); nRaw != UINT64_MAX) {
        block.nRawOffset = nRaw;
    } else {
        block.nRawLength = 0;  // lost; the error is noted
        block.nRawOffset = m_rawSpool.Size();
    }

    m_records.push_back(block);
    if (m_records.size() >= kTailRecords && !FlushRecordsLocked()) {
        m_records.pop_back();  // a record that cannot be kept is dropped, not the tail
    }
}

void CBlockRecords::Clear() {
    std::lock_guard lock(m_mutex);
    m_records.clear();
    m_nRecordsSpooled = 0;
    m_nPendingStart = 0;
    m_bBlockOpen = false;
    m_sessionLines.clear();
    m_sessionLines.shrink_to_fit();
    for (auto& [nId, nStart] : m_blockStarts) {
        nStart = 0;  // its marker went with the text: the block starts the new log
    }
    if (m_bOpen) {
        m_recordSpool.Truncate();
        m_rawSpool.Clear();
        m_nError = 0;
    }
    m_sessions.Clear();
}

void CBlockRecords::ReadSessionLineTimes(
    std::uint64_t nFrom, std::uint64_t nTo,
    std::vector<std::pair<std::uint64_t, std::int64_t>>& out) const {
    out.clear();
    std::lock_guard lock(m_mutex);
    const auto first = std::lower_bound(m_sessionLines.begin(), m_sessionLines.end(), nFrom,
                                        [](const std::pair<std::uint64_t, std::int64_t>& line,
                                           std::uint64_t n) { return line.first < n; });
    for (auto it = first; it != m_sessionLines.end() && it->first < nTo; ++it) {
        out.push_back(*it);
    }
}

std::uint64_t CBlockRecords::GetBlockCount() const {
    std::lock_guard lock(m_mutex);
    return m_nRecordsSpooled + m_records.size();
}

bool CBlockRecords::ReadBlocks(std::uint64_t nFirst, std::size_t nCount,
                               std::vector<CBlockRecord>& out) const {
    out.clear();
    std::lock_guard lock(m_mutex);
    const std::uint64_t nTotal = m_nRecordsSpooled + m_records.size();
    if (nFirst >= nTotal) {
        return true;
    }
    const std::uint64_t nEnd = std::min<std::uint64_t>(nTotal, nFirst + nCount);
    out.resize(static_cast<std::size_t>(nEnd - nFirst));
    std::size_t nDone = 0;
    if (nFirst < m_nRecordsSpooled) {
        const std::uint64_t nFromFile = std::min(nEnd, m_nRecordsSpooled) - nFirst;
        if (m_recordSpool.ReadAt(nFirst * sizeof(CBlockRecord), reinterpret_cast<char*>(out.data()),
                                 static_cast<std::size_t>(nFromFile) * sizeof(CBlockRecord)) != 0) {
            out.clear();
            return false;
        }
        nDone = static_cast<std::size_t>(nFromFile);
    }
    for (std::uint64_t n = nFirst + nDone; n < nEnd; ++n) {
        out[nDone++] = m_records[static_cast<std::size_t>(n - m_nRecordsSpooled)];
    }
    return true;
}

bool CBlockRecords::ReadRaw(const CBlockRecord& block, std::string& out) const {
    out.resize(block.nRawLength);
    if (!ReadRawAt(block.nRawOffset, out.data(), out.size())) {
        out.clear();
        return false;
    }
    return true;
}

bool CBlockRecords::ReadRawAt(std::uint64_t nOffset, char* p, std::size_t n) const {
    return m_rawSpool.ReadAt(nOffset, p, n);
}

std::uint64_t CBlockRecords::GetRawSize() const {
    return m_rawSpool.Size();
}

std::uint64_t CBlockRecords::GetOpenBlockStart() const {
    std::lock_guard lock(m_mutex);
    return m_bBlockOpen ? m_nPendingStart : UINT64_MAX;
}

int CBlockRecords::GetError() const {
    std::lock_guard lock(m_mutex);
    return m_nError;
}

std::uint64_t CBlockRecords::GetMemoryUse() const {
    return m_rawSpool.MemoryUse() + kTailRecords * sizeof(CBlockRecord);
}
