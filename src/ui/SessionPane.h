// The top pane of the main window: the list of the log's sessions. Selecting a session
// shows its first block in the log; its context menu saves the session's bytes; the pane
// also carries out File > Export > "Packet Capture (pcapng)...".
#pragma once

#include <QStringList>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <vector>

#include "ui/SessionResend.h"

class CLogDocument;
class CSessionActions;
class CSessionTableModel;
class QTableView;

class CSessionPane : public QWidget {
    Q_OBJECT
public:
    // GUI thread. `doc` outlives the pane. `fnShowOffset` scrolls the log to a text offset.
    CSessionPane(const CLogDocument& doc, std::function<void(std::uint64_t)> fnShowOffset,
                 QWidget* pParent = nullptr);

    CSessionTableModel& model() const { return *m_pModel; }
    QTableView* table() const { return m_pTable; }

    // The table row (in the log's session table) of the selected session; false when none.
    bool selectedSession(std::uint32_t& nTableRow) const;
    // The table rows of every selected session, the current one first.
    std::vector<std::uint32_t> selectedSessions() const;
    // HAR, curl, the session's text and the comparison.
    CSessionActions& actions() const { return *m_pActions; }

    // The commands, asking for a file or a folder (and before replacing files); each
    // reports its failure in a box and its success in the status bar.
    void exportCapture();
    void saveSessionBytes();
    // The same without asking: 0 or the errno. Session bytes go to
    // "session-<ordinal>-client.bin" and "session-<ordinal>-server.bin" in the folder (the
    // ordinal of the list's first column, which no other session of the log shares); with
    // `bReplace` off, files that are there already give EEXIST and are left alone.
    int exportCaptureTo(const QString& strPath);
    int saveSessionBytesTo(std::uint32_t nTableRow, const QString& strFolder,
                           bool bReplace = false);
    // The two file names of a session's bytes in `strFolder`.
    static QStringList sessionByteFiles(std::uint32_t nTableRow, const QString& strFolder);

    // Whether `doc` has records to export (a log loaded from a file has none).
    static bool hasRecords(const CLogDocument& doc);
    // What the export says of a log loaded from a file.
    static QString loadedLogText();

    // While on, a new row is scrolled into view (View > Follow New Traffic).
    void setFollowNewRows(bool bFollow) { m_bFollowNewRows = bFollow; }
    // Whether the log shows one session only; "Show All Sessions" is enabled only then.
    void setShowsOneQuery(std::function<bool()> fn) { m_fnShowsOne = std::move(fn); }
    // The session's menu at the current row (the menu key, Shift+F10), or at `pos`.
    void showContextMenuAtCurrent();
    // Where "Replay Session" and "Edit and Resend..." send to by default: the connection
    // bar's server.
    void setCurrentServerQuery(std::function<CCurrentServer()> fn) { m_fnServer = std::move(fn); }
    // "Replay Session" and "Edit and Resend..." of the selected session.
    void replaySession();
    void editAndResend();

signals:
    // "Show Only This Session" for a table row, and back to all.
    void showOnlySession(std::uint32_t nTableRow);
    void showAllSessions();

private:
    void onSelectionChanged();
    void showContextMenu(const QPoint& pos);
    void reportFailure(const QString& strWhat, int nErrno);
    void onRowsInserted(int nLast);

    const CLogDocument& m_doc;
    std::function<void(std::uint64_t)> m_fnShowOffset;
    CSessionTableModel* m_pModel;
    QTableView* m_pTable;
    bool m_bFollowNewRows = true;
    std::function<bool()> m_fnShowsOne;
    CSessionActions* m_pActions;
    std::function<CCurrentServer()> m_fnServer;
};
