#include "capture/ReplaySessions.h"

#include <algorithm>
#include <thread>

CReplaySessions& ReplaySessions() {
    static CReplaySessions s_sessions;
    return s_sessions;
}

CReplaySessions::~CReplaySessions() {
    StopAll();
    std::vector<std::shared_ptr<CReplaySession>> sessions;
    {
        std::lock_guard lock(m_mutex);
        sessions.swap(m_sessions);
    }
    for (const auto& p : sessions) {
        p->Join();
    }
}

std::shared_ptr<CReplaySession> CReplaySessions::Start(CReplayPlan plan) {
    std::vector<std::shared_ptr<CReplaySession>> ended;
    std::shared_ptr<CReplaySession> pSession;
    {
        std::lock_guard lock(m_mutex);
        ReapLocked(ended);
        long nNumber = kFirstNumber;
        while (std::any_of(m_sessions.begin(), m_sessions.end(),
                           [nNumber](const auto& p) { return p->GetSession() == nNumber; })) {
            ++nNumber;
        }
        pSession = std::make_shared<CReplaySession>(nNumber, std::move(plan));
        m_sessions.push_back(pSession);
        pSession->Start();
    }
    for (const auto& p : ended) {
        p->Join();  // ended already: returns at once
    }
    return pSession;
}

void CReplaySessions::StopAll() {
    std::lock_guard lock(m_mutex);
    for (const auto& p : m_sessions) {
        p->Stop();
    }
}

bool CReplaySessions::WaitAll(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        Reap();
        if (GetRunningCount() == 0) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void CReplaySessions::Reap() {
    std::vector<std::shared_ptr<CReplaySession>> ended;
    {
        std::lock_guard lock(m_mutex);
        ReapLocked(ended);
    }
    for (const auto& p : ended) {
        p->Join();
    }
}

void CReplaySessions::ReapLocked(std::vector<std::shared_ptr<CReplaySession>>& ended) {
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        if ((*it)->IsDone()) {
            ended.push_back(std::move(*it));
            it = m_sessions.erase(it);
        } else {
            ++it;
        }
    }
}

std::size_t CReplaySessions::GetRunningCount() const {
    std::lock_guard lock(m_mutex);
    return static_cast<std::size_t>(std::count_if(m_sessions.begin(), m_sessions.end(),
                                                  [](const auto& p) { return !p->IsDone(); }));
}

bool CReplaySessions::IsNumberTaken(long nNumber) const {
    std::lock_guard lock(m_mutex);
    return std::any_of(m_sessions.begin(), m_sessions.end(),
                       [nNumber](const auto& p) { return p->GetSession() == nNumber; });
}
