#include "capture/RelayState.h"

void CRelayState::MarkClosed(Side side) {
    {
        std::lock_guard lock(m_mutex);
        m_bClosed[side] = true;
    }
    m_cv.notify_all();
}

void CRelayState::NotifyActivity(Side side) {
    std::lock_guard lock(m_mutex);
    m_lastActivity[side] = Clock::now();
    // Nobody waits for activity itself: a waiter only re-reads it when its time is up.
}

void CRelayState::NotifyEnded(Side side) {
    {
        std::lock_guard lock(m_mutex);
        m_bEnded[side] = true;
    }
    m_cv.notify_all();
}

void CRelayState::NotifyStop() {
    {
        std::lock_guard lock(m_mutex);
        m_bStop = true;
    }
    m_cv.notify_all();
}

bool CRelayState::IsStopping() {
    std::lock_guard lock(m_mutex);
    return m_bStop;
}

bool CRelayState::IsClosed(Side side) {
    std::lock_guard lock(m_mutex);
    return m_bClosed[side];
}

bool CRelayState::WaitOtherSide(Side closed, std::chrono::milliseconds silence) {
    const Side other = closed == Local ? Server : Local;
    std::unique_lock lock(m_mutex);
    const Clock::time_point start = Clock::now();
    for (;;) {
        if (m_bClosed[other] || m_bEnded[other]) {
            return true;
        }
        if (m_bStop) {
            return false;
        }
        const Clock::time_point last = std::max(start, m_lastActivity[other]);
        const Clock::time_point deadline = last + silence;
        if (Clock::now() >= deadline) {
            return false;
        }
        m_cv.wait_until(lock, deadline);
    }
}
