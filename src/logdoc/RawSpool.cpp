#include "logdoc/RawSpool.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "platform/FaultInjection.h"

static_assert(CRawSpool::kChunk % win::kDirectBlock == 0);

CRawSpool::~CRawSpool() {
    {
        std::lock_guard lock(m_mutex);
        m_bStop = true;
    }
    m_cvWork.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_fdDirect >= 0) {
        ::close(m_fdDirect);
    }
}

int CRawSpool::Open(const std::string& strFolder) {
    if (const int nError = m_file.Open(strFolder)) {
        return nError;
    }
    m_fdDirect = m_file.OpenDirectWriter();
    std::lock_guard lock(m_mutex);
    m_bDirect = m_fdDirect >= 0;
    return 0;
}

std::uint64_t CRawSpool::Store(std::string_view bytes, int& nError) {
    nError = 0;
    std::lock_guard store(m_storeMutex);
    std::unique_lock lock(m_mutex);
    if (!m_file.IsOpen()) {
        nError = EBADF;
        return UINT64_MAX;
    }
    // After a failed write, what fits in the buffer being filled is kept in memory; more
    // needs the failed write to succeed first.
    if (m_nError != 0 && (m_fill.p == nullptr || kChunk - m_nFill < bytes.size())) {
        if ((nError = RetryLocked(lock)) != 0) {
            return UINT64_MAX;
        }
    }
    const std::uint64_t nAt = m_nWritten + m_full.size() * kChunk + m_nFill;
    while (!bytes.empty()) {
        if (m_fill.p == nullptr && !TakeBufferLocked(lock, nError)) {
            // The bytes copied so far stay in the spool, unnamed by any record.
            return UINT64_MAX;
        }
        const std::size_t n = std::min(bytes.size(), kChunk - m_nFill);
        std::memcpy(m_fill.p.get() + m_nFill, bytes.data(), n);
        m_nFill += n;
        bytes.remove_prefix(n);
        if (m_nFill < kChunk) {
            continue;
        }
        m_full.push_back(std::move(m_fill));
        m_fill = Chunk{};
        m_nFill = 0;
        if (!m_thread.joinable()) {
            try {
                m_thread = std::thread(&CRawSpool::Run, this);
            } catch (const std::system_error&) {
                // No thread for the writes: TakeBufferLocked writes them itself.
            }
        }
        m_cvWork.notify_one();
    }
    return nAt;
}

bool CRawSpool::TakeBufferLocked(std::unique_lock<std::mutex>& lock, int& nError) {
    for (;;) {
        if (!m_spare.empty()) {
            m_fill = std::move(m_spare.back());
            m_spare.pop_back();
            return true;
        }
        if (m_nBuffers < kMaxChunks) {
            m_fill.p = win::AllocateAligned(kChunk);
            ++m_nBuffers;
            return true;
        }
        // Every buffer waits for the disk.
        if (m_nError != 0) {
            if ((nError = RetryLocked(lock)) != 0) {
                return false;
            }
        } else if (!m_thread.joinable() && !m_bWriting) {
            if ((nError = WriteFrontLocked(lock)) != 0) {
                return false;
            }
        } else {
            m_cvDone.wait(lock);
        }
    }
}

int CRawSpool::RetryLocked(std::unique_lock<std::mutex>& lock) {
    m_cvDone.wait(lock, [this] { return !m_bWriting; });
    if (m_nError == 0 || m_full.empty()) {
        return 0;
    }
    if (!m_thread.joinable()) {
        return WriteFrontLocked(lock);
    }
    m_bRetry = true;
    m_cvWork.notify_one();
    m_cvDone.wait(lock, [this] { return !m_bRetry && !m_bWriting; });
    return m_nError;
}

int CRawSpool::WriteFrontLocked(std::unique_lock<std::mutex>& lock) {
    m_bWriting = true;
    // The chunk's bytes do not change while it waits; readers copy from it meanwhile.
    const char* p = m_full.front().p.get();
    const std::uint64_t nOffset = m_nWritten;
    const bool bDirect = m_bDirect;
    lock.unlock();
    bool bStillDirect = bDirect;
    const int nError = WriteChunk(p, nOffset, bStillDirect);
    lock.lock();
    m_bWriting = false;
    m_bDirect = bStillDirect;
    m_nError = nError;
    if (nError == 0) {
        m_spare.push_back(std::move(m_full.front()));
        m_full.pop_front();
        m_nWritten += kChunk;
    }
    m_cvDone.notify_all();
    return nError;
}

int CRawSpool::WriteChunk(const char* p, std::uint64_t nOffset, bool& bDirect) {
    if (const int nFault = win::TakeFault(win::FaultCall::SpoolWrite)) {
        return nFault;
    }
    std::size_t nLeft = kChunk;
    while (bDirect && nLeft > 0) {
        const ssize_t n = ::pwrite(m_fdDirect, p, nLeft, static_cast<off_t>(nOffset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EINVAL) {
            // The file system takes no direct writes of this kind (or a size limit cut one
            // short of a block): from here on through the cache.
            bDirect = false;
            break;
        }
        if (n <= 0) {
            return n < 0 ? errno : ENOSPC;
        }
        p += n;
        nLeft -= static_cast<std::size_t>(n);
        nOffset += static_cast<std::uint64_t>(n);
    }
    return nLeft == 0 ? 0 : m_file.WriteAt(nOffset, p, nLeft);
}

void CRawSpool::Run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_cvWork.wait(lock, [this] {
            return m_bStop || (!m_bWriting && !m_full.empty() && (m_nError == 0 || m_bRetry));
        });
        if (m_bStop) {
            return;
        }
        m_bRetry = false;
        WriteFrontLocked(lock);
    }
}

bool CRawSpool::ReadAt(std::uint64_t nOffset, char* p, std::size_t n) const {
    std::unique_lock lock(m_mutex);
    const std::uint64_t nEnd = nOffset + n;
    if (nEnd < nOffset || nEnd > m_nWritten + m_full.size() * kChunk + m_nFill) {
        return false;
    }
    if (nOffset < m_nWritten) {
        // Written bytes never change until a Clear. They are read without the lock, so that
        // stores and writes go on meanwhile; a Clear between makes the read fail.
        const std::size_t nFromFile =
            static_cast<std::size_t>(std::min(nEnd, m_nWritten) - nOffset);
        const std::uint64_t nClears = m_nClears;
        lock.unlock();
        const bool bRead = m_file.ReadAt(nOffset, p, nFromFile) == 0;
        lock.lock();
        if (!bRead || nClears != m_nClears) {
            return false;
        }
        p += nFromFile;
        nOffset += nFromFile;
        n -= nFromFile;
    }
    // The rest is in the buffers; a write that finished meanwhile moved nothing in them.
    // Their offsets are counted from m_nWritten as it is now.
    while (n > 0) {
        if (nOffset < m_nWritten) {
            // Written while the file was read: still in a spare buffer? Read the file again.
            const std::size_t nFromFile = static_cast<std::size_t>(
                std::min<std::uint64_t>(nOffset + n, m_nWritten) - nOffset);
            if (m_file.ReadAt(nOffset, p, nFromFile) != 0) {
                return false;
            }
            p += nFromFile;
            nOffset += nFromFile;
            n -= nFromFile;
            continue;
        }
        const std::uint64_t nInMemory = nOffset - m_nWritten;
        const std::size_t nChunk = static_cast<std::size_t>(nInMemory / kChunk);
        const std::size_t nWithin = static_cast<std::size_t>(nInMemory % kChunk);
        const char* pChunk = nChunk < m_full.size() ? m_full[nChunk].p.get() : m_fill.p.get();
        const std::size_t nCopy = std::min(n, kChunk - nWithin);
        std::memcpy(p, pChunk + nWithin, nCopy);
        p += nCopy;
        nOffset += nCopy;
        n -= nCopy;
    }
    return true;
}

std::uint64_t CRawSpool::Size() const {
    std::lock_guard lock(m_mutex);
    return m_nWritten + m_full.size() * kChunk + m_nFill;
}

void CRawSpool::Clear() {
    std::lock_guard store(m_storeMutex);
    std::unique_lock lock(m_mutex);
    m_cvDone.wait(lock, [this] { return !m_bWriting; });
    for (Chunk& chunk : m_full) {
        m_spare.push_back(std::move(chunk));
    }
    m_full.clear();
    m_nFill = 0;  // the buffer being filled is filled again from its start
    m_nWritten = 0;
    m_nError = 0;
    m_bRetry = false;
    ++m_nClears;
    if (m_file.IsOpen()) {
        m_file.Truncate();
    }
    m_cvDone.notify_all();
}

std::uint64_t CRawSpool::MemoryUse() const {
    std::lock_guard lock(m_mutex);
    return m_nBuffers * kChunk;
}

std::uint64_t CRawSpool::Written() const {
    std::lock_guard lock(m_mutex);
    return m_nWritten;
}

bool CRawSpool::IsDirect() const {
    std::lock_guard lock(m_mutex);
    return m_bDirect;
}
