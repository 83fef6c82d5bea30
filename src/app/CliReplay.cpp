#include "app/CliReplay.h"

#include <thread>

#include "capture/ReplaySessions.h"
#include "platform/TextConv.h"

bool LoadCaptureSessions(const std::string& strPath, std::vector<CTcpStream>& streams,
                         std::string& strWarning, std::string& strError) {
    std::string bytes;
    if (!ReadCaptureFile(strPath, bytes, strError)) {
        return false;
    }
    CPcapngReader reader;
    CTcpStreams tcp;
    if (!reader.Read(bytes, [&tcp](const CCapturedPacket& packet) { tcp.Add(packet); })) {
        strError = strPath + ": " + reader.GetError();
        return false;
    }
    streams = tcp.Take();
    strWarning.clear();
    if (reader.IsTruncated()) {
        strWarning = strPath + " is cut short: its last packets are missing";
    }
    std::size_t nGaps = 0;
    for (const CTcpStream& stream : streams) {
        nGaps += stream.bClientGap ? 1 : 0;
    }
    if (nGaps > 0) {
        if (!strWarning.empty()) {
            strWarning += "; ";
        }
        strWarning +=
            std::to_string(nGaps) + " session(s) miss client bytes that were not captured";
    }
    return true;
}

CCliReplayOutcome ReplayCaptureSessions(const std::vector<CTcpStream>& streams,
                                        const CCliReplaySettings& settings,
                                        const std::function<bool()>& fnStop,
                                        const std::function<void(const std::string&)>& fnReport) {
    CCliReplayOutcome outcome;
    for (std::size_t i = 0; i < streams.size() && !outcome.bStopped; ++i) {
        const CTcpStream& stream = streams[i];
        CReplayPlan plan;
        plan.strServer = settings.strServer;
        plan.nPort = settings.nPort;
        plan.timing = settings.timing;
        plan.quiet = settings.quiet;
        plan.strOrigin = "replay of " + settings.strCaptureName + " stream " + std::to_string(i);
        for (const CTcpTurn& turn : stream.clientTurns) {
            plan.blocks.push_back({turn.bytes, turn.nTimeUs});
        }
        const std::size_t nBlocks = plan.blocks.size();
        const std::shared_ptr<CReplaySession> pSession = ReplaySessions().Start(std::move(plan));
        ++outcome.nSessions;
        while (!pSession->IsDone()) {
            if (fnStop()) {
                outcome.bStopped = true;
                pSession->Stop();
                break;
            }
        }
        pSession->Join();
        const CReplayResult result = pSession->GetResult();
        if (result.Completed(nBlocks) && !stream.bClientGap) {
            ++outcome.nCompleted;
        } else if (!result.bStopped) {
            std::string strWhy = win::WideToAnsi(result.strError);
            if (strWhy.empty()) {
                strWhy = stream.bClientGap ? "the capture misses some of its client bytes"
                                           : "it did not complete";
            }
            fnReport("session " + std::to_string(pSession->GetSession()) + " (stream " +
                     std::to_string(i) + "): " + strWhy);
        }
    }
    ReplaySessions().Reap();
    return outcome;
}
