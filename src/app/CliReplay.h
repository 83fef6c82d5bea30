// tapvane-cli --replay: the client side of every TCP session of a packet capture sent to
// the server again, one session after the other, each logged as a relayed session is.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "capture/ReplaySession.h"
#include "logdoc/TcpStreams.h"

// Exit status of a replay in which a session did not complete.
constexpr int kExitReplayIncomplete = 4;

// Reads the TCP sessions of a capture file; false with the reason in `strError`. A capture
// cut short, or one whose client side has gaps, gives a warning in `strWarning`.
bool LoadCaptureSessions(const std::string& strPath, std::vector<CTcpStream>& streams,
                         std::string& strWarning, std::string& strError);

struct CCliReplaySettings {
    std::wstring strServer;
    int nPort = 0;
    ReplayTiming timing = ReplayTiming::Quiet;
    std::chrono::milliseconds quiet{300};
    std::string strCaptureName;  // for the Origin column: "replay of NAME stream 3"
};

struct CCliReplayOutcome {
    std::size_t nSessions = 0;
    std::size_t nCompleted = 0;
    bool bStopped = false;
};

// The calling thread runs the replays in turn. While one runs, `fnStop` is called again
// and again and is to wait a moment itself (20 ms, say, for a signal); a true answer stops
// the running replay and skips the rest. `fnReport` receives a line per
// session that did not complete.
CCliReplayOutcome ReplayCaptureSessions(const std::vector<CTcpStream>& streams,
                                        const CCliReplaySettings& settings,
                                        const std::function<bool()>& fnStop,
                                        const std::function<void(const std::string&)>& fnReport);
