#include "ui/SessionActions.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>

#include <cerrno>
#include <cstring>

#include "export/CurlCommand.h"
#include "export/HarExport.h"
#include "export/SessionText.h"
#include "logdoc/LogDocument.h"
#include "logdoc/SessionListModel.h"
#include "module/MyModule.h"
#include "ui/CompareDialog.h"
#include "ui/DelayedProgress.h"

namespace {

// What a session's text copies at most (the log view's own copy has a bound too).
constexpr std::size_t kMaxCopy = 64 * 1024 * 1024;
// Requests offered in "Copy as curl".
constexpr std::size_t kMaxRequests = 20;

}  // namespace

CSessionActions::CSessionActions(const CLogDocument& doc, QWidget* pWindow)
    : QObject(pWindow), m_doc(doc), m_pWindow(pWindow) {}

void CSessionActions::addToMenu(QMenu& menu, const std::vector<std::uint32_t>& rows) {
    if (rows.empty()) {
        return;
    }
    const std::uint32_t nRow = rows.front();
    menu.addSeparator();
    menu.addAction(tr("Copy Session as Text"), this, [this, nRow] { copySessionText(nRow); });
    menu.addAction(tr("Save Session as Text..."), this, [this, nRow] { saveSessionText(nRow); });
    // The requests are read when the submenu opens, not with every right click.
    QMenu* pCurl = menu.addMenu(tr("Copy as curl"));
    connect(pCurl, &QMenu::aboutToShow, pCurl, [this, pCurl, nRow] {
        pCurl->clear();
        const QStringList lines = requestLines(nRow, kMaxRequests);
        if (lines.isEmpty()) {
            pCurl->addAction(tr("No HTTP request in this session"))->setEnabled(false);
        }
        for (int i = 0; i < lines.size(); ++i) {
            pCurl->addAction(lines[i], this,
                             [this, nRow, i] { copyAsCurl(nRow, static_cast<std::size_t>(i)); });
        }
    });
    menu.addAction(tr("HTTP Archive (HAR)..."), this, [this, rows] { exportHar(rows); });
    QAction* pCompare = menu.addAction(tr("Compare Sessions"), this, [this, rows] {
        if (rows.size() == 2) {
            compareSessions(rows[0], rows[1]);
        }
    });
    pCompare->setEnabled(rows.size() == 2);
    if (rows.size() != 2) {
        pCompare->setStatusTip(tr("Select two sessions to compare them"));
    }
}

void CSessionActions::reportFailure(const QString& strWhat, int nErrno) {
    QMessageBox::warning(m_pWindow, tr("Tapvane"),
                         nErrno == 0 ? strWhat
                                     : strWhat + QStringLiteral("\n") +
                                           QString::fromLocal8Bit(std::strerror(nErrno)));
}

int CSessionActions::exportHarTo(const QString& strPath, const std::vector<std::uint32_t>& rows,
                                 std::uint64_t* pnEntries) {
    CDelayedProgress progress(m_pWindow, tr("Exporting %1").arg(strPath));
    return ExportHar(
        m_doc.GetRecords(), strPath.toStdString(), rows,
        [&](std::uint64_t nDone, std::uint64_t nTotal) { return progress.Step(nDone, nTotal); },
        pnEntries);
}

void CSessionActions::exportHar(const std::vector<std::uint32_t>& rows) {
    if (m_doc.GetRecords().Sessions().GetCount() == 0) {
        reportFailure(tr("No session has been recorded yet."), 0);
        return;
    }
    const QString strPath = QFileDialog::getSaveFileName(
        m_pWindow, tr("Export HTTP Archive"), QStringLiteral("tapvane.har"),
        tr("HTTP archives (*.har);;All files (*)"));
    if (strPath.isEmpty()) {
        return;
    }
    std::uint64_t nEntries = 0;
    const int nError = exportHarTo(strPath, rows, &nEntries);
    if (nError == 0) {
        g_Module.SetStatusText(
            tr("%n HTTP exchange(s) were saved to \"%1\".", nullptr, static_cast<int>(nEntries))
                .arg(strPath)
                .toStdWString(),
            STATUS_PANE_TEXT);
    } else if (nError != ECANCELED) {
        reportFailure(tr("The HTTP archive \"%1\" could not be written.").arg(strPath), nError);
    }
}

bool CSessionActions::copySessionText(std::uint32_t nRow) {
    const std::string text = SessionText(m_doc, nRow, "\n", kMaxCopy);
    if (text.empty()) {
        g_Module.SetStatusText(tr("The session has no blocks to copy.").toStdWString(),
                               STATUS_PANE_TEXT);
        return false;
    }
    QApplication::clipboard()->setText(
        QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    g_Module.SetStatusText(tr("The text of session #%1 was copied.")
                               .arg(CSessionListModel::Ordinal(nRow))
                               .toStdWString(),
                           STATUS_PANE_TEXT);
    return true;
}

int CSessionActions::saveSessionTextTo(std::uint32_t nRow, const QString& strPath) {
    return SaveSessionText(m_doc, nRow, strPath.toStdString());
}

void CSessionActions::saveSessionText(std::uint32_t nRow) {
    const QString strPath = QFileDialog::getSaveFileName(
        m_pWindow, tr("Save Session as Text"),
        QStringLiteral("session-%1.txt").arg(CSessionListModel::Ordinal(nRow)),
        tr("Text files (*.txt);;All files (*)"));
    if (strPath.isEmpty()) {
        return;
    }
    const int nError = saveSessionTextTo(nRow, strPath);
    if (nError == 0) {
        g_Module.SetStatusText(tr("The text of session #%1 was saved to \"%2\".")
                                   .arg(CSessionListModel::Ordinal(nRow))
                                   .arg(strPath)
                                   .toStdWString(),
                               STATUS_PANE_TEXT);
    } else if (nError == ENOENT) {
        reportFailure(tr("The session has no blocks to save."), 0);
    } else {
        reportFailure(tr("The session's text could not be saved to \"%1\".").arg(strPath), nError);
    }
}

QStringList CSessionActions::requestLines(std::uint32_t nRow, std::size_t nMax) const {
    QStringList lines;
    ReadSessionExchanges(m_doc.GetRecords(), nRow, [&](const CHttpExchange& x) {
        lines.append(QString::fromStdString(x.request.strMethod + " " + x.request.strTarget));
        return static_cast<std::size_t>(lines.size()) < nMax;
    });
    return lines;
}

bool CSessionActions::copyAsCurl(std::uint32_t nRow, std::size_t nRequest) {
    CSessionInfo info;
    if (!m_doc.GetRecords().Sessions().GetRow(nRow, info)) {
        return false;
    }
    std::string strCommand;
    std::size_t nAt = 0;
    ReadSessionExchanges(m_doc.GetRecords(), nRow, [&](const CHttpExchange& x) {
        if (nAt++ == nRequest) {
            strCommand = CurlCommand(x.request, HarSessionOf(info));
            return false;
        }
        return true;
    });
    if (strCommand.empty()) {
        g_Module.SetStatusText(tr("The session has no such HTTP request.").toStdWString(),
                               STATUS_PANE_TEXT);
        return false;
    }
    QApplication::clipboard()->setText(
        QString::fromUtf8(strCommand.data(), static_cast<qsizetype>(strCommand.size())));
    g_Module.SetStatusText(tr("The request was copied as a curl command.").toStdWString(),
                           STATUS_PANE_TEXT);
    return true;
}

CCompareDialog* CSessionActions::compareSessions(std::uint32_t nRowA, std::uint32_t nRowB) {
    auto* pDialog = new CCompareDialog(m_doc, nRowA, nRowB, m_pWindow);
    pDialog->setAttribute(Qt::WA_DeleteOnClose);
    pDialog->show();
    return pDialog;
}
