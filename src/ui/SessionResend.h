// The session list's "Replay Session" and "Edit and Resend...": a recorded session's client
// bytes sent again as a new session (see CReplaySession), marked in the list as
// "replay of #N" or "edited resend of #N".
#pragma once

#include <QString>

#include <cstdint>
#include <memory>

class CBlockRecords;
class CReplaySession;
class QWidget;

// The server of the connection bar.
struct CCurrentServer {
    QString strUrl;
    int nPort = 0;
};

// GUI thread. Asks how to replay session row `nRow` (CReplayDialog) and starts the replay;
// null when cancelled or when the session has nothing to send (said in a box).
std::shared_ptr<CReplaySession> ReplaySessionRow(QWidget* pParent, const CBlockRecords& records,
                                                 std::uint32_t nRow, const CCurrentServer& current);

// GUI thread. Shows the session's client bytes in the editor (CResendDialog) and sends
// what it gives to the current server; null when cancelled or nothing to send.
std::shared_ptr<CReplaySession> ResendSessionRow(QWidget* pParent, const CBlockRecords& records,
                                                 std::uint32_t nRow, const CCurrentServer& current);
