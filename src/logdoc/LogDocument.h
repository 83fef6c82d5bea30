// The traffic log: append-only UTF-8 text with bold runs, with a compact index in memory
// (see CLineIndex, CBoldRuns), so that a log of gigabytes costs a few megabytes of memory.
// Relayed blocks are kept once, as their bytes, in the records' raw spool, and their text
// is made from those bytes when it is read (see CLogSegments); marker lines, session lines
// and other text are spooled as they are to an unlinked temporary file of the document's
// own.
//
// Threads: appends come from any thread (relay threads under the module lock); each is
// complete when the call returns and they show in the order they were made. Reads come from
// any thread (the view, on the GUI thread) at the same time and never wait for a write to
// the disk. Appends never wait for readers beyond a few copied bytes, nor for the disk:
// the newest text stays in a ring of memory chunks, and a writer thread of the document's
// own moves every full chunk to the spool. Only when the whole ring waits for the disk does
// an append wait (or, while the spool fails, leave its text out, counted).
//
// Line breaks are LF, CR, or CR LF. Offsets are byte offsets into the UTF-8 text, the text as
// the log shows it, whichever way each part of it is kept.
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
#include "logdoc/LogSegments.h"
#include "logdoc/SpoolFile.h"
#include "module/MainWindow.h"
#include "platform/WinTypes.h"

// Where one line lies in the text: its first byte and its length without the break.
struct CLogLineSpan {
    std::uint64_t nStart = 0;
    std::uint64_t nLength = 0;
};

// A stretch of the log's text as a search for ASCII text reads it without making the text
// (see CLogDocument::ReadSearchable): literal text as it is, each block as its bytes.
class CSearchableText {
public:
    struct CPiece {
        std::size_t nAt = 0;      // where the piece starts in Bytes()
        std::uint64_t nText = 0;  // where it starts in the text
        bool bBlock = false;      // a block's bytes (else literal text)
    };

    const std::string& Bytes() const { return m_bytes; }
    // The text offset of Bytes()[nAt], which must be an ASCII byte other than zero. Quick
    // for offsets that grow from one call to the next.
    std::uint64_t TextOffset(std::size_t nAt);

private:
    friend class CLogDocument;

    std::string m_bytes;
    std::vector<CPiece> m_pieces;
    // The last offset asked for, its piece and its text offset.
    std::size_t m_nCursorPiece = SIZE_MAX;
    std::size_t m_nCursorAt = 0;
    std::uint64_t m_nCursorText = 0;
    // Reused by the reads.
    std::vector<CLogSegment> m_segments;
    std::string m_raw;
    std::string m_literal;
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
    // The newest literal text is kept in memory, in kChunks chunks of kChunkBytes; the
    // writer thread moves each full chunk to the spool.
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
    // The bytes are kept as they are; their text is made when read.
    void AppendLogBytes(std::string_view bytes, int nStyle) override;
    // Blocks below this many bytes are kept as text (a record costs more than their text).
    static constexpr std::size_t kSmallBlock = 64;
    // Longer blocks are kept in pieces of about this many bytes, so that reading a line
    // converts at most a piece.
    static constexpr std::size_t kPieceBytes = 64 * 1024;
    void AppendLogUtf8(std::string_view text, int nStyle) override { AppendUtf8(text, nStyle); }
    // Relay thread, module lock held. Keeps the record of a block or session beside the
    // text; a Block whose bytes were just appended by AppendLogBytes shares them.
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
    // Text [nFrom, nTo) as a search for ASCII text without zero bytes may read it: literal
    // text as it is and every block that overlaps the range whole, as its bytes. Such text
    // is found in both at the same places: an ASCII byte other than zero is the same byte
    // in a block's text, and every other byte of a block becomes bytes above 0x7F (a zero
    // byte too), so the ASCII runs of both are the same. This spares the conversion. False
    // when the range reaches past the end or the spool cannot be read.
    bool ReadSearchable(std::uint64_t nFrom, std::uint64_t nTo, CSearchableText& out) const;
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
    // Bytes of memory the index, the runs, the segments and the tails hold.
    std::uint64_t GetMemoryUse() const;
    // Any thread. Bytes the log's spool files hold: its literal text, the relayed blocks'
    // bytes and their records.
    std::uint64_t GetSpoolSize() const;

private:
    friend class CLogDocumentTestAccess;

    // m_appendMutex held. The append itself.
    void AppendLocked(std::string_view text, int nStyle);
    // m_appendMutex held. A block's bytes, kept in the raw spool (as text when they cannot be,
    // or when the block is small); its lines and text length are counted from the bytes.
    void AppendBlockLocked(std::string_view bytes, int nStyle);
    // m_appendMutex held. After the spool failed and works again: a line that says what the
    // log is missing.
    void NoteDroppedLocked();
    // m_appendMutex held. Converts bytes into m_convert; the text.
    std::string_view ConvertLocked(std::string_view bytes);
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
    // Reads [nOffset, nOffset + n) of the text into p; m_resetMutex held shared by the
    // caller.
    bool ReadRaw(std::uint64_t nOffset, char* p, std::size_t n) const;
    // ReadRaw segment by segment, for short reads; and for long ones, with one read of the
    // raw spool and one of the literal text's.
    bool ReadPieces(std::uint64_t nOffset, char* p, std::size_t n) const;
    bool ReadBulk(std::uint64_t nOffset, char* p, std::size_t n) const;
    // The same for [nOffset, nOffset + n) of the literal text (offsets into its spool).
    bool ReadLiteral(std::uint64_t nOffset, char* p, std::size_t n) const;
    // The text of a block segment, made from its raw bytes (kept per thread for the next
    // read); empty on a read error. m_resetMutex held shared by the caller.
    std::string_view BlockText(const CLogSegment& segment) const;
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
    CLogSegments m_segments;       // m_stateMutex
    std::uint64_t m_nSize = 0;     // m_stateMutex: bytes of text
    std::uint64_t m_nLiteral = 0;  // m_stateMutex: bytes of literal text
    std::uint64_t m_nSpooled = 0;  // m_stateMutex: literal bytes in the spool; the rest in chunks
    // The ring of chunks: literal text [m_nSpooled, m_nLiteral) lies in m_nChunksInUse
    // chunks from m_nFirstChunk on, every one full but the last. A chunk that is full (all
    // but the last in use) never changes until the writer has spooled it; the last one is
    // written past m_nLiteral only under m_appendMutex, where no reader looks.
    std::unique_ptr<char[]> m_pChunks;
    std::size_t m_nFirstChunk = 0;       // m_stateMutex
    std::size_t m_nChunksInUse = 1;      // m_stateMutex
    bool m_bWriting = false;             // m_stateMutex: the writer is writing the first chunk
    bool m_bStopWriter = false;          // m_stateMutex
    std::condition_variable m_writerCv;  // work for the writer, or a stop
    std::condition_variable m_spaceCv;   // a chunk is free, the spool fails, or the writer idles
    bool m_bBoldFormat = false;          // m_appendMutex: the current format

    std::string m_convert;               // m_appendMutex: reused conversion buffer
    CLineIndex::CBlockBreaks m_counted;  // m_appendMutex: a piece's breaks, counted unlocked
    // m_appendMutex: the bytes of the last block appended and where the raw spool keeps
    // them, for the record that follows it.
    const char* m_pLastBlock = nullptr;
    std::size_t m_nLastBlock = 0;
    std::uint64_t m_nLastBlockRaw = UINT64_MAX;
    const std::uint64_t m_nId;   // tells this document's converted blocks from others'
    CSpoolStatus m_spoolStatus;  // m_stateMutex
    std::mutex m_statusFnMutex;  // held while the handler is set or called
    SpoolStatusFn m_fnSpoolStatus;

    std::atomic<std::uint64_t> m_nGeneration{0};
    std::atomic<std::uint64_t> m_nResets{0};
    std::atomic<bool> m_bModified{false};

    std::thread m_writer;  // last: starts once everything above is made
};
