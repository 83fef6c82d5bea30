#include "platform/DropBehind.h"

#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace win {

namespace {

// The thread that asks the system to drop the pages: the request starts the write-back of
// what is still dirty, which takes milliseconds, and a spool is written under the log's
// lock. One thread for the process, started with the first request, ended at exit.
class CDropper {
public:
    static CDropper& Instance() {
        static CDropper dropper;
        return dropper;
    }

    // Any thread. Takes `fd` (a duplicate, closed when done); a request that finds the
    // queue full is left out, since the advice only saves work.
    void Ask(int fd, std::uint64_t nFrom, std::uint64_t nLength) {
        std::lock_guard lock(m_mutex);
        if (m_bStop || m_requests.size() >= kMaxQueued) {
            ::close(fd);
            return;
        }
        m_requests.push_back({fd, nFrom, nLength});
        if (!m_thread.joinable()) {
            m_thread = std::thread([this] { Run(); });
        }
        m_cv.notify_one();
    }

    ~CDropper() {
        {
            std::lock_guard lock(m_mutex);
            m_bStop = true;
            m_cv.notify_one();
        }
        if (m_thread.joinable()) {
            m_thread.join();
        }
        for (const Request& request : m_requests) {
            ::close(request.fd);
        }
    }

private:
    struct Request {
        int fd;
        std::uint64_t nFrom;
        std::uint64_t nLength;
    };
    static constexpr std::size_t kMaxQueued = 16;

    CDropper() = default;

    void Run() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_cv.wait(lock, [this] { return m_bStop || !m_requests.empty(); });
            if (m_bStop) {
                return;
            }
            const Request request = m_requests.front();
            m_requests.pop_front();
            lock.unlock();
            ::posix_fadvise(request.fd, static_cast<off_t>(request.nFrom),
                            static_cast<off_t>(request.nLength), POSIX_FADV_DONTNEED);
            ::close(request.fd);
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Request> m_requests;
    bool m_bStop = false;
    std::thread m_thread;
};

}  // namespace

void CDropBehind::Wrote(int fd, std::uint64_t nEnd) {
    std::uint64_t nDropped = m_nDroppedTo.load(std::memory_order_relaxed);
    if (nEnd < nDropped + kKeepCached + kStep) {
        return;
    }
    const std::uint64_t nTo = (nEnd - kKeepCached) & ~std::uint64_t{4095};
    // One writer asks for each step; the others go on writing.
    if (!m_nDroppedTo.compare_exchange_strong(nDropped, nTo, std::memory_order_relaxed)) {
        return;
    }
    // Pages that were still dirty at the steps before are written back by now: that range is
    // covered once more. The system starts the write-back of what is still dirty and drops
    // what is clean. The duplicate keeps the file open until the dropper is done with it.
    const std::uint64_t nFrom = nDropped > 2 * kStep ? nDropped - 2 * kStep : 0;
    const int fdDup = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (fdDup >= 0) {
        CDropper::Instance().Ask(fdDup, nFrom, nTo - nFrom);
    }
}

}  // namespace win
