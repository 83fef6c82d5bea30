#include "capture/ResponseWriter.h"

#include <sys/stat.h>

#include <filesystem>

#include "RelayFixture.h"
#include "platform/FaultInjection.h"

namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

// The save and failure lines go to the log of the fixture's main window.
class ResponseWriterTest : public test::RelayFixture {
protected:
    void TearDown() override {
        win::DisarmFaults();
        RelayFixture::TearDown();
    }
    std::wstring Root() const { return m_files.WPath("data"); }
    std::wstring File(const std::string& name) const { return m_files.WPath("data/" + name); }

    CTempFolder m_files;
};

TEST_F(ResponseWriterTest, WritesInOrderAndClosesEachFileAtTheNextBegin) {
    {
        CResponseWriter writer;
        writer.Begin(Root(), File("h/one.txt"));
        writer.Write("a\0"s, true);
        writer.Write("b\0"s, true);
        writer.Note(L"\nnote after one\n");
        writer.End();
        writer.Begin(Root(), File("h/two.bin"));
        writer.Write("\x89PNG", false);
        writer.Restart();  // dropped: written again from the start
        writer.Write("again", false);
        writer.End();
        writer.Begin(Root(), File("h/empty"));  // no body byte: no file
        writer.End();
        writer.Finish();
        EXPECT_EQ(0u, writer.QueuedBytes());
    }
    EXPECT_EQ(
        "\xff\xfe"
        "a\0b\0"s,
        m_files.ReadFile("data/h/one.txt"));
    EXPECT_EQ("again", m_files.ReadFile("data/h/two.bin"));
    EXPECT_FALSE(fs::exists(m_files.Path("data/h/empty")));
    // The note comes after its file's save line.
    const std::vector<test::CLogRow> rows = m_log.Rows();
    const auto save = std::find(rows.begin(), rows.end(),
                                test::CLogRow{L"\nSave to \"" + File("h/one.txt") + L"\"\n", 1});
    const auto note = std::find(rows.begin(), rows.end(), test::CLogRow{L"\nnote after one\n", 1});
    ASSERT_NE(rows.end(), save);
    EXPECT_LT(save, note);
}

TEST_F(ResponseWriterTest, AFileInTheWayIsRefusedWithALineAndNothingWaits) {
    fs::create_directories(m_files.Path("data/h"));
    ASSERT_EQ(0, ::mkfifo(m_files.Path("data/h/pipe").c_str(), 0600));
    fs::create_directory_symlink(m_files.Path(), m_files.Path("data/h/up"));
    const auto start = std::chrono::steady_clock::now();
    {
        CResponseWriter writer;
        writer.Begin(Root(), File("h/pipe"));
        writer.Write("body", false);
        writer.Write("more", false);  // the failure is told once
        writer.Begin(Root(), File("h/up/escaped"));
        writer.Write("body", false);
        writer.Begin(L"/elsewhere", File("h/x"));
        writer.Write("body", false);
        writer.Begin(Root(), File("h"));  // a folder, not a file
        writer.Write("body", false);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(m_log.Contains(L"\nOpen \"" + File("h/pipe") +
                               L"\" failed! the name is taken by something that is not a "
                               L"regular file\n"));
    EXPECT_TRUE(m_log.Contains(L"\nOpen \"" + File("h/up/escaped") +
                               L"\" failed! a symbolic link is in the way (links below the "
                               L"data folder are not followed)\n"));
    EXPECT_TRUE(m_log.Contains(L"\nOpen \"" + File("h/x") +
                               L"\" failed! The path is not below the data folder\n"));
    EXPECT_TRUE(
        m_log.Contains(L"\nOpen \"" + File("h") + L"\" failed! the name is taken by a folder\n"));
    EXPECT_FALSE(fs::exists(m_files.Path("escaped")));
    int nFailures = 0;
    for (const test::CLogRow& row : m_log.Rows()) {
        nFailures += row.text.find(L"failed!") != std::wstring::npos ? 1 : 0;
    }
    EXPECT_EQ(4, nFailures);
}

TEST_F(ResponseWriterTest, AFullDiskLeavesAFileWhoseNameSaysItIsPartial) {
    win::CFaultRule rule;
    rule.call = win::FaultCall::SaveWrite;
    rule.nErrno = ENOSPC;
    rule.nSkip = 2;  // the mark and the first piece go in
    win::ArmFault(rule);
    {
        CResponseWriter writer;
        writer.Begin(Root(), File("h/page.txt"));
        writer.Write("a\0"s, true);
        writer.Write("b\0"s, true);
        writer.Write("c\0"s, true);
        writer.End();
    }
    EXPECT_FALSE(fs::exists(m_files.Path("data/h/page.txt")));
    EXPECT_EQ(
        "\xff\xfe"
        "a\0"s,
        m_files.ReadFile("data/h/page.txt.partial"));
    EXPECT_TRUE(m_log.Contains(L"\nSave to \"" + File("h/page.txt") +
                               L"\" failed! the disk is full; the first 4 bytes are in \"" +
                               File("h/page.txt.partial") + L"\"\n"));
}

TEST_F(ResponseWriterTest, ASlowDiskHoldsUpOnlyItsOwnWriterAndTheQueueStaysBounded) {
    win::CFaultRule rule;
    rule.call = win::FaultCall::SaveWrite;
    rule.nErrno = 0;
    rule.nDelayMs = 200;
    rule.nTimes = 1000;
    CResponseWriter slow;
    slow.Begin(Root(), File("h/slow"));
    slow.Write("first", false);
    ASSERT_TRUE(test::WaitUntil([&] { return fs::exists(m_files.Path("data/h/slow")); }));
    win::ArmFault(rule);  // every later write of every writer takes 200 ms
    const std::string piece(64 * 1024, 's');
    std::size_t nMostQueued = 0;
    for (int i = 0; i < 8; ++i) {
        slow.Write(piece, false);
        slow.WaitForRoom([] { return false; });
        nMostQueued = std::max(nMostQueued, slow.QueuedBytes());
    }
    EXPECT_LE(nMostQueued, CResponseWriter::kMaxQueued);
    // Another writer's open is not queued behind the slow one.
    const auto start = std::chrono::steady_clock::now();
    {
        CResponseWriter other;
        other.Begin(Root(), File("h/other"));
        other.Write("x", false);
        other.Finish();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));
    EXPECT_EQ("x", m_files.ReadFile("data/h/other"));
    // A stop ends the wait for room at once.
    for (int i = 0; i < 8; ++i) {
        slow.Write(piece, false);
    }
    const auto stopStart = std::chrono::steady_clock::now();
    slow.WaitForRoom([] { return true; });
    EXPECT_LT(std::chrono::steady_clock::now() - stopStart, std::chrono::milliseconds(100));
    win::DisarmFaults();
    slow.End();
    slow.Finish();
    EXPECT_EQ(5 + 16 * piece.size(), fs::file_size(m_files.Path("data/h/slow")));
}

TEST_F(ResponseWriterTest, AWriterThatTakesNothingHasTheRestOfItsResponseDropped) {
    win::CFaultRule rule;
    rule.call = win::FaultCall::SaveWrite;
    rule.nErrno = 0;
    rule.nDelayMs = 1500;  // one write that hangs far longer than the relay waits
    CResponseWriter writer(std::chrono::milliseconds(300));
    writer.Begin(Root(), File("h/stuck"));
    win::ArmFault(rule);
    const std::string piece(64 * 1024, 's');
    for (int i = 0; i < 8; ++i) {
        writer.Write(piece, false);
    }
    const auto start = std::chrono::steady_clock::now();
    writer.WaitForRoom([] { return false; });
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_LT(waited, std::chrono::milliseconds(1400));  // before the stuck write returned
    // Only the piece being written is left of the queue, and later ones are not queued.
    EXPECT_EQ(piece.size(), writer.QueuedBytes());
    writer.Write(piece, false);
    EXPECT_EQ(piece.size(), writer.QueuedBytes());
    writer.End();
    writer.Finish();
    // The piece that was being written is all the file holds, and its name says it is cut.
    EXPECT_EQ(piece.size(), fs::file_size(m_files.Path("data/h/stuck.partial")));
    EXPECT_TRUE(m_log.Contains(L"\nSave to \"" + File("h/stuck") +
                               L"\" failed! the disk took nothing for 300 ms; the rest of the "
                               L"response is not saved; the first 65536 bytes are in \"" +
                               File("h/stuck.partial") + L"\"\n"));
}

}  // namespace
