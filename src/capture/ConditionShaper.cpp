#include "capture/ConditionShaper.h"

#include <algorithm>
#include <thread>

namespace {

enum NoteKind : unsigned { kNoteLatency = 1, kNoteBandwidth = 2, kNoteSlice = 4 };

// A pause longer than this resets the bandwidth's reckoning: an idle connection does not
// save up a burst.
constexpr auto kPaceSlack = std::chrono::milliseconds(50);

}  // namespace

CConditionShaper::CConditionShaper(const CDirectionConditions& conditions)
    : m_conditions(conditions), m_random(std::random_device{}()) {}

bool CConditionShaper::WaitUntil(Clock::time_point deadline, const StopFn& fnStop) {
    for (;;) {
        if (fnStop && fnStop()) {
            return false;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            return true;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(deadline - now, kStopPoll));
    }
}

void CConditionShaper::NoteOnce(unsigned nKind, const std::string& strText, const NoteFn& fnNote) {
    if ((m_nNoted & nKind) != 0) {
        return;
    }
    m_nNoted |= nKind;
    if (fnNote) {
        fnNote(strText);
    }
}

CConditionShaper::Clock::time_point CConditionShaper::PaceFor(Clock::time_point now) {
    const std::int64_t nRate = std::int64_t{m_conditions.nBandwidthKBps} * 1000;
    const Clock::time_point due =
        m_paceStart + std::chrono::duration_cast<Clock::duration>(
                          std::chrono::nanoseconds(m_nPaced * 1000000000 / nRate));
    if (!m_bPacing || due + kPaceSlack < now) {
        m_bPacing = true;
        m_paceStart = now;
        m_nPaced = 0;
        return now;
    }
    if (m_nPaced >= nRate) {
        // A second's worth: the reckoning starts again from when it is due, so that the
        // byte count never grows large enough to overflow the sum above.
        m_paceStart = due;
        m_nPaced = 0;
    }
    return due;
}

CConditionShaper::Result CConditionShaper::Send(std::string_view bytes, Clock::time_point received,
                                                const SendFn& fnSend, const StopFn& fnStop,
                                                const NoteFn& fnNote) {
    if (m_bCut) {
        return Result::Dropped;
    }
    const CDirectionConditions& c = m_conditions;
    if (c.nLatencyMs != 0 || c.nJitterMs != 0) {
        int nDelay = c.nLatencyMs;
        if (c.nJitterMs != 0) {
            nDelay += std::uniform_int_distribution<int>(-c.nJitterMs, c.nJitterMs)(m_random);
        }
        if (nDelay > 0) {
            if (!WaitUntil(received + std::chrono::milliseconds(nDelay), fnStop)) {
                return Result::Failed;
            }
            NoteOnce(kNoteLatency,
                     "delayed " + std::to_string(c.nLatencyMs) + " ms" +
                         (c.nJitterMs != 0 ? " \xC2\xB1" + std::to_string(c.nJitterMs) + " ms"
                                           : std::string()),
                     fnNote);
        }
    }
    // The pieces: a slice each, and under a bandwidth limit no more than a fiftieth of a
    // second's worth, so that the pace stays even.
    std::size_t nPiece = bytes.size();
    if (c.nSliceBytes != 0) {
        nPiece = static_cast<std::size_t>(c.nSliceBytes);
    }
    if (c.nBandwidthKBps != 0) {
        nPiece = std::min<std::size_t>(
            nPiece, std::max<std::size_t>(1, std::size_t(c.nBandwidthKBps) * 1000 / 50));
    }
    std::size_t nDone = 0;
    while (nDone < bytes.size()) {
        std::size_t nLength = std::min(nPiece, bytes.size() - nDone);
        if (c.nCutAfter != 0) {
            nLength = static_cast<std::size_t>(
                std::min<std::int64_t>(static_cast<std::int64_t>(nLength), c.nCutAfter - m_nSent));
        }
        if (c.nSliceBytes != 0) {
            if (m_bSliced && c.nSliceDelayMs != 0 &&
                !WaitUntil(m_lastSlice + std::chrono::milliseconds(c.nSliceDelayMs), fnStop)) {
                return Result::Failed;
            }
            if (nLength < bytes.size()) {
                NoteOnce(kNoteSlice,
                         "sliced into pieces of " + std::to_string(c.nSliceBytes) + " bytes, " +
                             std::to_string(c.nSliceDelayMs) + " ms apart",
                         fnNote);
            }
        }
        if (c.nBandwidthKBps != 0) {
            const Clock::time_point now = Clock::now();
            const Clock::time_point due = PaceFor(now);
            if (due > now) {
                NoteOnce(kNoteBandwidth, "limited to " + std::to_string(c.nBandwidthKBps) + " KB/s",
                         fnNote);
                if (!WaitUntil(due, fnStop)) {
                    return Result::Failed;
                }
            }
            m_nPaced += static_cast<std::int64_t>(nLength);
        }
        if (nLength != 0 && !fnSend(bytes.substr(nDone, nLength))) {
            return Result::Failed;
        }
        m_lastSlice = Clock::now();
        m_bSliced = true;
        nDone += nLength;
        m_nSent += static_cast<std::int64_t>(nLength);
        if (c.nCutAfter != 0 && m_nSent >= c.nCutAfter) {
            m_bCut = true;
            return Result::Cut;
        }
    }
    return Result::Sent;
}
