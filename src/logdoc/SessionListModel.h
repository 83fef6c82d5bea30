// The session list as a table: the rows of a CSessionTable copied as they change, in the
// order of a chosen column, with the text of every cell. A window's table model shows it;
// it knows nothing of windows itself.
//
// Threads: one thread (the GUI's) uses an instance; it reads the table, which the relay
// threads update, through the table's own lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "logdoc/SessionTable.h"

class CSessionListModel {
public:
    enum Column {
        ColOrdinal,  // 1, 2, 3... in the log's order: unlike the numbers, never repeated
        ColNumber,
        ColClient,
        ColServer,
        ColStarted,
        ColDuration,
        ColState,
        ColBytesSent,      // client to server
        ColBytesReceived,  // server to client
        ColBlocksSent,
        ColBlocksReceived,
        ColRequest,
        ColStatus,
        ColTls,
        ColOrigin,  // where a resent session's bytes come from ("replay of #3")
        ColConditions,
        ColCount
    };

    // What a Refresh changed, for the view.
    struct CUpdate {
        bool bReset = false;        // everything is new
        bool bLayout = false;       // the order changed (rows were sorted again)
        std::size_t nFirstNew = 0;  // rows appended at the end: [nFirstNew, row count)
        std::size_t nNew = 0;
        std::vector<std::size_t> changed;  // view rows whose cells changed
        bool Any() const { return bReset || bLayout || nNew != 0 || !changed.empty(); }
    };

    explicit CSessionListModel(const CSessionTable& table) : m_table(table) {}

    static const char* ColumnTitle(int nColumn);

    // Whether the table changed since the last Refresh.
    bool HasChanges() const {
        return m_table.GetEpoch() != m_nEpoch || m_table.GetVersion() != m_nVersion;
    }
    // Takes what changed in the table since the last call.
    CUpdate Refresh();

    std::size_t GetRowCount() const { return m_order.size(); }
    // The text of a cell; nNowUs is the time for the duration of running sessions.
    std::string GetText(std::size_t nViewRow, int nColumn, std::int64_t nNowUs) const;
    const CSessionInfo& GetRow(std::size_t nViewRow) const { return m_rows[m_order[nViewRow]]; }
    // The table row (CBlockRecord::nSessionRow) shown at a view row, and back (SIZE_MAX:
    // none).
    std::uint32_t GetTableRow(std::size_t nViewRow) const { return m_order[nViewRow]; }
    // The ordinal of table row `nTableRow`, as the first column shows it.
    static std::uint64_t Ordinal(std::uint32_t nTableRow) { return std::uint64_t{nTableRow} + 1; }
    std::size_t FindViewRow(std::uint32_t nTableRow) const;
    // Whether any session still runs (its duration grows).
    bool AnyRunning() const { return m_nRunning != 0; }

    // Sorts by a column (ascending or not); -1 restores the order of the log.
    void Sort(int nColumn, bool bAscending);
    int GetSortColumn() const { return m_nSortColumn; }

private:
    // Whether table row `a` goes before table row `b` in the chosen order; rows that are
    // equal in the sort column keep the log's order.
    bool Before(std::uint32_t a, std::uint32_t b) const;
    // Orders m_order by the sort column, stable in the log's order.
    void SortOrder();
    // Puts the rows `moved` (new, or changed since they were placed; sorted here) where
    // they belong among the others, which keep their order.
    void MergeMoved(std::vector<std::uint32_t>& moved);
    // Rebuilds m_where from m_order.
    void IndexOrder();
    void CountRunning();
    bool Less(const CSessionInfo& a, const CSessionInfo& b) const;

    const CSessionTable& m_table;
    std::uint64_t m_nEpoch = 0;
    std::uint64_t m_nVersion = 0;
    std::vector<CSessionInfo> m_rows;    // by table row
    std::vector<std::uint32_t> m_order;  // view row -> table row
    std::vector<std::uint32_t> m_where;  // table row -> view row
    int m_nSortColumn = -1;
    bool m_bAscending = true;
    std::size_t m_nRunning = 0;
};

// "12.345 s", "1:02:03" and the like, for durations.
std::string FormatDuration(std::int64_t nMicroseconds);
