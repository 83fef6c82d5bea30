// What the stored records of the log give back for HTTP: the exchanges of chosen sessions
// as an HTTP Archive file, and the exchanges of one session one by one (for "Copy as curl").
// Both read the records in log order, a chunk at a time.
//
// Threads: any thread (the GUI's), while the relay goes on appending; what is appended
// after the start is left out.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "export/HarEntry.h"
#include "logdoc/BlockRecords.h"
#include "logdoc/SessionExport.h"

// The facts of a session row that its entries need.
CHarSession HarSessionOf(const CSessionInfo& info);

// Writes the HTTP exchanges of the sessions at the table rows `rows` (every session when
// empty) to `strPath` as an HTTP Archive. 0 or the errno; `*pnEntries` gets the count of
// entries written.
int ExportHar(const CBlockRecords& records, const std::string& strPath,
              const std::vector<std::uint32_t>& rows, const ExportProgressFn& fnProgress = {},
              std::uint64_t* pnEntries = nullptr);

// Hands the exchanges of session row `nRow` to `fnExchange` in order, until it returns
// false. 0, or the errno (ENOENT: no such row).
int ReadSessionExchanges(const CBlockRecords& records, std::uint32_t nRow,
                         const std::function<bool(const CHttpExchange&)>& fnExchange);
