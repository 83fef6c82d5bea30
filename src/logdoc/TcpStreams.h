// Puts the TCP conversations of captured packets back together: per connection, the
// client's bytes in order, cut into the turns the client took (what it sent before the
// server answered), and a count of the server's bytes. The client is the side that sent the
// SYN, or, when the handshake was not captured, the side that sent first. Segments are
// placed by their sequence numbers, so that retransmitted and reordered ones count once
// and in order.
//
// Threads: one thread at a time.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "logdoc/PcapngReader.h"
#include "module/LogRecord.h"

struct CTcpTurn {
    std::string bytes;
    std::int64_t nTimeUs = 0;  // the time of its first segment
};

struct CTcpStream {
    CNetAddress client;
    CNetAddress server;
    std::int64_t nStartUs = 0;
    std::vector<CTcpTurn> clientTurns;
    std::uint64_t nClientBytes = 0;
    std::uint64_t nServerBytes = 0;
    bool bHandshake = false;  // the client's SYN was captured
    // Client bytes are missing: a segment was never captured, or only in part.
    bool bClientGap = false;
};

class CTcpStreams {
public:
    // Bytes held for segments that arrive ahead of a missing one, per direction; beyond
    // this the stream is taken as having a gap there.
    static constexpr std::size_t kMaxPending = 64u << 20;

    // One captured packet; anything that is not an unfragmented TCP segment over IPv4 or
    // IPv6 on a known link type is counted and left out.
    void Add(const CCapturedPacket& packet);
    // The conversations in the order their first packet came; ends the reassembly.
    std::vector<CTcpStream> Take();

    std::uint64_t GetIgnoredCount() const { return m_nIgnored; }

private:
    struct CDirection {
        bool bStarted = false;
        std::uint32_t nNextSeq = 0;  // the sequence number of the next byte in order
        std::map<std::uint64_t, std::string> pending;  // by offset from nNextSeq's base
        std::uint64_t nDelivered = 0;                  // bytes delivered in order
        std::size_t nPendingBytes = 0;
    };
    struct CFlow {
        std::size_t nStream = 0;  // index in m_streams
        CNetAddress client;       // which endpoint is the client's
        CDirection dir[2];        // 0: client to server
        int nLastSide = -1;       // who delivered the last bytes in order
    };
    struct CSegment {
        CNetAddress from;
        CNetAddress to;
        std::uint32_t nSeq = 0;
        bool bSyn = false;
        bool bAck = false;
        bool bFin = false;
        bool bRst = false;
        bool bCut = false;  // fewer payload bytes were captured than were sent
        std::string_view payload;
        std::int64_t nTimeUs = 0;
    };

    bool Decode(const CCapturedPacket& packet, CSegment& segment) const;
    CFlow& FlowOf(const CSegment& segment);
    void Place(CFlow& flow, int nSide, const CSegment& segment);
    void Deliver(CFlow& flow, int nSide, std::string_view bytes, std::int64_t nTimeUs);
    // Delivers what is held past a gap (at the end of the capture).
    void Flush(CFlow& flow);

    std::unordered_map<std::string, CFlow> m_flows;  // by both endpoints
    std::vector<CTcpStream> m_streams;
    std::uint64_t m_nIgnored = 0;
};
