// The log's records of relayed blocks: one small fixed-size record per block (its session,
// direction, arrival time and place in the text) and the block's bytes, both kept in
// unlinked spool files beside the text's, with a small tail of each in memory (the bytes in
// a CRawSpool). Memory stays flat however long the log grows. The sessions the blocks
// belong to are in a CSessionTable.
//
// Threads: Apply comes from the relay threads (under the module lock, so in the log's
// order); the reads and Clear from any thread. One mutex guards the files' state.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "logdoc/RawSpool.h"
#include "logdoc/SessionTable.h"
#include "logdoc/SpoolFile.h"
#include "module/LogRecord.h"

// One block as stored (40 bytes).
struct CBlockRecord {
    std::uint64_t nTextStart = 0;  // where its marker line begins in the log's text
    std::uint64_t nRawOffset = 0;  // where its bytes are in the raw spool
    std::int64_t nTimeUs = 0;
    std::uint32_t nTextLength = 0;  // marker and text
    std::uint32_t nRawLength = 0;
    std::uint32_t nSessionRow = 0;  // its row in the session table
    std::uint8_t nDirection = 0;    // a LogDirection
    std::uint8_t pad[3] = {};
};
static_assert(sizeof(CBlockRecord) == 40);

class CBlockRecords {
public:
    static constexpr std::size_t kTailRecords = 1024;

    // The spools go to `strFolder` (empty: where CSpoolFile picks). Without spool files
    // (none can be made) nothing is recorded; GetError says why.
    explicit CBlockRecords(const std::string& strFolder = {});
    CBlockRecords(const CBlockRecords&) = delete;
    CBlockRecords& operator=(const CBlockRecords&) = delete;

    // Relay thread, module lock held. `nTextSize` is the size of the log's text now. A
    // Block whose bytes StoreRaw kept already names them by `nStoredRaw` (else UINT64_MAX).
    void Apply(const CLogRecord& record, std::uint64_t nTextSize,
               std::uint64_t nStoredRaw = UINT64_MAX);
    // Any thread (the log's appends). Keeps bytes in the raw spool, behind the ones before;
    // their offset there, or UINT64_MAX when they cannot be kept.
    std::uint64_t StoreRaw(std::string_view bytes);
    // Any thread. Reads raw bytes [nOffset, nOffset + n) into p; false on a read error or
    // past the end.
    bool ReadRawAt(std::uint64_t nOffset, char* p, std::size_t n) const;
    // Any thread. Bytes in the raw spool and its tail.
    std::uint64_t GetRawSize() const;
    // Any thread. Forgets every block (and the sessions that have ended).
    void Clear();

    // Any thread.
    std::uint64_t GetBlockCount() const;
    // Where the text of a block that has begun but has no record yet starts (its marker
    // is being written); UINT64_MAX when none is open. Text before it is settled.
    std::uint64_t GetOpenBlockStart() const;
    // Records nFirst.. (as many of nCount as there are); false on a read error.
    bool ReadBlocks(std::uint64_t nFirst, std::size_t nCount, std::vector<CBlockRecord>& out) const;
    // Where the lines that a session's start and end write begin in the text, with the
    // time of their record: the pairs whose offset is in [nFrom, nTo), in log order.
    void ReadSessionLineTimes(std::uint64_t nFrom, std::uint64_t nTo,
                              std::vector<std::pair<std::uint64_t, std::int64_t>>& out) const;
    // The bytes of a block; false on a read error.
    bool ReadRaw(const CBlockRecord& block, std::string& out) const;
    // 0, or the errno of the first failed spool write or open since the last Clear.
    int GetError() const;
    std::uint64_t GetMemoryUse() const;

    CSessionTable& Sessions() { return m_sessions; }
    const CSessionTable& Sessions() const { return m_sessions; }

private:
    // m_mutex held. Writes the tail of records to its spool; false on failure (then noted).
    bool FlushRecordsLocked();
    // m_mutex held. StoreRaw itself.
    std::uint64_t StoreRawLocked(std::string_view bytes);
    void NoteError(int nErrno);

    CSessionTable m_sessions;
    mutable std::mutex m_mutex;
    CSpoolFile m_recordSpool;
    CRawSpool m_rawSpool;
    bool m_bOpen = false;  // set once, by the constructor
    int m_nError = 0;
    std::uint64_t m_nPendingStart = 0;  // the text size at the last BlockBegin
    bool m_bBlockOpen = false;          // a BlockBegin without its Block yet
    // Session id -> the text size at its BlockBegin, while its Block has not come. In HTTP
    // mode a marker line is written before the request arrives, so other sessions' blocks
    // may come between a session's BlockBegin and its Block.
    std::unordered_map<std::uint64_t, std::uint64_t> m_blockStarts;
    // The text offset and time of every session start and end line (16 bytes each).
    std::vector<std::pair<std::uint64_t, std::int64_t>> m_sessionLines;
    std::uint64_t m_nRecordsSpooled = 0;  // records in the file
    std::vector<CBlockRecord> m_records;  // the tail of records
};
