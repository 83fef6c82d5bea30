// What the traffic log learns about a session beside its text: the relayed blocks with
// their bytes and arrival times, and the session's addresses, start and end. The relay
// hands these to the log sink under the module lock, next to the text they belong to, so
// their order is the log's order.
#pragma once

#include <cstdint>
#include <string_view>

enum class LogRecordKind : std::uint8_t {
    SessionStart,      // a local client connected: nSession, client
    SessionConnected,  // the connection to the server is up: server, strServerHost
    SessionRefused,    // connecting to the server failed: strServerHost, server's port
    BlockBegin,        // the marker line of a block is about to be written
    Block,             // the block's text is written: direction, bytes
    SideClosed,        // the `direction` side ended its stream in order (a FIN)
    SideReset,         // the `direction` side's connection failed or was reset
    SessionEnd,        // the session's stop line: both connections are closed now
    SessionTls,        // what TLS did in the session, in short ("TLS 1.3 h1"): bytes
    SessionOrigin,     // a session that resends recorded bytes: what ("replay of #3"), bytes
    // The network conditions the session runs under, or one that ended it: bytes.
    SessionConditions,
};

// Who sent a block, or which connection a close belongs to: the local client's, or the
// server's.
enum class LogDirection : std::uint8_t { ClientToServer = 0, ServerToClient = 1 };

// An IPv4 or IPv6 address with its port; family 0 when unknown.
struct CNetAddress {
    std::uint8_t nFamily = 0;  // 0, 4 or 6
    std::uint8_t addr[16] = {};
    std::uint16_t nPort = 0;

    bool operator==(const CNetAddress&) const = default;
};

struct CLogRecord {
    LogRecordKind kind = LogRecordKind::Block;
    std::uint64_t nSessionId = 0;  // unique in the process, unlike the number shown
    long nSession = 0;             // the number in the log's marker lines
    std::int64_t nTimeUs = 0;      // wall-clock microseconds since 1970
    LogDirection direction = LogDirection::ClientToServer;
    std::string_view bytes;          // Block: the bytes as relayed; SessionTls: the summary;
                                     // SessionOrigin: its text
    CNetAddress client;              // SessionStart
    CNetAddress server;              // SessionConnected (SessionRefused: the port only)
    std::string_view strServerHost;  // SessionConnected, SessionRefused: the host as entered
};

// Wall-clock microseconds since 1970, for CLogRecord::nTimeUs.
std::int64_t LogRecordNow();
