#include "logdoc/PcapngWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/FdIo.h"

namespace {

constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceDescription = 1;
constexpr std::uint32_t kEnhancedPacket = 6;
constexpr std::uint16_t kLinkTypeRaw = 101;  // packets begin with their IPv4 or IPv6 header

template <class T>
void Put(std::vector<std::uint8_t>& out, T value) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&value);
    out.insert(out.end(), p, p + sizeof(T));
}

void PutBig16(std::vector<std::uint8_t>& out, std::uint16_t n) {
    out.push_back(static_cast<std::uint8_t>(n >> 8));
    out.push_back(static_cast<std::uint8_t>(n));
}

void PutBig32(std::vector<std::uint8_t>& out, std::uint32_t n) {
    PutBig16(out, static_cast<std::uint16_t>(n >> 16));
    PutBig16(out, static_cast<std::uint16_t>(n));
}

void SetBig16(std::vector<std::uint8_t>& out, std::size_t nAt, std::uint16_t n) {
    out[nAt] = static_cast<std::uint8_t>(n >> 8);
    out[nAt + 1] = static_cast<std::uint8_t>(n);
}

// The one's-complement sum of 16-bit big-endian words (not yet folded).
std::uint32_t Sum16(const std::uint8_t* p, std::size_t n, std::uint32_t nSum = 0) {
    for (std::size_t i = 0; i + 1 < n; i += 2) {
        nSum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
        if (nSum > 0xFFFF0000u) {
            nSum = (nSum & 0xFFFF) + (nSum >> 16);
        }
    }
    if (n % 2 != 0) {
        nSum += static_cast<std::uint32_t>(p[n - 1] << 8);
    }
    return nSum;
}

std::uint16_t Fold(std::uint32_t nSum) {
    while (nSum >> 16 != 0) {
        nSum = (nSum & 0xFFFF) + (nSum >> 16);
    }
    return static_cast<std::uint16_t>(~nSum & 0xFFFF);
}

std::size_t Side(LogDirection direction) {
    return static_cast<std::size_t>(direction);
}

LogDirection Other(LogDirection direction) {
    return direction == LogDirection::ClientToServer ? LogDirection::ServerToClient
                                                     : LogDirection::ClientToServer;
}

}  // namespace

CPcapngWriter::~CPcapngWriter() {
    Close();
}

int CPcapngWriter::Open(const std::string& strPath) {
    Close();
    m_fnOutput = nullptr;
    m_nError = 0;
    // Traffic: a new file is its owner's only (an existing one keeps its permissions).
    m_fd = ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        return errno;
    }
    Begin();
    return Flush();
}

void CPcapngWriter::Open(Output fnOutput) {
    Close();
    m_nError = 0;
    m_fnOutput = std::move(fnOutput);
    Begin();
}

void CPcapngWriter::Begin() {
    m_sessions.clear();
    m_clients.clear();
    // Section header: byte-order magic, version 1.0, section length unknown.
    m_block.clear();
    Put<std::uint32_t>(m_block, kSectionHeader);
    Put<std::uint32_t>(m_block, 28);
    Put<std::uint32_t>(m_block, 0x1A2B3C4D);
    Put<std::uint16_t>(m_block, 1);
    Put<std::uint16_t>(m_block, 0);
    Put<std::int64_t>(m_block, -1);
    Put<std::uint32_t>(m_block, 28);
    // One interface of raw IP packets, no snapshot limit, microsecond times (the default).
    Put<std::uint32_t>(m_block, kInterfaceDescription);
    Put<std::uint32_t>(m_block, 20);
    Put<std::uint16_t>(m_block, kLinkTypeRaw);
    Put<std::uint16_t>(m_block, 0);
    Put<std::uint32_t>(m_block, 0);
    Put<std::uint32_t>(m_block, 20);
    Emit(m_block);
}

int CPcapngWriter::Close() {
    m_fnOutput = nullptr;
    if (m_fd < 0) {
        return m_nError;
    }
    Flush();
    if (::close(m_fd) != 0 && m_nError == 0) {
        m_nError = errno;
    }
    m_fd = -1;
    m_out.clear();
    return m_nError;
}

void CPcapngWriter::Emit(const std::vector<std::uint8_t>& bytes) {
    const std::string_view view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (m_fnOutput) {
        m_fnOutput(view);
        return;
    }
    if (m_fd < 0 || m_nError != 0) {
        return;  // after a failed write the file cannot be whole any more
    }
    m_out.append(view);
    if (m_out.size() >= kWriteBatch) {
        Flush();
    }
}

int CPcapngWriter::Flush() {
    if (m_fd >= 0 && m_nError == 0) {
        m_nError = win::WriteAllFd(m_fd, m_out.data(), m_out.size());
    }
    m_out.clear();
    return m_nError;
}

void CPcapngWriter::OnRecord(const CLogRecord& record) {
    switch (record.kind) {
        case LogRecordKind::SessionStart:
            m_clients[record.nSessionId] = record.client;
            break;
        case LogRecordKind::SessionConnected:
            if (const auto it = m_clients.find(record.nSessionId); it != m_clients.end()) {
                Connect(record.nSessionId, it->second, record.server, record.nTimeUs);
                m_clients.erase(it);
            }
            break;
        case LogRecordKind::SessionRefused:
            m_clients.erase(record.nSessionId);  // no conversation with the server took place
            break;
        case LogRecordKind::BlockBegin:
        case LogRecordKind::SessionTls:
        case LogRecordKind::SessionOrigin:
        case LogRecordKind::SessionConditions:
            break;
        case LogRecordKind::Block:
            Data(record.nSessionId, record.direction, record.bytes, record.nTimeUs);
            break;
        case LogRecordKind::SideClosed:
            Fin(record.nSessionId, record.direction, record.nTimeUs);
            break;
        case LogRecordKind::SideReset:
            Reset(record.nSessionId, record.direction, record.nTimeUs);
            break;
        case LogRecordKind::SessionEnd:
            End(record.nSessionId, record.nTimeUs);
            m_clients.erase(record.nSessionId);
            break;
    }
}

CPcapngWriter::CConversation* CPcapngWriter::Find(std::uint64_t nSessionId) {
    const auto it = m_sessions.find(nSessionId);
    return it != m_sessions.end() ? &it->second : nullptr;
}

void CPcapngWriter::Connect(std::uint64_t nSessionId, const CNetAddress& client,
                            const CNetAddress& server, std::int64_t nTimeUs) {
    if (client.nFamily == 0 || server.nFamily == 0 || Find(nSessionId) != nullptr) {
        return;
    }
    CConversation& c = m_sessions[nSessionId];
    c.client = client;
    c.server = server;
    if (client.nFamily != server.nFamily) {
        // An IPv4 client relayed to an IPv6 server (or the other way round): one TCP
        // conversation needs one family, so the IPv4 side shows as an IPv4-mapped address.
        for (CNetAddress* p : {&c.client, &c.server}) {
            if (p->nFamily == 4) {
                std::memmove(p->addr + 12, p->addr, 4);
                std::memset(p->addr, 0, 10);
                p->addr[10] = 0xFF;
                p->addr[11] = 0xFF;
                p->nFamily = 6;
            }
        }
    }
    c.bConnected = true;
    // Initial sequence numbers that differ between sessions and sides.
    const auto nIsnClient = static_cast<std::uint32_t>(nSessionId * 2654435761u + 0x1000);
    const auto nIsnServer = static_cast<std::uint32_t>(nSessionId * 40503u + 0x7F000000);
    Segment(c, LogDirection::ClientToServer, kSyn, nIsnClient, 0, {}, nTimeUs);
    Segment(c, LogDirection::ServerToClient, kSyn | kAck, nIsnServer, nIsnClient + 1, {}, nTimeUs);
    Segment(c, LogDirection::ClientToServer, kAck, nIsnClient + 1, nIsnServer + 1, {}, nTimeUs);
    c.nNextSeq[0] = nIsnClient + 1;
    c.nNextSeq[1] = nIsnServer + 1;
}

void CPcapngWriter::Data(std::uint64_t nSessionId, LogDirection from, std::string_view bytes,
                         std::int64_t nTimeUs) {
    CConversation* c = Find(nSessionId);
    if (c == nullptr || c->bReset) {
        return;
    }
    const std::size_t nFrom = Side(from);
    while (!bytes.empty()) {
        const std::string_view part = bytes.substr(0, kMaxSegment);
        Segment(*c, from, kPsh | kAck, c->nNextSeq[nFrom], c->nNextSeq[1 - nFrom], part, nTimeUs);
        c->nNextSeq[nFrom] += static_cast<std::uint32_t>(part.size());
        bytes.remove_prefix(part.size());
    }
}

void CPcapngWriter::Fin(std::uint64_t nSessionId, LogDirection from, std::int64_t nTimeUs) {
    CConversation* c = Find(nSessionId);
    const std::size_t nFrom = Side(from);
    if (c == nullptr || c->bReset || c->bFin[nFrom]) {
        return;
    }
    Segment(*c, from, kFin | kAck, c->nNextSeq[nFrom], c->nNextSeq[1 - nFrom], {}, nTimeUs);
    c->nNextSeq[nFrom] += 1;
    c->bFin[nFrom] = true;
    // The other side acknowledges the FIN.
    Segment(*c, Other(from), kAck, c->nNextSeq[1 - nFrom], c->nNextSeq[nFrom], {}, nTimeUs);
}

void CPcapngWriter::Reset(std::uint64_t nSessionId, LogDirection from, std::int64_t nTimeUs) {
    CConversation* c = Find(nSessionId);
    if (c == nullptr || c->bReset) {
        return;
    }
    const std::size_t nFrom = Side(from);
    Segment(*c, from, kRst | kAck, c->nNextSeq[nFrom], c->nNextSeq[1 - nFrom], {}, nTimeUs);
    c->bReset = true;
}

void CPcapngWriter::End(std::uint64_t nSessionId, std::int64_t nTimeUs) {
    if (Find(nSessionId) == nullptr) {
        return;
    }
    Fin(nSessionId, LogDirection::ClientToServer, nTimeUs);
    Fin(nSessionId, LogDirection::ServerToClient, nTimeUs);
    m_sessions.erase(nSessionId);
}

void CPcapngWriter::Segment(const CConversation& c, LogDirection from, std::uint8_t nFlags,
                            std::uint32_t nSeq, std::uint32_t nAck, std::string_view payload,
                            std::int64_t nTimeUs) {
    const CNetAddress& src = from == LogDirection::ClientToServer ? c.client : c.server;
    const CNetAddress& dst = from == LogDirection::ClientToServer ? c.server : c.client;
    const bool bV6 = src.nFamily == 6;
    const std::size_t nAddr = bV6 ? 16 : 4;
    const std::size_t nTcpLength = 20 + payload.size();

    // The IP header.
    m_packet.clear();
    if (bV6) {
        PutBig32(m_packet, 0x60000000u);
        PutBig16(m_packet, static_cast<std::uint16_t>(nTcpLength));
        m_packet.push_back(6);   // next header: TCP
        m_packet.push_back(64);  // hop limit
    } else {
        m_packet.push_back(0x45);
        m_packet.push_back(0);
        PutBig16(m_packet, static_cast<std::uint16_t>(20 + nTcpLength));
        PutBig16(m_packet, ++m_nIpId);
        PutBig16(m_packet, 0x4000);  // don't fragment
        m_packet.push_back(64);
        m_packet.push_back(6);
        PutBig16(m_packet, 0);  // checksum, below
    }
    m_packet.insert(m_packet.end(), src.addr, src.addr + nAddr);
    m_packet.insert(m_packet.end(), dst.addr, dst.addr + nAddr);
    if (!bV6) {
        SetBig16(m_packet, 10, Fold(Sum16(m_packet.data(), 20)));
    }
    const std::size_t nTcp = m_packet.size();

    // The TCP header; the payload follows it in the block below.
    PutBig16(m_packet, src.nPort);
    PutBig16(m_packet, dst.nPort);
    PutBig32(m_packet, nSeq);
    PutBig32(m_packet, (nFlags & kAck) != 0 ? nAck : 0);
    m_packet.push_back(5 << 4);
    m_packet.push_back(nFlags);
    PutBig16(m_packet, 65535);  // window
    PutBig16(m_packet, 0);      // checksum, below
    PutBig16(m_packet, 0);      // urgent pointer

    // The checksum over the pseudo header (addresses, protocol, length), the TCP header (an
    // even 20 bytes, so the sum runs on into the payload) and the payload.
    std::uint8_t pseudo[2 * 16 + 8] = {};
    std::memcpy(pseudo, src.addr, nAddr);
    std::memcpy(pseudo + nAddr, dst.addr, nAddr);
    const std::size_t nPseudo = 2 * nAddr + 8;
    const auto nLength32 = static_cast<std::uint32_t>(nTcpLength);
    pseudo[nPseudo - 8] = static_cast<std::uint8_t>(nLength32 >> 24);
    pseudo[nPseudo - 7] = static_cast<std::uint8_t>(nLength32 >> 16);
    pseudo[nPseudo - 6] = static_cast<std::uint8_t>(nLength32 >> 8);
    pseudo[nPseudo - 5] = static_cast<std::uint8_t>(nLength32);
    pseudo[nPseudo - 1] = 6;
    std::uint32_t nSum = Sum16(pseudo, nPseudo);
    nSum = Sum16(m_packet.data() + nTcp, 20, nSum);
    nSum = Sum16(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size(), nSum);
    SetBig16(m_packet, nTcp + 16, Fold(nSum));

    // The enhanced packet block around headers and payload.
    const std::size_t nCaptured = m_packet.size() + payload.size();
    const std::size_t nPadded = (nCaptured + 3) & ~std::size_t{3};
    const auto nBlockLength = static_cast<std::uint32_t>(32 + nPadded);
    const auto nTime = static_cast<std::uint64_t>(nTimeUs);
    m_block.clear();
    Put<std::uint32_t>(m_block, kEnhancedPacket);
    Put<std::uint32_t>(m_block, nBlockLength);
    Put<std::uint32_t>(m_block, 0);  // interface
    Put<std::uint32_t>(m_block, static_cast<std::uint32_t>(nTime >> 32));
    Put<std::uint32_t>(m_block, static_cast<std::uint32_t>(nTime));
    Put<std::uint32_t>(m_block, static_cast<std::uint32_t>(nCaptured));
    Put<std::uint32_t>(m_block, static_cast<std::uint32_t>(nCaptured));
    m_block.insert(m_block.end(), m_packet.begin(), m_packet.end());
    m_block.insert(m_block.end(), payload.begin(), payload.end());
    m_block.resize(m_block.size() + (nPadded - nCaptured), 0);
    Put<std::uint32_t>(m_block, nBlockLength);
    Emit(m_block);
}
