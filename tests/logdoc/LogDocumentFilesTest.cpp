// Saving and loading the log, safe replacement of the old file, and a spool on a full disk.
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TempFolder.h"
#include "logdoc/LogDocument.h"
#include "module/Messages.h"
#include "platform/WinError.h"

namespace {

// Limits the size of every file this process writes, for a scope; writing past it fails
// with EFBIG instead of raising SIGXFSZ.
class CFileSizeLimit {
public:
    explicit CFileSizeLimit(rlim_t nBytes) {
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{nBytes, m_saved.rlim_max};
        m_bActive = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~CFileSizeLimit() { Lift(); }
    void Lift() {
        if (m_bActive) {
            ::setrlimit(RLIMIT_FSIZE, &m_saved);
            std::signal(SIGXFSZ, m_oldHandler);
            m_bActive = false;
        }
    }
    bool IsActive() const { return m_bActive; }

private:
    rlimit m_saved{};
    void (*m_oldHandler)(int) = nullptr;
    bool m_bActive = false;
};

std::size_t CountFiles(const std::string& strFolder) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(strFolder)) {
        ++n;
    }
    return n;
}

class LogDocumentFilesTest : public ::testing::Test {
protected:
    CTempFolder m_dir;
    CLogDocument m_doc{m_dir.Path()};
};

TEST_F(LogDocumentFilesTest, SavedFileIsPlainTextWithCrLfAndLoadsBackTheSame) {
    m_doc.AppendLog(L"\r\n0---<---", LOG_STYLE_BOLD);
    m_doc.AppendLogBytes(std::string("GET /\nHost: x\r\rbin \x01\x80\xFF\0z\r\n", 25),
                         LOG_STYLE_PLAIN);
    m_doc.AppendLog(L"Session 1 stopped.", LOG_STYLE_BOLD);
    const std::string strBefore = m_doc.ExtractText(0, m_doc.GetSize(), "\r\n");
    ASSERT_EQ(m_doc.SaveTo(m_dir.WPath("log.txt")), 0u);
    EXPECT_FALSE(m_doc.IsModified());

    const std::string strFile = m_dir.ReadFile("log.txt");
    EXPECT_EQ(strFile,
              "\r\n0---<---GET /\r\nHost: x\r\n\r\nbin \x01\xE2\x82\xAC\xC3\xBF\xE2\x90\x80z\r\n"
              "Session 1 stopped.");
    EXPECT_EQ(CountFiles(m_dir.Path()), 1u);  // no new file left beside it

    m_doc.AppendLog(L"more", LOG_STYLE_BOLD);
    ASSERT_EQ(m_doc.LoadFrom(m_dir.WPath("log.txt")), 0u);
    EXPECT_EQ(m_doc.ExtractText(0, m_doc.GetSize(), "\r\n"), strBefore);
    EXPECT_TRUE(m_doc.GetBoldRuns(0, m_doc.GetSize()).empty());  // no formatting comes back
    EXPECT_FALSE(m_doc.IsModified());
}

TEST_F(LogDocumentFilesTest, AWindows1252FileLoadsWithItsCharacters) {
    m_dir.WriteFile("cp1252.txt", "caf\xE9 \x80 5\xB0 \x93q\x94\r\nna\xEFve");
    ASSERT_EQ(m_doc.LoadFrom(m_dir.WPath("cp1252.txt")), 0u);
    EXPECT_EQ(m_doc.ReadBytes(0, m_doc.GetSize()),
              "caf\xC3\xA9 \xE2\x82\xAC 5\xC2\xB0 \xE2\x80\x9Cq\xE2\x80\x9D\r\nna\xC3\xAFve");
    EXPECT_EQ(m_doc.GetLineCount(), 2u);
}

TEST_F(LogDocumentFilesTest, AUtf8CharacterAcrossTheReadChunksStaysOne) {
    // The loader reads 4 MiB at a time; put a euro sign across that boundary.
    std::string text(4 * 1024 * 1024 - 1, 'a');
    text +=
        "\xE2\x82\xAC"
        "b";
    m_dir.WriteFile("split.txt", text);
    ASSERT_EQ(m_doc.LoadFrom(m_dir.WPath("split.txt")), 0u);
    EXPECT_EQ(m_doc.GetSize(), text.size());
    EXPECT_EQ(m_doc.ReadBytes(text.size() - 4, 4),
              "\xE2\x82\xAC"
              "b");
}

TEST_F(LogDocumentFilesTest, SequencesAndBreaksCutByTheReadChunksLoadWhole) {
    // What stands across the 4 MiB boundary of the loader's reads, cut at every place, and
    // what the log must hold of it.
    struct CCase {
        std::string strAcross;
        std::string strExpected;
        std::uint64_t nLines;
    };
    const CCase kCases[] = {
        {"\xC3\xA9", "\xC3\xA9", 1},                  // é
        {"\xE2\x82\xAC", "\xE2\x82\xAC", 1},          // €
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80", 1},  // a character beyond U+FFFF
        {"\r\n", "\r\n", 2},                          // one break, not two
        // Not UTF-8 after all: the lead and the continuation each as Windows-1252.
        {"\xE2\x82q", "\xC3\xA2\xE2\x80\x9Aq", 1},
        {"\xF0\x9F\x98q", "\xC3\xB0\xC5\xB8\xCB\x9Cq", 1},
    };
    constexpr std::size_t kReadBytes = 4 * 1024 * 1024;
    for (const CCase& c : kCases) {
        for (std::size_t nCut = 1; nCut < c.strAcross.size(); ++nCut) {
            std::string text(kReadBytes - nCut, 'a');
            text += c.strAcross + "z";
            m_dir.WriteFile("split.txt", text);
            ASSERT_EQ(m_doc.LoadFrom(m_dir.WPath("split.txt")), 0u);
            const std::uint64_t nPrefix = kReadBytes - nCut;
            ASSERT_EQ(m_doc.GetSize(), nPrefix + c.strExpected.size() + 1)
                << c.strExpected << " cut after " << nCut;
            EXPECT_EQ(m_doc.ReadBytes(nPrefix - 1, c.strExpected.size() + 2),
                      "a" + c.strExpected + "z")
                << "cut after " << nCut;
            EXPECT_EQ(m_doc.GetLineCount(), c.nLines) << "cut after " << nCut;
        }
    }
}

TEST_F(LogDocumentFilesTest, ASequenceCutByTheEndOfTheFileShowsItsBytes) {
    m_dir.WriteFile("cut.txt", "end \xE2\x82");
    ASSERT_EQ(m_doc.LoadFrom(m_dir.WPath("cut.txt")), 0u);
    EXPECT_EQ(m_doc.ReadBytes(0, 100), "end \xC3\xA2\xE2\x80\x9A");
}

TEST_F(LogDocumentFilesTest, LoadOfAMissingFileFailsAndKeepsTheLog) {
    m_doc.AppendLog(L"kept", LOG_STYLE_PLAIN);
    EXPECT_EQ(m_doc.LoadFrom(m_dir.WPath("missing.txt")), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(m_doc.ReadBytes(0, 100), "kept");
    EXPECT_TRUE(m_doc.IsModified());
}

TEST_F(LogDocumentFilesTest, CancelledLoadKeepsWhatWasRead) {
    m_dir.WriteFile("big.txt", std::string(10 * 1024 * 1024, 'x'));
    int nCalls = 0;
    const DWORD dw =
        m_doc.LoadFrom(m_dir.WPath("big.txt"), [&](std::uint64_t nDone, std::uint64_t nTotal) {
            EXPECT_EQ(nTotal, 10u * 1024 * 1024);
            EXPECT_GT(nDone, 0u);
            return ++nCalls < 2;
        });
    EXPECT_EQ(dw, ERROR_OPERATION_ABORTED);
    EXPECT_EQ(m_doc.GetSize(), 8u * 1024 * 1024);
    EXPECT_TRUE(m_doc.IsModified());
}

TEST_F(LogDocumentFilesTest, TextAppendedDuringTheSaveKeepsTheLogModified) {
    m_doc.AppendUtf8(std::string(6 * 1024 * 1024, 's'), LOG_STYLE_PLAIN);
    ASSERT_EQ(m_doc.SaveTo(m_dir.WPath("s.txt"),
                           [&](std::uint64_t, std::uint64_t) {
                               m_doc.AppendLog(L"late", LOG_STYLE_PLAIN);
                               return true;
                           }),
              0u);
    EXPECT_TRUE(m_doc.IsModified());
    EXPECT_EQ(m_dir.ReadFile("s.txt").size(), 6u * 1024 * 1024);  // the text as it was
}

TEST_F(LogDocumentFilesTest, FailedSaveKeepsTheOldFile) {
    m_dir.WriteFile("old.txt", "the old log");
    m_doc.AppendUtf8(std::string(200000, 'n'), LOG_STYLE_PLAIN);
    CFileSizeLimit limit(64 * 1024);
    ASSERT_TRUE(limit.IsActive());
    const DWORD dw = m_doc.SaveTo(m_dir.WPath("old.txt"));
    limit.Lift();
    EXPECT_NE(dw, 0u);
    EXPECT_EQ(m_dir.ReadFile("old.txt"), "the old log");
    EXPECT_EQ(CountFiles(m_dir.Path()), 1u);  // the half-written new file is gone
    EXPECT_TRUE(m_doc.IsModified());
}

TEST_F(LogDocumentFilesTest, SaveIntoAReadOnlyFolderFailsAndKeepsTheOldFile) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "running as root, which may write into read-only folders; the file "
                        "size limit test covers the failed save";
    }
    m_dir.WriteFile("old.txt", "old");
    ::chmod(m_dir.Path().c_str(), 0555);
    m_doc.AppendUtf8("new", LOG_STYLE_PLAIN);
    EXPECT_EQ(m_doc.SaveTo(m_dir.WPath("old.txt")), ERROR_ACCESS_DENIED);
    ::chmod(m_dir.Path().c_str(), 0755);
    EXPECT_EQ(m_dir.ReadFile("old.txt"), "old");
}

TEST_F(LogDocumentFilesTest, SaveKeepsTheModeOfTheFileItReplaces) {
    m_dir.WriteFile("mode.txt", "x");
    ::chmod(m_dir.Path("mode.txt").c_str(), 0640);
    m_doc.AppendUtf8("y", LOG_STYLE_PLAIN);
    ASSERT_EQ(m_doc.SaveTo(m_dir.WPath("mode.txt")), 0u);
    struct stat st {};
    ASSERT_EQ(::stat(m_dir.Path("mode.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(m_dir.ReadFile("mode.txt"), "y");
}

// The spool cannot grow (a full disk, here a file size limit): the failure is reported
// once, appends return and what was logged stays readable; when there is room again the
// log goes on with a note of what it missed.
TEST(LogDocumentSpoolTest, FullSpoolIsReportedAndLoggingResumes) {
    CTempFolder dir;
    CLogDocument doc(dir.Path());
    std::mutex reportsMutex;
    std::vector<CSpoolStatus> reports;
    doc.SetSpoolStatusHandler([&](const CSpoolStatus& s) {
        std::lock_guard lock(reportsMutex);
        reports.push_back(s);
    });
    const auto reportCount = [&] {
        std::lock_guard lock(reportsMutex);
        return reports.size();
    };
    // The writer thread reports; wait for it, boundedly.
    const auto waitFor = [&](auto fnDone) {
        for (int i = 0; i < 500 && !fnDone(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return fnDone();
    };
    const std::string block(1024 * 1024, 'b');
    constexpr std::uint64_t kLimit = 2 * 1024 * 1024;
    CFileSizeLimit limit(kLimit);
    ASSERT_TRUE(limit.IsActive());
    for (int i = 0; i < 12; ++i) {
        doc.AppendUtf8(block, LOG_STYLE_PLAIN);
    }
    ASSERT_TRUE(waitFor([&] { return reportCount() == 1; }));
    {
        std::lock_guard lock(reportsMutex);
        EXPECT_TRUE(reports[0].bFailing);
        EXPECT_EQ(reports[0].nErrno, EFBIG);
        EXPECT_EQ(reports[0].strFolder, dir.Path());
    }
    EXPECT_TRUE(doc.GetSpoolStatus().bFailing);
    // What is logged is readable: what the spool took, and the memory's chunks.
    const std::uint64_t nKept = doc.GetSize();
    EXPECT_EQ(nKept, kLimit + CLogDocument::kTailBytes);
    EXPECT_EQ(doc.GetSpoolStatus().nDropped, 12 * block.size() - nKept);
    EXPECT_EQ(doc.ReadBytes(nKept - 3, 3), "bbb");

    limit.Lift();
    ASSERT_TRUE(waitFor([&] { return !doc.GetSpoolStatus().bFailing; }));
    doc.AppendUtf8(block, LOG_STYLE_PLAIN);
    ASSERT_EQ(reportCount(), 2u);
    {
        std::lock_guard lock(reportsMutex);
        EXPECT_FALSE(reports[1].bFailing);
    }
    const std::string strNote = doc.ReadBytes(nKept, 200);
    EXPECT_NE(strNote.find(std::to_string(12 * block.size() - nKept) +
                           " bytes of traffic were not logged"),
              std::string::npos)
        << strNote;
    EXPECT_EQ(doc.GetSpoolStatus().nDropped, 0u);
    EXPECT_EQ(doc.ReadBytes(doc.GetSize() - 3, 3), "bbb");
    EXPECT_EQ(doc.ReadBytes(0, 3), "bbb");  // the spooled part reads back
}

}  // namespace
