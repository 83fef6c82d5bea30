#include "capture/ResponseWriter.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "module/MyModule.h"
#include "platform/BeneathOpen.h"
#include "platform/FaultInjection.h"
#include "platform/TextConv.h"
#include "support/Trace.h"

namespace {

void LogBold(const std::wstring& strText) {
    CModuleLock lock;
    g_Module.AppendLog(strText, LOG_STYLE_BOLD);
    g_Module.AppendLog(L"", LOG_STYLE_PLAIN);
}

std::wstring ErrnoText(int nErrno) {
    if (nErrno == ENOSPC) {
        return L"the disk is full";
    }
    const char* pszText = ::strerrordesc_np(nErrno);
    return win::AnsiToWide(pszText != nullptr ? pszText : "error " + std::to_string(nErrno));
}

}  // namespace

// The file of the response being saved; only the writer's thread uses it.
class CResponseWriter::CFileState {
public:
    ~CFileState() { Close(); }

    void Begin(const std::wstring& strRoot, const std::wstring& strPath) {
        Close();
        m_strRoot = strRoot;
        m_strPath = strPath;
        m_bFailed = false;
    }

    void Write(const std::string& bytes, bool bText) {
        if (m_bFailed || m_strPath.empty()) {
            return;
        }
        if (m_fd < 0 && !Open(bText)) {
            return;
        }
        WriteAll(bytes);
    }

    void Restart() { Close(); }

    void End() {
        Close();
        m_strPath.clear();
    }

    void Cut(const std::wstring& strReason) {
        if (!m_bFailed && !m_strPath.empty()) {
            Fail(strReason);
        }
    }

private:
    // The path below the root, or nothing when it does not lie below it.
    bool Relative(std::string& strRoot, std::string& strRelative) const {
        std::wstring root = m_strRoot;
        while (root.size() > 1 && root.back() == L'/') {
            root.pop_back();
        }
        std::wstring_view path = m_strPath;
        if (root.empty()) {
            root = L".";
        } else if (path.starts_with(root) &&
                   (root == L"/" || path.substr(root.size()).starts_with(L"/"))) {
            path.remove_prefix(root.size());
        } else {
            return false;
        }
        while (path.starts_with(L"/")) {
            path.remove_prefix(1);
        }
        strRoot = win::WideToAnsi(root);
        strRelative = win::WideToAnsi(path);
        return !strRelative.empty();
    }

    bool Open(bool bText) {
        std::string strRoot;
        std::string strRelative;
        if (!Relative(strRoot, strRelative)) {
            m_bFailed = true;
            LogBold(L"\nOpen \"" + m_strPath +
                    L"\" failed! The path is not below the data folder\n");
            return false;
        }
        int nFault = win::TakeFault(win::FaultCall::OpenFile);
        win::CBeneathOpen opened;
        if (nFault == 0) {
            opened = win::OpenBeneath(strRoot, strRelative);
        }
        if (opened.fd < 0) {
            m_bFailed = true;
            const std::string strWhy =
                nFault != 0 ? std::string(::strerrordesc_np(nFault)) : opened.strWhy;
            LogBold(L"\nOpen \"" + m_strPath + L"\" failed! " + win::AnsiToWide(strWhy) + L"\n");
            return false;
        }
        m_fd = opened.fd;
        m_strRootA = std::move(strRoot);
        m_strRelativeA = std::move(strRelative);
        m_nWritten = 0;
        LogBold(L"\nSave to \"" + m_strPath + L"\"\n");
        if (bText) {
            WriteAll(std::string("\xFF\xFE", 2));
        }
        return m_fd >= 0;
    }

    void WriteAll(std::string_view bytes) {
        while (!bytes.empty() && m_fd >= 0) {
            const int nFault = win::TakeFault(win::FaultCall::SaveWrite);
            const ssize_t n = nFault != 0 ? -1 : ::write(m_fd, bytes.data(), bytes.size());
            if (n < 0) {
                const int nErrno = nFault != 0 ? nFault : errno;
                if (nErrno == EINTR) {
                    continue;
                }
                Fail(ErrnoText(nErrno));
                return;
            }
            bytes.remove_prefix(static_cast<std::size_t>(n));
            m_nWritten += static_cast<std::uint64_t>(n);
        }
    }

    // The file is cut: closed, renamed so that its name says so, and told in the log.
    void Fail(const std::wstring& strReason) {
        m_bFailed = true;
        std::wstring strText = L"\nSave to \"" + m_strPath + L"\" failed! " + strReason;
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
            const std::string strPartial =
                m_strRelativeA + win::WideToAnsi(CResponseWriter::kPartialSuffix);
            if (win::RenameBeneath(m_strRootA, m_strRelativeA, strPartial)) {
                strText += L"; the first " + std::to_wstring(m_nWritten) + L" bytes are in \"" +
                           m_strPath + std::wstring(CResponseWriter::kPartialSuffix) + L"\"";
            } else {
                strText +=
                    L"; the file holds only the first " + std::to_wstring(m_nWritten) + L" bytes";
            }
        }
        LogBold(strText + L"\n");
    }

    void Close() {
        if (m_fd < 0) {
            return;
        }
        const int fd = std::exchange(m_fd, -1);
        if (::close(fd) != 0 && errno != EINTR) {
            // The last data did not reach the disk (a network file system reports it here).
            const int nErrno = errno;
            m_fd = -1;
            Fail(ErrnoText(nErrno));
        }
    }

    int m_fd = -1;
    bool m_bFailed = false;
    std::wstring m_strRoot;
    std::wstring m_strPath;
    std::string m_strRootA;
    std::string m_strRelativeA;
    std::uint64_t m_nWritten = 0;
};

CResponseWriter::~CResponseWriter() {
    Finish();
}

void CResponseWriter::Push(COp op) {
    if (m_bNoThread) {
        return;
    }
    if (!m_pShared) {
        m_pShared = std::make_shared<CShared>();
        try {
            m_thread = std::thread(&CResponseWriter::Run, m_pShared);
        } catch (const std::system_error& e) {
            m_bNoThread = true;
            m_pShared.reset();
            LogBold(L"\nResponses of this connection are not saved: no thread for their files (" +
                    win::AnsiToWide(e.what()) + L")\n");
            return;
        }
    }
    {
        std::lock_guard lock(m_pShared->mutex);
        m_pShared->nBytes += op.bytes.size();
        m_pShared->ops.push_back(std::move(op));
    }
    m_pShared->cvWork.notify_one();
}

void CResponseWriter::Begin(const std::wstring& strRoot, const std::wstring& strPath) {
    m_bDropping = false;
    COp op;
    op.kind = Kind::Begin;
    op.strRoot = strRoot;
    op.strText = strPath;
    Push(std::move(op));
}

void CResponseWriter::Write(std::string_view bytes, bool bText) {
    if (m_bDropping || bytes.empty()) {
        return;
    }
    COp op;
    op.kind = Kind::Write;
    op.bytes.assign(bytes);
    op.bText = bText;
    Push(std::move(op));
}

void CResponseWriter::Restart() {
    COp op;
    op.kind = Kind::Restart;
    Push(std::move(op));
}

void CResponseWriter::Note(const std::wstring& strText) {
    COp op;
    op.kind = Kind::Note;
    op.strText = strText;
    Push(std::move(op));
}

void CResponseWriter::End() {
    m_bDropping = false;
    COp op;
    op.kind = Kind::End;
    Push(std::move(op));
}

std::size_t CResponseWriter::QueuedBytes() const {
    if (!m_pShared) {
        return 0;
    }
    std::lock_guard lock(m_pShared->mutex);
    return m_pShared->nBytes;
}

void CResponseWriter::WaitForRoom(const std::function<bool()>& fnStop) {
    if (!m_pShared) {
        return;
    }
    std::unique_lock lock(m_pShared->mutex);
    std::uint64_t nSeen = m_pShared->nProgress;
    auto stallSince = std::chrono::steady_clock::now();
    while (m_pShared->nBytes > kMaxQueued && !fnStop()) {
        m_pShared->cvRoom.wait_for(lock, std::chrono::milliseconds(100));
        const auto now = std::chrono::steady_clock::now();
        if (m_pShared->nProgress != nSeen) {
            nSeen = m_pShared->nProgress;
            stallSince = now;
        } else if (now - stallSince >= m_stallLimit) {
            DropCurrent(lock);
            return;
        }
    }
}

void CResponseWriter::DropCurrent(std::unique_lock<std::mutex>&) {
    // The queued writes after the last Begin belong to the response being saved.
    std::deque<COp>& ops = m_pShared->ops;
    std::deque<COp> kept;
    bool bCurrent = true;
    for (auto it = ops.rbegin(); it != ops.rend(); ++it) {
        if (it->kind == Kind::Begin) {
            bCurrent = false;
        }
        if (bCurrent && it->kind == Kind::Write) {
            m_pShared->nBytes -= it->bytes.size();
            continue;
        }
        kept.push_front(std::move(*it));
    }
    ops.swap(kept);
    COp cut;
    cut.kind = Kind::Cut;
    cut.strText = L"the disk took nothing for " + std::to_wstring(m_stallLimit.count()) +
                  L" ms; the rest of the response is not saved";
    ops.push_back(std::move(cut));
    m_bDropping = true;
    m_pShared->cvWork.notify_one();
}

void CResponseWriter::Finish() {
    if (!m_pShared) {
        return;
    }
    bool bDone = false;
    {
        std::unique_lock lock(m_pShared->mutex);
        m_pShared->bQuit = true;
        m_pShared->cvWork.notify_one();
        bDone = m_pShared->cvRoom.wait_for(lock, kFinishLimit, [this] { return m_pShared->bDone; });
        if (!bDone) {
            // Stuck in the file system: what is still queued is dropped, and the thread
            // ends by itself once its call returns; it keeps the shared state alive. The
            // trace says so (this may be the GUI thread, which must not log under the lock).
            Trace(
                L"Saved responses: the file system did not return within %ld s; %lu queued "
                L"bytes were not saved",
                static_cast<long>(std::chrono::seconds(kFinishLimit).count()),
                static_cast<unsigned long>(m_pShared->nBytes));
            m_pShared->nBytes = 0;
            m_pShared->ops.clear();
        }
    }
    if (bDone) {
        m_thread.join();
    } else {
        m_thread.detach();
    }
    m_pShared.reset();
}

void CResponseWriter::Run(const std::shared_ptr<CShared>& pShared) {
    CFileState file;
    std::unique_lock lock(pShared->mutex);
    for (;;) {
        pShared->cvWork.wait(lock, [&] { return !pShared->ops.empty() || pShared->bQuit; });
        if (pShared->ops.empty()) {
            break;  // quit, and everything is written
        }
        COp op = std::move(pShared->ops.front());
        pShared->ops.pop_front();
        pShared->bBusy = true;
        lock.unlock();
        switch (op.kind) {
            case Kind::Begin:
                file.Begin(op.strRoot, op.strText);
                break;
            case Kind::Write:
                file.Write(op.bytes, op.bText);
                break;
            case Kind::Restart:
                file.Restart();
                break;
            case Kind::Note:
                LogBold(op.strText);
                break;
            case Kind::End:
                file.End();
                break;
            case Kind::Cut:
                file.Cut(op.strText);
                break;
        }
        lock.lock();
        pShared->bBusy = false;
        pShared->nBytes -= std::min(pShared->nBytes, op.bytes.size());
        ++pShared->nProgress;
        pShared->cvRoom.notify_all();
    }
    lock.unlock();
    file.End();
    lock.lock();
    pShared->bDone = true;
    pShared->cvRoom.notify_all();
}
