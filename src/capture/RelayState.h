// What the two directions of one session know of each other, so that a half-closed
// connection still delivers the other direction: when one peer closes its sending side,
// that side waits (on its own thread) until the other direction is done.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class CRelayState {
public:
    enum Side { Local = 0, Server = 1 };
    // How long the side still open after the other closed in order may stay silent before
    // the session ends.
    static constexpr std::chrono::seconds kHalfCloseSilence{10};

    // The thread of `side`: its peer closed its sending side in order.
    void MarkClosed(Side side);
    // The thread of `side`: a block from its peer was relayed.
    void NotifyActivity(Side side);
    // The thread of `side`: its receive loop ended.
    void NotifyEnded(Side side);
    // Any thread: the session is asked to stop.
    void NotifyStop();

    // The thread of `closed`, after MarkClosed: returns when the other peer has closed too,
    // the other side's loop has ended, a stop was asked for, or the other peer has been
    // silent for `silence`. True when the other direction ended by itself.
    bool WaitOtherSide(Side closed, std::chrono::milliseconds silence);

    bool IsClosed(Side side);
    // Any thread. Whether the session was asked to stop.
    bool IsStopping();

private:
    using Clock = std::chrono::steady_clock;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bClosed[2] = {false, false};
    bool m_bEnded[2] = {false, false};
    bool m_bStop = false;
    Clock::time_point m_lastActivity[2] = {};
};
