// A session without a local client: it connects to the server itself, sends recorded client
// blocks in order and logs everything as a relayed session does (start and stop lines,
// marker lines, the block records), so that the session list shows it like any other, with
// its origin ("replay of #3").
//
// Threads: Start, Stop and the getters from any thread; the replay runs on a thread of its
// own, which Join (or the destructor) waits for.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// How the blocks are paced: each sent once the answer to the one before has gone quiet, or
// at the offsets between their recorded times.
enum class ReplayTiming : std::uint8_t { Quiet, Recorded };

struct CReplayBlock {
    std::string bytes;
    std::int64_t nTimeUs = 0;  // when the block was recorded (wall clock); Recorded timing
};

struct CReplayPlan {
    // The server: the URL box's text (a host, an address or a URL) and the port.
    std::wstring strServer;
    int nPort = 0;
    std::vector<CReplayBlock> blocks;  // the client's blocks, in order
    ReplayTiming timing = ReplayTiming::Quiet;
    // Quiet timing: the server has answered a block once it has sent nothing for `quiet`;
    // no block waits longer than `maxWait` for that. After the last block the same wait
    // lets the last answer in before the connection is closed.
    std::chrono::milliseconds quiet{300};
    std::chrono::milliseconds maxWait{10000};
    // Recorded timing: a pause between blocks longer than this is cut to it.
    std::chrono::milliseconds maxPause{10000};
    std::chrono::milliseconds connectTimeout{10000};
    // What the session list shows in its Origin column ("replay of #3").
    std::string strOrigin;
};

struct CReplayResult {
    bool bConnected = false;
    std::size_t nBlocksSent = 0;
    std::uint64_t nBytesSent = 0;
    std::uint64_t nBytesReceived = 0;
    bool bServerClosed = false;  // the server ended its stream in order
    bool bFailed = false;        // a reset, a failed send or receive
    bool bStopped = false;       // ended by Stop
    std::wstring strError;       // why it failed, as the log says it

    // Every block went out and nothing failed or was stopped.
    bool Completed(std::size_t nBlocks) const {
        return bConnected && nBlocksSent == nBlocks && !bFailed && !bStopped;
    }
};

class CReplaySession {
public:
    // `nSession` is the number of the session's marker lines.
    CReplaySession(long nSession, CReplayPlan plan);
    // Stops the replay and waits for its thread.
    ~CReplaySession();
    CReplaySession(const CReplaySession&) = delete;
    CReplaySession& operator=(const CReplaySession&) = delete;

    // Any thread, once. Starts the replay's thread.
    void Start();
    // Any thread; never waits. Ends the replay as soon as its thread sees it: the
    // connection is reset, as a stopped relayed session's is.
    void Stop();
    // Any thread but the replay's. Waits for the thread to end.
    void Join();
    // Any thread. Whether the replay's thread has finished.
    bool IsDone() const { return m_bDone; }
    // Any thread; the final result once IsDone.
    CReplayResult GetResult() const;
    long GetSession() const { return m_nSession; }
    std::size_t GetBlockCount() const { return m_plan.blocks.size(); }

private:
    class CRun;
    void Run();

    const long m_nSession;
    const CReplayPlan m_plan;
    int m_nStopFd = -1;  // an eventfd: readable once Stop was called
    std::atomic<bool> m_bDone{false};
    mutable std::mutex m_mutex;
    CReplayResult m_result;  // guarded by m_mutex
    std::thread m_thread;
};
