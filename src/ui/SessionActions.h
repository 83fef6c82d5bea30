// The session list's commands that hand sessions on: the HTTP exchanges as an HTTP
// Archive (of the chosen sessions, or of all for File > Export), a request as a curl
// command, a session's log text copied or saved, and two sessions compared.
//
// Threads: GUI thread.
#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <vector>

class CLogDocument;
class CCompareDialog;
class QMenu;
class QWidget;

class CSessionActions : public QObject {
    Q_OBJECT
public:
    // `doc` outlives this; dialogs and boxes open over `pWindow`.
    CSessionActions(const CLogDocument& doc, QWidget* pWindow);

    // The entries of a session's menu for the chosen table rows (the one under the mouse
    // first).
    void addToMenu(QMenu& menu, const std::vector<std::uint32_t>& rows);

    // The commands, asking for a file where they write one; each reports its failure in a
    // box and its success in the status bar. `rows` empty: every session.
    void exportHar(const std::vector<std::uint32_t>& rows);
    void saveSessionText(std::uint32_t nRow);
    // The same without asking: 0 or the errno.
    int exportHarTo(const QString& strPath, const std::vector<std::uint32_t>& rows,
                    std::uint64_t* pnEntries = nullptr);
    int saveSessionTextTo(std::uint32_t nRow, const QString& strPath);
    // To the clipboard; false when there is nothing to copy.
    bool copySessionText(std::uint32_t nRow);
    // The curl command of the session's request nRequest (0: its first).
    bool copyAsCurl(std::uint32_t nRow, std::size_t nRequest = 0);
    // Opens the comparison (left: nRowA) and returns it; it deletes itself when closed.
    CCompareDialog* compareSessions(std::uint32_t nRowA, std::uint32_t nRowB);

    // The request lines of the session's first nMax requests.
    QStringList requestLines(std::uint32_t nRow, std::size_t nMax) const;

private:
    void reportFailure(const QString& strWhat, int nErrno);

    const CLogDocument& m_doc;
    QWidget* m_pWindow;
};
