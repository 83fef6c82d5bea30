#include "logdoc/SessionListModel.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <numeric>
#include <tuple>

namespace {

std::int64_t Duration(const CSessionInfo& s, std::int64_t nNowUs) {
    const std::int64_t nEnd = s.nEndUs != 0 ? s.nEndUs : nNowUs;
    return nEnd > s.nStartUs ? nEnd - s.nStartUs : 0;
}

std::string FormatTime(std::int64_t nUs) {
    const std::time_t t = static_cast<std::time_t>(nUs / 1000000);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    // The time of day: the sessions of one log are seldom days apart, and the column stays
    // narrow enough to leave room for the request and the answer.
    char sz[64];
    std::snprintf(sz, sizeof(sz), "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(nUs / 1000 % 1000));
    return sz;
}

auto AddressKey(const CNetAddress& a) {
    return std::make_tuple(a.nFamily,
                           std::string_view(reinterpret_cast<const char*>(a.addr), sizeof(a.addr)),
                           a.nPort);
}

}  // namespace

std::string FormatDuration(std::int64_t nMicroseconds) {
    char sz[48];
    const std::int64_t nMs = nMicroseconds / 1000;
    if (nMs < 60000) {
        std::snprintf(sz, sizeof(sz), "%lld.%03lld s", static_cast<long long>(nMs / 1000),
                      static_cast<long long>(nMs % 1000));
    } else {
        const std::int64_t nS = nMs / 1000;
        std::snprintf(sz, sizeof(sz), "%lld:%02lld:%02lld", static_cast<long long>(nS / 3600),
                      static_cast<long long>(nS / 60 % 60), static_cast<long long>(nS % 60));
    }
    return sz;
}

const char* CSessionListModel::ColumnTitle(int nColumn) {
    static const char* const kTitles[] = {
        "#",        "Session",    "Client",         "Server",      "Started",         "Duration",
        "State",    "Bytes Sent", "Bytes Received", "Blocks Sent", "Blocks Received", "Request",
        "Response", "TLS",        "Origin",         "Conditions"};
    static_assert(std::size(kTitles) == ColCount, "a title for every column");
    return nColumn >= 0 && nColumn < ColCount ? kTitles[nColumn] : "";
}

CSessionListModel::CUpdate CSessionListModel::Refresh() {
    CUpdate update;
    CSessionTable::CChanges changes = m_table.GetChanges(m_nEpoch, m_nVersion);
    const bool bNewEpoch = changes.nEpoch != m_nEpoch;
    m_nEpoch = changes.nEpoch;
    m_nVersion = changes.nVersion;
    if (bNewEpoch) {
        m_rows.assign(changes.nRows, CSessionInfo{});
        update.bReset = true;
    }
    const std::size_t nOld = bNewEpoch ? 0 : m_rows.size();
    if (changes.nRows > m_rows.size()) {
        m_rows.resize(changes.nRows);
    }
    std::vector<std::uint32_t> changedTableRows;
    for (auto& [nRow, info] : changes.rows) {
        m_rows[nRow] = std::move(info);
        if (nRow < nOld) {
            changedTableRows.push_back(nRow);
        }
    }
    CountRunning();
    if (update.bReset) {
        m_order.resize(m_rows.size());
        std::iota(m_order.begin(), m_order.end(), 0u);
        SortOrder();
        return update;
    }
    if (m_rows.size() == nOld && changedTableRows.empty()) {
        return update;
    }
    if (m_nSortColumn >= 0) {
        // Only the changed and the new rows may move: they are sorted on their own and
        // merged into the rest, which keeps its order.
        for (std::uint32_t n = static_cast<std::uint32_t>(nOld); n < m_rows.size(); ++n) {
            changedTableRows.push_back(n);
        }
        MergeMoved(changedTableRows);
        update.bLayout = true;
        return update;
    }
    // The log's order: new rows go to the end, the others stay where they are.
    for (std::uint32_t n = static_cast<std::uint32_t>(nOld); n < m_rows.size(); ++n) {
        m_order.push_back(n);
        m_where.push_back(n);
    }
    update.nFirstNew = nOld;
    update.nNew = m_rows.size() - nOld;
    for (std::uint32_t nRow : changedTableRows) {
        update.changed.push_back(m_where[nRow]);
    }
    return update;
}

void CSessionListModel::CountRunning() {
    m_nRunning = static_cast<std::size_t>(std::count_if(
        m_rows.begin(), m_rows.end(), [](const CSessionInfo& s) { return s.nEndUs == 0; }));
}

bool CSessionListModel::Less(const CSessionInfo& a, const CSessionInfo& b) const {
    const std::int64_t nNow = 0;  // running sessions sort by their start only
    switch (m_nSortColumn) {
        case ColNumber:
            return a.nNumber < b.nNumber;
        case ColClient:
            return AddressKey(a.client) < AddressKey(b.client);
        case ColServer:
            return std::tie(a.strServerHost, a.server.nPort) <
                   std::tie(b.strServerHost, b.server.nPort);
        case ColStarted:
            return a.nStartUs < b.nStartUs;
        case ColDuration: {
            // Running sessions last longest.
            const bool bRunA = a.nEndUs == 0;
            const bool bRunB = b.nEndUs == 0;
            if (bRunA != bRunB) {
                return bRunB;
            }
            return bRunA ? a.nStartUs > b.nStartUs : Duration(a, nNow) < Duration(b, nNow);
        }
        case ColState:
            return a.state < b.state;
        case ColBytesSent:
            return a.nBytes[0] < b.nBytes[0];
        case ColBytesReceived:
            return a.nBytes[1] < b.nBytes[1];
        case ColBlocksSent:
            return a.nBlocks[0] < b.nBlocks[0];
        case ColBlocksReceived:
            return a.nBlocks[1] < b.nBlocks[1];
        case ColRequest:
            return a.strRequestLine < b.strRequestLine;
        case ColStatus:
            return a.strStatusLine < b.strStatusLine;
        case ColTls:
            return a.strTls < b.strTls;
        case ColOrigin:
            return a.strOrigin < b.strOrigin;
        case ColConditions:
            return a.strConditions < b.strConditions;
        default:
            return false;
    }
}

bool CSessionListModel::Before(std::uint32_t a, std::uint32_t b) const {
    if (m_nSortColumn == ColOrdinal) {
        return m_bAscending ? a < b : b < a;  // the ordinal is the table row's
    }
    const CSessionInfo& x = m_bAscending ? m_rows[a] : m_rows[b];
    const CSessionInfo& y = m_bAscending ? m_rows[b] : m_rows[a];
    if (Less(x, y)) {
        return true;
    }
    return !Less(y, x) && a < b;  // equal rows stay in the log's order
}

void CSessionListModel::SortOrder() {
    if (m_nSortColumn >= 0) {
        std::sort(m_order.begin(), m_order.end(),
                  [this](std::uint32_t a, std::uint32_t b) { return Before(a, b); });
    }
    IndexOrder();
}

void CSessionListModel::MergeMoved(std::vector<std::uint32_t>& moved) {
    const auto before = [this](std::uint32_t a, std::uint32_t b) { return Before(a, b); };
    std::vector<bool> bMoved(m_rows.size(), false);
    for (const std::uint32_t n : moved) {
        bMoved[n] = true;
    }
    std::erase_if(m_order, [&](std::uint32_t n) { return bMoved[n]; });
    std::sort(moved.begin(), moved.end(), before);
    std::vector<std::uint32_t> merged(m_order.size() + moved.size());
    std::merge(m_order.begin(), m_order.end(), moved.begin(), moved.end(), merged.begin(), before);
    m_order.swap(merged);
    IndexOrder();
}

void CSessionListModel::IndexOrder() {
    m_where.resize(m_order.size());
    for (std::size_t n = 0; n < m_order.size(); ++n) {
        m_where[m_order[n]] = static_cast<std::uint32_t>(n);
    }
}

void CSessionListModel::Sort(int nColumn, bool bAscending) {
    m_nSortColumn = nColumn >= 0 && nColumn < ColCount ? nColumn : -1;
    m_bAscending = bAscending;
    m_order.resize(m_rows.size());
    std::iota(m_order.begin(), m_order.end(), 0u);
    if (m_nSortColumn < 0 && !bAscending) {
        std::reverse(m_order.begin(), m_order.end());
    }
    SortOrder();
}

std::size_t CSessionListModel::FindViewRow(std::uint32_t nTableRow) const {
    return nTableRow < m_where.size() ? m_where[nTableRow] : SIZE_MAX;
}

std::string CSessionListModel::GetText(std::size_t nViewRow, int nColumn,
                                       std::int64_t nNowUs) const {
    if (nViewRow >= m_order.size()) {
        return {};
    }
    const CSessionInfo& s = m_rows[m_order[nViewRow]];
    switch (nColumn) {
        case ColOrdinal:
            return std::to_string(Ordinal(m_order[nViewRow]));
        case ColNumber:
            return std::to_string(s.nNumber);
        case ColClient:
            return FormatNetAddress(s.client);
        case ColServer:
            if (s.strServerHost.empty()) {
                return {};
            }
            return s.strServerHost + ":" + std::to_string(s.server.nPort);
        case ColStarted:
            return FormatTime(s.nStartUs);
        case ColDuration:
            return FormatDuration(Duration(s, nNowUs));
        case ColState:
            return SessionStateText(s.state);
        case ColBytesSent:
            return std::to_string(s.nBytes[0]);
        case ColBytesReceived:
            return std::to_string(s.nBytes[1]);
        case ColBlocksSent:
            return std::to_string(s.nBlocks[0]);
        case ColBlocksReceived:
            return std::to_string(s.nBlocks[1]);
        case ColRequest:
            return s.strRequestLine;
        case ColStatus:
            return s.strStatusLine;
        case ColTls:
            return s.strTls;
        case ColOrigin:
            return s.strOrigin;
        case ColConditions:
            return s.strConditions;
        default:
            return {};
    }
}
