// The sessions of the traffic log: one compact row per session with its addresses, times,
// state and counts, kept up to date from the log's records. Readers (the session list)
// copy what changed since they last looked.
//
// Threads: Apply comes from the relay threads (under the module lock); the reads and Clear
// from any thread. One mutex guards the rows, held only for short copies.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "module/LogRecord.h"

enum class SessionState : std::uint8_t { Connecting, Open, HalfClosed, Closed, Reset, Refused };

// How a session ended.
enum class SessionEnd : std::uint8_t { Running, Closed, Reset, Refused, Stopped };

struct CSessionInfo {
    std::uint64_t nSessionId = 0;
    long nNumber = 0;
    CNetAddress client;
    CNetAddress server;
    std::string strServerHost;  // as entered (UTF-8)
    std::int64_t nStartUs = 0;
    std::int64_t nConnectedUs = 0;   // 0 until connected
    std::int64_t nEndUs = 0;         // 0 while running
    std::int64_t nClosedUs[2] = {};  // when each side sent its FIN (0: not yet)
    std::int64_t nResetUs = 0;
    SessionState state = SessionState::Connecting;
    SessionEnd end = SessionEnd::Running;
    LogDirection resetSide = LogDirection::ClientToServer;
    std::uint64_t nBytes[2] = {};  // indexed by LogDirection
    std::uint64_t nBlocks[2] = {};
    std::uint64_t nFirstTextOffset = UINT64_MAX;  // where its first block begins in the log
    std::uint64_t nFirstBlock = UINT64_MAX;       // index of its first block record
    std::uint64_t nLastBlock = UINT64_MAX;        // index of its last block record
    std::string strRequestLine;                   // the first line the client sent, when it is HTTP
    std::string strStatusLine;   // the first line the server answered, when it is HTTP
    std::string strTls;          // what TLS did ("TLS 1.3 h1", "passthrough"); empty: none
    std::string strOrigin;       // a resent session's source ("replay of #3"); empty: a client
    std::string strConditions;   // network conditions, and those that acted; empty: none
    std::uint64_t nVersion = 0;  // the table's version when the row last changed
};

// The state text shown in the list: "connecting", "open", "half-closed", "closed",
// "reset", "refused".
const char* SessionStateText(SessionState state);
// "a.b.c.d:port" or "[v6]:port"; empty when unknown.
std::string FormatNetAddress(const CNetAddress& address);

class CSessionTable {
public:
    // Rows changed since a version, with their row indices.
    struct CChanges {
        std::uint64_t nEpoch = 0;    // changes with every Clear: then all rows are new
        std::uint64_t nVersion = 0;  // pass it as nSince next time
        std::size_t nRows = 0;       // rows now
        std::vector<std::pair<std::uint32_t, CSessionInfo>> rows;
    };

    // Relay thread. A session record; `nBlock` is the block's index for Block records and
    // `nTextOffset` where its marker line begins in the text. Returns the row of the
    // session (created when a record of an unknown session comes, after a Clear).
    std::uint32_t Apply(const CLogRecord& record, std::uint64_t nBlock, std::uint64_t nTextOffset);

    // Any thread. Forgets the sessions that have ended; the running ones stay, their counts
    // and blocks emptied, under new row numbers.
    void Clear();

    // Any thread.
    std::size_t GetCount() const;
    std::uint64_t GetVersion() const;
    std::uint64_t GetEpoch() const;
    // Copies of the rows that changed after version nSince (all when nEpoch is not the
    // current epoch).
    CChanges GetChanges(std::uint64_t nEpoch, std::uint64_t nSince) const;
    // A copy of one row; false when there is none.
    bool GetRow(std::uint32_t nRow, CSessionInfo& info) const;
    // All rows.
    std::vector<CSessionInfo> GetAll() const;

private:
    // m_mutex held. The row of the session, created when unknown.
    std::uint32_t RowOf(const CLogRecord& record);

    mutable std::mutex m_mutex;
    std::vector<CSessionInfo> m_rows;
    std::unordered_map<std::uint64_t, std::uint32_t> m_byId;
    std::uint64_t m_nVersion = 0;
    std::uint64_t m_nEpoch = 1;
};
