// The session table's states and counts, and the session list's order, over the records of
// a log.
#include <gtest/gtest.h>

#include "logdoc/SessionListModel.h"
#include "logdoc/SessionTable.h"

namespace {

CLogRecord Record(LogRecordKind kind, std::uint64_t nId, std::int64_t nTimeUs,
                  LogDirection direction = LogDirection::ClientToServer,
                  std::string_view bytes = {}) {
    CLogRecord r;
    r.kind = kind;
    r.nSessionId = nId;
    r.nSession = static_cast<long>(nId % 7);  // numbers repeat, ids do not
    r.nTimeUs = nTimeUs;
    r.direction = direction;
    r.bytes = bytes;
    return r;
}

SessionState StateOf(const CSessionTable& table, std::uint32_t nRow) {
    CSessionInfo info;
    EXPECT_TRUE(table.GetRow(nRow, info));
    return info.state;
}

TEST(SessionTableTest, StatesThroughConnectHalfCloseAndClose) {
    CSessionTable table;
    CLogRecord start = Record(LogRecordKind::SessionStart, 10, 1000);
    start.client.nFamily = 4;
    start.client.addr[0] = 127;
    start.client.addr[3] = 1;
    start.client.nPort = 5555;
    const std::uint32_t nRow = table.Apply(start, 0, 0);
    EXPECT_EQ(SessionState::Connecting, StateOf(table, nRow));
    table.Apply(Record(LogRecordKind::SessionConnected, 10, 2000), 0, 0);
    EXPECT_EQ(SessionState::Open, StateOf(table, nRow));
    table.Apply(Record(LogRecordKind::Block, 10, 3000, LogDirection::ClientToServer,
                       "GET /a HTTP/1.1\r\nHost: x\r\n\r\n"),
                0, 100);
    table.Apply(Record(LogRecordKind::Block, 10, 3500, LogDirection::ServerToClient,
                       "HTTP/1.1 404 Not Found\r\n\r\n"),
                1, 200);
    table.Apply(Record(LogRecordKind::SideClosed, 10, 4000, LogDirection::ClientToServer), 0, 0);
    EXPECT_EQ(SessionState::HalfClosed, StateOf(table, nRow));
    table.Apply(Record(LogRecordKind::Block, 10, 4500, LogDirection::ServerToClient, "more"), 2,
                300);
    table.Apply(Record(LogRecordKind::SideClosed, 10, 5000, LogDirection::ServerToClient), 0, 0);
    EXPECT_EQ(SessionState::Closed, StateOf(table, nRow));
    table.Apply(Record(LogRecordKind::SessionEnd, 10, 6000), 0, 0);

    CSessionInfo info;
    ASSERT_TRUE(table.GetRow(nRow, info));
    EXPECT_EQ(SessionEnd::Closed, info.end);
    EXPECT_EQ("127.0.0.1:5555", FormatNetAddress(info.client));
    EXPECT_EQ("GET /a HTTP/1.1", info.strRequestLine);
    EXPECT_EQ("HTTP/1.1 404 Not Found", info.strStatusLine);
    EXPECT_EQ(1u, info.nBlocks[0]);
    EXPECT_EQ(2u, info.nBlocks[1]);
    EXPECT_EQ(26u + 4u, info.nBytes[1]);
    EXPECT_EQ(100u, info.nFirstTextOffset);
    EXPECT_EQ(0u, info.nFirstBlock);
    EXPECT_EQ(2u, info.nLastBlock);
    EXPECT_EQ(5000, info.nEndUs - info.nStartUs);
}

TEST(SessionTableTest, ResetRefusalAndStopEndTheirWay) {
    CSessionTable table;
    // A reset is final: a close that the other side reports afterwards changes nothing.
    const std::uint32_t nReset = table.Apply(Record(LogRecordKind::SessionStart, 1, 0), 0, 0);
    table.Apply(Record(LogRecordKind::SessionConnected, 1, 1), 0, 0);
    table.Apply(Record(LogRecordKind::SideReset, 1, 2, LogDirection::ServerToClient), 0, 0);
    table.Apply(Record(LogRecordKind::SideClosed, 1, 3, LogDirection::ClientToServer), 0, 0);
    table.Apply(Record(LogRecordKind::SessionEnd, 1, 4), 0, 0);
    CSessionInfo info;
    ASSERT_TRUE(table.GetRow(nReset, info));
    EXPECT_EQ(SessionState::Reset, info.state);
    EXPECT_EQ(SessionEnd::Reset, info.end);
    EXPECT_EQ(LogDirection::ServerToClient, info.resetSide);

    // Refused while connecting.
    CLogRecord refused = Record(LogRecordKind::SessionRefused, 2, 1);
    refused.strServerHost = "nowhere.test";
    refused.server.nPort = 81;
    const std::uint32_t nRefused = table.Apply(Record(LogRecordKind::SessionStart, 2, 0), 0, 0);
    table.Apply(refused, 0, 0);
    table.Apply(Record(LogRecordKind::SessionEnd, 2, 2), 0, 0);
    ASSERT_TRUE(table.GetRow(nRefused, info));
    EXPECT_EQ(SessionState::Refused, info.state);
    EXPECT_EQ(SessionEnd::Refused, info.end);
    EXPECT_EQ("nowhere.test", info.strServerHost);
    EXPECT_EQ(81, info.server.nPort);

    // Ended by the relay while one side was still open: closed, as stopped.
    const std::uint32_t nStopped = table.Apply(Record(LogRecordKind::SessionStart, 3, 0), 0, 0);
    table.Apply(Record(LogRecordKind::SessionConnected, 3, 1), 0, 0);
    table.Apply(Record(LogRecordKind::SideClosed, 3, 2, LogDirection::ServerToClient), 0, 0);
    EXPECT_EQ(SessionState::HalfClosed, StateOf(table, nStopped));
    table.Apply(Record(LogRecordKind::SessionEnd, 3, 3), 0, 0);
    ASSERT_TRUE(table.GetRow(nStopped, info));
    EXPECT_EQ(SessionState::Closed, info.state);
    EXPECT_EQ(SessionEnd::Stopped, info.end);

    EXPECT_STREQ("reset", SessionStateText(SessionState::Reset));
    EXPECT_STREQ("half-closed", SessionStateText(SessionState::HalfClosed));
}

TEST(SessionTableTest, ClearKeepsRunningSessionsEmptied) {
    CSessionTable table;
    table.Apply(Record(LogRecordKind::SessionStart, 1, 0), 0, 0);
    table.Apply(Record(LogRecordKind::SessionEnd, 1, 1), 0, 0);
    table.Apply(Record(LogRecordKind::SessionStart, 2, 0), 0, 0);
    table.Apply(Record(LogRecordKind::SessionConnected, 2, 1), 0, 0);
    table.Apply(Record(LogRecordKind::Block, 2, 2, LogDirection::ClientToServer, "abc"), 0, 0);
    const std::uint64_t nEpoch = table.GetEpoch();
    table.Clear();
    EXPECT_NE(nEpoch, table.GetEpoch());
    ASSERT_EQ(1u, table.GetCount());
    CSessionInfo info;
    ASSERT_TRUE(table.GetRow(0, info));
    EXPECT_EQ(2u, info.nSessionId);
    EXPECT_EQ(0u, info.nBytes[0]);
    EXPECT_EQ(UINT64_MAX, info.nFirstBlock);
    // Its records go on to the same row; an unknown session gets a new one.
    EXPECT_EQ(0u, table.Apply(Record(LogRecordKind::Block, 2, 3, LogDirection::ServerToClient, "x"),
                              0, 0));
    EXPECT_EQ(1u, table.Apply(Record(LogRecordKind::Block, 9, 4, LogDirection::ServerToClient, "y"),
                              1, 5));
    EXPECT_EQ(SessionState::Open, StateOf(table, 1));
}

TEST(SessionListModelTest, FollowsChangesAndSortsByAnyColumn) {
    CSessionTable table;
    CSessionListModel list(table);
    for (std::uint64_t n = 1; n <= 5; ++n) {
        table.Apply(Record(LogRecordKind::SessionStart, n, static_cast<std::int64_t>(100 - n)), 0,
                    0);
        table.Apply(Record(LogRecordKind::SessionConnected, n, 200), 0, 0);
        const std::string bytes(static_cast<std::size_t>((n * 37) % 11), 'x');
        table.Apply(Record(LogRecordKind::Block, n, 300, LogDirection::ClientToServer, bytes), n,
                    n);
    }
    CSessionListModel::CUpdate update = list.Refresh();
    EXPECT_TRUE(update.bReset);
    ASSERT_EQ(5u, list.GetRowCount());
    EXPECT_FALSE(list.Refresh().Any());

    // New and changed rows in the log's order.
    table.Apply(Record(LogRecordKind::SessionStart, 6, 50), 0, 0);
    table.Apply(Record(LogRecordKind::SideReset, 2, 400), 0, 0);
    update = list.Refresh();
    EXPECT_EQ(5u, update.nFirstNew);
    EXPECT_EQ(1u, update.nNew);
    ASSERT_EQ(1u, update.changed.size());
    EXPECT_EQ(1u, update.changed[0]);
    EXPECT_EQ("reset", list.GetText(1, CSessionListModel::ColState, 0));
    EXPECT_EQ("connecting", list.GetText(5, CSessionListModel::ColState, 0));

    auto column = [&](int nColumn) {
        std::vector<std::string> texts;
        for (std::size_t n = 0; n < list.GetRowCount(); ++n) {
            texts.push_back(list.GetText(n, nColumn, 1000));
        }
        return texts;
    };
    list.Sort(CSessionListModel::ColBytesSent, true);
    const std::vector<std::string> bytes = column(CSessionListModel::ColBytesSent);
    EXPECT_EQ((std::vector<std::string>{"0", "1", "4", "5", "8", "9"}), bytes);
    list.Sort(CSessionListModel::ColStarted, false);
    std::vector<std::int64_t> starts;
    for (std::size_t n = 0; n < list.GetRowCount(); ++n) {
        starts.push_back(list.GetRow(n).nStartUs);
    }
    EXPECT_TRUE(std::is_sorted(starts.rbegin(), starts.rend()));
    list.Sort(CSessionListModel::ColState, true);
    EXPECT_EQ("connecting", column(CSessionListModel::ColState).front());
    EXPECT_EQ("reset", column(CSessionListModel::ColState).back());
    // The view row of every table row is where the row shows.
    for (std::size_t n = 0; n < list.GetRowCount(); ++n) {
        EXPECT_EQ(n, list.FindViewRow(list.GetTableRow(n)));
    }
    // Sorted, a change re-sorts: session 6 sends the most and moves to the end.
    list.Sort(CSessionListModel::ColBytesSent, true);
    table.Apply(
        Record(LogRecordKind::Block, 6, 500, LogDirection::ClientToServer, std::string(50, 'y')), 9,
        9);
    update = list.Refresh();
    EXPECT_TRUE(update.bLayout);
    EXPECT_EQ("50", column(CSessionListModel::ColBytesSent).back());
    list.Sort(-1, true);
    EXPECT_EQ(6u, list.GetRow(5).nSessionId);
}

TEST(SessionListModelTest, TheTlsColumnShowsWhatTlsDidAndEveryColumnHasATitle) {
    CSessionTable table;
    CSessionListModel list(table);
    table.Apply(Record(LogRecordKind::SessionStart, 1, 10), 0, 0);
    table.Apply(Record(LogRecordKind::SessionStart, 2, 20), 0, 0);
    table.Apply(
        Record(LogRecordKind::SessionTls, 2, 30, LogDirection::ClientToServer, "TLS 1.3 h1"), 0, 0);
    list.Refresh();
    ASSERT_EQ(2u, list.GetRowCount());
    EXPECT_EQ("", list.GetText(0, CSessionListModel::ColTls, 0));
    EXPECT_EQ("TLS 1.3 h1", list.GetText(1, CSessionListModel::ColTls, 0));
    EXPECT_EQ("1", list.GetText(0, CSessionListModel::ColOrdinal, 0));
    list.Sort(CSessionListModel::ColTls, false);
    EXPECT_EQ("TLS 1.3 h1", list.GetText(0, CSessionListModel::ColTls, 0));
    list.Sort(CSessionListModel::ColOrdinal, false);
    EXPECT_EQ("2", list.GetText(0, CSessionListModel::ColOrdinal, 0));
    for (int n = 0; n < CSessionListModel::ColCount; ++n) {
        EXPECT_STRNE("", CSessionListModel::ColumnTitle(n)) << n;
    }
}

TEST(SessionListModelTest, HundredThousandSessions) {
    CSessionTable table;
    CSessionListModel list(table);
    constexpr std::uint64_t kSessions = 100000;
    for (std::uint64_t n = 1; n <= kSessions; ++n) {
        table.Apply(Record(LogRecordKind::SessionStart, n, static_cast<std::int64_t>(n)), 0, 0);
        table.Apply(
            Record(LogRecordKind::Block, n, static_cast<std::int64_t>(n),
                   LogDirection::ServerToClient, std::string_view("0123456789", (n * 7919) % 11)),
            n, n);
    }
    list.Refresh();
    ASSERT_EQ(kSessions, list.GetRowCount());
    list.Sort(CSessionListModel::ColBytesReceived, false);
    for (std::size_t n = 1; n < kSessions; ++n) {
        ASSERT_GE(list.GetRow(n - 1).nBytes[1], list.GetRow(n).nBytes[1]) << n;
    }
    // A change of a few rows copies only those.
    table.Apply(Record(LogRecordKind::SessionEnd, 77, 1'000'000), 0, 0);
    const CSessionTable::CChanges changes =
        table.GetChanges(table.GetEpoch(), table.GetVersion() - 1);
    EXPECT_EQ(1u, changes.rows.size());
    const CSessionListModel::CUpdate update = list.Refresh();
    EXPECT_TRUE(update.bLayout);
    EXPECT_EQ(kSessions, list.GetRowCount());
}

// A sorted list takes changes by moving only the changed and new rows: after every
// refresh its order is exactly the order a list sorted afresh has.
TEST(SessionListModelTest, SortedRefreshEqualsSortingAfresh) {
    for (const int nColumn :
         {CSessionListModel::ColBytesSent, CSessionListModel::ColState,
          CSessionListModel::ColDuration, CSessionListModel::ColBlocksReceived}) {
        for (const bool bAscending : {true, false}) {
            CSessionTable table;
            CSessionListModel list(table);
            list.Sort(nColumn, bAscending);
            std::uint64_t nNext = 12345;
            const auto random = [&](std::uint64_t nBelow) {
                nNext = nNext * 6364136223846793005ull + 1442695040888963407ull;
                return (nNext >> 33) % nBelow;
            };
            std::uint64_t nSessions = 0;
            for (int nRound = 0; nRound < 40; ++nRound) {
                for (std::uint64_t i = random(4); i-- > 0;) {
                    ++nSessions;
                    table.Apply(Record(LogRecordKind::SessionStart, nSessions, nRound), 0, 0);
                }
                for (std::uint64_t i = random(6); i-- > 0 && nSessions > 0;) {
                    const std::uint64_t nId = 1 + random(nSessions);
                    const auto kind =
                        random(5) == 0 ? LogRecordKind::SessionEnd : LogRecordKind::Block;
                    table.Apply(Record(kind, nId, 100 + nRound,
                                       random(2) == 0 ? LogDirection::ClientToServer
                                                      : LogDirection::ServerToClient,
                                       std::string(random(4), 'z')),
                                0, 0);
                }
                list.Refresh();
                CSessionListModel fresh(table);
                fresh.Refresh();
                fresh.Sort(nColumn, bAscending);
                ASSERT_EQ(fresh.GetRowCount(), list.GetRowCount());
                for (std::size_t n = 0; n < list.GetRowCount(); ++n) {
                    ASSERT_EQ(fresh.GetTableRow(n), list.GetTableRow(n))
                        << "column " << nColumn << (bAscending ? " up" : " down") << ", round "
                        << nRound << ", view row " << n;
                    ASSERT_EQ(n, list.FindViewRow(list.GetTableRow(n)));
                }
            }
        }
    }
}

TEST(SessionListModelTest, FormatsDurations) {
    EXPECT_EQ("0.250 s", FormatDuration(250'000));
    EXPECT_EQ("59.999 s", FormatDuration(59'999'000));
    EXPECT_EQ("1:01:01", FormatDuration(3'661'000'000));
}

}  // namespace
