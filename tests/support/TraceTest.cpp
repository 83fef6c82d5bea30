#include "support/Trace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "platform/DebugOutput.h"

namespace {

// "MM.DD.YYYY hh:mm:ss.mmm:" without its line feed.
constexpr std::size_t kStampLength = 24;

// Whether `line` is "MM.DD.YYYY hh:mm:ss.mmm:<message>\r\n" with no other CR or LF.
bool HasLineShape(const std::string& line) {
    constexpr std::string_view kShape = "00.00.0000 00:00:00.000:";
    if (line.size() < kStampLength + 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) {
        return false;
    }
    for (std::size_t i = 0; i < kStampLength; ++i) {
        const bool bDigit = line[i] >= '0' && line[i] <= '9';
        if (kShape[i] == '0' ? !bDigit : line[i] != kShape[i]) {
            return false;
        }
    }
    return line.find_first_of("\r\n") == line.size() - 2;
}

template <class... A>
std::string CaptureTrace(std::wstring_view fmt, const A&... args) {
    testing::internal::CaptureStdout();
    Trace(fmt, args...);
    return testing::internal::GetCapturedStdout();
}

// The message part of a well-formed trace line.
std::string MessageOf(const std::string& line) {
    if (!HasLineShape(line)) {
        ADD_FAILURE() << "not a trace line: \"" << line << "\"";
        return {};
    }
    return line.substr(kStampLength, line.size() - kStampLength - 2);
}

std::string LocalStamp(std::time_t t) {
    std::tm tmLocal{};
    localtime_r(&t, &tmLocal);
    char sz[32];
    std::strftime(sz, sizeof sz, "%m.%d.%Y %H:%M:%S", &tmLocal);
    return sz;
}

TEST(Trace, LineIsTimeStampThenMessageThenCrLf) {
    // The trace reads the precise clock; std::time reads the coarse one, which can still
    // show the second before for a few milliseconds after the precise one has moved on.
    const auto now = [] {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        return static_cast<std::time_t>(ts.tv_sec);
    };
    const std::time_t before = now();
    const std::string line = CaptureTrace(L"session %d: %s", 7, L"open");
    const std::time_t after = now();

    ASSERT_TRUE(HasLineShape(line)) << line;
    EXPECT_EQ(line.substr(kStampLength), "session 7: open\r\n");

    // Month first, 24-hour clock, local time: the stamp is one of the seconds of the call.
    const std::string stamp = line.substr(0, 19);
    bool bMatches = false;
    for (std::time_t t = before; t <= after; ++t) {
        bMatches = bMatches || stamp == LocalStamp(t);
    }
    EXPECT_TRUE(bMatches) << stamp << " vs " << LocalStamp(before);
}

TEST(Trace, EveryCarriageReturnAndLineFeedIsRemoved) {
    EXPECT_EQ(MessageOf(CaptureTrace(L"a\r\nb")), "ab");
    EXPECT_EQ(MessageOf(CaptureTrace(L"%s|%s", L"\r\nx\n", L"y\r")), "x|y");
    EXPECT_EQ(MessageOf(CaptureTrace(L"\n\n\r")), "");
}

TEST(Trace, PercentInsideAStringArgumentIsKept) {
    EXPECT_EQ(MessageOf(CaptureTrace(L"got %s", L"100% of %d %s")), "got 100% of %d %s");
}

TEST(Trace, LongestMessageThatFitsIsWrittenWhole) {
    const std::wstring message(997, L'x');
    const std::string line = CaptureTrace(L"%s", message);
    EXPECT_EQ(line.size(), kStampLength + 997 + 2);
    EXPECT_EQ(MessageOf(line), std::string(997, 'x'));
}

TEST(Trace, MessageOneUnitTooLongIsReplacedByTheFailureLine) {
    const std::wstring message(998, L'x');
    const std::string line = CaptureTrace(L"%s", message);
    EXPECT_EQ(MessageOf(line), "StringCchVPrintf failed, hr = 0x8007007a for szOutputString");
}

class TraceDebugOutput : public testing::Test {
protected:
    void SetUp() override {
        m_path = std::filesystem::temp_directory_path() /
                 ("tapvane_trace_" + std::to_string(::getpid()) + ".log");
        std::filesystem::remove(m_path);
    }
    void TearDown() override {
        win::SetDebugOutputTarget("");
        std::filesystem::remove(m_path);
    }

    std::string ReadSink() const {
        std::ifstream in(m_path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::filesystem::path m_path;
};

TEST_F(TraceDebugOutput, LineAlsoGoesToTheDebuggerChannel) {
    win::SetDebugOutputTarget(m_path.string());
    ASSERT_TRUE(win::IsDebugOutputOn());
    const std::string line = CaptureTrace(L"to both %d", 2);
    EXPECT_EQ(MessageOf(line), "to both 2");
    EXPECT_EQ(ReadSink(), line);

    // Switched off, nothing more reaches the file.
    win::SetDebugOutputTarget("");
    EXPECT_FALSE(win::IsDebugOutputOn());
    const std::string second = CaptureTrace(L"stdout only");
    EXPECT_EQ(MessageOf(second), "stdout only");
    EXPECT_EQ(ReadSink(), line);
}

TEST(Trace, LinesToAFileArriveWholeAndInOrderByTheNextFlush) {
    // Flushed by its caller (the window, when idle), a file gets its lines in blocks;
    // FlushTrace writes out the rest, so none is held back for long and none is cut.
    std::FILE* pFile = std::tmpfile();
    ASSERT_NE(pFile, nullptr);
    SetTraceOutput(pFile);
    SetTraceFlushedByCaller(true);
    constexpr int kLines = 2000;
    for (int i = 0; i < kLines; ++i) {
        Trace(L"line %d of the file", i);
    }
    FlushTrace();
    SetTraceFlushedByCaller(false);
    SetTraceOutput(nullptr);
    std::rewind(pFile);
    char sz[256];
    int nLines = 0;
    while (std::fgets(sz, sizeof sz, pFile) != nullptr) {
        const std::string line = sz;
        EXPECT_EQ(MessageOf(line), "line " + std::to_string(nLines) + " of the file");
        ++nLines;
    }
    std::fclose(pFile);
    EXPECT_EQ(kLines, nLines);
}

}  // namespace
