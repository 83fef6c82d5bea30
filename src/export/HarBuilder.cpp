#include "export/HarBuilder.h"

#include <algorithm>
#include <vector>

CHarBuilder::CHarBuilder(Output fnOutput) : m_fnOutput(std::move(fnOutput)) {
    m_fnOutput(HarLogBegin());
}

void CHarBuilder::OnRecord(const CLogRecord& record) {
    switch (record.kind) {
        case LogRecordKind::SessionStart: {
            CHarSession session;
            session.nSessionId = record.nSessionId;
            session.nNumber = record.nSession;
            session.nStartUs = record.nTimeUs;
            StartSession(session);
            break;
        }
        case LogRecordKind::SessionConnected:
            if (const auto it = m_sessions.find(record.nSessionId); it != m_sessions.end()) {
                it->second.info.server = record.server;
                it->second.info.strHost = record.strServerHost;
                it->second.info.nConnectedUs = record.nTimeUs;
            }
            break;
        case LogRecordKind::SessionTls:
            if (const auto it = m_sessions.find(record.nSessionId); it != m_sessions.end()) {
                // Passed through, the bytes stay encrypted and read as no HTTP anyway.
                it->second.info.bTls =
                    !record.bytes.empty() && !record.bytes.starts_with("passthrough");
            }
            break;
        case LogRecordKind::Block:
            Block(record.nSessionId, record.direction, record.bytes, record.nTimeUs);
            break;
        case LogRecordKind::SessionEnd:
        case LogRecordKind::SessionRefused:
            EndSession(record.nSessionId);
            break;
        case LogRecordKind::BlockBegin:
        case LogRecordKind::SideClosed:
        case LogRecordKind::SideReset:
        case LogRecordKind::SessionOrigin:
        case LogRecordKind::SessionConditions:
            break;
    }
}

void CHarBuilder::StartSession(const CHarSession& info) {
    if (m_bFinished) {
        return;
    }
    CSession& session = m_sessions[info.nSessionId];
    session.info = info;
    session.bFirstDone = false;
    CSession* pSession = &session;  // the map's nodes do not move
    session.pStream = std::make_unique<CHttpStream>(
        [this, pSession](CHttpExchange&& exchange) { OnExchange(*pSession, std::move(exchange)); });
}

void CHarBuilder::Block(std::uint64_t nSessionId, LogDirection from, std::string_view bytes,
                        std::int64_t nTimeUs) {
    const auto it = m_sessions.find(nSessionId);
    if (it == m_sessions.end() || !it->second.pStream) {
        return;
    }
    CHttpStream& stream = *it->second.pStream;
    stream.Feed(from, bytes, nTimeUs);
    if (!stream.IsHttp()) {
        it->second.pStream.reset();  // nothing more of it can become an entry
    }
}

void CHarBuilder::EndSession(std::uint64_t nSessionId) {
    const auto it = m_sessions.find(nSessionId);
    if (it == m_sessions.end()) {
        return;
    }
    if (it->second.pStream) {
        it->second.pStream->End();
    }
    m_sessions.erase(it);
}

void CHarBuilder::Finish() {
    if (m_bFinished) {
        return;
    }
    // In the order the sessions began, so the entries of a run come out the same each time.
    std::vector<std::uint64_t> ids;
    ids.reserve(m_sessions.size());
    for (const auto& [nId, session] : m_sessions) {
        ids.push_back(nId);
    }
    std::sort(ids.begin(), ids.end());
    for (const std::uint64_t nId : ids) {
        EndSession(nId);
    }
    m_bFinished = true;
    m_fnOutput(HarLogEnd());
}

void CHarBuilder::OnExchange(CSession& session, CHttpExchange&& exchange) {
    std::string strEntry = HarEntryJson(exchange, session.info, !session.bFirstDone);
    session.bFirstDone = true;
    if (m_nEntries > 0) {
        strEntry.insert(0, ",\n");
    }
    ++m_nEntries;
    m_fnOutput(strEntry);
}
