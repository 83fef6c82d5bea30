// One direction of one session under network conditions: delays each block, paces the
// bytes to a bandwidth, sends them in slices with pauses, and cuts the stream after a
// number of bytes. Bytes leave in the order they came; every wait asks `fnStop` at least
// every kStopPoll, so a stop ends a delayed send at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <string_view>

#include "capture/NetConditions.h"

class CConditionShaper {
public:
    using Clock = std::chrono::steady_clock;
    // Sends bytes on; false when the connection failed (or a stop cut the send).
    using SendFn = std::function<bool(std::string_view)>;
    using StopFn = std::function<bool()>;
    // A condition acted for the first time: its log text ("delayed 200 ms").
    using NoteFn = std::function<void(const std::string&)>;

    enum class Result {
        Sent,     // every byte went out
        Failed,   // the send failed or a stop ended it
        Cut,      // the cut was reached in this call: the session is to end now
        Dropped,  // the stream was cut before: nothing went out
    };

    static constexpr std::chrono::milliseconds kStopPoll{10};

    explicit CConditionShaper(const CDirectionConditions& conditions);

    // The thread of this direction only. `received` is when the block arrived.
    Result Send(std::string_view bytes, Clock::time_point received, const SendFn& fnSend,
                const StopFn& fnStop, const NoteFn& fnNote);

    std::int64_t GetSentBytes() const { return m_nSent; }
    const CDirectionConditions& GetConditions() const { return m_conditions; }

private:
    // False when `fnStop` said stop first.
    static bool WaitUntil(Clock::time_point deadline, const StopFn& fnStop);
    // When the next piece may leave under the bandwidth limit, the bytes counted so far
    // having left at the limit's pace.
    Clock::time_point PaceFor(Clock::time_point now);
    void NoteOnce(unsigned nKind, const std::string& strText, const NoteFn& fnNote);

    const CDirectionConditions m_conditions;
    std::mt19937 m_random;
    std::int64_t m_nSent = 0;  // every byte of this direction so far
    bool m_bCut = false;
    unsigned m_nNoted = 0;  // the kinds already in the log, one bit each
    // The bandwidth limit's reckoning: bytes sent since `m_paceStart`.
    Clock::time_point m_paceStart{};
    std::int64_t m_nPaced = 0;
    bool m_bPacing = false;
    Clock::time_point m_lastSlice{};
    bool m_bSliced = false;
};
