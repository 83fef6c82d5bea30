// Two sessions compared block by block, per direction: the n-th block that the client of
// one session sent is set beside the n-th block that the other's client sent (and the same
// for the servers' blocks). In each pair the bytes that differ are the span between the
// longest common beginning and the longest common end, so a changed, inserted or removed
// run of bytes is marked as itself rather than everything after it.
//
// The comparison keeps, per pair, where the blocks are and the lengths of those common
// parts, never the bytes; a view reads the bytes of the pairs it shows. Pairs beyond
// kMaxPairs per direction are counted but not kept.
//
// Threads: Compare runs on any thread (a worker's) while the relay appends; its progress
// callback is called on that thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "logdoc/BlockRecords.h"

struct CBlockPair {
    static constexpr std::uint64_t kNone = UINT64_MAX;
    std::uint64_t nBlock[2] = {kNone, kNone};  // record index of each side's block
    std::uint32_t nLength[2] = {};
    std::uint32_t nPrefix = 0;  // bytes alike at the start
    std::uint32_t nSuffix = 0;  // bytes alike at the end (after the prefix)

    bool Same() const {
        return nBlock[0] != kNone && nBlock[1] != kNone && nLength[0] == nLength[1] &&
               nPrefix == nLength[0];
    }
};

struct CSessionComparison {
    static constexpr std::size_t kMaxPairs = 1'000'000;
    // By LogDirection.
    std::vector<CBlockPair> pairs[2];
    std::uint64_t nPairsTotal[2] = {};
    std::uint64_t nDifferent[2] = {};
    // The first pair that differs: in the direction with the earlier block, -1 when none.
    int nFirstDirection = -1;
    std::size_t nFirstPair = 0;
};

// The lengths of the common beginning and, after it, of the common end of `a` and `b`.
void CommonEnds(std::string_view a, std::string_view b, std::uint32_t& nPrefix,
                std::uint32_t& nSuffix);

// The runs of bytes that differ between two blocks, on each side ([from, to) offsets): after
// the common beginning, the blocks are walked together and, where they part, the nearest
// point where kResync bytes agree again ends the run (so "ready" against "busy" marks those
// words, not all that follows). Blocks whose differing middle is longer than kFineLimit
// get the one span between their common beginning and end.
struct CDiffRuns {
    static constexpr std::size_t kFineLimit = 64 * 1024;
    static constexpr std::size_t kResync = 4;
    static constexpr std::size_t kWindow = 64;
    std::vector<std::pair<std::size_t, std::size_t>> runs[2];
};
CDiffRuns DifferingRuns(std::string_view a, std::string_view b);

// Compares session rows nRowA and nRowB. 0, or the errno (ENOENT: no such row, EIO: the
// records could not be read, ECANCELED: fnProgress said stop).
int CompareSessions(
    const CBlockRecords& records, std::uint32_t nRowA, std::uint32_t nRowB, CSessionComparison& out,
    const std::function<bool(std::uint64_t nDone, std::uint64_t nTotal)>& fnProgress = {});

// The bytes of one side of a pair (empty when that side has no block); false on a read
// error.
bool ReadPairSide(const CBlockRecords& records, const CBlockPair& pair, int nSide,
                  std::string& out);
