// What the stored records of the log give back: every session as a packet capture, and
// the raw bytes of one session. Both read the records in log order, a chunk at a time.
//
// Threads: any thread (the GUI's), while the relay goes on appending; what is appended
// after the start is left out.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "logdoc/BlockRecords.h"

class CLogDocument;

// Progress in blocks; false cancels (the result is then ECANCELED).
using ExportProgressFn = std::function<bool(std::uint64_t nDone, std::uint64_t nTotal)>;

// Writes every connected session as a pcapng capture (see CPcapngWriter). 0 or the errno.
int ExportPcapng(const CBlockRecords& records, const std::string& strPath,
                 const ExportProgressFn& fnProgress = {});

// Writes what the client of session row `nRow` sent to `strClientPath` and what the server
// sent to `strServerPath`, byte for byte. 0 or the errno (ENOENT: no such row).
int SaveSessionBytes(const CBlockRecords& records, std::uint32_t nRow,
                     const std::string& strClientPath, const std::string& strServerPath);

// Where the blocks of session row `nRow` are in the log's text: [start, end) ranges, each
// a marker line with its block, in order.
std::vector<std::pair<std::uint64_t, std::uint64_t>> SessionTextRanges(const CBlockRecords& records,
                                                                       std::uint32_t nRow);
