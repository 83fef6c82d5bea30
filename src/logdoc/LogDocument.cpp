#include "logdoc/LogDocument.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "logdoc/LineBreaks.h"
#include "module/Messages.h"
#include "platform/SystemText.h"
#include "platform/TextConv.h"
#include "support/Exception.h"

namespace {

constexpr std::size_t kReadWindow = 64 * 1024;
constexpr std::size_t kFirstReadWindow = 256;
constexpr std::chrono::milliseconds kRetryAfter{1000};

std::uint64_t NextDocumentId() {
    static std::atomic<std::uint64_t> s_nLast{0};
    return s_nLast.fetch_add(1, std::memory_order_relaxed) + 1;
}

}  // namespace

CLogDocument::CLogDocument(const std::string& strSpoolFolder)
    : m_pChunks(new char[kTailBytes]), m_nId(NextDocumentId()) {
    const int nError = m_spool.Open(strSpoolFolder);
    if (nError != 0) {
        throw new CException(L"The traffic log cannot create its spool file: " +
                             win::GetSystemMessage(win::Win32ErrorFromErrno(nError)));
    }
    m_spoolStatus.strFolder = m_spool.GetFolder();
    m_pRecords = std::make_unique<CBlockRecords>(m_spool.GetFolder());
    m_writer = std::thread([this] { WriterLoop(); });
}

CLogDocument::~CLogDocument() {
    {
        std::lock_guard state(m_stateMutex);
        m_bStopWriter = true;
    }
    m_writerCv.notify_all();
    m_spaceCv.notify_all();
    m_writer.join();
}

void CLogDocument::AppendLog(std::wstring_view text, int nStyle) {
    // Not into m_convert: assigning would take the new string's small buffer, and the next
    // block would allocate and zero-fill a large one again.
    const std::string text8 = win::WideToAnsi(text);
    std::lock_guard lock(m_appendMutex);
    AppendLocked(text8, nStyle);
}

void CLogDocument::AppendUtf8(std::string_view text, int nStyle) {
    std::lock_guard lock(m_appendMutex);
    AppendLocked(text, nStyle);
}

void CLogDocument::NoteDroppedLocked() {
    std::uint64_t nDropped;
    {
        std::lock_guard state(m_stateMutex);
        nDropped = m_spoolStatus.bFailing ? 0 : m_spoolStatus.nDropped;
        if (nDropped > 0) {
            AddDroppedLocked(0);
        }
    }
    if (nDropped > 0) {
        // The spool works again: say first what the log is missing.
        const std::string strNote =
            "\r\n[" + std::to_string(nDropped) +
            " bytes of traffic were not logged: the log's spool folder was full]\r\n";
        const bool bBold = m_bBoldFormat;
        m_bBoldFormat = false;
        const std::size_t nTaken = CopyIntoChunks(strNote);
        m_bBoldFormat = bBold;
        if (nTaken < strNote.size()) {
            std::lock_guard state(m_stateMutex);
            AddDroppedLocked(nDropped);
        }
    }
}

void CLogDocument::AppendLocked(std::string_view text, int nStyle) {
    if (nStyle != LOG_STYLE_KEEP) {
        m_bBoldFormat = nStyle == LOG_STYLE_BOLD;
    }
    if (text.empty()) {
        return;
    }
    NoteDroppedLocked();
    const std::size_t nTaken = CopyIntoChunks(text);
    if (nTaken < text.size()) {
        // The spool cannot take more: what the log holds stays readable, and the rest of
        // this text is left out, counted, until the disk has room again.
        std::lock_guard state(m_stateMutex);
        AddDroppedLocked(text.size() - nTaken);
    }
    if (nTaken > 0) {
        m_bModified.store(true, std::memory_order_release);
        m_nGeneration.fetch_add(1, std::memory_order_acq_rel);
    }
}

char* CLogDocument::ChunkLocked(std::size_t nIndex) const {
    return m_pChunks.get() + ((m_nFirstChunk + nIndex) % kChunks) * kChunkBytes;
}

std::size_t CLogDocument::CopyIntoChunks(std::string_view text) {
    std::size_t nTaken = 0;
    std::unique_lock state(m_stateMutex);
    while (nTaken < text.size()) {
        std::size_t nUsed =
            static_cast<std::size_t>(m_nLiteral - m_nSpooled) - (m_nChunksInUse - 1) * kChunkBytes;
        if (nUsed == kChunkBytes) {
            // The last chunk is full, so the writer may take it: go on in a free one.
            m_writerCv.notify_one();
            m_spaceCv.wait(state, [this] {
                return m_nChunksInUse < kChunks || m_spoolStatus.bFailing || m_bStopWriter;
            });
            if (m_nChunksInUse == kChunks) {
                break;  // every chunk waits for a spool that fails
            }
            ++m_nChunksInUse;
            nUsed = 0;
        }
        const std::size_t n = std::min(kChunkBytes - nUsed, text.size() - nTaken);
        char* const pTo = ChunkLocked(m_nChunksInUse - 1) + nUsed;
        // Past the published end: no reader looks there, and only appends write there.
        state.unlock();
        std::memcpy(pTo, text.data() + nTaken, n);
        state.lock();
        m_bold.SetBoldFrom(m_nSize, m_bBoldFormat);
        m_index.Append(m_nSize, text.substr(nTaken, n));
        m_segments.AddLiteral(m_nSize, m_nLiteral, n);
        m_nSize += n;
        m_nLiteral += n;
        nTaken += n;
    }
    return nTaken;
}

void CLogDocument::WriterLoop() {
    std::unique_lock state(m_stateMutex);
    auto retryAt = std::chrono::steady_clock::now();
    for (;;) {
        m_writerCv.wait(state, [this] { return m_bStopWriter || m_nChunksInUse > 1; });
        if (m_bStopWriter) {
            return;
        }
        if (m_spoolStatus.bFailing) {
            if (m_writerCv.wait_until(state, retryAt, [this] { return m_bStopWriter; })) {
                return;
            }
            if (m_nChunksInUse <= 1) {
                continue;  // cleared meanwhile
            }
        }
        // The first chunk is full and stays as it is until it is given back below.
        const char* const pChunk = ChunkLocked(0);
        const std::uint64_t nAt = m_nSpooled;
        m_bWriting = true;
        state.unlock();
        const int nError = m_spool.WriteAt(nAt, pChunk, kChunkBytes);
        state.lock();
        m_bWriting = false;
        if (nError == 0) {
            m_nSpooled += kChunkBytes;
            m_nFirstChunk = (m_nFirstChunk + 1) % kChunks;
            --m_nChunksInUse;
        } else {
            retryAt = std::chrono::steady_clock::now() + kRetryAfter;
        }
        m_spaceCv.notify_all();
        state.unlock();
        NoteSpoolResult(nError);
        state.lock();
    }
}

void CLogDocument::AddDroppedLocked(std::uint64_t nBytes) {
    m_spoolStatus.nDropped = nBytes == 0 ? 0 : m_spoolStatus.nDropped + nBytes;
}

void CLogDocument::NoteSpoolResult(int nErrno) {
    const bool bFailing = nErrno != 0;
    CSpoolStatus status;
    {
        std::lock_guard state(m_stateMutex);
        if (bFailing == m_spoolStatus.bFailing && (!bFailing || nErrno == m_spoolStatus.nErrno)) {
            return;
        }
        m_spoolStatus.bFailing = bFailing;
        m_spoolStatus.nErrno = nErrno;
        status = m_spoolStatus;
    }
    // Appends that wait for a chunk learn that they will not get one.
    m_spaceCv.notify_all();
    std::lock_guard lock(m_statusFnMutex);
    if (m_fnSpoolStatus) {
        m_fnSpoolStatus(status);
    }
}

void CLogDocument::Clear() {
    std::lock_guard lock(m_appendMutex);
    ClearLocked();
}

void CLogDocument::ClearLocked() {
    std::unique_lock reset(m_resetMutex);
    std::unique_lock state(m_stateMutex);
    // A chunk being written would land after the truncation.
    m_spaceCv.wait(state, [this] { return !m_bWriting; });
    m_spool.Truncate();
    m_nSize = 0;
    m_nLiteral = 0;
    m_nSpooled = 0;
    m_nFirstChunk = 0;
    m_nChunksInUse = 1;
    m_index.Clear();
    m_bold.Clear();
    m_segments.Clear();
    m_pRecords->Clear();
    m_pLastBlock = nullptr;
    m_nLastBlockRaw = UINT64_MAX;
    m_bBoldFormat = false;
    m_nResets.fetch_add(1, std::memory_order_acq_rel);
    m_nGeneration.fetch_add(1, std::memory_order_acq_rel);
    m_bModified.store(false, std::memory_order_release);
}

std::uint64_t CLogDocument::GetSize() const {
    std::lock_guard state(m_stateMutex);
    return m_nSize;
}

std::uint64_t CLogDocument::GetLineCount() const {
    std::lock_guard state(m_stateMutex);
    return m_index.GetLineCount();
}

bool CLogDocument::ReadLiteral(std::uint64_t nOffset, char* p, std::size_t n) const {
    std::uint64_t nSpooled;
    {
        std::lock_guard state(m_stateMutex);
        if (nOffset + n > m_nLiteral) {
            return false;
        }
        nSpooled = m_nSpooled;
        // The part still in memory, chunk by chunk.
        for (std::uint64_t nFrom = std::max(nOffset, nSpooled); nFrom < nOffset + n;) {
            const std::uint64_t nRelative = nFrom - nSpooled;
            const std::size_t nWithin = static_cast<std::size_t>(nRelative % kChunkBytes);
            const std::size_t nCopy = static_cast<std::size_t>(
                std::min<std::uint64_t>(kChunkBytes - nWithin, nOffset + n - nFrom));
            std::memcpy(p + (nFrom - nOffset),
                        ChunkLocked(static_cast<std::size_t>(nRelative / kChunkBytes)) + nWithin,
                        nCopy);
            nFrom += nCopy;
        }
    }
    // The spooled part never changes until a clear, which waits for this reader.
    if (nOffset < nSpooled) {
        const std::size_t nFromSpool =
            static_cast<std::size_t>(std::min<std::uint64_t>(n, nSpooled - nOffset));
        if (m_spool.ReadAt(nOffset, p, nFromSpool) != 0) {
            return false;
        }
    }
    return true;
}

std::string CLogDocument::ReadBytes(std::uint64_t nOffset, std::uint64_t nLength) const {
    std::shared_lock reset(m_resetMutex);
    const std::uint64_t nSize = GetSize();
    if (nOffset >= nSize) {
        return {};
    }
    std::string out(static_cast<std::size_t>(std::min(nLength, nSize - nOffset)), '\0');
    if (!ReadRaw(nOffset, out.data(), out.size())) {
        return {};
    }
    return out;
}

bool CLogDocument::ReadInto(std::uint64_t nOffset, char* p, std::size_t n) const {
    std::shared_lock reset(m_resetMutex);
    return ReadRaw(nOffset, p, n);
}

std::uint64_t CLogDocument::LineOfOffset(std::uint64_t nOffset) const {
    std::uint64_t nBlock;
    {
        std::lock_guard state(m_stateMutex);
        // The last block of 64 lines that starts at or before the offset.
        std::uint64_t nLow = 0;
        std::uint64_t nHigh = m_index.GetBlockCount();
        while (nHigh - nLow > 1) {
            const std::uint64_t nMid = nLow + (nHigh - nLow) / 2;
            (m_index.GetBlockStart(nMid) <= nOffset ? nLow : nHigh) = nMid;
        }
        nBlock = nLow;
    }
    const std::uint64_t nFirst = nBlock * CLineIndex::kLinesPerBlock;
    const std::vector<CLogLineSpan> lines = GetLines(nFirst, CLineIndex::kLinesPerBlock);
    std::uint64_t nLine = nFirst;
    for (std::size_t i = 1; i < lines.size() && lines[i].nStart <= nOffset; ++i) {
        nLine = nFirst + i;
    }
    return nLine;
}

std::uint64_t CLogDocument::FindLineEnd(std::uint64_t nLine, std::uint64_t nStart,
                                        std::uint64_t nSize) const {
    std::uint64_t nPos;
    {
        std::lock_guard state(m_stateMutex);
        nPos = m_index.SkipWithinLine(nLine, nStart);
    }
    char buffer[kReadWindow];
    // Most lines are short: a small first window spares the copy of a large one (made
    // under the lock that appends take) for every line on screen; a long line doubles it.
    std::size_t nWindow = kFirstReadWindow;
    while (nPos < nSize) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(nWindow, nSize - nPos));
        nWindow = std::min(2 * nWindow, kReadWindow);
        if (!ReadRaw(nPos, buffer, n)) {
            return nSize;
        }
        const char* pLf = static_cast<const char*>(std::memchr(buffer, '\n', n));
        const std::size_t nLimit = pLf != nullptr ? static_cast<std::size_t>(pLf - buffer) : n;
        const char* pCr = static_cast<const char*>(std::memchr(buffer, '\r', nLimit));
        if (pCr != nullptr) {
            return nPos + static_cast<std::uint64_t>(pCr - buffer);
        }
        if (pLf != nullptr) {
            return nPos + nLimit;
        }
        nPos += n;
    }
    return nSize;
}

std::vector<CLogLineSpan> CLogDocument::GetLines(std::uint64_t nFirst, std::size_t nCount) const {
    std::vector<CLogLineSpan> lines;
    std::shared_lock reset(m_resetMutex);
    std::uint64_t nSize;
    std::uint64_t nLines;
    std::uint64_t nLine;
    std::uint64_t nPos;
    {
        std::lock_guard state(m_stateMutex);
        nSize = m_nSize;
        nLines = m_index.GetLineCount();
        if (nFirst >= nLines || nCount == 0) {
            return lines;
        }
        const std::uint64_t nBlock = nFirst / CLineIndex::kLinesPerBlock;
        nLine = nBlock * CLineIndex::kLinesPerBlock;
        nPos = m_index.GetBlockStart(nBlock);
    }
    lines.reserve(std::min<std::uint64_t>(nCount, nLines - nFirst));
    while (nLine < nLines && lines.size() < nCount) {
        const std::uint64_t nEnd = FindLineEnd(nLine, nPos, nSize);
        if (nLine >= nFirst) {
            lines.push_back({nPos, nEnd - nPos});
        }
        if (nEnd >= nSize) {
            break;
        }
        char breakBytes[2] = {0, 0};
        const std::size_t nPeek = nEnd + 2 <= nSize ? 2 : 1;
        if (!ReadRaw(nEnd, breakBytes, nPeek)) {
            break;
        }
        nPos = nEnd + (breakBytes[0] == '\r' && breakBytes[1] == '\n' ? 2 : 1);
        ++nLine;
    }
    return lines;
}

std::vector<CBoldRun> CLogDocument::GetBoldRuns(std::uint64_t nFrom, std::uint64_t nTo) const {
    std::lock_guard state(m_stateMutex);
    return m_bold.GetRuns(nFrom, std::min(nTo, m_nSize));
}

std::string CLogDocument::ExtractText(std::uint64_t nFrom, std::uint64_t nTo,
                                      std::string_view eol) const {
    std::string out;
    std::shared_lock reset(m_resetMutex);
    nTo = std::min(nTo, GetSize());
    std::string chunk;
    bool bAfterCr = false;
    for (std::uint64_t nPos = nFrom; nPos < nTo;) {
        chunk.resize(static_cast<std::size_t>(std::min<std::uint64_t>(1 << 20, nTo - nPos)));
        if (!ReadRaw(nPos, chunk.data(), chunk.size())) {
            break;
        }
        AppendWithBreaks(chunk, eol, bAfterCr, out);
        nPos += chunk.size();
    }
    return out;
}

void CLogDocument::SetSpoolStatusHandler(SpoolStatusFn fn) {
    std::lock_guard lock(m_statusFnMutex);
    m_fnSpoolStatus = std::move(fn);
}

CSpoolStatus CLogDocument::GetSpoolStatus() const {
    std::lock_guard state(m_stateMutex);
    return m_spoolStatus;
}

std::uint64_t CLogDocument::GetMemoryUse() const {
    std::lock_guard state(m_stateMutex);
    return m_index.GetMemoryUse() + m_bold.GetMemoryUse() + m_segments.GetMemoryUse() + kTailBytes +
           m_pRecords->GetMemoryUse();
}

std::uint64_t CLogDocument::GetSpoolSize() const {
    std::uint64_t nLiteral;
    {
        std::lock_guard state(m_stateMutex);
        nLiteral = m_nLiteral;
    }
    return nLiteral + m_pRecords->GetRawSize() + m_pRecords->GetBlockCount() * sizeof(CBlockRecord);
}
