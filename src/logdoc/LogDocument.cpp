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
constexpr std::int64_t kRetryMs = 1000;

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

CLogDocument::CLogDocument(const std::string& strSpoolFolder)
    : m_pTail(std::make_unique<char[]>(kTailBytes)) {
    const int nError = m_spool.Open(strSpoolFolder);
    if (nError != 0) {
        throw new CException(L"The traffic log cannot create its spool file: " +
                             win::GetSystemMessage(win::Win32ErrorFromErrno(nError)));
    }
    m_spoolStatus.strFolder = m_spool.GetFolder();
}

CLogDocument::~CLogDocument() = default;

void CLogDocument::AppendLog(std::wstring_view text, int nStyle) {
    std::lock_guard lock(m_appendMutex);
    m_convert = win::WideToAnsi(text);
    AppendLocked(m_convert, nStyle);
}

void CLogDocument::AppendLogBytes(std::string_view bytes, int nStyle) {
    std::lock_guard lock(m_appendMutex);
    if (m_convert.size() < 3 * bytes.size()) {
        m_convert.resize(3 * bytes.size());
    }
    const std::size_t n = win::AnsiToUtf8(bytes, m_convert.data(), true);
    AppendLocked(std::string_view(m_convert.data(), n), nStyle);
}

void CLogDocument::AppendUtf8(std::string_view text, int nStyle) {
    std::lock_guard lock(m_appendMutex);
    AppendLocked(text, nStyle);
}

void CLogDocument::AppendLocked(std::string_view text, int nStyle) {
    if (nStyle != LOG_STYLE_KEEP) {
        m_bBoldFormat = nStyle == LOG_STYLE_BOLD;
    }
    if (text.empty()) {
        return;
    }
    std::uint64_t nTailUsed;
    {
        std::lock_guard state(m_stateMutex);
        nTailUsed = m_nSize - m_nSpooled;
    }
    if (nTailUsed + text.size() > kTailBytes) {
        if (!FlushTailLocked()) {
            // The spool cannot take more: keep what the log holds readable and leave this
            // text out, counted, until the disk has room again.
            AddDropped(text.size());
            return;
        }
        nTailUsed = 0;
        if (m_spoolStatus.nDropped > 0) {
            const std::string strNote =
                "\r\n[" + std::to_string(m_spoolStatus.nDropped) +
                " bytes of traffic were not logged: the log's spool folder was full]\r\n";
            AddDropped(0);
            const bool bBold = m_bBoldFormat;
            AppendLocked(strNote, LOG_STYLE_PLAIN);
            m_bBoldFormat = bBold;
            std::lock_guard state(m_stateMutex);
            nTailUsed = m_nSize - m_nSpooled;
        }
    }
    bool bDirect = false;
    if (text.size() > kTailBytes) {
        // Larger than the whole tail (which is empty now): straight to the spool.
        const int nError = m_spool.WriteAt(m_nSpooled, text.data(), text.size());
        NoteSpoolResult(nError);
        if (nError != 0) {
            AddDropped(text.size());
            return;
        }
        bDirect = true;
    } else {
        // Past the published end: no reader looks there.
        std::memcpy(m_pTail.get() + nTailUsed, text.data(), text.size());
    }
    {
        std::lock_guard state(m_stateMutex);
        m_bold.SetBoldFrom(m_nSize, m_bBoldFormat);
        m_index.Append(m_nSize, text);
        m_nSize += text.size();
        if (bDirect) {
            m_nSpooled = m_nSize;
        }
    }
    m_bModified.store(true, std::memory_order_release);
    m_nGeneration.fetch_add(1, std::memory_order_acq_rel);
}

void CLogDocument::AddDropped(std::uint64_t nBytes) {
    std::lock_guard state(m_stateMutex);
    m_spoolStatus.nDropped = nBytes == 0 ? 0 : m_spoolStatus.nDropped + nBytes;
}

bool CLogDocument::FlushTailLocked() {
    if (m_spoolStatus.bFailing && NowMs() < m_nRetryAt) {
        return false;
    }
    std::uint64_t nSpooled;
    std::uint64_t nSize;
    {
        std::lock_guard state(m_stateMutex);
        nSpooled = m_nSpooled;
        nSize = m_nSize;
    }
    // Readers may copy from the tail meanwhile; nobody changes it while the append mutex
    // is held.
    const int nError = m_spool.WriteAt(nSpooled, m_pTail.get(), nSize - nSpooled);
    NoteSpoolResult(nError);
    if (nError != 0) {
        m_nRetryAt = NowMs() + kRetryMs;
        return false;
    }
    std::lock_guard state(m_stateMutex);
    m_nSpooled = nSize;
    return true;
}

void CLogDocument::NoteSpoolResult(int nErrno) {
    const bool bFailing = nErrno != 0;
    if (bFailing == m_spoolStatus.bFailing && (!bFailing || nErrno == m_spoolStatus.nErrno)) {
        return;
    }
    CSpoolStatus status;
    {
        std::lock_guard state(m_stateMutex);
        m_spoolStatus.bFailing = bFailing;
        m_spoolStatus.nErrno = nErrno;
        status = m_spoolStatus;
    }
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
    std::lock_guard state(m_stateMutex);
    m_spool.Truncate();
    m_nSize = 0;
    m_nSpooled = 0;
    m_index.Clear();
    m_bold.Clear();
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

bool CLogDocument::ReadRaw(std::uint64_t nOffset, char* p, std::size_t n) const {
    std::uint64_t nSpooled;
    {
        std::lock_guard state(m_stateMutex);
        if (nOffset + n > m_nSize) {
            return false;
        }
        nSpooled = m_nSpooled;
        const std::uint64_t nTailFrom = std::max(nOffset, nSpooled);
        if (nTailFrom < nOffset + n) {
            std::memcpy(p + (nTailFrom - nOffset), m_pTail.get() + (nTailFrom - nSpooled),
                        static_cast<std::size_t>(nOffset + n - nTailFrom));
        }
    }
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
    while (nPos < nSize) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(kReadWindow, nSize - nPos));
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
    std::lock_guard lock(m_appendMutex);
    m_fnSpoolStatus = std::move(fn);
}

CSpoolStatus CLogDocument::GetSpoolStatus() const {
    std::lock_guard state(m_stateMutex);
    return m_spoolStatus;
}

std::uint64_t CLogDocument::GetMemoryUse() const {
    std::lock_guard state(m_stateMutex);
    return m_index.GetMemoryUse() + m_bold.GetMemoryUse() + kTailBytes;
}
