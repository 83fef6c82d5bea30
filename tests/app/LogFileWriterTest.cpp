// The log writer of the command-line relay: order and completeness across threads, a
// batch reaching the file without a close, waiting for a slow output, and an output that
// refuses writes (a file size limit stands in for a full disk; /dev/full is one).
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "SocketTestSupport.h"
#include "TempFolder.h"
#include "app/LogFileWriter.h"
#include "platform/TextConv.h"

namespace {

using namespace std::chrono_literals;

std::string ReadFile(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// Collects what a writer reports.
struct CReports {
    std::mutex mutex;
    std::vector<std::string> lines;

    CLogFileWriter::Reporter Reporter() {
        return [this](const std::string& s) {
            std::lock_guard lock(mutex);
            lines.push_back(s);
        };
    }
    std::vector<std::string> Lines() {
        std::lock_guard lock(mutex);
        return lines;
    }
};

// Lowers the file size limit of this process for a scope (each test runs in a process of
// its own under ctest; the limit is put back in any case). Writes past it fail with EFBIG.
class CFileSizeLimit {
public:
    explicit CFileSizeLimit(rlim_t nBytes) {
        m_oldAction = ::signal(SIGXFSZ, SIG_IGN);
        m_bOk = ::getrlimit(RLIMIT_FSIZE, &m_old) == 0 && m_old.rlim_cur >= nBytes;
        if (m_bOk) {
            rlimit lowered = m_old;
            lowered.rlim_cur = nBytes;
            m_bOk = ::setrlimit(RLIMIT_FSIZE, &lowered) == 0;
        }
    }
    ~CFileSizeLimit() {
        Lift();
        ::signal(SIGXFSZ, m_oldAction);
    }
    bool Ok() const { return m_bOk; }
    void Lift() {
        if (m_bOk) {
            ::setrlimit(RLIMIT_FSIZE, &m_old);
        }
    }

private:
    rlimit m_old{};
    bool m_bOk = false;
    sighandler_t m_oldAction = SIG_DFL;
};

std::string Line(const char* pszKind, int n) {
    char sz[32];
    std::snprintf(sz, sizeof(sz), "%s %05d\n", pszKind, n);
    return sz;
}

TEST(LogFileWriterTest, KeepsEveryThreadsBlocksInOrderAndShowsThemWithoutAClose) {
    CTempFolder folder;
    std::string strError;
    CReports reports;
    auto pWriter = CLogFileWriter::Open(folder.Path("log"), reports.Reporter(), strError);
    ASSERT_TRUE(pWriter) << strError;

    // A single block reaches the file by itself, as `tail -f` expects.
    pWriter->Append("first block\n");
    EXPECT_TRUE(
        test::WaitUntil([&] { return ReadFile(folder.Path("log")) == "first block\n"; }, 5s));

    constexpr int kThreads = 4;
    constexpr int kLines = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string strKind = "thread" + std::to_string(t);
            for (int i = 0; i < kLines; ++i) {
                pWriter->Append(Line(strKind.c_str(), i));
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_TRUE(pWriter->Flush(10s));
    pWriter->Close();
    EXPECT_TRUE(pWriter->IsComplete());
    EXPECT_EQ(0u, pWriter->LostBytes());
    EXPECT_TRUE(reports.Lines().empty());

    // Every line once, each thread's lines in the order appended.
    std::ifstream in(folder.Path("log"));
    std::string strLine;
    std::getline(in, strLine);
    EXPECT_EQ("first block", strLine);
    int next[kThreads] = {};
    int nLines = 0;
    while (std::getline(in, strLine)) {
        const int t = strLine[6] - '0';
        ASSERT_TRUE(t >= 0 && t < kThreads) << strLine;
        ASSERT_EQ(Line(("thread" + std::to_string(t)).c_str(), next[t]), strLine + "\n");
        ++next[t];
        ++nLines;
    }
    EXPECT_EQ(kThreads * kLines, nLines);
}

TEST(LogFileWriterTest, WaitsForASlowOutputUntilTheProgramStops) {
    int fds[2];
    ASSERT_EQ(0, ::pipe2(fds, O_CLOEXEC));
    CLogWriterLimits limits;
    limits.nBatch = 16 * 1024;
    limits.nCapacity = 64 * 1024;
    CReports reports;
    CLogFileWriter writer(fds[1], true, "the pipe", reports.Reporter(), limits);

    // Nobody reads the pipe: once it and the capacity are full, the appender waits.
    const std::string strData = test::Pattern(1024 * 1024);
    std::atomic<bool> bDone{false};
    std::thread appender([&] {
        for (std::size_t i = 0; i < strData.size(); i += 4096) {
            writer.Append(std::string_view(strData).substr(i, 4096));
        }
        bDone = true;
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(bDone) << "the appender did not wait for the full output";
    writer.StopWaiting();
    EXPECT_TRUE(test::WaitUntil([&] { return bDone.load(); }, 10s));
    appender.join();

    // Everything still arrives, in order, once the output is read.
    std::string strRead;
    std::thread reader([&] {
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(fds[0], buffer, sizeof(buffer))) > 0) {
            strRead.append(buffer, static_cast<std::size_t>(n));
        }
    });
    writer.Close();  // closes the writing end: the reader sees the end
    reader.join();
    ::close(fds[0]);
    EXPECT_TRUE(strRead == strData) << strRead.size() << " bytes of " << strData.size();
    EXPECT_TRUE(writer.IsComplete());
}

TEST(LogFileWriterTest, AFullDeviceIsReportedOnceAndWhatIsLeftCounted) {
    if (::access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "no writable /dev/full on this machine";
    }
    std::string strError;
    CReports reports;
    CLogWriterLimits limits;
    limits.retryInterval = 5ms;
    auto pWriter = CLogFileWriter::Open("/dev/full", reports.Reporter(), strError, limits);
    ASSERT_TRUE(pWriter) << strError;
    std::uint64_t nAppended = 0;
    for (int i = 0; i < 1000; ++i) {
        const std::string s = Line("block", i);
        pWriter->Append(s);
        nAppended += s.size();
    }
    EXPECT_FALSE(pWriter->Flush(5s));
    ASSERT_TRUE(test::WaitUntil([&] { return pWriter->HasFailed(); }, 5s));
    std::this_thread::sleep_for(50ms);  // several retries fail meanwhile
    pWriter->Close();
    EXPECT_EQ(nAppended, pWriter->LostBytes());
    EXPECT_FALSE(pWriter->IsComplete());
    const std::vector<std::string> lines = reports.Lines();
    ASSERT_EQ(1u, lines.size()) << "said more than once";
    EXPECT_NE(std::string::npos, lines[0].find("the log file \"/dev/full\""));
    EXPECT_NE(std::string::npos, lines[0].find(std::strerror(ENOSPC))) << lines[0];
}

// The disk fills up and has room again later: what was kept is written in order; what did
// not fit is left out, in whole appends, with a note in the file that says how much (or
// without one, for a capture's binary blocks); the rest follows.
void CheckBacklogWrittenInOrder(bool bNoteGaps) {
    CTempFolder folder;
    std::string strError;
    CReports reports;
    CLogWriterLimits limits;
    limits.nBacklog = 32 * 1024;
    limits.retryInterval = 5ms;
    limits.bNoteGaps = bNoteGaps;
    auto pWriter = CLogFileWriter::Open(folder.Path("log"), reports.Reporter(), strError, limits);
    ASSERT_TRUE(pWriter) << strError;

    constexpr rlim_t kLimit = 4096;
    CFileSizeLimit limit(kLimit);
    if (!limit.Ok()) {
        GTEST_SKIP() << "the file size limit cannot be lowered here";
    }
    // 16 KiB fit in the file and the backlog; the next 32 KiB only partly.
    std::string strExpected;
    int n = 0;
    for (; n < 1000; ++n) {  // 12 bytes each
        pWriter->Append(Line("before", n));
        strExpected += Line("before", n);
        if (n == 0) {
            ASSERT_TRUE(test::WaitUntil([&] { return !ReadFile(folder.Path("log")).empty(); }));
        }
    }
    ASSERT_TRUE(test::WaitUntil([&] { return pWriter->HasFailed(); }, 5s));
    for (int i = 0; i < 4000; ++i) {
        pWriter->Append(Line("during", i));
    }
    const std::uint64_t nLost = pWriter->LostBytes();
    EXPECT_GT(nLost, 0u);
    EXPECT_EQ(kLimit, ReadFile(folder.Path("log")).size());

    limit.Lift();
    ASSERT_TRUE(test::WaitUntil([&] { return reports.Lines().size() >= 2; }, 5s));
    for (int i = 0; i < 100; ++i) {
        pWriter->Append(Line("after", i));
    }
    pWriter->Close();
    EXPECT_FALSE(pWriter->IsComplete());
    EXPECT_EQ(nLost, pWriter->LostBytes());

    // The file: "before" lines, then the "during" lines that fit, in order; the note; "after".
    const std::string strFile = ReadFile(folder.Path("log"));
    ASSERT_EQ(0u, strFile.compare(0, strExpected.size(), strExpected));
    const std::size_t nAfter = strFile.find(Line("after", 0));
    ASSERT_NE(std::string::npos, nAfter);
    std::string strMiddle = strFile.substr(strExpected.size(), nAfter - strExpected.size());
    const std::string strNote = "\r\n[" + std::to_string(nLost) +
                                " bytes of the log were left out here: the log file \"" +
                                folder.Path("log") + "\" could not be written]\r\n";
    if (bNoteGaps) {
        ASSERT_TRUE(strMiddle.ends_with(strNote)) << strMiddle.substr(strMiddle.size() - 300);
        strMiddle.resize(strMiddle.size() - strNote.size());
    } else {
        EXPECT_EQ(std::string::npos, strFile.find("left out"));
    }
    std::string strDuring;
    for (int i = 0; strDuring.size() < strMiddle.size(); ++i) {
        strDuring += Line("during", i);
    }
    EXPECT_EQ(strDuring, strMiddle);
    std::string strAfter;
    for (int i = 0; i < 100; ++i) {
        strAfter += Line("after", i);
    }
    EXPECT_EQ(strAfter, strFile.substr(nAfter));

    const std::vector<std::string> lines = reports.Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find(folder.Path("log")));
    EXPECT_NE(std::string::npos, lines[0].find(std::strerror(EFBIG))) << lines[0];
    EXPECT_NE(std::string::npos,
              lines[1].find("is written again; " + std::to_string(nLost) + " bytes were left out"))
        << lines[1];
    // The report says where the gap is only when the file holds a note of it.
    EXPECT_EQ(bNoteGaps, lines[1].ends_with(", a line in it says where")) << lines[1];
    EXPECT_EQ(!bNoteGaps, lines[1].ends_with("nothing in the file marks the place)")) << lines[1];
}

// A write refused in the middle of a block's text: once there is room again, the text goes
// on from the byte where it stopped, and nothing is lost or written twice.
TEST(LogFileWriterTest, ABlocksTextCutByARefusedWriteGoesOnWhereItStopped) {
    CTempFolder folder;
    std::string strError;
    CReports reports;
    CLogWriterLimits limits;
    limits.retryInterval = 5ms;
    limits.nWriteChunk = 4096;
    auto pWriter = CLogFileWriter::Open(folder.Path("log"), reports.Reporter(), strError, limits);
    ASSERT_TRUE(pWriter) << strError;

    constexpr rlim_t kLimit = 10001;  // inside a piece of text, inside a character
    CFileSizeLimit limit(kLimit);
    if (!limit.Ok()) {
        GTEST_SKIP() << "the file size limit cannot be lowered here";
    }
    std::string strExpected;
    for (int i = 0; i < 40; ++i) {
        const std::string strMarker = Line("marker", i);
        pWriter->Append(strMarker);
        strExpected += strMarker;
        const std::string strBlock(700 + i, static_cast<char>(0xe9));  // no character: 2 bytes each
        pWriter->AppendBlock(strBlock);
        std::string strText(3 * strBlock.size(), '\0');
        strText.resize(win::AnsiToUtf8(strBlock, strText.data(), true));
        ASSERT_EQ(2 * strBlock.size(), strText.size());
        strExpected += strText;
    }
    ASSERT_TRUE(test::WaitUntil([&] { return pWriter->HasFailed(); }, 5s));
    EXPECT_EQ(kLimit, ReadFile(folder.Path("log")).size());
    limit.Lift();
    EXPECT_TRUE(pWriter->Flush(10s));
    pWriter->Close();
    EXPECT_TRUE(pWriter->IsComplete());
    EXPECT_EQ(0u, pWriter->LostBytes());
    EXPECT_TRUE(ReadFile(folder.Path("log")) == strExpected);
    const std::vector<std::string> lines = reports.Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos, lines[1].find("is written again; nothing was lost")) << lines[1];
}

TEST(LogFileWriterTest, WritesTheBacklogInOrderWhenThereIsRoomAgain) {
    CheckBacklogWrittenInOrder(true);
}

TEST(LogFileWriterTest, LeavesAGapWithoutANoteWhenAskedTo) {
    CheckBacklogWrittenInOrder(false);
}

}  // namespace
