// The relayed bytes' spool: what is stored reads back, from memory or the file, while the
// writes go on, after a failed write and after a Clear.
#include "logdoc/RawSpool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "TempFolder.h"
#include "platform/FaultInjection.h"

namespace {

// The byte stored at `nOffset` in these tests: each offset has its own, so any read of a
// wrong place shows.
char PatternAt(std::uint64_t nOffset) {
    return static_cast<char>((nOffset * 131) ^ (nOffset >> 11) ^ (nOffset >> 23));
}

std::string Pattern(std::uint64_t nFrom, std::size_t n) {
    std::string bytes(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = PatternAt(nFrom + i);
    }
    return bytes;
}

// Waits (at most ten seconds) until the spool has written `nBytes` to its file.
bool WaitWritten(const CRawSpool& spool, std::uint64_t nBytes) {
    for (int i = 0; i < 2000 && spool.Written() < nBytes; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return spool.Written() >= nBytes;
}

// Stores `n` pattern bytes at the spool's end; their offset.
std::uint64_t StorePattern(CRawSpool& spool, std::size_t n, int& nError) {
    const std::uint64_t nAt = spool.Size();
    return spool.Store(Pattern(nAt, n), nError);
}

class RawSpoolTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, m_spool.Open(m_folder.Path())); }
    void TearDown() override { win::DisarmFaults(); }

    // Every byte stored reads back, in pieces that cross the chunks and the written end.
    void ExpectAllReadBack(std::uint64_t nSize) {
        ASSERT_EQ(nSize, m_spool.Size());
        std::mt19937 random(7);
        std::string got;
        for (std::uint64_t nAt = 0; nAt < nSize;) {
            const std::size_t n = static_cast<std::size_t>(
                std::min<std::uint64_t>(nSize - nAt, random() % 700000 + 1));
            got.resize(n);
            ASSERT_TRUE(m_spool.ReadAt(nAt, got.data(), n)) << nAt;
            ASSERT_TRUE(got == Pattern(nAt, n)) << "bytes at " << nAt;
            nAt += n;
        }
        char c = 0;
        EXPECT_FALSE(m_spool.ReadAt(nSize, &c, 1)) << "past the end";
        EXPECT_FALSE(m_spool.ReadAt(UINT64_MAX, &c, 1)) << "an offset that wraps";
    }

    CTempFolder m_folder;
    CRawSpool m_spool;
};

TEST_F(RawSpoolTest, BlocksOfEverySizeReadBackFromMemoryAndFromTheFile) {
    std::mt19937 random(1);
    std::uint64_t nSize = 0;
    // Sizes that end just before, at and after chunk ends, an empty one, ones longer than a
    // chunk and than every buffer together, and many small ones between.
    const std::size_t nChunk = CRawSpool::kChunk;
    std::vector<std::size_t> sizes = {
        nChunk - 1, 1, nChunk, 0, nChunk + 1, 3 * nChunk + 5, CRawSpool::kMaxChunks * nChunk + 17};
    for (int i = 0; i < 3000; ++i) {
        sizes.push_back(random() % 9000);
    }
    int nError = 0;
    for (const std::size_t n : sizes) {
        ASSERT_EQ(nSize, StorePattern(m_spool, n, nError));
        EXPECT_EQ(0, nError);
        nSize += n;
        // The newest bytes read back at once, wherever they are.
        std::string got(std::min<std::size_t>(n, 5000), '\0');
        ASSERT_TRUE(m_spool.ReadAt(nSize - got.size(), got.data(), got.size()));
        ASSERT_TRUE(got == Pattern(nSize - got.size(), got.size()));
    }
    ExpectAllReadBack(nSize);
    // The full chunks reach the file; only the one being filled stays behind.
    const std::uint64_t nWhole = nSize / nChunk * nChunk;
    ASSERT_TRUE(WaitWritten(m_spool, nWhole));
    EXPECT_EQ(nWhole, m_spool.Written());
    EXPECT_LE(m_spool.MemoryUse(), CRawSpool::kMaxChunks * nChunk);
    ExpectAllReadBack(nSize);
}

TEST_F(RawSpoolTest, AFailingDiskRefusesNewBytesButLosesNoneItTook) {
    const std::size_t nChunk = CRawSpool::kChunk;
    win::ArmFault({.call = win::FaultCall::SpoolWrite, .nErrno = ENOSPC, .nTimes = -1});
    int nError = 0;
    std::uint64_t nTaken = 0;
    std::uint64_t nAt = 0;
    // Buffers fill while every write fails; then the spool refuses more.
    for (int i = 0; i < 100; ++i) {
        nAt = StorePattern(m_spool, 300000, nError);
        if (nAt == UINT64_MAX) {
            break;
        }
        ASSERT_EQ(nTaken, nAt);
        nTaken += 300000;
    }
    ASSERT_EQ(UINT64_MAX, nAt) << "a spool that cannot write keeps refusing";
    EXPECT_EQ(ENOSPC, nError);
    EXPECT_EQ(0u, m_spool.Written());
    EXPECT_GE(nTaken, nChunk);
    // What was taken reads back from memory (with any bytes of the refused store that fit).
    const std::uint64_t nSize = m_spool.Size();
    EXPECT_GE(nSize, nTaken);
    EXPECT_LE(nSize, CRawSpool::kMaxChunks * nChunk);
    ExpectAllReadBack(nSize);

    // Once the disk takes writes again, the next store writes what waited, then goes on.
    win::DisarmFaults();
    ASSERT_EQ(nSize, StorePattern(m_spool, nChunk, nError));
    EXPECT_EQ(0, nError);
    ASSERT_TRUE(WaitWritten(m_spool, (nSize + nChunk) / nChunk * nChunk));
    ExpectAllReadBack(nSize + nChunk);
}

TEST_F(RawSpoolTest, ReadersOnOtherThreadsSeeTheRightBytesWhileItGrowsAndClears) {
    std::atomic<bool> bStop{false};
    std::atomic<int> nWrong{0};
    std::atomic<int> nReads{0};
    // Readers take random ranges of what is stored; a Clear between may fail a read, but a
    // read that succeeds must give the bytes of that place.
    auto reader = [&](unsigned nSeed) {
        std::mt19937 random(nSeed);
        std::string got;
        while (!bStop.load()) {
            const std::uint64_t nSize = m_spool.Size();
            if (nSize == 0) {
                std::this_thread::yield();
                continue;
            }
            const std::uint64_t nAt = random() % nSize;
            const std::size_t n = static_cast<std::size_t>(
                std::min<std::uint64_t>(nSize - nAt, random() % 300000 + 1));
            got.resize(n);
            if (m_spool.ReadAt(nAt, got.data(), n)) {
                nReads.fetch_add(1);
                if (got != Pattern(nAt, n)) {
                    nWrong.fetch_add(1);
                }
            }
        }
    };
    std::thread first(reader, 11u);
    std::thread second(reader, 12u);
    std::mt19937 random(5);
    int nError = 0;
    for (int nRound = 0; nRound < 3; ++nRound) {
        std::uint64_t nSize = 0;
        while (nSize < 6 * CRawSpool::kChunk + 1234) {
            const std::size_t n = random() % 200000;
            ASSERT_EQ(nSize, StorePattern(m_spool, n, nError));
            nSize += n;
        }
        m_spool.Clear();
        EXPECT_EQ(0u, m_spool.Size());
        EXPECT_EQ(0u, m_spool.Written());
    }
    std::uint64_t nSize = 0;
    while (nSize < 5 * CRawSpool::kChunk) {
        ASSERT_EQ(nSize, StorePattern(m_spool, 150000, nError));
        nSize += 150000;
    }
    for (int i = 0; i < 4000 && nReads.load() < 200; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    bStop = true;
    first.join();
    second.join();
    EXPECT_EQ(0, nWrong.load());
    EXPECT_GT(nReads.load(), 0);
    ExpectAllReadBack(nSize);
}

}  // namespace
