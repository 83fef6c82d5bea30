#include "app/DirectFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

// Buffers being written while the writer fills the next one.
constexpr std::size_t kMaxJobs = 2;

}  // namespace

std::unique_ptr<CDirectFile> CDirectFile::Attach(int fd, std::size_t nChunk) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return nullptr;  // a terminal, a pipe, a device: written as they are
    }
    const int nFlags = ::fcntl(fd, F_GETFL);
    // Appending writes land at the end whatever the offset, so the rest of a block could not
    // be written again in place.
    if (nFlags < 0 || (nFlags & O_APPEND) != 0 || (nFlags & O_ACCMODE) == O_RDONLY) {
        return nullptr;
    }
    const off_t nPos = ::lseek(fd, 0, SEEK_CUR);
    if (nPos < 0 || static_cast<std::uint64_t>(nPos) % kBlock != 0) {
        return nullptr;  // text before ours would have to be read back to fill the first block
    }
    // Some file systems refuse the flag outright.
    if (::fcntl(fd, F_SETFL, nFlags | O_DIRECT) != 0) {
        return nullptr;
    }
    return std::unique_ptr<CDirectFile>(new CDirectFile(
        fd, nFlags & ~O_DIRECT, static_cast<std::uint64_t>(nPos), std::max(nChunk, kBlock)));
}

CDirectFile::CDirectFile(int fd, int nFlags, std::uint64_t nBase, std::size_t nChunk)
    : m_fd(fd), m_nFlags(nFlags), m_nChunk(nChunk), m_nBase(nBase), m_nEnd(nBase) {}

CDirectFile::~CDirectFile() {
    {
        std::lock_guard lock(m_mutex);
        m_bStop = true;
        m_cvWork.notify_one();
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    SetDirectFlag(false);
    ::lseek(m_fd, static_cast<off_t>(m_nEnd), SEEK_SET);
}

std::size_t CDirectFile::Queued() const {
    std::lock_guard lock(m_mutex);
    return m_nQueued;
}

bool CDirectFile::IsDirect() const {
    std::lock_guard lock(m_mutex);
    return m_bDirect;
}

int CDirectFile::SetDirectFlag(bool bOn) {
    std::lock_guard lock(m_mutex);
    if (m_bFlagOn == bOn) {
        return 0;
    }
    if (::fcntl(m_fd, F_SETFL, m_nFlags | (bOn ? O_DIRECT : 0)) != 0) {
        return errno;
    }
    m_bFlagOn = bOn;
    return 0;
}

int CDirectFile::WriteAt(const char* p, std::size_t nLeft, std::uint64_t nOffset,
                         bool bMayGoDirect) {
    while (nLeft > 0) {
        bool bDirect = false;
        if (bMayGoDirect) {
            std::lock_guard lock(m_mutex);
            bDirect = m_bDirect;
        }
        if (bDirect && SetDirectFlag(true) != 0) {
            std::lock_guard lock(m_mutex);
            m_bDirect = false;
            continue;
        }
        const ssize_t n = ::pwrite(m_fd, p, nLeft, static_cast<off_t>(nOffset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EINVAL && bDirect) {
            // The file system takes no direct writes, wants another alignment, or a file size
            // limit cut the write short of a block: from here on through the cache.
            if (const int nError = SetDirectFlag(false)) {
                return nError;
            }
            std::lock_guard lock(m_mutex);
            m_bDirect = false;
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : EIO;
        }
        p += n;
        nLeft -= static_cast<std::size_t>(n);
        nOffset += static_cast<std::uint64_t>(n);
        std::lock_guard lock(m_mutex);
        m_nEnd = std::max(m_nEnd, nOffset);
    }
    return 0;
}

void CDirectFile::Run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_cvWork.wait(lock, [this] { return m_bStop || (!m_jobs.empty() && m_nError == 0); });
        if (m_jobs.empty() || m_nError != 0) {
            break;  // stopping; what waits behind a failure is dropped
        }
        // The writer only appends to the queue, which leaves the front job where it is.
        const Job& job = m_jobs.front();
        lock.unlock();
        const int nError = WriteAt(job.text.p.get(), job.nSize, job.nOffset, true);
        lock.lock();
        if (nError != 0) {
            m_nError = nError;
            m_bErrorTaken = false;
        } else {
            m_nQueued -= job.nSize;
            if (job.text.nCapacity <= 4 * m_nChunk) {
                m_free.push_back(std::move(m_jobs.front().text));
            }
            m_jobs.pop_front();
        }
        m_cvDone.notify_all();
    }
}

int CDirectFile::Drain() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (m_nError != 0) {
            if (!m_bErrorTaken) {
                m_bErrorTaken = true;
                return m_nError;
            }
            // Told before: this call tries the failed write again.
            m_nError = 0;
            m_cvWork.notify_one();
        }
        m_cvDone.wait(lock, [this] { return m_jobs.empty() || m_nError != 0; });
        if (m_nError == 0) {
            return 0;
        }
    }
}

int CDirectFile::CheckWrites() {
    {
        std::lock_guard lock(m_mutex);
        if (m_nError == 0) {
            return 0;
        }
    }
    return Drain();
}

int CDirectFile::WriteBlocks(Text& text, std::size_t& nSize, std::size_t& nDone) {
    const std::size_t nWhole = nSize / kBlock * kBlock;
    if (nWhole == 0) {
        return 0;
    }
    Text next;
    {
        std::unique_lock lock(m_mutex);
        if (m_nError != 0) {
            lock.unlock();
            if (const int nError = Drain()) {
                return nError;
            }
            lock.lock();
        }
        m_cvDone.wait(lock, [this] { return m_jobs.size() < kMaxJobs || m_nError != 0; });
        if (m_nError != 0) {
            lock.unlock();
            return Drain();  // reports the failure; the next call tries again
        }
        if (!m_free.empty()) {
            next = std::move(m_free.back());
            m_free.pop_back();
        }
    }
    const std::size_t nRest = nSize - nWhole;
    if (!next.p || next.nCapacity < nRest) {
        next.nCapacity = std::max(m_nChunk, nRest);
        next.p = AllocateBuffer(next.nCapacity);
    }
    std::memcpy(next.p.get(), text.p.get() + nWhole, nRest);
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back(Job{std::move(text), nWhole, m_nBase});
        m_nQueued += nWhole;
        if (!m_thread.joinable()) {
            m_thread = std::thread([this] { Run(); });
        }
        m_cvWork.notify_one();
    }
    text = std::move(next);
    nSize = nRest;
    nDone = nDone > nWhole ? nDone - nWhole : 0;
    m_nBase += nWhole;
    return 0;
}

int CDirectFile::WriteRest(const char* pText, std::size_t nSize, std::size_t& nDone) {
    if (const int nError = Drain()) {
        return nError;
    }
    // Idle from here: the descriptor goes back to cached writes, as anyone else expects it.
    if (const int nError = SetDirectFlag(false)) {
        return nError;
    }
    if (nDone >= nSize) {
        return 0;
    }
    if (const int nError = WriteAt(pText + nDone, nSize - nDone, m_nBase + nDone, false)) {
        return nError;
    }
    nDone = nSize;
    std::uint64_t nEnd = 0;
    {
        std::lock_guard lock(m_mutex);
        nEnd = m_nEnd;
    }
    // Whoever writes to the descriptor after us (a shared standard output) goes on here.
    ::lseek(m_fd, static_cast<off_t>(nEnd), SEEK_SET);
    return 0;
}
