// Saving and loading the log document: streamed between the spool and the file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "logdoc/LineBreaks.h"
#include "logdoc/LogDocument.h"
#include "logdoc/SafeFileWriter.h"
#include "module/Messages.h"
#include "platform/SystemText.h"
#include "platform/TextConv.h"
#include "platform/WinError.h"

namespace {

constexpr std::size_t kFileChunk = 4 << 20;

// How many bytes at the end of `bytes` may be the start of a UTF-8 sequence that the next
// piece completes.
std::size_t IncompleteTail(std::string_view bytes) {
    const std::size_t n = bytes.size();
    for (std::size_t k = 1; k <= std::min<std::size_t>(3, n); ++k) {
        const auto b = static_cast<unsigned char>(bytes[n - k]);
        if ((b & 0xC0) == 0x80) {
            continue;  // a continuation byte: look further back for its lead
        }
        const std::size_t nNeed = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 1;
        return b >= 0xC2 && b <= 0xF4 && nNeed > k ? k : 0;
    }
    return 0;
}

// Writes the saved pieces on a thread of its own, one piece behind the one being made, so
// that making the text and the kernel's copy of it (and the disk's pace, when the system
// holds back writes) overlap.
class CBehindWriter {
public:
    explicit CBehindWriter(CSafeFileWriter& writer)
        : m_writer(writer), m_thread([this] { Loop(); }) {}
    ~CBehindWriter() {
        {
            std::lock_guard lock(m_mutex);
            m_bStop = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }
    CBehindWriter(const CBehindWriter&) = delete;
    CBehindWriter& operator=(const CBehindWriter&) = delete;

    // The saving thread. Hands over `piece`, which stays untouched until the next Write or
    // Finish returns, after the one before it is written; 0 or the errno of an earlier
    // write.
    int Write(const std::string& piece) {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [this] { return m_pPending == nullptr; });
        if (m_nError == 0) {
            m_pPending = &piece;
            m_cv.notify_all();
        }
        return m_nError;
    }

    // The saving thread. Waits until every piece is written; 0 or the errno.
    int Finish() {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [this] { return m_pPending == nullptr; });
        return m_nError;
    }

private:
    void Loop() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_cv.wait(lock, [this] { return m_pPending != nullptr || m_bStop; });
            if (m_pPending == nullptr) {
                return;
            }
            const std::string* pPiece = m_pPending;
            lock.unlock();
            const int nError = m_writer.Write(pPiece->data(), pPiece->size());
            lock.lock();
            m_nError = nError;
            m_pPending = nullptr;
            m_cv.notify_all();
        }
    }

    CSafeFileWriter& m_writer;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    const std::string* m_pPending = nullptr;  // m_mutex
    int m_nError = 0;                         // m_mutex
    bool m_bStop = false;                     // m_mutex
    std::thread m_thread;                     // last: starts once the rest is made
};

}  // namespace

DWORD CLogDocument::SaveTo(const std::wstring& strPath, const ProgressFn& fnProgress) {
    const std::uint64_t nGeneration = GetGeneration();
    CSafeFileWriter writer(win::WideToAnsi(strPath));
    if (const int nError = writer.Open(); nError != 0) {
        return win::Win32ErrorFromErrno(nError);
    }
    {
        std::shared_lock reset(m_resetMutex);
        const std::uint64_t nSize = GetSize();
        std::string chunk;
        std::string out[2];  // one being written, the other being made
        bool bAfterCr = false;
        CBehindWriter behind(writer);
        for (std::uint64_t nPos = 0, nPiece = 0; nPos < nSize; ++nPiece) {
            chunk.resize(
                static_cast<std::size_t>(std::min<std::uint64_t>(kFileChunk, nSize - nPos)));
            if (!ReadRaw(nPos, chunk.data(), chunk.size())) {
                return ERROR_READ_FAULT;
            }
            std::string& piece = out[nPiece % 2];
            piece.clear();
            AppendWithBreaks(chunk, "\r\n", bAfterCr, piece);
            if (const int nError = behind.Write(piece); nError != 0) {
                return win::Win32ErrorFromErrno(nError);
            }
            nPos += chunk.size();
            if (fnProgress && !fnProgress(nPos, nSize)) {
                return ERROR_OPERATION_ABORTED;
            }
        }
        if (const int nError = behind.Finish(); nError != 0) {
            return win::Win32ErrorFromErrno(nError);
        }
    }
    if (const int nError = writer.Commit(); nError != 0) {
        return win::Win32ErrorFromErrno(nError);
    }
    std::lock_guard lock(m_appendMutex);
    if (GetGeneration() == nGeneration) {
        SetModified(false);
    }
    return 0;
}

DWORD CLogDocument::LoadFrom(const std::wstring& strPath, const ProgressFn& fnProgress) {
    const std::string strPath8 = win::WideToAnsi(strPath);
    const int fd = ::open(strPath8.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return win::Win32ErrorFromErrno(errno);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        const int nError = S_ISDIR(st.st_mode) ? EISDIR : errno;
        ::close(fd);
        return win::Win32ErrorFromErrno(nError);
    }
    const std::uint64_t nTotal = static_cast<std::uint64_t>(st.st_size);
    std::lock_guard lock(m_appendMutex);
    ClearLocked();
    std::string buffer(kFileChunk + 3, '\0');
    // Sized once: resizing a string for every piece would fill it with zeros each time.
    const std::unique_ptr<char[]> converted(new char[3 * (kFileChunk + 3)]);
    std::size_t nCarry = 0;
    std::uint64_t nDone = 0;
    DWORD dwResult = 0;
    for (;;) {
        const ssize_t nRead = ::read(fd, buffer.data() + nCarry, kFileChunk);
        if (nRead < 0) {
            if (errno == EINTR) {
                continue;
            }
            dwResult = win::Win32ErrorFromErrno(errno);
            break;
        }
        const std::size_t nHave = nCarry + static_cast<std::size_t>(nRead);
        const std::string_view bytes(buffer.data(), nHave);
        const std::size_t nKeep = nRead == 0 ? 0 : IncompleteTail(bytes);
        const std::size_t nConverted =
            win::AnsiToUtf8(bytes.substr(0, nHave - nKeep), converted.get(), false);
        AppendLocked(std::string_view(converted.get(), nConverted), LOG_STYLE_PLAIN);
        std::copy(buffer.begin() + static_cast<std::ptrdiff_t>(nHave - nKeep),
                  buffer.begin() + static_cast<std::ptrdiff_t>(nHave), buffer.begin());
        nCarry = nKeep;
        nDone += static_cast<std::uint64_t>(nRead);
        if (nRead == 0) {
            break;
        }
        if (fnProgress && !fnProgress(nDone, nTotal)) {
            dwResult = ERROR_OPERATION_ABORTED;
            break;
        }
    }
    ::close(fd);
    SetModified(dwResult != 0);
    return dwResult;
}
