// The relayed bytes of the log, kept once: an unlinked spool file that only grows (until a
// Clear), with its newest bytes in memory.
//
// A relay thread stores a block by copying it into a staging buffer of kChunk bytes. A full
// buffer goes to a thread of this object's own, which writes it around the page cache
// (O_DIRECT, through a second descriptor of the same file) while the relay fills the next
// one. Through the cache, each gigabyte of spool cost the relay's thread a copy and the file
// system's delayed allocation, and the system more again to write the pages back and drop
// them: several times what the direct write costs. Nobody reads these bytes back soon:
// the view's lines and Find read them later, through the other descriptor.
//
// The bytes of the buffers not yet written are read from memory, so everything stored reads
// back at once. A file system that refuses direct writes gets them through the cache.
//
// A failed write keeps its buffer: nothing stored is lost. The writer then waits; the next
// Store that needs room tries the write again, and while it still fails, Store keeps nothing
// more and says so (the log's text takes the bytes instead).
//
// Threads: every operation may come from any thread; one mutex guards the state, and the
// file writes happen outside it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "logdoc/SpoolFile.h"
#include "platform/AlignedBuffer.h"

class CRawSpool {
public:
    // The bytes of one staging buffer, and so of one write; a whole number of blocks.
    static constexpr std::size_t kChunk = 2 << 20;
    // Staging buffers in memory at most: the one being filled and those waiting for the disk.
    static constexpr std::size_t kMaxChunks = 4;

    CRawSpool() = default;
    // Stops the writes' thread; what it has not written is dropped with the file.
    ~CRawSpool();
    CRawSpool(const CRawSpool&) = delete;
    CRawSpool& operator=(const CRawSpool&) = delete;

    // Any thread, before the others. Creates the file (see CSpoolFile::Open); 0 or the errno.
    int Open(const std::string& strFolder = {});
    bool IsOpen() const { return m_file.IsOpen(); }

    // Any thread. Keeps the bytes behind those before; their offset, or UINT64_MAX when they
    // cannot be kept (a write of earlier bytes failed again; nError then says why). May
    // wait while every staging buffer waits for the disk.
    std::uint64_t Store(std::string_view bytes, int& nError);
    // Any thread. Reads bytes [nOffset, nOffset + n) into p; false on a read error or past
    // the end.
    bool ReadAt(std::uint64_t nOffset, char* p, std::size_t n) const;
    // Any thread. The bytes stored.
    std::uint64_t Size() const;
    // Any thread. Forgets every byte; waits for a write under way.
    void Clear();

    // Any thread. The staging buffers' memory (at most kMaxChunks * kChunk).
    std::uint64_t MemoryUse() const;
    // Any thread. Bytes written to the file, and whether writes still go around the cache.
    std::uint64_t Written() const;
    bool IsDirect() const;

private:
    struct Chunk {
        win::AlignedBuffer p;
    };

    // The writes' thread: writes the full buffers in order.
    void Run();
    // m_mutex held (through `lock`, released while the disk works): writes the front full
    // chunk, and on success makes its buffer spare; 0 or the errno (also kept in m_nError).
    int WriteFrontLocked(std::unique_lock<std::mutex>& lock);
    // m_mutex not held: writes the chunk at nOffset, around the cache while bDirect (which
    // turns false when the file system refuses that); 0 or the errno.
    int WriteChunk(const char* p, std::uint64_t nOffset, bool& bDirect);
    // m_mutex held (through `lock`): a staging buffer to fill, waiting for the writes' thread
    // when kMaxChunks are in use; false when it stopped on a failed write (nError).
    bool TakeBufferLocked(std::unique_lock<std::mutex>& lock, int& nError);
    // m_mutex held (through `lock`): after a failed write, lets the writes' thread try it
    // again and waits for the outcome; 0 or the errno.
    int RetryLocked(std::unique_lock<std::mutex>& lock);

    CSpoolFile m_file;
    int m_fdDirect = -1;  // the same file, opened for direct writes; -1 without

    std::mutex m_storeMutex;  // one Store (or Clear) at a time; taken before m_mutex
    mutable std::mutex m_mutex;
    std::condition_variable m_cvWork;  // the writes' thread waits for a chunk, a retry or the end
    std::condition_variable m_cvDone;  // the others wait for a written chunk or a failure
    // The bytes past m_nWritten, in order: the full chunks waiting (the front one may be
    // being written), then the one being filled (m_fill, m_nFill bytes of it).
    std::deque<Chunk> m_full;
    Chunk m_fill;
    std::size_t m_nFill = 0;
    std::vector<Chunk> m_spare;    // written buffers, to fill again
    std::size_t m_nBuffers = 0;    // buffers allocated, at most kMaxChunks
    std::uint64_t m_nWritten = 0;  // bytes in the file; a multiple of kChunk
    int m_nError = 0;              // the front chunk's write failed with this; the thread waits
    bool m_bRetry = false;         // asked to try the failed write again
    bool m_bWriting = false;       // the front chunk is being written, outside the lock
    bool m_bDirect = true;         // writes go around the cache
    std::uint64_t m_nClears = 0;   // Clears so far: a read of the file checks none came
    bool m_bStop = false;
    std::thread m_thread;  // started with the first full chunk
};
