// The traffic log: append-only UTF-8 text with bold runs, spooled to an unlinked
// temporary file, with a compact index in memory (see CLineIndex, CBoldRuns), so that a log
// of gigabytes costs a few megabytes of memory.
//
// Threads: appends come from any thread (relay threads under the module lock); each is
// complete when the call returns and they show in the order they were made. Reads come from
// any thread (the view, on the GUI thread) at the same time and never wait for a write to
// the disk. Appends never wait for readers beyond a few copied bytes, nor for the disk:
// the newest text stays in a ring of memory chunks, and a writer thread of the document's
// own moves every full chunk to the spool. Only when the whole ring waits for the disk does
// an append wait (or, while the spool fails, leave its text out, counted).
//
// Line breaks are LF, CR, or CR LF. Offsets are byte offsets into the UTF-8 text.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "logdoc/BlockRecords.h"
#include "logdoc/BoldRuns.h"
#include "logdoc/LineIndex.h"
#include "logdoc/SpoolFile.h"
#include "module/MainWindow.h"
#include "platform/WinTypes.h"

// Where one line lies in the text: its first byte and its length without the break.
struct CLogLineSpan {
    std::uint64_t nStart = 0;
    std::uint64_t nLength = 0;
};

// The state of the spool file's writes.
struct CSpoolStatus {
    bool bFailing = false;       // the last write to the spool failed
    int nErrno = 0;              // its error
    std::string strFolder;       // the folder of the spool
    std::uint64_t nDropped = 0;  // bytes not logged since the failure began
};

class CLogDocument : public ILogSink {
public:
    // The newest text is kept in memory, in kChunks chunks of kChunkBytes; the writer
    // thread moves each full chunk to the spool.
    static constexpr std::size_t kChunkBytes = 2 << 20;
    static constexpr std::size_t kChunks = 4;
    // Bytes of the text that memory holds at most.
    static constexpr std::size_t kTailBytes = kChunks * kChunkBytes;

    // Called on the document's writer thread when a spool write fails after working, or
    // works after failing: must neither block nor append. bFailing says which.
    using SpoolStatusFn = std::function<void(const CSpoolStatus&)>;
    // Progress of a save or load; false cancels it.
    using ProgressFn = std::function<bool(std::uint64_t nDone, std::uint64_t nTotal)>;

    // The spool goes to `strSpoolFolder`, or when empty to the folder CSpoolFile picks.
    // Raises a CException* when no spool file can be made.
    explicit CLogDocument(const std::string& strSpoolFolder = {});
    ~CLogDocument() override;
    CLogDocument(const CLogDocument&) = delete;
    CLogDocument& operator=(const CLogDocument&) = delete;

    // Any thread. Style 0 keeps the current format, 1 bold, 2 (or other) plain.
    void AppendLog(std::wstring_view text, int nStyle) override;
    // Any thread. Block bytes: UTF-8 kept, other bytes as Windows-1252, zero as U+2400.
    void AppendLogBytes(std::string_view bytes, int nStyle) override;
    void AppendLogUtf8(std::string_view text, int nStyle) override { AppendUtf8(text, nStyle); }
    // Relay thread, module lock held. Keeps the record of a block or session beside the text.
    void OnLogRecord(const CLogRecord& record) override;
    // The blocks and sessions of this log; emptied with it.
    CBlockRecords& GetRecords() { return *m_pRecords; }
    const CBlockRecords& GetRecords() const { return *m_pRecords; }

    // Any thread. Text that is UTF-8 already.
    void AppendUtf8(std::string_view text, int nStyle);

    // Any thread. Empties the log (the current format becomes plain) and clears the
    // modified flag.
    void Clear();

    // Any thread; lock-free. Changes with every append and every clear.
    std::uint64_t GetGeneration() const { return m_nGeneration.load(std::memory_order_acquire); }
    // Any thread; lock-free. Changes with every clear and load (line numbers start anew).
    std::uint64_t GetResetCount() const { return m_nResets.load(std::memory_order_acquire); }
    bool IsModified() const { return m_bModified.load(std::memory_order_acquire); }
    void SetModified(bool bModified) { m_bModified.store(bModified, std::memory_order_release); }

    // Any thread.
    std::uint64_t GetSize() const;
    std::uint64_t GetLineCount() const;
    // Lines nFirst.. (as many of nCount as there are).
    std::vector<CLogLineSpan> GetLines(std::uint64_t nFirst, std::size_t nCount) const;
    // Bytes [nOffset, nOffset + nLength), cut at the end of the text.
    std::string ReadBytes(std::uint64_t nOffset, std::uint64_t nLength) const;
    // Bold runs overlapping [nFrom, nTo).
    std::vector<CBoldRun> GetBoldRuns(std::uint64_t nFrom, std::uint64_t nTo) const;
    // Reads exactly [nOffset, nOffset + n) into p, without allocating; false when that
    // reaches past the end of the text or the spool cannot be read.
    bool ReadInto(std::uint64_t nOffset, char* p, std::size_t n) const;
    // The number of the line that holds byte nOffset (the last line past the end).
    std::uint64_t LineOfOffset(std::uint64_t nOffset) const;
    // The text of [nFrom, nTo) with every line break written as `eol`.
    std::string ExtractText(std::uint64_t nFrom, std::uint64_t nTo, std::string_view eol) const;

    // Any thread (the GUI's). Writes the text as it is now to the file, every line break as
    // CR LF, safely: into a new file in the same folder that replaces the old one only once
    // all is written and flushed. 0 or the Win32 error code (ERROR_OPERATION_ABORTED when
    // the progress callback cancelled); the old file stays on failure. Clears the modified
    // flag when nothing was appended meanwhile.
    DWORD SaveTo(const std::wstring& strPath, const ProgressFn& fnProgress = {});
    // Any thread (the GUI's). Replaces the text with the file's, read as UTF-8 with the
    // bytes that are not UTF-8 as Windows-1252. Appends wait meanwhile. On failure or
    // cancellation the log holds what was read. 0 or the Win32 error code; the modified
    // flag is clear only after a complete load.
    DWORD LoadFrom(const std::wstring& strPath, const ProgressFn& fnProgress = {});

    // Set once, before appends begin.
    void SetSpoolStatusHandler(SpoolStatusFn fn);
    CSpoolStatus GetSpoolStatus() const;
    const std::string& GetSpoolFolder() const { return m_spool.GetFolder(); }
    // Bytes of memory the index, the runs and the tail hold.
    std::uint64_t GetMemoryUse() const;

private:
    friend class CLogDocumentTestAccess;

    // m_appendMutex held. The append itself.
    void AppendLocked(std::string_view text, int nStyle);
    // m_appendMutex held. Copies and publishes what fits into the chunks; a full chunk goes
    // to the writer, and the append waits for a free one while the spool works. Returns
    // the bytes taken: fewer than text.size() only while the spool fails.
    std::size_t CopyIntoChunks(std::string_view text);
    // The document's writer thread: writes every full chunk to the spool, in order.
    void WriterLoop();
    // m_stateMutex held. The nIndex-th chunk in use.
    char* ChunkLocked(std::size_t nIndex) const;
    // Writer thread. Records a failed or a successful spool write and reports a change.
    void NoteSpoolResult(int nErrno);
    // m_stateMutex held. Counts bytes left out; 0 resets the count.
    void AddDroppedLocked(std::uint64_t nBytes);
    void ClearLocked();
    // Reads [nOffset, nOffset + n) of the text below `nSize` into p; m_resetMutex held
    // shared by the caller.
    bool ReadRaw(std::uint64_t nOffset, char* p, std::size_t n) const;
    // Where the line that starts at nStart (line number nLine) ends, below nSize.
    std::uint64_t FindLineEnd(std::uint64_t nLine, std::uint64_t nStart, std::uint64_t nSize) const;

    CSpoolFile m_spool;
    std::unique_ptr<CBlockRecords> m_pRecords;  // its spools beside the text's

    // Serialises appends, clears and loads (recursive: a load's own appends).
    std::recursive_mutex m_appendMutex;
    // Readers hold it shared, clears exclusive, so that a read never sees a text emptied
    // half-way.
    mutable std::shared_mutex m_resetMutex;
    // Guards the index, the runs and the published sizes; held only for short copies.
    mutable std::mutex m_stateMutex;

    CLineIndex m_index;            // m_stateMutex
    CBoldRuns m_bold;              // m_stateMutex
    std::uint64_t m_nSize = 0;     // m_stateMutex: bytes of text
    std::uint64_t m_nSpooled = 0;  // m_stateMutex: bytes in the spool; the rest is in chunks
    // The ring of chunks: text [m_nSpooled, m_nSize) lies in m_nChunksInUse chunks from
    // m_nFirstChunk on, every one full but the last. A chunk that is full (all but the
    // last in use) never changes until the writer has spooled it; the last one is written
    // past m_nSize only under m_appendMutex, where no reader looks.
    std::unique_ptr<char[]> m_pChunks;
    std::size_t m_nFirstChunk = 0;       // m_stateMutex
    std::size_t m_nChunksInUse = 1;      // m_stateMutex
    bool m_bWriting = false;             // m_stateMutex: the writer is writing the first chunk
    bool m_bStopWriter = false;          // m_stateMutex
    std::condition_variable m_writerCv;  // work for the writer, or a stop
    std::condition_variable m_spaceCv;   // a chunk is free, the spool fails, or the writer idles
    bool m_bBoldFormat = false;          // m_appendMutex: the current format

    std::string m_convert;       // m_appendMutex: reused conversion buffer
    CSpoolStatus m_spoolStatus;  // m_stateMutex
    std::mutex m_statusFnMutex;  // held while the handler is set or called
    SpoolStatusFn m_fnSpoolStatus;

    std::atomic<std::uint64_t> m_nGeneration{0};
    std::atomic<std::uint64_t> m_nResets{0};
    std::atomic<bool> m_bModified{false};

    std::thread m_writer;  // last: starts once everything above is made
};
