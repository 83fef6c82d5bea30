// Writing a regular file around the page cache. A text log grows by gigabytes that nobody
// reads back while it is written; through the cache, every 4 KiB of it costs the system a
// copy and a filesystem's delayed-allocation bookkeeping, more CPU than making the text.
// Written with O_DIRECT, whole blocks go from the writer's buffer to the device.
//
// The writer fills a buffer whose first byte lies at a block boundary of the file (Base).
// Its whole blocks are handed to a thread of this object's own, which writes them in order
// while the writer fills the next buffer (a direct write waits for the device); the rest,
// less than a block, moves to the front of the next buffer. When the writer goes idle, that
// rest goes into the file through the cache, so that the file is complete and `tail -f`
// sees it; it stays in the buffer and is written again, directly, with the block it begins.
// A file system that refuses direct writes gets everything through the cache from then on.
//
// After a failed write, nothing behind it is written (the file never gets a hole); the
// writer learns of the failure at its next call, and the call after that tries again.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/AlignedBuffer.h"

class CDirectFile {
public:
    static constexpr std::size_t kBlock = win::kDirectBlock;

    using Buffer = win::AlignedBuffer;
    static Buffer AllocateBuffer(std::size_t nBytes) { return win::AllocateAligned(nBytes); }
    // A buffer and its size.
    struct Text {
        Buffer p;
        std::size_t nCapacity = 0;
    };

    // Takes `fd` over for direct writes when it is a regular file at a block boundary, not
    // opened for appending, and the system lets it be written directly; null otherwise (the
    // descriptor is left as it was). Not owned. `nChunk`: the usual size of a buffer.
    static std::unique_ptr<CDirectFile> Attach(int fd, std::size_t nChunk);
    // Writer thread. Waits for the writes under way (what is queued behind a failure is
    // dropped), clears O_DIRECT again and leaves the descriptor's position after what was
    // written, for whoever writes to it next (a shared standard output).
    ~CDirectFile();
    CDirectFile(const CDirectFile&) = delete;
    CDirectFile& operator=(const CDirectFile&) = delete;

    // Writer thread. `nSize` bytes of `text` are text at the file offset Base(); the first
    // `nDone` of them are in the file already (through the cache). Hands every whole block
    // over to be written and gives `text` a buffer that holds the rest at its front, with
    // `nSize` and `nDone` lowered to match; waits while two buffers are being written. 0, or
    // the error of an earlier write (`text` is then left as it is).
    int WriteBlocks(Text& text, std::size_t& nSize, std::size_t& nDone);
    // Writer thread. Waits until everything handed over is written, then writes the bytes
    // from `nDone` to `nSize` through the cache and sets `nDone` to `nSize`. 0, or the error.
    int WriteRest(const char* pText, std::size_t nSize, std::size_t& nDone);

    // Writer thread. 0 while no write has failed; after a failure, its error once, and the
    // next call tries the failed write again and waits for it (and what is queued behind).
    int CheckWrites();

    // Writer thread. The file offset of the text's first byte.
    std::uint64_t Base() const { return m_nBase; }
    // Any thread. Text handed over and not yet written.
    std::size_t Queued() const;
    // Any thread. Whether writes still go around the cache.
    bool IsDirect() const;

private:
    struct Job {
        Text text;
        std::size_t nSize = 0;
        std::uint64_t nOffset = 0;
    };

    CDirectFile(int fd, int nFlags, std::uint64_t nBase, std::size_t nChunk);
    // The writes' thread: writes the queued jobs in order.
    void Run();
    // m_mutex not held, by the writes' thread or (while nothing is queued) the writer:
    // writes all `nLeft` bytes at `nOffset`, directly while that works and `bMayGoDirect`,
    // else through the cache; 0 or the error.
    int WriteAt(const char* p, std::size_t nLeft, std::uint64_t nOffset, bool bMayGoDirect);
    // Either thread, while the other does not write: the descriptor's O_DIRECT on or off;
    // 0 or the error.
    int SetDirectFlag(bool bOn);
    // Writer thread: waits until nothing is queued, or a write failed; after a failure,
    // tries the failed write again first. 0 or the error.
    int Drain();
    // m_mutex held: a failure reported, the next call tries again.
    int TakeError();

    const int m_fd;
    const int m_nFlags;          // the descriptor's flags without O_DIRECT
    const std::size_t m_nChunk;  // the usual buffer size
    std::uint64_t m_nBase;       // writer thread only: the file offset of the text's first byte

    mutable std::mutex m_mutex;
    std::condition_variable m_cvWork;  // the writes' thread waits for a job, a retry or the end
    std::condition_variable m_cvDone;  // the writer waits for a buffer, a drain or a failure
    std::deque<Job> m_jobs;            // in file order; the front one is being written
    std::vector<Text> m_free;          // written buffers, for the writer to fill again
    std::size_t m_nQueued = 0;         // bytes in m_jobs
    std::uint64_t m_nEnd;              // the end of what is in the file
    int m_nError = 0;                  // the front job failed with this; the thread waits
    bool m_bErrorTaken = false;        // the writer was told: its next call tries again
    bool m_bDirect = true;             // writes go around the cache
    bool m_bFlagOn = true;             // O_DIRECT is set on the descriptor now
    bool m_bStop = false;
    std::thread m_thread;  // started with the first job
};
