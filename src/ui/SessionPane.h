// The top pane of the main window: the list of the log's sessions. Selecting a session
// shows its first block in the log; its context menu saves the session's bytes; the pane
// also carries out File > Export > "Packet Capture (pcapng)...".
#pragma once

#include <QWidget>

#include <cstdint>
#include <functional>

class CLogDocument;
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

    // The commands, asking for a file or a folder; each reports its failure in a box.
    void exportCapture();
    void saveSessionBytes();
    // The same without asking: 0 or the errno. Session bytes go to
    // "session-<n>-client.bin" and "session-<n>-server.bin" in the folder.
    int exportCaptureTo(const QString& strPath);
    int saveSessionBytesTo(std::uint32_t nTableRow, const QString& strFolder);

signals:
    // "Show Only This Session" for a table row, and back to all.
    void showOnlySession(std::uint32_t nTableRow);
    void showAllSessions();

private:
    void onSelectionChanged();
    void showContextMenu(const QPoint& pos);
    void reportFailure(const QString& strWhat, int nErrno);

    const CLogDocument& m_doc;
    std::function<void(std::uint64_t)> m_fnShowOffset;
    CSessionTableModel* m_pModel;
    QTableView* m_pTable;
};
