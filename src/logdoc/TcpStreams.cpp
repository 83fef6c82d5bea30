#include "logdoc/TcpStreams.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint8_t kTcpFin = 0x01;
constexpr std::uint8_t kTcpSyn = 0x02;
constexpr std::uint8_t kTcpRst = 0x04;
constexpr std::uint8_t kTcpAck = 0x10;

std::uint16_t Be16(std::string_view bytes, std::size_t nAt) {
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[nAt]) << 8 |
                                      static_cast<std::uint8_t>(bytes[nAt + 1]));
}

std::uint32_t Be32(std::string_view bytes, std::size_t nAt) {
    return std::uint32_t{Be16(bytes, nAt)} << 16 | Be16(bytes, nAt + 2);
}

// Where the IP header begins for a link type; false for a link type without IP.
bool IpOffset(std::uint16_t nLinkType, std::string_view frame, std::size_t& nOffset) {
    switch (nLinkType) {
        case 1: {  // Ethernet, with any VLAN tags
            if (frame.size() < 14) {
                return false;
            }
            std::size_t nAt = 12;
            std::uint16_t nType = Be16(frame, nAt);
            while (nType == 0x8100 || nType == 0x88A8) {
                nAt += 4;
                if (frame.size() < nAt + 2) {
                    return false;
                }
                nType = Be16(frame, nAt);
            }
            nOffset = nAt + 2;
            return nType == 0x0800 || nType == 0x86DD;
        }
        case 0:    // BSD loopback: the family in four bytes
        case 108:  // OpenBSD loopback
            nOffset = 4;
            return true;
        case 12:   // raw IP (some systems)
        case 101:  // raw IP
        case 228:  // IPv4
        case 229:  // IPv6
            nOffset = 0;
            return true;
        case 113:  // Linux cooked capture
            nOffset = 16;
            return true;
        case 276:  // Linux cooked capture, version 2
            nOffset = 20;
            return true;
        default:
            return false;
    }
}

void PutAddress(CNetAddress& address, std::uint8_t nFamily, std::string_view bytes,
                std::uint16_t nPort) {
    address.nFamily = nFamily;
    std::memcpy(address.addr, bytes.data(), bytes.size());
    address.nPort = nPort;
}

std::string EndpointKey(const CNetAddress& a) {
    std::string key(19, '\0');
    key[0] = static_cast<char>(a.nFamily);
    std::memcpy(key.data() + 1, a.addr, 16);
    key[17] = static_cast<char>(a.nPort >> 8);
    key[18] = static_cast<char>(a.nPort & 0xFF);
    return key;
}

}  // namespace

bool CTcpStreams::Decode(const CCapturedPacket& packet, CSegment& segment) const {
    const std::string_view frame = packet.data;
    std::size_t nIp = 0;
    if (!IpOffset(packet.nLinkType, frame, nIp) || frame.size() <= nIp) {
        return false;
    }
    const std::string_view ip = frame.substr(nIp);
    std::string_view tcp;
    const int nVersion = static_cast<std::uint8_t>(ip[0]) >> 4;
    if (nVersion == 4) {
        const std::size_t nHeader = (static_cast<std::uint8_t>(ip[0]) & 0x0F) * 4u;
        if (ip.size() < 20 || nHeader < 20 || ip.size() < nHeader ||
            static_cast<std::uint8_t>(ip[9]) != 6 || (Be16(ip, 6) & 0x3FFF) != 0) {
            return false;  // not TCP, or a fragment
        }
        const std::size_t nTotal = Be16(ip, 2);
        if (nTotal < nHeader) {
            return false;
        }
        segment.bCut = nTotal > ip.size();
        tcp = ip.substr(nHeader, std::min(nTotal, ip.size()) - nHeader);
        PutAddress(segment.from, 4, ip.substr(12, 4), 0);
        PutAddress(segment.to, 4, ip.substr(16, 4), 0);
    } else if (nVersion == 6) {
        if (ip.size() < 40) {
            return false;
        }
        const std::size_t nPayload = Be16(ip, 4);
        const std::size_t nEnd = nPayload == 0 ? ip.size() : 40 + nPayload;  // 0: a jumbogram
        std::uint8_t nNext = static_cast<std::uint8_t>(ip[6]);
        std::size_t nAt = 40;
        // Hop-by-hop, routing and destination options come before TCP; a fragment does not
        // carry a whole segment.
        while (nNext == 0 || nNext == 43 || nNext == 60) {
            if (ip.size() < nAt + 2) {
                return false;
            }
            nNext = static_cast<std::uint8_t>(ip[nAt]);
            nAt += (static_cast<std::uint8_t>(ip[nAt + 1]) + 1u) * 8u;
        }
        if (nNext != 6 || nAt > ip.size() || nAt > nEnd) {
            return false;
        }
        segment.bCut = nEnd > ip.size();
        tcp = ip.substr(nAt, std::min(nEnd, ip.size()) - nAt);
        PutAddress(segment.from, 6, ip.substr(8, 16), 0);
        PutAddress(segment.to, 6, ip.substr(24, 16), 0);
    } else {
        return false;
    }
    if (tcp.size() < 20) {
        return false;
    }
    const std::size_t nHeader = (static_cast<std::uint8_t>(tcp[12]) >> 4) * 4u;
    if (nHeader < 20 || nHeader > tcp.size()) {
        return false;
    }
    segment.from.nPort = Be16(tcp, 0);
    segment.to.nPort = Be16(tcp, 2);
    segment.nSeq = Be32(tcp, 4);
    const auto nFlags = static_cast<std::uint8_t>(tcp[13]);
    segment.bFin = (nFlags & kTcpFin) != 0;
    segment.bSyn = (nFlags & kTcpSyn) != 0;
    segment.bRst = (nFlags & kTcpRst) != 0;
    segment.bAck = (nFlags & kTcpAck) != 0;
    segment.payload = tcp.substr(nHeader);
    segment.nTimeUs = packet.nTimeUs;
    return true;
}

void CTcpStreams::Add(const CCapturedPacket& packet) {
    CSegment segment;
    if (!Decode(packet, segment)) {
        ++m_nIgnored;
        return;
    }
    CFlow& flow = FlowOf(segment);
    const int nSide = segment.from == flow.client ? 0 : 1;
    if (segment.bCut && nSide == 0) {
        m_streams[flow.nStream].bClientGap = true;
    }
    Place(flow, nSide, segment);
}

CTcpStreams::CFlow& CTcpStreams::FlowOf(const CSegment& segment) {
    std::string a = EndpointKey(segment.from);
    std::string b = EndpointKey(segment.to);
    const std::string key = a < b ? a + b : b + a;
    const bool bOpening = segment.bSyn && !segment.bAck;
    auto it = m_flows.find(key);
    if (it != m_flows.end() && bOpening) {
        CFlow& flow = it->second;
        const bool bUsed = flow.dir[0].nDelivered + flow.dir[1].nDelivered +
                               flow.dir[0].nPendingBytes + flow.dir[1].nPendingBytes !=
                           0;
        if (bUsed) {
            // The same ports again: a new connection; the old one is complete.
            Flush(flow);
            m_flows.erase(it);
            it = m_flows.end();
        } else if (!(flow.client == segment.from)) {
            // Only the answer was seen before: the SYN's sender is the client.
            CTcpStream& stream = m_streams[flow.nStream];
            std::swap(stream.client, stream.server);
            flow.client = segment.from;
            std::swap(flow.dir[0], flow.dir[1]);
        }
    }
    if (it == m_flows.end()) {
        CFlow flow;
        flow.nStream = m_streams.size();
        // A SYN-ACK goes to the client; anything else comes from the side taken as it.
        flow.client = segment.bSyn && segment.bAck ? segment.to : segment.from;
        CTcpStream stream;
        stream.client = flow.client;
        stream.server = flow.client == segment.from ? segment.to : segment.from;
        stream.nStartUs = segment.nTimeUs;
        m_streams.push_back(std::move(stream));
        it = m_flows.emplace(key, std::move(flow)).first;
    }
    if (bOpening && segment.from == it->second.client) {
        m_streams[it->second.nStream].bHandshake = true;
    }
    return it->second;
}

void CTcpStreams::Place(CFlow& flow, int nSide, const CSegment& segment) {
    CDirection& dir = flow.dir[nSide];
    const std::uint32_t nDataSeq = segment.nSeq + (segment.bSyn ? 1u : 0u);
    if (!dir.bStarted || (segment.bSyn && dir.nDelivered == 0 && dir.pending.empty())) {
        dir.bStarted = true;
        dir.nNextSeq = nDataSeq;
    }
    std::string_view payload = segment.payload;
    if (payload.empty()) {
        return;
    }
    // The distance from the next byte in order, in the sequence space's own arithmetic.
    const auto nAhead = static_cast<std::int32_t>(nDataSeq - dir.nNextSeq);
    if (nAhead < 0) {
        const std::size_t nOld = static_cast<std::size_t>(-static_cast<std::int64_t>(nAhead));
        if (nOld >= payload.size()) {
            return;  // a retransmission of bytes already placed
        }
        payload.remove_prefix(nOld);
    }
    if (nAhead <= 0) {
        Deliver(flow, nSide, payload, segment.nTimeUs);
        // What was held for after this is in order now.
        while (!dir.pending.empty() && dir.pending.begin()->first <= dir.nDelivered) {
            auto first = dir.pending.begin();
            const std::uint64_t nSkip = dir.nDelivered - first->first;
            dir.nPendingBytes -= first->second.size();
            if (nSkip < first->second.size()) {
                const std::string bytes = first->second.substr(nSkip);
                dir.pending.erase(first);
                Deliver(flow, nSide, bytes, segment.nTimeUs);
            } else {
                dir.pending.erase(first);
            }
        }
        return;
    }
    if (dir.nPendingBytes + payload.size() > kMaxPending) {
        if (nSide == 0) {
            m_streams[flow.nStream].bClientGap = true;
        }
        return;
    }
    const std::uint64_t nOffset = dir.nDelivered + static_cast<std::uint64_t>(nAhead);
    std::string& held = dir.pending[nOffset];
    if (payload.size() > held.size()) {
        dir.nPendingBytes += payload.size() - held.size();
        held.assign(payload);
    }
}

void CTcpStreams::Deliver(CFlow& flow, int nSide, std::string_view bytes, std::int64_t nTimeUs) {
    CDirection& dir = flow.dir[nSide];
    dir.nDelivered += bytes.size();
    dir.nNextSeq += static_cast<std::uint32_t>(bytes.size());
    CTcpStream& stream = m_streams[flow.nStream];
    if (nSide == 0) {
        if (flow.nLastSide != 0 || stream.clientTurns.empty()) {
            stream.clientTurns.push_back({std::string(), nTimeUs});
        }
        stream.clientTurns.back().bytes.append(bytes);
        stream.nClientBytes += bytes.size();
    } else {
        stream.nServerBytes += bytes.size();
    }
    flow.nLastSide = nSide;
}

void CTcpStreams::Flush(CFlow& flow) {
    for (int nSide = 0; nSide < 2; ++nSide) {
        CDirection& dir = flow.dir[nSide];
        while (!dir.pending.empty()) {
            auto first = dir.pending.begin();
            if (first->first > dir.nDelivered) {
                // A gap that no segment filled: the bytes after it follow as they are.
                if (nSide == 0) {
                    m_streams[flow.nStream].bClientGap = true;
                }
                dir.nNextSeq += static_cast<std::uint32_t>(first->first - dir.nDelivered);
                dir.nDelivered = first->first;
            }
            const std::uint64_t nSkip = dir.nDelivered - first->first;
            const std::string bytes =
                nSkip < first->second.size() ? first->second.substr(nSkip) : std::string();
            dir.nPendingBytes -= first->second.size();
            dir.pending.erase(first);
            if (!bytes.empty()) {
                Deliver(flow, nSide, bytes, m_streams[flow.nStream].nStartUs);
            }
        }
    }
}

std::vector<CTcpStream> CTcpStreams::Take() {
    for (auto& [key, flow] : m_flows) {
        Flush(flow);
    }
    m_flows.clear();
    std::vector<CTcpStream> streams;
    streams.swap(m_streams);
    return streams;
}
