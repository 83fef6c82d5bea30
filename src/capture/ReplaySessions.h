// The replays that run in the process: each gets a session number of its own, and a stop
// (listening switched off, the main window closing, Ctrl-C) ends them all.
//
// Threads: every operation from any thread; one mutex guards the list, never held while a
// replay's thread is waited for.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "capture/ReplaySession.h"

class CReplaySessions {
public:
    // The numbers of replays begin here, so that they stand apart from the relayed
    // sessions' (which count from 0 and skip the numbers replays hold).
    static constexpr long kFirstNumber = 1000;

    CReplaySessions() = default;
    // Stops every replay and waits for it.
    ~CReplaySessions();
    CReplaySessions(const CReplaySessions&) = delete;
    CReplaySessions& operator=(const CReplaySessions&) = delete;

    // Any thread. Starts a replay of `plan` under the lowest number that no running replay
    // holds; returns the session, which stays registered until it has ended and a later
    // Start, Reap or WaitAll lets it go.
    std::shared_ptr<CReplaySession> Start(CReplayPlan plan);
    // Any thread; never waits. Asks every running replay to end.
    void StopAll();
    // Any thread but a replay's. Waits up to `timeout` for every replay to end; true when
    // none is left running.
    bool WaitAll(std::chrono::milliseconds timeout);
    // Any thread. Lets go of the replays that have ended.
    void Reap();
    // Any thread. The replays that have not ended.
    std::size_t GetRunningCount() const;
    // Any thread. Whether a registered replay holds `nNumber`.
    bool IsNumberTaken(long nNumber) const;

private:
    // m_mutex held.
    void ReapLocked(std::vector<std::shared_ptr<CReplaySession>>& ended);

    mutable std::mutex m_mutex;
    std::vector<std::shared_ptr<CReplaySession>> m_sessions;
};

// The process's replays.
CReplaySessions& ReplaySessions();
