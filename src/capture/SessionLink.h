// What the two ends of one capture session share beyond the life of either: the hand-over
// of the client connection when the session is deleted, the session's number and local
// socket (which the client's thread uses without touching the session object), the
// abortive end of the session, and whether the stream has become a tunnel.
//
// The hand-over lock is the link's own: it is taken only for a few field reads and writes
// and for non-blocking calls on the session, never while a thread sends, logs or waits for
// another thread, so the GUI thread may take it when it deletes a session.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "capture/TunnelWatch.h"
#include "platform/Winsock.h"

class CSocketAccept;
class CSessionConditions;

class CSessionLink {
public:
    // `pAccept` null: a client without a session (its log markers carry no number).
    CSessionLink(CSocketAccept* pAccept, long nSession, win::SOCKET hLocal)
        : m_pAccept(pAccept),
          m_bHasSession(pAccept != nullptr),
          m_nSession(nSession),
          m_hLocal(hLocal),
          m_nSessionId(NextSessionId()) {}
    // A session that runs without an accepted connection (a replay): its records and log
    // lines carry `nSession`; WithSession finds no session object.
    explicit CSessionLink(long nSession)
        : m_pAccept(nullptr),
          m_bHasSession(true),
          m_nSession(nSession),
          m_hLocal(0),
          m_nSessionId(NextSessionId()) {}
    CSessionLink(const CSessionLink&) = delete;
    CSessionLink& operator=(const CSessionLink&) = delete;

    long GetSession() const { return m_nSession; }
    // Unique in the process (numbers repeat); names the session in the log's records.
    std::uint64_t GetSessionId() const { return m_nSessionId; }
    bool HasSession() const { return m_bHasSession; }
    // The socket toward the local client. Handles are never reused, so a call on it after
    // the session has closed it fails instead of reaching another connection.
    win::SOCKET GetLocalSocket() const { return m_hLocal; }

    // Any thread. Runs `fn(session)` under the hand-over lock while the session exists;
    // false when it has been deleted. `fn` must not block.
    template <class F>
    bool WithSession(F fn) {
        std::lock_guard lock(m_mutex);
        if (m_pAccept == nullptr) {
            return false;
        }
        fn(*m_pAccept);
        return true;
    }

    // Session thread, before the client's thread starts (and if the start fails).
    void SetClientLoopRunning(bool bRunning);
    // Client thread, at its very end: the loop has ended. True when the session is gone,
    // so that the client must see to its own deletion.
    bool ClientLoopEnded();
    // Session destructor (GUI thread): the session lets go. True when the client's loop
    // still runs: the client then deletes itself when it ends; false when the caller is to
    // delete the client (unless it is destroyed already, see ClientDestroyed).
    bool SessionGone();
    // Client destructor: the client is being destroyed; false when it was already.
    bool ClientDestroyed();

    // Any thread. True for the first caller only: that one ends the session abortively.
    bool BeginAbort();
    bool IsAborted();

    // Module lock held.
    CTunnelWatch& Tunnel() { return m_tunnel; }

    // Set by the session before its threads start, read by both afterwards: the network
    // conditions the session runs under; null (nearly always) when none.
    void SetConditions(std::shared_ptr<CSessionConditions> pConditions) {
        m_pConditions = std::move(pConditions);
    }
    CSessionConditions* GetConditions() const { return m_pConditions.get(); }

private:
    std::mutex m_mutex;  // the hand-over lock
    CSocketAccept* m_pAccept;
    bool m_bClientLoopRunning = false;
    bool m_bClientDestroyed = false;
    bool m_bAborted = false;
    const bool m_bHasSession;
    const long m_nSession;
    const win::SOCKET m_hLocal;
    CTunnelWatch m_tunnel;  // module lock
    std::shared_ptr<CSessionConditions> m_pConditions;
    const std::uint64_t m_nSessionId;

    // Any thread: 1, 2, 3, ...
    static std::uint64_t NextSessionId();
};

// Any thread but the GUI thread. Writes "\r\nSession <n>: <text>" in bold to the log, under
// the module lock, and shows "Session <n>: <text>" in status pane 1.
void LogSessionError(long nSession, std::wstring strText);
// Any thread but the GUI thread; takes the module lock. Writes the session line of string
// `nId` (a start or stop line, formatted with the number) in bold to the log and shows it
// in status pane 1.
void LogSessionLine(long nSession, unsigned nId);
