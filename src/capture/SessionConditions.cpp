#include "capture/SessionConditions.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include "capture/RelayRecords.h"
#include "capture/SessionLink.h"
#include "module/MyModule.h"
#include "net/SocketBlocking.h"

namespace {

const char* DirectionText(LogDirection direction) {
    return direction == LogDirection::ClientToServer ? " (client to server)"
                                                     : " (server to client)";
}

const CDirectionConditions& Of(const CNetConditions& c, LogDirection direction) {
    return direction == LogDirection::ClientToServer ? c.up : c.down;
}

void LogLine(const CSessionLink& link, const std::string& strText, bool bToList) {
    const std::string strLine = "Session " + std::to_string(link.GetSession()) + ": " + strText;
    CModuleLock lock;
    g_Module.AppendLogUtf8("\r\n" + strLine, LOG_STYLE_BOLD);
    g_Module.AppendLog(L"", LOG_STYLE_PLAIN);
    if (bToList) {
        CLogRecord record;
        record.kind = LogRecordKind::SessionConditions;
        record.bytes = strText;
        LogSessionRecord(link, record);
    }
}

}  // namespace

void LogConditionLine(const CSessionLink& link, const std::string& strText) {
    LogLine(link, strText, true);
}

CSessionConditions::CSessionConditions(const CNetConditions& conditions)
    : m_conditions(conditions),
      m_shapers{CConditionShaper(conditions.up), CConditionShaper(conditions.down)},
      m_random(std::random_device{}()) {}

std::shared_ptr<CSessionConditions> CSessionConditions::ForNewSession() {
    const std::shared_ptr<const CNetConditions> pActive = ActiveNetConditions();
    if (!pActive) {
        return nullptr;
    }
    return std::make_shared<CSessionConditions>(*pActive);
}

bool CSessionConditions::DrawReset(const CSessionLink& link, LogDirection direction) {
    const int nShare = Of(m_conditions, direction).nResetShare;
    if (nShare == 0 || std::uniform_int_distribution<int>(0, 99)(m_random) >= nShare) {
        return false;
    }
    LogConditionLine(link, "reset at the start, one of " + std::to_string(nShare) +
                               " % of connections" + DirectionText(direction));
    return true;
}

std::string CSessionConditions::CutText(LogDirection direction) const {
    const CDirectionConditions& d = Of(m_conditions, direction);
    return "cut after " + std::to_string(d.nCutAfter) +
           " bytes: " + (d.bCutReset ? "reset" : "close") + DirectionText(direction);
}

CSessionConditions::Outcome CSessionConditions::Send(const CSessionLink& link,
                                                     LogDirection direction, win::SOCKET h,
                                                     std::string_view bytes,
                                                     std::wstring* pstrError,
                                                     const std::function<bool()>& fnStop) {
    const auto received = CConditionShaper::Clock::now();
    const std::size_t nSide = static_cast<std::size_t>(direction);
    CConditionShaper& shaper = m_shapers[nSide];
    if (shaper.GetConditions().nSliceBytes != 0 && !m_bNoDelay[nSide]) {
        // Each slice is a segment of its own, not held back to join the next one.
        const int nOn = 1;
        win::setsockopt(h, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof(nOn));
        m_bNoDelay[nSide] = true;
    }
    bool bStopped = false;
    const auto fnStopAndNote = [&] {
        bStopped = fnStop && fnStop();
        return bStopped;
    };
    const CConditionShaper::Result result = shaper.Send(
        bytes, received,
        [&](std::string_view piece) {
            return CSocketBlocking::SendAllOn(h, piece.data(), piece.size(), 0, pstrError, fnStop);
        },
        fnStopAndNote,
        [&](const std::string& strText) {
            LogLine(link, strText + DirectionText(direction), false);
        });
    switch (result) {
        case CConditionShaper::Result::Sent:
            return Outcome::Sent;
        case CConditionShaper::Result::Dropped:
            return Outcome::Dropped;
        case CConditionShaper::Result::Cut: {
            const std::string strText = CutText(direction);
            if (!Of(m_conditions, direction).bCutReset) {
                LogConditionLine(link, strText);  // a reset is logged as the session aborts
                return Outcome::CutClose;
            }
            CLogRecord record;
            record.kind = LogRecordKind::SessionConditions;
            record.bytes = strText;
            LogSessionRecord(link, record);
            return Outcome::CutReset;
        }
        case CConditionShaper::Result::Failed:
            break;
    }
    if (bStopped) {
        *pstrError = L"CSocketBlocking. Send stopped.";
    }
    return Outcome::Failed;
}
