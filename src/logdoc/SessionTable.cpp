#include "logdoc/SessionTable.h"

#include <arpa/inet.h>

#include <algorithm>

namespace {

constexpr std::size_t kMaxLine = 300;

// The first line of a block (without its break), at most kMaxLine bytes.
std::string_view FirstLine(std::string_view bytes) {
    const std::size_t nEnd =
        std::min(bytes.find_first_of("\r\n"), std::min(bytes.size(), kMaxLine));
    return bytes.substr(0, nEnd);
}

bool IsRequestLine(std::string_view line) {
    // METHOD SP target SP HTTP/x: an upper-case token, then text, then the version.
    const std::size_t nSpace = line.find(' ');
    if (nSpace == 0 || nSpace == std::string_view::npos) {
        return false;
    }
    for (char c : line.substr(0, nSpace)) {
        if (c < 'A' || c > 'Z') {
            return false;
        }
    }
    const std::size_t nVersion = line.rfind(" HTTP/");
    return nVersion != std::string_view::npos && nVersion > nSpace;
}

bool IsStatusLine(std::string_view line) {
    return line.starts_with("HTTP/") && line.find(' ') != std::string_view::npos;
}

std::size_t Index(LogDirection direction) {
    return static_cast<std::size_t>(direction);
}

}  // namespace

const char* SessionStateText(SessionState state) {
    switch (state) {
        case SessionState::Connecting:
            return "connecting";
        case SessionState::Open:
            return "open";
        case SessionState::HalfClosed:
            return "half-closed";
        case SessionState::Closed:
            return "closed";
        case SessionState::Reset:
            return "reset";
        case SessionState::Refused:
            return "refused";
    }
    return "";
}

std::string FormatNetAddress(const CNetAddress& address) {
    char szText[INET6_ADDRSTRLEN] = {};
    if (address.nFamily == 4) {
        ::inet_ntop(AF_INET, address.addr, szText, sizeof(szText));
        return std::string(szText) + ":" + std::to_string(address.nPort);
    }
    if (address.nFamily == 6) {
        ::inet_ntop(AF_INET6, address.addr, szText, sizeof(szText));
        return "[" + std::string(szText) + "]:" + std::to_string(address.nPort);
    }
    return {};
}

std::uint32_t CSessionTable::RowOf(const CLogRecord& record) {
    const auto it = m_byId.find(record.nSessionId);
    if (it != m_byId.end()) {
        return it->second;
    }
    const auto nRow = static_cast<std::uint32_t>(m_rows.size());
    CSessionInfo& info = m_rows.emplace_back();
    info.nSessionId = record.nSessionId;
    info.nNumber = record.nSession;
    info.nStartUs = record.nTimeUs;
    // A session met first after a Clear is past connecting.
    info.state =
        record.kind == LogRecordKind::SessionStart ? SessionState::Connecting : SessionState::Open;
    m_byId.emplace(record.nSessionId, nRow);
    return nRow;
}

std::uint32_t CSessionTable::Apply(const CLogRecord& record, std::uint64_t nBlock,
                                   std::uint64_t nTextOffset) {
    std::lock_guard lock(m_mutex);
    const std::uint32_t nRow = RowOf(record);
    CSessionInfo& info = m_rows[nRow];
    const bool bEnded = info.state == SessionState::Reset || info.state == SessionState::Refused;
    const std::size_t nSide = Index(record.direction);
    switch (record.kind) {
        case LogRecordKind::SessionStart:
            info.client = record.client;
            break;
        case LogRecordKind::SessionConnected:
            info.server = record.server;
            info.strServerHost = record.strServerHost;
            info.nConnectedUs = record.nTimeUs;
            if (info.state == SessionState::Connecting) {
                info.state = SessionState::Open;
            }
            break;
        case LogRecordKind::SessionRefused:
            if (info.state == SessionState::Connecting) {
                info.state = SessionState::Refused;
                info.end = SessionEnd::Refused;
                if (record.server.nPort != 0) {
                    info.server.nPort = record.server.nPort;
                }
                if (!record.strServerHost.empty()) {
                    info.strServerHost = record.strServerHost;
                }
            }
            break;
        case LogRecordKind::BlockBegin:
            break;
        case LogRecordKind::SessionTls:
            info.strTls = record.bytes;
            break;
        case LogRecordKind::SessionOrigin:
            info.strOrigin = record.bytes;
            break;
        case LogRecordKind::SessionConditions:
            if (!info.strConditions.empty()) {
                info.strConditions += "; ";
            }
            info.strConditions += record.bytes;
            break;
        case LogRecordKind::Block:
            if (info.nBlocks[0] + info.nBlocks[1] == 0) {
                info.nFirstTextOffset = nTextOffset;
                info.nFirstBlock = nBlock;
            }
            info.nLastBlock = nBlock;
            if (info.nBlocks[nSide] == 0 || info.nBytes[nSide] == 0) {
                const std::string_view line = FirstLine(record.bytes);
                if (record.direction == LogDirection::ClientToServer && IsRequestLine(line)) {
                    info.strRequestLine = line;
                } else if (record.direction == LogDirection::ServerToClient && IsStatusLine(line)) {
                    info.strStatusLine = line;
                }
            }
            ++info.nBlocks[nSide];
            info.nBytes[nSide] += record.bytes.size();
            break;
        case LogRecordKind::SideClosed:
            if (!bEnded && info.nClosedUs[nSide] == 0) {
                info.nClosedUs[nSide] = record.nTimeUs;
                info.state = info.nClosedUs[1 - nSide] != 0 ? SessionState::Closed
                                                            : SessionState::HalfClosed;
            }
            break;
        case LogRecordKind::SideReset:
            if (!bEnded && info.end == SessionEnd::Running) {
                info.state = SessionState::Reset;
                info.resetSide = record.direction;
                info.nResetUs = record.nTimeUs;
            }
            break;
        case LogRecordKind::SessionEnd:
            info.nEndUs = record.nTimeUs;
            if (info.state == SessionState::Refused) {
                info.end = SessionEnd::Refused;
            } else if (info.state == SessionState::Reset) {
                info.end = SessionEnd::Reset;
            } else if (info.nClosedUs[0] != 0 && info.nClosedUs[1] != 0) {
                info.end = SessionEnd::Closed;
            } else {
                info.end = SessionEnd::Stopped;  // ended by the relay (a stop, a quiet peer)
                info.state = SessionState::Closed;
            }
            break;
    }
    info.nVersion = ++m_nVersion;
    return nRow;
}

void CSessionTable::Clear() {
    std::lock_guard lock(m_mutex);
    std::vector<CSessionInfo> running;
    for (CSessionInfo& info : m_rows) {
        if (info.nEndUs == 0) {
            info.nBytes[0] = info.nBytes[1] = 0;
            info.nBlocks[0] = info.nBlocks[1] = 0;
            info.nFirstTextOffset = info.nFirstBlock = info.nLastBlock = UINT64_MAX;
            running.push_back(std::move(info));
        }
    }
    m_rows = std::move(running);
    m_byId.clear();
    for (std::uint32_t n = 0; n < m_rows.size(); ++n) {
        m_byId.emplace(m_rows[n].nSessionId, n);
        m_rows[n].nVersion = ++m_nVersion;
    }
    ++m_nEpoch;
}

std::size_t CSessionTable::GetCount() const {
    std::lock_guard lock(m_mutex);
    return m_rows.size();
}

std::uint64_t CSessionTable::GetVersion() const {
    std::lock_guard lock(m_mutex);
    return m_nVersion;
}

std::uint64_t CSessionTable::GetEpoch() const {
    std::lock_guard lock(m_mutex);
    return m_nEpoch;
}

CSessionTable::CChanges CSessionTable::GetChanges(std::uint64_t nEpoch,
                                                  std::uint64_t nSince) const {
    std::lock_guard lock(m_mutex);
    CChanges changes;
    changes.nEpoch = m_nEpoch;
    changes.nVersion = m_nVersion;
    changes.nRows = m_rows.size();
    if (nEpoch != m_nEpoch) {
        nSince = 0;
    }
    if (nSince == m_nVersion) {
        return changes;
    }
    for (std::uint32_t n = 0; n < m_rows.size(); ++n) {
        if (m_rows[n].nVersion > nSince) {
            changes.rows.emplace_back(n, m_rows[n]);
        }
    }
    return changes;
}

bool CSessionTable::GetRow(std::uint32_t nRow, CSessionInfo& info) const {
    std::lock_guard lock(m_mutex);
    if (nRow >= m_rows.size()) {
        return false;
    }
    info = m_rows[nRow];
    return true;
}

std::vector<CSessionInfo> CSessionTable::GetAll() const {
    std::lock_guard lock(m_mutex);
    return m_rows;
}
