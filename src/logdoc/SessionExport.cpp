#include "logdoc/SessionExport.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "logdoc/LogDocument.h"
#include "logdoc/PcapngWriter.h"
#include "module/Messages.h"
#include "platform/FdIo.h"

namespace {

constexpr std::size_t kChunk = 4096;

// A session's step that is not a block, at its time.
struct CEvent {
    enum Kind : std::uint8_t { Connect, Fin, Reset, End };
    std::int64_t nTimeUs;
    Kind kind;
    LogDirection side;
    std::uint32_t nRow;
};

std::vector<CEvent> SessionEvents(const std::vector<CSessionInfo>& rows) {
    std::vector<CEvent> events;
    for (std::uint32_t n = 0; n < rows.size(); ++n) {
        const CSessionInfo& s = rows[n];
        if (s.state == SessionState::Refused || s.server.nFamily == 0) {
            continue;
        }
        events.push_back({s.nConnectedUs != 0 ? s.nConnectedUs : s.nStartUs, CEvent::Connect,
                          LogDirection::ClientToServer, n});
        for (LogDirection side : {LogDirection::ClientToServer, LogDirection::ServerToClient}) {
            if (const std::int64_t t = s.nClosedUs[static_cast<std::size_t>(side)]; t != 0) {
                events.push_back({t, CEvent::Fin, side, n});
            }
        }
        if (s.nResetUs != 0) {
            events.push_back({s.nResetUs, CEvent::Reset, s.resetSide, n});
        }
        if (s.nEndUs != 0) {
            events.push_back({s.nEndUs, CEvent::End, LogDirection::ClientToServer, n});
        }
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const CEvent& a, const CEvent& b) { return a.nTimeUs < b.nTimeUs; });
    return events;
}

void Apply(CPcapngWriter& writer, const CEvent& e, const std::vector<CSessionInfo>& rows) {
    const CSessionInfo& s = rows[e.nRow];
    switch (e.kind) {
        case CEvent::Connect:
            writer.Connect(s.nSessionId, s.client, s.server, e.nTimeUs);
            break;
        case CEvent::Fin:
            writer.Fin(s.nSessionId, e.side, e.nTimeUs);
            break;
        case CEvent::Reset:
            writer.Reset(s.nSessionId, e.side, e.nTimeUs);
            break;
        case CEvent::End:
            writer.End(s.nSessionId, e.nTimeUs);
            break;
    }
}

int WriteFile(int fd, const std::string& bytes) {
    return win::WriteAllFd(fd, bytes.data(), bytes.size());
}

}  // namespace

int ExportPcapng(const CBlockRecords& records, const std::string& strPath,
                 const ExportProgressFn& fnProgress) {
    // The blocks first, then the rows: every block's row is among them.
    const std::uint64_t nBlocks = records.GetBlockCount();
    const std::vector<CSessionInfo> rows = records.Sessions().GetAll();
    const std::vector<CEvent> events = SessionEvents(rows);

    CPcapngWriter writer;
    if (const int nError = writer.Open(strPath); nError != 0) {
        return nError;
    }
    std::size_t nEvent = 0;
    std::vector<CBlockRecord> chunk;
    std::string bytes;
    for (std::uint64_t nFirst = 0; nFirst < nBlocks; nFirst += kChunk) {
        if (!records.ReadBlocks(
                nFirst, static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, nBlocks - nFirst)),
                chunk)) {
            writer.Close();
            return EIO;
        }
        for (const CBlockRecord& block : chunk) {
            // The steps before the block; a connect at the same time comes first too.
            while (nEvent < events.size() && (events[nEvent].nTimeUs < block.nTimeUs ||
                                              (events[nEvent].nTimeUs == block.nTimeUs &&
                                               events[nEvent].kind == CEvent::Connect))) {
                Apply(writer, events[nEvent++], rows);
            }
            if (block.nSessionRow >= rows.size()) {
                continue;
            }
            const CSessionInfo& s = rows[block.nSessionRow];
            if (!records.ReadRaw(block, bytes)) {
                writer.Close();
                return EIO;
            }
            // A session whose handshake is later than its first block (the clock went
            // back) is connected now; Connect does nothing for a connected one.
            if (s.state != SessionState::Refused && s.server.nFamily != 0) {
                writer.Connect(s.nSessionId, s.client, s.server, block.nTimeUs);
            }
            writer.Data(s.nSessionId, static_cast<LogDirection>(block.nDirection), bytes,
                        block.nTimeUs);
        }
        if (fnProgress && !fnProgress(nFirst + chunk.size(), nBlocks)) {
            writer.Close();
            ::unlink(strPath.c_str());
            return ECANCELED;
        }
    }
    for (; nEvent < events.size(); ++nEvent) {
        Apply(writer, events[nEvent], rows);
    }
    return writer.Close();
}

int SaveSessionBytes(const CBlockRecords& records, std::uint32_t nRow,
                     const std::string& strClientPath, const std::string& strServerPath) {
    CSessionInfo info;
    if (!records.Sessions().GetRow(nRow, info)) {
        return ENOENT;
    }
    // Traffic: new files are their owner's only (existing ones keep their permissions).
    int fds[2] = {::open(strClientPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600),
                  ::open(strServerPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)};
    int nError = fds[0] < 0 || fds[1] < 0 ? errno : 0;
    const std::uint64_t nBlocks = records.GetBlockCount();
    std::vector<CBlockRecord> chunk;
    std::string bytes;
    // Blocks before the session's first one cannot be its own.
    const std::uint64_t nStart = info.nFirstBlock == UINT64_MAX ? nBlocks : info.nFirstBlock;
    for (std::uint64_t nFirst = nStart; nError == 0 && nFirst < nBlocks; nFirst += kChunk) {
        if (!records.ReadBlocks(nFirst, kChunk, chunk)) {
            nError = EIO;
            break;
        }
        for (const CBlockRecord& block : chunk) {
            if (block.nSessionRow != nRow) {
                continue;
            }
            if (!records.ReadRaw(block, bytes)) {
                nError = EIO;
                break;
            }
            if (nError = WriteFile(fds[block.nDirection != 0 ? 1 : 0], bytes); nError != 0) {
                break;
            }
        }
    }
    for (int fd : fds) {
        if (fd >= 0 && ::close(fd) != 0 && nError == 0) {
            nError = errno;
        }
    }
    return nError;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> SessionTextRanges(const CBlockRecords& records,
                                                                       std::uint32_t nRow) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    CSessionInfo info;
    if (!records.Sessions().GetRow(nRow, info) || info.nFirstBlock == UINT64_MAX) {
        return ranges;
    }
    const std::uint64_t nEnd = std::min(records.GetBlockCount(), info.nLastBlock + 1);
    std::vector<CBlockRecord> chunk;
    for (std::uint64_t nFirst = info.nFirstBlock; nFirst < nEnd; nFirst += kChunk) {
        if (!records.ReadBlocks(
                nFirst, static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, nEnd - nFirst)),
                chunk)) {
            break;
        }
        for (const CBlockRecord& block : chunk) {
            if (block.nSessionRow == nRow) {
                ranges.emplace_back(block.nTextStart, block.nTextStart + block.nTextLength);
            }
        }
    }
    return ranges;
}
