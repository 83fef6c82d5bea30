// The network conditions without a network: the command-line syntax, the texts, and the
// shaper's pieces, cut and stop against a recording send.
#include <gtest/gtest.h>

#include <thread>

#include "app/CliOptions.h"
#include "capture/ConditionShaper.h"
#include "capture/NetConditionsParser.h"
#include "logdoc/SessionListModel.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

CNetConditions Parse(std::initializer_list<std::pair<const char*, const char*>> options) {
    CNetConditions c;
    for (const auto& [name, value] : options) {
        std::string strError;
        EXPECT_TRUE(ApplyNetConditionOption(name, value, c, &strError)) << name << " " << value;
    }
    return c;
}

TEST(NetConditionsParserTest, ValuesActBothWaysUnlessADirectionIsNamed) {
    const CNetConditions c = Parse({{"latency", "200:20"},
                                    {"bandwidth", "down:500"},
                                    {"slice", "up:10:5"},
                                    {"cut-after", "down:65536:reset"},
                                    {"cut-after", "up:100"},
                                    {"reset-share", "30"}});
    EXPECT_EQ(200, c.up.nLatencyMs);
    EXPECT_EQ(20, c.down.nJitterMs);
    EXPECT_EQ(0, c.up.nBandwidthKBps);
    EXPECT_EQ(500, c.down.nBandwidthKBps);
    EXPECT_EQ(10, c.up.nSliceBytes);
    EXPECT_EQ(5, c.up.nSliceDelayMs);
    EXPECT_EQ(0, c.down.nSliceBytes);
    EXPECT_EQ(65536, c.down.nCutAfter);
    EXPECT_TRUE(c.down.bCutReset);
    EXPECT_EQ(100, c.up.nCutAfter);
    EXPECT_FALSE(c.up.bCutReset);  // close is the default
    EXPECT_EQ(30, c.up.nResetShare);
    EXPECT_EQ(30, c.down.nResetShare);

    // Repeated: the later value wins for the directions it names, the other one stays.
    const CNetConditions r = Parse({{"latency", "100"}, {"latency", "down:300"}});
    EXPECT_EQ(100, r.up.nLatencyMs);
    EXPECT_EQ(300, r.down.nLatencyMs);
    // Zero switches a condition off again.
    EXPECT_FALSE(Parse({{"bandwidth", "500"}, {"bandwidth", "0"}}).IsActive());
}

TEST(NetConditionsParserTest, BadValuesAreRefusedWithTheOptionAndItsSyntax) {
    const std::pair<const char*, const char*> bad[] = {
        {"latency", ""},
        {"latency", "abc"},
        {"latency", "-5"},
        {"latency", "10:"},
        {"latency", "10:5:1"},
        {"latency", "600001"},
        {"latency", "sideways:5"},
        {"latency", "up:"},
        {"bandwidth", "1.5"},
        {"bandwidth", "10:2"},
        {"slice", "0x10"},
        {"slice", "2000000"},
        {"cut-after", "100:drop"},
        {"cut-after", "100:reset:1"},
        {"reset-share", "101"},
        {"reset-share", "50%"},
        {"bandwidth", "99999999999999999999"},
    };
    for (const auto& [name, value] : bad) {
        CNetConditions c = Parse({{"latency", "7"}});
        const CNetConditions before = c;
        std::string strError;
        EXPECT_FALSE(ApplyNetConditionOption(name, value, c, &strError)) << name << " " << value;
        EXPECT_EQ(before, c) << "a refused value changes nothing";
        EXPECT_NE(std::string::npos, strError.find(std::string("--") + name)) << strError;
        EXPECT_NE(std::string::npos, strError.find("expected")) << strError;
    }
    std::string strError;
    CNetConditions c;
    EXPECT_FALSE(ApplyNetConditionOption("jitter", "5", c, &strError));
    EXPECT_FALSE(IsNetConditionOption("jitter"));
    EXPECT_TRUE(IsNetConditionOption("cut-after"));
}

TEST(NetConditionsParserTest, TheSettingsTextGivesTheSameConditionsBack) {
    const CNetConditions c = Parse({{"latency", "up:200:20"},
                                    {"latency", "down:80"},
                                    {"bandwidth", "500"},
                                    {"slice", "down:1:0"},
                                    {"cut-after", "up:65536:reset"},
                                    {"reset-share", "down:5"}});
    const std::string strArgs = FormatNetConditionArgs(c);
    EXPECT_EQ(
        "--latency up:200:20 --latency down:80 --bandwidth 500 --slice down:1:0 "
        "--cut-after up:65536:reset --reset-share down:5",
        strArgs);
    std::string strError;
    const std::optional<CNetConditions> back = ParseNetConditionArgs(strArgs, &strError);
    ASSERT_TRUE(back) << strError;
    EXPECT_EQ(c, *back);
    EXPECT_EQ("", FormatNetConditionArgs(CNetConditions()));
    EXPECT_TRUE(ParseNetConditionArgs("", &strError));
    EXPECT_FALSE(ParseNetConditionArgs("--latency", &strError));
    EXPECT_FALSE(ParseNetConditionArgs("latency 5", &strError));
    EXPECT_FALSE(ParseNetConditionArgs("--latency five", &strError));
}

TEST(NetConditionsParserTest, TheShortTextNamesADirectionOnlyWhereTheyDiffer) {
    EXPECT_EQ("latency 200 ms, 500 KB/s down",
              DescribeNetConditions(Parse({{"latency", "200"}, {"bandwidth", "down:500"}})));
    EXPECT_EQ(
        "latency 10 ms \xC2\xB1"
        "5 up, latency 30 ms down, slices of 4 B, 2 ms apart, "
        "cut after 100 B (reset) down, reset 100 % of connections up",
        DescribeNetConditions(Parse({{"latency", "up:10:5"},
                                     {"latency", "down:30"},
                                     {"slice", "4:2"},
                                     {"cut-after", "down:100:reset"},
                                     {"reset-share", "up:100"}})));
    EXPECT_EQ("", DescribeNetConditions(CNetConditions()));
}

TEST(NetConditionsParserTest, OnlyActiveConditionsReachNewSessions) {
    SetActiveNetConditions(Parse({{"bandwidth", "100"}}));
    ASSERT_TRUE(ActiveNetConditions());
    EXPECT_EQ(100, ActiveNetConditions()->down.nBandwidthKBps);
    SetActiveNetConditions(CNetConditions());
    EXPECT_FALSE(ActiveNetConditions());
}

TEST(NetConditionsParserTest, TheCommandLineTakesThemRepeatedAndWithAnEqualsSign) {
    const char* const args[] = {"tapvane-cli", "--latency", "up:200",      "--latency=down:50:5",
                                "--bandwidth", "down:500",  "--cut-after", "65536:reset"};
    CCliOptions options;
    std::string strError;
    ASSERT_TRUE(ParseCliOptions(std::size(args), args, options, strError)) << strError;
    EXPECT_EQ("--latency up:200 --latency down:50:5 --bandwidth down:500 --cut-after 65536:reset",
              FormatNetConditionArgs(options.netConditions));

    const char* const bad[] = {"tapvane-cli", "--slice", "up:1:x"};
    CCliOptions none;
    EXPECT_FALSE(ParseCliOptions(std::size(bad), bad, none, strError));
    EXPECT_EQ(
        "--slice \"up:1:x\": expected [up:|down:]BYTES[:DELAY_MS] (a piece of 1 to "
        "1048576 bytes, 0 = no slicing)",
        strError);
    const char* const missing[] = {"tapvane-cli", "--reset-share"};
    EXPECT_FALSE(ParseCliOptions(std::size(missing), missing, none, strError));
    EXPECT_EQ("option --reset-share needs a value", strError);
}

TEST(NetConditionsParserTest, TheSessionListShowsTheConditionsAndWhatEndedASession) {
    CSessionTable table;
    CSessionListModel list(table);
    auto record = [](LogRecordKind kind, std::uint64_t nId, std::string_view bytes = {}) {
        CLogRecord r;
        r.kind = kind;
        r.nSessionId = nId;
        r.nTimeUs = 1000;
        r.bytes = bytes;
        return r;
    };
    table.Apply(record(LogRecordKind::SessionStart, 1), 0, 0);
    table.Apply(record(LogRecordKind::SessionStart, 2), 0, 0);
    table.Apply(record(LogRecordKind::SessionConditions, 2, "latency 200 ms, 500 KB/s down"), 0, 0);
    table.Apply(record(LogRecordKind::SessionConditions, 2,
                       "cut after 65536 bytes: reset (server to client)"),
                0, 0);
    list.Refresh();
    ASSERT_EQ(2u, list.GetRowCount());
    EXPECT_EQ("", list.GetText(0, CSessionListModel::ColConditions, 0));
    EXPECT_EQ("latency 200 ms, 500 KB/s down; cut after 65536 bytes: reset (server to client)",
              list.GetText(1, CSessionListModel::ColConditions, 0));
    EXPECT_STREQ("Conditions", CSessionListModel::ColumnTitle(CSessionListModel::ColConditions));
    list.Sort(CSessionListModel::ColConditions, false);
    EXPECT_EQ("2", list.GetText(0, CSessionListModel::ColOrdinal, 0));
}

// A shaper whose sends are recorded with their times.
struct CRecorder {
    std::vector<std::string> pieces;
    std::vector<Clock::time_point> times;
    std::vector<std::string> notes;
    CConditionShaper::Result Send(CConditionShaper& shaper, std::string_view bytes,
                                  const CConditionShaper::StopFn& fnStop = {}) {
        return shaper.Send(
            bytes, Clock::now(),
            [this](std::string_view piece) {
                pieces.emplace_back(piece);
                times.push_back(Clock::now());
                return true;
            },
            fnStop, [this](const std::string& strText) { notes.push_back(strText); });
    }
    std::string All() const {
        std::string s;
        for (const std::string& p : pieces) {
            s += p;
        }
        return s;
    }
};

TEST(ConditionShaperTest, SlicesAreExactAcrossBlocksAndKeepTheOrder) {
    CDirectionConditions d;
    d.nSliceBytes = 3;
    d.nSliceDelayMs = 20;
    CConditionShaper shaper(d);
    CRecorder rec;
    EXPECT_EQ(CConditionShaper::Result::Sent, rec.Send(shaper, "abcdefgh"));
    EXPECT_EQ(CConditionShaper::Result::Sent, rec.Send(shaper, "ij"));
    const std::vector<std::string> expected = {"abc", "def", "gh", "ij"};
    EXPECT_EQ(expected, rec.pieces);
    // The pause lies between any two pieces, the next block's first one included.
    for (std::size_t i = 1; i < rec.times.size(); ++i) {
        EXPECT_GE(rec.times[i] - rec.times[i - 1], 20ms) << i;
    }
    EXPECT_EQ(std::vector<std::string>{"sliced into pieces of 3 bytes, 20 ms apart"}, rec.notes);
}

TEST(ConditionShaperTest, TheCutSendsExactlyItsBytesThenDropsTheRest) {
    CDirectionConditions d;
    d.nCutAfter = 10;
    d.nSliceBytes = 4;
    CConditionShaper shaper(d);
    CRecorder rec;
    EXPECT_EQ(CConditionShaper::Result::Sent, rec.Send(shaper, "0123"));
    EXPECT_EQ(CConditionShaper::Result::Cut, rec.Send(shaper, "456789abcdef"));
    EXPECT_EQ("0123456789", rec.All());
    EXPECT_EQ(CConditionShaper::Result::Dropped, rec.Send(shaper, "more"));
    EXPECT_EQ(10, shaper.GetSentBytes());

    // A cut on a block's end leaves nothing over for the next block.
    CConditionShaper exact(CDirectionConditions{.nCutAfter = 4});
    CRecorder rec2;
    EXPECT_EQ(CConditionShaper::Result::Cut, rec2.Send(exact, "wxyz"));
    EXPECT_EQ(CConditionShaper::Result::Dropped, rec2.Send(exact, "!"));
    EXPECT_EQ("wxyz", rec2.All());
}

TEST(ConditionShaperTest, LatencyDelaysEachBlockFromItsArrivalAndIsNotedOnce) {
    CConditionShaper shaper(CDirectionConditions{.nLatencyMs = 30});
    CRecorder rec;
    for (int i = 0; i < 3; ++i) {
        const auto start = Clock::now();
        EXPECT_EQ(CConditionShaper::Result::Sent, rec.Send(shaper, "x"));
        EXPECT_GE(rec.times.back() - start, 30ms);
        EXPECT_LT(rec.times.back() - start, 200ms);
    }
    EXPECT_EQ(std::vector<std::string>{"delayed 30 ms"}, rec.notes);
}

TEST(ConditionShaperTest, AStopEndsALongDelayWithinAPoll) {
    for (const CDirectionConditions& d :
         {CDirectionConditions{.nLatencyMs = 60000},
          CDirectionConditions{.nSliceBytes = 1, .nSliceDelayMs = 60000},
          CDirectionConditions{.nBandwidthKBps = 1}}) {
        CConditionShaper shaper(d);
        CRecorder rec;
        std::atomic<bool> bStop{false};
        std::thread stopper([&] {
            std::this_thread::sleep_for(50ms);
            bStop = true;
        });
        const auto start = Clock::now();
        EXPECT_EQ(CConditionShaper::Result::Failed,
                  rec.Send(shaper, std::string(5000, 'z'), [&] { return bStop.load(); }));
        const auto elapsed = Clock::now() - start;
        stopper.join();
        EXPECT_LT(elapsed, 50ms + 10 * CConditionShaper::kStopPoll);
        EXPECT_LT(rec.All().size(), 5000u);
    }
}

TEST(ConditionShaperTest, BandwidthPacesPiecesAndForgivesNoIdleBurst) {
    CConditionShaper shaper(CDirectionConditions{.nBandwidthKBps = 100});  // 100000 B/s
    CRecorder rec;
    const auto start = Clock::now();
    EXPECT_EQ(CConditionShaper::Result::Sent, rec.Send(shaper, std::string(130000, 'b')));
    // 130000 bytes at 100000 B/s: the last of the 2000-byte pieces leaves at 1.28 s, the
    // reckoning having started again after the first second.
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, 1280ms);
    EXPECT_LT(elapsed, 1450ms);
    for (const std::string& piece : rec.pieces) {
        EXPECT_LE(piece.size(), 2000u);
    }
    EXPECT_EQ(std::vector<std::string>{"limited to 100 KB/s"}, rec.notes);
    // After an idle second the next block is paced from its own start, not let through
    // at once as if the second had been saved up.
    std::this_thread::sleep_for(300ms);
    const auto again = Clock::now();
    rec.Send(shaper, std::string(20000, 'c'));
    EXPECT_GE(Clock::now() - again, 180ms);
}

}  // namespace
