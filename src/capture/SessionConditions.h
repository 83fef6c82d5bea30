// The network conditions of one capture session: the conditions in force when it started,
// a shaper per direction, and the session's log lines and list entries when a condition
// acts. Each direction's shaper is used by that direction's thread only.
#pragma once

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <string_view>

#include "capture/ConditionShaper.h"
#include "capture/NetConditions.h"
#include "module/LogRecord.h"
#include "platform/Winsock.h"

class CSessionLink;

class CSessionConditions {
public:
    enum class Outcome {
        Sent,      // every byte went out
        Failed,    // the send failed or a stop ended it: *pstrError says why
        CutClose,  // the cut was reached: the session is to end in order now
        CutReset,  // ... to end by a reset of both connections now
        Dropped,   // the direction was cut before: nothing went out
    };

    explicit CSessionConditions(const CNetConditions& conditions);

    // Any thread. For a session that starts now: the conditions in force, or null.
    static std::shared_ptr<CSessionConditions> ForNewSession();

    const CNetConditions& GetConditions() const { return m_conditions; }

    // Session thread, once as the session starts: whether the share of connections that
    // `direction` names picks this one for a reset. A hit is logged under the session.
    bool DrawReset(const CSessionLink& link, LogDirection direction);

    // The thread of `direction`: sends `bytes` on socket `h` through the conditions.
    Outcome Send(const CSessionLink& link, LogDirection direction, win::SOCKET h,
                 std::string_view bytes, std::wstring* pstrError,
                 const std::function<bool()>& fnStop);

    // "cut after 65536 bytes: reset": the log text of the cut of `direction`.
    std::string CutText(LogDirection direction) const;

private:
    const CNetConditions m_conditions;
    CConditionShaper m_shapers[2];  // indexed by LogDirection
    bool m_bNoDelay[2] = {false, false};
    std::mt19937 m_random;  // the session thread's (DrawReset)
};

// Any thread but the GUI thread; takes the module lock. "\r\nSession <n>: <text>" in bold in
// the log, and the text in the session's row of the list.
void LogConditionLine(const CSessionLink& link, const std::string& strText);
