#include "export/HarExport.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <unordered_set>

#include "export/HarBuilder.h"
#include "platform/FdIo.h"

namespace {

constexpr std::size_t kChunk = 4096;
constexpr std::size_t kWriteBatch = 1024 * 1024;

// The file being written, in batches; keeps the first error.
class CBatchFile {
public:
    explicit CBatchFile(const std::string& strPath)
        : m_fd(::open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)) {
        m_nError = m_fd < 0 ? errno : 0;
    }
    ~CBatchFile() { Close(); }
    CBatchFile(const CBatchFile&) = delete;
    CBatchFile& operator=(const CBatchFile&) = delete;

    void Write(std::string_view bytes) {
        if (m_nError != 0) {
            return;
        }
        m_out.append(bytes);
        if (m_out.size() >= kWriteBatch) {
            Flush();
        }
    }
    int Close() {
        if (m_fd >= 0) {
            Flush();
            if (::close(m_fd) != 0 && m_nError == 0) {
                m_nError = errno;
            }
            m_fd = -1;
        }
        return m_nError;
    }
    int GetError() const { return m_nError; }

private:
    void Flush() {
        if (m_nError == 0) {
            m_nError = win::WriteAllFd(m_fd, m_out.data(), m_out.size());
        }
        m_out.clear();
    }

    int m_fd;
    int m_nError = 0;
    std::string m_out;
};

// Feeds the blocks of the rows in `wanted` (all when empty) from record nFirst up to
// nEnd into `builder`, ending each session after its last block when it has ended.
int FeedRecords(const CBlockRecords& records, const std::unordered_set<std::uint32_t>& wanted,
                std::uint64_t nFirst, std::uint64_t nEnd, CHarBuilder& builder,
                const ExportProgressFn& fnProgress, const std::function<bool()>& fnStop) {
    std::unordered_map<std::uint32_t, CSessionInfo> infos;
    std::vector<CBlockRecord> chunk;
    std::string strRaw;
    for (std::uint64_t nAt = nFirst; nAt < nEnd; nAt += chunk.size()) {
        if (fnProgress && !fnProgress(nAt - nFirst, nEnd - nFirst)) {
            return ECANCELED;
        }
        const auto nWant = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, nEnd - nAt));
        if (!records.ReadBlocks(nAt, nWant, chunk) || chunk.empty()) {
            return EIO;
        }
        for (std::size_t i = 0; i < chunk.size(); ++i) {
            const CBlockRecord& block = chunk[i];
            if (!wanted.empty() && !wanted.contains(block.nSessionRow)) {
                continue;
            }
            auto it = infos.find(block.nSessionRow);
            if (it == infos.end()) {
                CSessionInfo info;
                if (!records.Sessions().GetRow(block.nSessionRow, info)) {
                    continue;
                }
                it = infos.emplace(block.nSessionRow, std::move(info)).first;
                builder.StartSession(HarSessionOf(it->second));
            }
            if (!records.ReadRaw(block, strRaw)) {
                return EIO;
            }
            const CSessionInfo& info = it->second;
            builder.Block(info.nSessionId, static_cast<LogDirection>(block.nDirection), strRaw,
                          block.nTimeUs);
            if (nAt + i == info.nLastBlock && info.end != SessionEnd::Running) {
                builder.EndSession(info.nSessionId);
            }
            if (fnStop && fnStop()) {
                return 0;
            }
        }
    }
    return 0;
}

}  // namespace

CHarSession HarSessionOf(const CSessionInfo& info) {
    CHarSession session;
    session.nSessionId = info.nSessionId;
    session.nNumber = info.nNumber;
    session.bTls = !info.strTls.empty() && !info.strTls.starts_with("passthrough");
    session.strHost = info.strServerHost;
    session.server = info.server;
    session.nStartUs = info.nStartUs;
    session.nConnectedUs = info.nConnectedUs;
    return session;
}

int ExportHar(const CBlockRecords& records, const std::string& strPath,
              const std::vector<std::uint32_t>& rows, const ExportProgressFn& fnProgress,
              std::uint64_t* pnEntries) {
    const std::uint64_t nCount = records.GetBlockCount();
    std::uint64_t nFirst = 0;
    std::uint64_t nEnd = nCount;
    const std::unordered_set<std::uint32_t> wanted(rows.begin(), rows.end());
    if (!rows.empty()) {
        // Only the stretch of records that the chosen sessions' blocks lie in.
        nFirst = UINT64_MAX;
        nEnd = 0;
        for (const std::uint32_t nRow : rows) {
            CSessionInfo info;
            if (records.Sessions().GetRow(nRow, info) && info.nFirstBlock != UINT64_MAX) {
                nFirst = std::min(nFirst, info.nFirstBlock);
                nEnd = std::max(nEnd, info.nLastBlock + 1);
            }
        }
        nEnd = std::min(nEnd, nCount);
        nFirst = std::min(nFirst, nEnd);
    }
    CBatchFile file(strPath);
    if (file.GetError() != 0) {
        return file.GetError();
    }
    CHarBuilder builder([&file](std::string_view bytes) { file.Write(bytes); });
    const int nError = FeedRecords(records, wanted, nFirst, nEnd, builder, fnProgress,
                                   [&file] { return file.GetError() != 0; });
    builder.Finish();
    if (pnEntries != nullptr) {
        *pnEntries = builder.GetEntryCount();
    }
    const int nClose = file.Close();
    if (nError != 0 || nClose != 0) {
        ::unlink(strPath.c_str());  // a partial archive is no archive
        return nError != 0 ? nError : nClose;
    }
    return 0;
}

int ReadSessionExchanges(const CBlockRecords& records, std::uint32_t nRow,
                         const std::function<bool(const CHttpExchange&)>& fnExchange) {
    CSessionInfo info;
    if (!records.Sessions().GetRow(nRow, info)) {
        return ENOENT;
    }
    if (info.nFirstBlock == UINT64_MAX) {
        return 0;
    }
    bool bStop = false;
    CHttpStream stream([&](CHttpExchange&& exchange) {
        if (!bStop && !fnExchange(exchange)) {
            bStop = true;
        }
    });
    std::vector<CBlockRecord> chunk;
    std::string strRaw;
    const std::uint64_t nEnd = std::min(info.nLastBlock + 1, records.GetBlockCount());
    for (std::uint64_t nAt = info.nFirstBlock; nAt < nEnd && !bStop && stream.IsHttp();
         nAt += chunk.size()) {
        const auto nWant = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, nEnd - nAt));
        if (!records.ReadBlocks(nAt, nWant, chunk) || chunk.empty()) {
            return EIO;
        }
        for (const CBlockRecord& block : chunk) {
            if (block.nSessionRow != nRow) {
                continue;
            }
            if (!records.ReadRaw(block, strRaw)) {
                return EIO;
            }
            stream.Feed(static_cast<LogDirection>(block.nDirection), strRaw, block.nTimeUs);
        }
    }
    if (!bStop) {
        stream.End();
    }
    return 0;
}
