// The writer of one output of the command-line relay's traffic log (the log file, or the
// standard output): appended blocks are collected in memory and written in batches by a
// thread of its own, at least every few milliseconds, so that relaying threads do not wait
// for the disk or the terminal and `tail -f` follows within a moment. Relayed blocks are
// made into text on that thread, straight into a write buffer of bounded size, so that a
// batch costs a few large writes and its text is never held whole.
//
// When the output refuses a write (a full disk, a file size limit, a closed pipe), the
// writer says so once through its reporter, with the output's name and the system's error
// text, keeps what comes in memory (in order, up to a bound) and tries again every so
// often. What does not fit is left out and counted; when writing works again, a line in the
// output says how many bytes are missing there. Nothing that was appended is lost silently:
// LostBytes tells, at the end, whether the output is complete.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "app/DirectFile.h"

// The bounds of a CLogFileWriter.
struct CLogWriterLimits {
    // A batch is written once this much waits, or after `flushInterval`.
    std::size_t nBatch = 256 * 1024;
    // While the output takes writes, appenders wait while this much waits already: the
    // relay slows to the pace of the disk instead of the queue growing.
    std::size_t nCapacity = 1024 * 1024;
    // One write takes up to this much text (more only for one block whose text is larger).
    // Small enough that the text is still in the processor's cache when the system copies
    // it into the file: 512 KiB cost a sixth more CPU per relayed byte than 128.
    std::size_t nWriteChunk = 128 * 1024;
    // A regular file that the writer owns is written around the page cache (CDirectFile),
    // this much at a time: a direct write costs the system little CPU whatever its size, but
    // waits for the device.
    bool bDirect = true;
    std::size_t nDirectChunk = 2 * 1024 * 1024;
    // nBatch and nCapacity at least, for a file written directly.
    std::size_t nDirectBatch = 1024 * 1024;
    std::size_t nDirectCapacity = 4 * 1024 * 1024;
    // While the output refuses writes, this much is kept; more is left out.
    std::size_t nBacklog = 64 * 1024 * 1024;
    std::chrono::milliseconds flushInterval{5};
    std::chrono::milliseconds retryInterval{200};
    // Whether a gap left by a refused output gets a line of text that says so; off for an
    // output of binary blocks (a capture), where the gap falls between whole blocks.
    bool bNoteGaps = true;
};

class CLogFileWriter {
public:
    using Limits = CLogWriterLimits;
    // Called on the writer's thread, never under its lock, with one line of text (no end of
    // line) that tells the user about the output.
    using Reporter = std::function<void(const std::string&)>;

    // Writes to `fd`, named `strName` in the messages; closes `fd` at the end when `bOwnsFd`.
    CLogFileWriter(int fd, bool bOwnsFd, std::string strName, Reporter fnReport,
                   Limits limits = Limits());
    // Writes what is left (Close) unless Close ran.
    ~CLogFileWriter();
    CLogFileWriter(const CLogFileWriter&) = delete;
    CLogFileWriter& operator=(const CLogFileWriter&) = delete;

    // Creates or empties the file at `strPath`, named by what it is (`pszWhat`) and its
    // path; null with the reason in `strError` (the path and the system's error text) when
    // it cannot be opened.
    static std::unique_ptr<CLogFileWriter> Open(const std::string& strPath, Reporter fnReport,
                                                std::string& strError, Limits limits = Limits(),
                                                const char* pszWhat = "log file");

    // Any thread. Queues the bytes behind everything appended before. Waits only while the
    // output takes writes and more than the capacity is waiting (and StopWaiting was not
    // called); never while the output refuses writes.
    void Append(std::string_view bytes);
    // Any thread. The same for the bytes of a relayed block, which the output shows as the
    // log does (win::AnsiToUtf8 with zero bytes shown): they are made into text on the
    // writer's thread, not the caller's. Counted as bytes of the block.
    void AppendBlock(std::string_view bytes);

    // Any thread. From now on Append never waits: the program is stopping and the threads
    // that still log must end promptly. What they append is still written.
    void StopWaiting();

    // Any thread. Asks for everything appended so far to be written now and waits until it
    // is, or until a write has failed, or `timeout` has passed; true when it was written.
    bool Flush(std::chrono::milliseconds timeout);

    // Not on the writer's thread; once. Writes what is left (one more try if the output
    // refuses), ends the writer's thread and closes the descriptor if owned. Afterwards
    // Append only counts what it is given as lost.
    void Close();

    // Any thread. Bytes that did not reach the output: left out while it refused writes,
    // or still unwritten when Close gave up.
    std::uint64_t LostBytes() const;
    // Any thread. Whether a write has failed at any time (reported through the reporter).
    bool HasFailed() const;
    // Any thread, after Close. Whether everything appended reached the output.
    bool IsComplete() const;
    const std::string& Name() const { return m_strName; }

private:
    void Run();
    // Writer thread, lock not held: writes the rest of the batch in m_out (as text where it
    // holds blocks); the error, or 0. After an error it goes on where it stopped. `bAll`
    // false: the last part of a block stays in memory for the next batch (or an empty batch
    // when nothing more comes for a moment).
    int WriteOut(bool& bAll);
    // m_mutex held: queues the note of the bytes left out since the last one, if any.
    void QueueGapNote();
    // m_mutex held: whether Append must wait for room.
    bool MustWait() const;
    // Both appends; `bBlock`: the bytes are a block to convert.
    void AppendBytes(std::string_view bytes, bool bBlock);
    // WriteOut for a file written around the cache: everything through m_text, whole blocks
    // straight to the device, the rest through the cache at the end; or (`bAll` false) the
    // rest stays in m_text for the next batch.
    int WriteOutDirect(bool& bAll);
    // Writer thread, lock not held: makes m_out from m_nOutDone on into text in m_text,
    // up to about `nChunk` bytes; a block is added whole while m_text holds less than
    // `nKeep` (text that must stay ahead of it).
    void FillText(std::size_t nChunk, std::size_t nKeep);
    // Writer thread: m_text holds at least `nBytes` (its text kept).
    void ReserveText(std::size_t nBytes);
    // Writer thread: a buffer grown for one large block goes back to the usual size.
    void ShrinkText();
    // m_mutex held, writer thread: the batch's bytes not yet written, raw and converted.
    std::size_t OutLeft() const {
        return (m_out.size() - m_nOutDone) + (m_nTextSize - m_nTextDone) +
               (m_pDirect ? m_pDirect->Queued() : 0);
    }

    const int m_fd;
    const bool m_bOwnsFd;
    const std::string m_strName;
    const Reporter m_fnReport;
    Limits m_limits;  // set before the writer's thread starts

    mutable std::mutex m_mutex;
    std::condition_variable m_cvWork;  // the writer waits for bytes, a flush or the close
    std::condition_variable m_cvRoom;  // appenders wait for room; flushers for progress
    std::string m_pending;             // appended, not yet taken by the writer
    // Where blocks to convert lie in m_pending (offset, length), in order.
    std::vector<std::pair<std::size_t, std::size_t>> m_pendingBlocks;
    std::uint64_t m_nBatchUnits = 0;  // guarded: appended bytes in m_out, counted once written
    std::string m_out;                // writer thread only: the batch being written, as appended
    std::vector<std::pair<std::size_t, std::size_t>> m_outBlocks;  // writer only: m_out's blocks
    std::size_t m_iOutBlock = 0;  // writer thread only: the next of m_outBlocks
    std::size_t m_nOutDone = 0;   // writer thread only: bytes of m_out written or in m_text
    // Writer thread only: text made from m_out, to write; aligned for direct writes.
    CDirectFile::Text m_text;
    std::size_t m_nTextSize = 0;             // writer thread only: bytes of text in m_text
    std::size_t m_nTextDone = 0;             // writer thread only: bytes of m_text written
    std::unique_ptr<CDirectFile> m_pDirect;  // set before the thread starts: a file of ours
    std::size_t m_nOutLeft = 0;        // guarded: m_out's unwritten bytes, for the backlog bound
    std::uint64_t m_nAppended = 0;     // bytes accepted into m_pending, notes included
    std::uint64_t m_nWritten = 0;      // bytes that reached the output
    std::uint64_t m_nHeldUnits = 0;    // bytes of batches whose last text waits for the next
    std::uint64_t m_nLost = 0;         // bytes that never will
    std::uint64_t m_nUnnoted = 0;      // bytes left out since the last note in the output
    std::uint64_t m_nFlushTarget = 0;  // write now up to here
    std::uint64_t m_nAttempts = 0;     // write attempts that failed
    bool m_bFailing = false;           // the last write failed
    bool m_bEverFailed = false;
    bool m_bNoWait = false;
    bool m_bClosing = false;
    bool m_bClosed = false;
    bool m_bCloseFailed = false;
    std::thread m_thread;
};
