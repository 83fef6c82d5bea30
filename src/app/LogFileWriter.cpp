#include "app/LogFileWriter.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/TextConv.h"

namespace {

std::string ErrorText(int nError) {
    char buffer[256];
    // The GNU strerror_r: the text, in the buffer or a static string.
    return ::strerror_r(nError, buffer, sizeof(buffer));
}

std::string MiB(std::size_t nBytes) {
    return std::to_string(nBytes / (1024 * 1024)) + " MiB";
}

}  // namespace

CLogFileWriter::CLogFileWriter(int fd, bool bOwnsFd, std::string strName, Reporter fnReport,
                               Limits limits)
    : m_fd(fd),
      m_bOwnsFd(bOwnsFd),
      m_strName(std::move(strName)),
      m_fnReport(std::move(fnReport)),
      m_limits(limits) {
    // Only a file of our own: the flag belongs to the open file, which a standard output
    // shares with others (its standard error, often), whose small writes it would refuse.
    if (m_limits.bDirect && m_bOwnsFd) {
        m_pDirect = CDirectFile::Attach(m_fd, m_limits.nDirectChunk);
    }
    if (m_pDirect) {
        // Direct writes are cheap in CPU but each waits for the device: larger batches make
        // fewer of them and wake this thread less often.
        m_limits.nBatch = std::max(m_limits.nBatch, m_limits.nDirectBatch);
        m_limits.nCapacity = std::max(m_limits.nCapacity, m_limits.nDirectCapacity);
    }
    m_thread = std::thread([this] { Run(); });
}

CLogFileWriter::~CLogFileWriter() {
    Close();
}

std::unique_ptr<CLogFileWriter> CLogFileWriter::Open(const std::string& strPath, Reporter fnReport,
                                                     std::string& strError, Limits limits,
                                                     const char* pszWhat) {
    const std::string strName = std::string("the ") + pszWhat + " \"" + strPath + "\"";
    // Traffic: a new file is its owner's only (an existing one keeps its permissions).
    const int fd = ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        strError = "cannot write " + strName + ": " + ErrorText(errno);
        return nullptr;
    }
    return std::make_unique<CLogFileWriter>(fd, true, strName, std::move(fnReport), limits);
}

void CLogFileWriter::QueueGapNote() {
    if (m_nUnnoted == 0 || !m_limits.bNoteGaps) {
        return;
    }
    const std::string strNote = "\r\n[" + std::to_string(m_nUnnoted) +
                                " bytes of the log were left out here: " + m_strName +
                                " could not be written]\r\n";
    m_nUnnoted = 0;
    m_pending += strNote;
    m_nAppended += strNote.size();
}

bool CLogFileWriter::MustWait() const {
    // A block is taken while less than the capacity waits, so that a large block does not
    // wait for the writer to take the one before: the queue ends at most one block beyond.
    return !m_bNoWait && !m_bFailing && m_pending.size() >= m_limits.nCapacity;
}

void CLogFileWriter::Append(std::string_view bytes) {
    AppendBytes(bytes, false);
}

void CLogFileWriter::AppendBlock(std::string_view bytes) {
    AppendBytes(bytes, true);
}

void CLogFileWriter::AppendBytes(std::string_view bytes, bool bBlock) {
    if (bytes.empty()) {
        return;
    }
    std::unique_lock lock(m_mutex);
    m_cvRoom.wait(lock, [this] { return !MustWait(); });
    if (m_bClosing) {
        m_nLost += bytes.size();
        return;
    }
    if (m_bFailing &&
        (m_nUnnoted > 0 || m_pending.size() + m_nOutLeft + bytes.size() > m_limits.nBacklog)) {
        // Once something is left out, everything is until the output takes writes again:
        // one gap in the output, with one note.
        m_nLost += bytes.size();
        m_nUnnoted += bytes.size();
        return;
    }
    QueueGapNote();
    m_nUnnoted = 0;
    const bool bWake = m_pending.empty() || (m_pending.size() < m_limits.nBatch &&
                                             m_pending.size() + bytes.size() >= m_limits.nBatch);
    if (bBlock) {
        m_pendingBlocks.emplace_back(m_pending.size(), bytes.size());
    }
    m_pending.append(bytes);
    m_nAppended += bytes.size();
    if (bWake) {
        // Under the lock: once the writer has taken the bytes, this call no longer touches
        // the writer, which may then be closed and destroyed.
        m_cvWork.notify_one();
    }
}

void CLogFileWriter::StopWaiting() {
    std::lock_guard lock(m_mutex);
    m_bNoWait = true;
    m_cvRoom.notify_all();
}

bool CLogFileWriter::Flush(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    const std::uint64_t nTarget = m_nAppended;
    const std::uint64_t nAttempts = m_nAttempts;
    m_nFlushTarget = std::max(m_nFlushTarget, nTarget);
    m_cvWork.notify_one();
    m_cvRoom.wait_for(lock, timeout, [&] {
        return m_nWritten >= nTarget || m_nAttempts > nAttempts || m_bClosed;
    });
    return m_nWritten >= nTarget;
}

void CLogFileWriter::Close() {
    {
        std::lock_guard lock(m_mutex);
        if (m_bClosing) {
            return;
        }
        if (!m_bFailing) {
            QueueGapNote();
        }
        m_bClosing = true;
        m_bNoWait = true;
        m_cvWork.notify_one();
        m_cvRoom.notify_all();
    }
    m_thread.join();
    bool bCloseFailed = false;
    int nError = 0;
    if (m_bOwnsFd && ::close(m_fd) != 0 && errno != EINTR) {
        bCloseFailed = true;
        nError = errno;
    }
    {
        std::lock_guard lock(m_mutex);
        m_bClosed = true;
        if (bCloseFailed) {
            // The system may report a failed write-back only here: what it holds is unsure.
            m_bEverFailed = true;
            m_bCloseFailed = true;
        }
        m_cvRoom.notify_all();
    }
    if (bCloseFailed && m_fnReport) {
        m_fnReport("closing " + m_strName + " failed: " + ErrorText(nError));
    }
}

std::uint64_t CLogFileWriter::LostBytes() const {
    std::lock_guard lock(m_mutex);
    return m_nLost;
}

bool CLogFileWriter::HasFailed() const {
    std::lock_guard lock(m_mutex);
    return m_bEverFailed;
}

bool CLogFileWriter::IsComplete() const {
    std::lock_guard lock(m_mutex);
    return m_nLost == 0 && !m_bCloseFailed;
}

void CLogFileWriter::ReserveText(std::size_t nBytes) {
    if (nBytes <= m_text.nCapacity) {
        return;
    }
    CDirectFile::Text text;
    text.nCapacity = std::max(nBytes, m_pDirect ? m_limits.nDirectChunk : m_limits.nWriteChunk);
    // Not zeroed: only what the conversion writes is ever read.
    text.p = CDirectFile::AllocateBuffer(text.nCapacity);
    if (m_nTextSize > 0) {
        std::memcpy(text.p.get(), m_text.p.get(), m_nTextSize);
    }
    m_text = std::move(text);
}

void CLogFileWriter::ShrinkText() {
    const std::size_t nUsual = m_pDirect ? m_limits.nDirectChunk : m_limits.nWriteChunk;
    if (m_text.nCapacity <= 4 * nUsual || m_nTextSize > nUsual) {
        return;
    }
    CDirectFile::Text text;
    if (m_nTextSize > 0) {
        // The rest of a block, kept for a direct write.
        text.nCapacity = nUsual;
        text.p = CDirectFile::AllocateBuffer(nUsual);
        std::memcpy(text.p.get(), m_text.p.get(), m_nTextSize);
    }
    m_text = std::move(text);
}

void CLogFileWriter::FillText(std::size_t nChunk, std::size_t nKeep) {
    nChunk = std::max<std::size_t>(nChunk, 1);
    while (m_nOutDone < m_out.size()) {
        if (m_iOutBlock < m_outBlocks.size() && m_outBlocks[m_iOutBlock].first == m_nOutDone) {
            // A block is converted whole: a cut could split a character made of several
            // bytes, whose halves would then show as two others.
            const std::size_t nLength = m_outBlocks[m_iOutBlock].second;
            const std::size_t nNeed = 3 * nLength;  // the most text a byte becomes
            if (m_nTextSize > nKeep && m_nTextSize + nNeed > nChunk) {
                return;
            }
            ReserveText(m_nTextSize + nNeed);
            m_nTextSize += win::AnsiToUtf8(std::string_view(m_out.data() + m_nOutDone, nLength),
                                           m_text.p.get() + m_nTextSize, true);
            m_nOutDone += nLength;
            ++m_iOutBlock;
            continue;
        }
        if (m_nTextSize >= nChunk) {
            return;
        }
        const std::size_t nEnd =
            m_iOutBlock < m_outBlocks.size() ? m_outBlocks[m_iOutBlock].first : m_out.size();
        const std::size_t n = std::min(nEnd - m_nOutDone, nChunk - m_nTextSize);
        ReserveText(m_nTextSize + n);
        std::memcpy(m_text.p.get() + m_nTextSize, m_out.data() + m_nOutDone, n);
        m_nTextSize += n;
        m_nOutDone += n;
    }
}

int CLogFileWriter::WriteOutDirect(bool& bAll) {
    if (const int nError = m_pDirect->CheckWrites()) {
        return nError;  // told of a failed write; the next call tries it again
    }
    while (m_nOutDone < m_out.size()) {
        // The text kept from the last write is less than a block, so this always adds to it.
        FillText(m_limits.nDirectChunk, CDirectFile::kBlock);
        if (const int nError = m_pDirect->WriteBlocks(m_text, m_nTextSize, m_nTextDone)) {
            return nError;
        }
    }
    if (const int nError = m_pDirect->CheckWrites()) {
        return nError;
    }
    if (!m_out.empty()) {
        // The rest of a block waits for more text, unless a flush or the end wants
        // everything out now; an empty batch comes when nothing more does.
        std::lock_guard lock(m_mutex);
        bAll = m_bClosing || m_nFlushTarget > m_nWritten;
    }
    if (!bAll) {
        return 0;
    }
    return m_pDirect->WriteRest(m_text.p.get(), m_nTextSize, m_nTextDone);
}

int CLogFileWriter::WriteOut(bool& bAll) {
    bAll = true;
    if (m_pDirect) {
        return WriteOutDirect(bAll);
    }
    for (;;) {
        const char* pData = nullptr;
        std::size_t nSize = 0;
        bool bFromText = true;
        if (m_nTextDone < m_nTextSize) {
            pData = m_text.p.get() + m_nTextDone;
            nSize = m_nTextSize - m_nTextDone;
        } else {
            m_nTextSize = 0;
            m_nTextDone = 0;
            if (m_nOutDone == m_out.size()) {
                return 0;
            }
            const std::size_t nPlainEnd =
                m_iOutBlock < m_outBlocks.size() ? m_outBlocks[m_iOutBlock].first : m_out.size();
            if (m_outBlocks.empty() || nPlainEnd - m_nOutDone >= m_limits.nWriteChunk) {
                // Bytes that need no conversion go out as they are, without a copy.
                pData = m_out.data() + m_nOutDone;
                nSize = nPlainEnd - m_nOutDone;
                bFromText = false;
            } else {
                FillText(m_limits.nWriteChunk, 0);
                continue;
            }
        }
        const ssize_t n = ::write(m_fd, pData, nSize);
        if (n > 0) {
            (bFromText ? m_nTextDone : m_nOutDone) += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A descriptor that someone made non-blocking (a shared terminal or pipe).
            pollfd pfd{m_fd, POLLOUT, 0};
            ::poll(&pfd, 1, 100);
            continue;
        }
        return n < 0 ? errno : EIO;
    }
}

void CLogFileWriter::Run() {
    std::unique_lock lock(m_mutex);
    int nReports = 0;  // the failure and the first recovery are told; later ones the notes tell
    for (;;) {
        if (m_nOutLeft == 0) {
            const bool bHeld = m_nHeldUnits > 0;
            if (bHeld) {
                // The end of a direct write's text waits in memory: it goes out through the
                // cache when nothing more comes for a moment (an empty batch below).
                m_cvWork.wait_for(lock, m_limits.flushInterval, [this] {
                    return !m_pending.empty() || m_bClosing || m_nFlushTarget > m_nWritten;
                });
            } else {
                m_cvWork.wait(lock, [this] { return !m_pending.empty() || m_bClosing; });
                if (m_pending.empty()) {
                    break;  // closing, everything written
                }
            }
            if (!m_pending.empty()) {
                // Give the batch a few milliseconds to fill, unless it is full or wanted now.
                m_cvWork.wait_for(lock, m_limits.flushInterval, [this] {
                    return m_pending.size() >= m_limits.nBatch || m_bClosing ||
                           m_nFlushTarget > m_nWritten;
                });
            }
            m_out.clear();
            m_out.swap(m_pending);
            m_nBatchUnits = m_out.size();
            m_outBlocks.clear();
            m_outBlocks.swap(m_pendingBlocks);
            m_iOutBlock = 0;
            m_nOutDone = 0;
            m_nOutLeft = m_out.size();
            m_cvRoom.notify_all();
        }
        bool bAll = true;
        lock.unlock();
        const int nError = WriteOut(bAll);
        lock.lock();
        // A batch written without error is all taken (the rest of a block that waits for
        // the next batch is counted in m_nHeldUnits).
        m_nOutLeft = nError == 0 ? 0 : OutLeft();
        if (nError == 0) {
            // A backlog kept while the output refused writes, or one very large block, left
            // a large buffer behind: it goes back, so that the writer holds little again.
            if (m_out.capacity() > 2 * (m_limits.nCapacity + m_limits.nBatch)) {
                std::string().swap(m_out);
            }
            ShrinkText();
            // The whole batch is out; a flush counts the bytes that were appended. Those of a
            // batch whose end waits for the next one count when that is written.
            m_nHeldUnits += m_nBatchUnits;
            m_nBatchUnits = 0;
            if (bAll) {
                m_nWritten += m_nHeldUnits;
                m_nHeldUnits = 0;
            }
            const bool bRecovered = m_bFailing;
            m_bFailing = false;
            m_cvRoom.notify_all();
            if (bRecovered && nReports == 1 && m_fnReport) {
                ++nReports;
                const std::uint64_t nLost = m_nLost;
                lock.unlock();
                m_fnReport(m_strName + " is written again; " +
                           (nLost == 0 ? std::string("nothing was lost")
                                       : std::to_string(nLost) + " bytes were left out" +
                                             (m_limits.bNoteGaps
                                                  ? std::string(", a line in it says where")
                                                  : std::string(" (whole blocks; nothing in "
                                                                "the file marks the place)"))));
                lock.lock();
            }
            continue;
        }
        ++m_nAttempts;
        m_bFailing = true;
        m_bEverFailed = true;
        m_cvRoom.notify_all();  // appenders stop waiting; a flush learns of the failure
        if (nReports == 0 && m_fnReport) {
            ++nReports;
            std::string strText = "cannot write " + m_strName + ": " + ErrorText(nError);
            if (!m_bClosing) {
                strText += ". Relaying goes on; the log is kept in memory (up to " +
                           MiB(m_limits.nBacklog) + ") and written when there is room again";
            }
            lock.unlock();
            m_fnReport(strText);
            lock.lock();
        }
        if (m_bClosing) {
            // The last try at the end: what is still unwritten is lost.
            const std::uint64_t nLeft = m_nOutLeft + m_pending.size();
            m_nLost += nLeft;
            m_pending.clear();
            m_pendingBlocks.clear();
            m_nOutLeft = 0;
            break;
        }
        // Try again after a while, at once when the program ends or a flush is asked for.
        const std::uint64_t nTarget = m_nFlushTarget;
        m_cvWork.wait_for(lock, m_limits.retryInterval,
                          [this, nTarget] { return m_bClosing || m_nFlushTarget > nTarget; });
    }
    m_cvRoom.notify_all();
    lock.unlock();
    // The descriptor's flags and position as a writer after us expects them.
    m_pDirect.reset();
}
