#include "ui/SessionPane.h"

#include <QAction>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMenu>
#include <QMessageBox>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cstring>

#include "logdoc/LogDocument.h"
#include "logdoc/SessionExport.h"
#include "logdoc/SessionListModel.h"
#include "module/MyModule.h"
#include "ui/DelayedProgress.h"
#include "ui/SessionActions.h"
#include "ui/SessionTableModel.h"

CSessionPane::CSessionPane(const CLogDocument& doc, std::function<void(std::uint64_t)> fnShowOffset,
                           QWidget* pParent)
    : QWidget(pParent),
      m_doc(doc),
      m_fnShowOffset(std::move(fnShowOffset)),
      m_pModel(new CSessionTableModel(doc.GetRecords().Sessions(), this)),
      m_pTable(new QTableView(this)),
      m_pActions(new CSessionActions(doc, this)) {
    setObjectName(QStringLiteral("sessionPane"));
    auto* pLayout = new QVBoxLayout(this);
    pLayout->setContentsMargins(0, 0, 0, 0);
    pLayout->addWidget(m_pTable);
    m_pTable->setObjectName(QStringLiteral("sessionList"));
    m_pTable->setAccessibleName(tr("Sessions"));
    m_pTable->setAccessibleDescription(
        tr("Every session of the log, one a row, with its columns named in the header; Enter "
           "shows the session's first block in the log"));
    m_pTable->setModel(m_pModel);
    m_pTable->setSortingEnabled(true);
    m_pTable->sortByColumn(-1, Qt::AscendingOrder);  // the log's order until a header is clicked
    m_pTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    // Several sessions for an archive of them, two for a comparison.
    m_pTable->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_pTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pTable->verticalHeader()->hide();
    m_pTable->verticalHeader()->setDefaultSectionSize(m_pTable->fontMetrics().height() + 4);
    m_pTable->horizontalHeader()->setStretchLastSection(true);
    // Columns as wide as their usual content (measuring 100,000 rows would not do): the
    // request and the answer, the widest, get what is left.
    static const char* const kSamples[] = {"000000",
                                           "00000",
                                           "127.000.000.001:00000",
                                           "www.example.com:443",
                                           "00:00:00.000",
                                           "000.000 s",
                                           "half-closed",
                                           "000000000",
                                           "000000000",
                                           "000000",
                                           "000000",
                                           "GET /index.html HTTP/1.1",
                                           "HTTP/1.1 200 OK",
                                           "TLS 1.3 h1",
                                           "edited resend of #0000",
                                           "latency 200 ms, 500 KB/s down"};
    static_assert(std::size(kSamples) == CSessionListModel::ColCount, "a sample every column");
    const QFontMetrics metrics = m_pTable->fontMetrics();
    const QFontMetrics headerMetrics = m_pTable->horizontalHeader()->fontMetrics();
    for (int nColumn = 0; nColumn < CSessionListModel::ColCount; ++nColumn) {
        const int nWidth =
            std::max(metrics.horizontalAdvance(QString::fromLatin1(kSamples[nColumn])),
                     headerMetrics.horizontalAdvance(
                         QString::fromLatin1(CSessionListModel::ColumnTitle(nColumn))) +
                         headerMetrics.height());
        m_pTable->horizontalHeader()->resizeSection(nColumn, nWidth + 12);
    }
    // What was asked and answered reads best next to the state; the counts follow.
    m_pTable->horizontalHeader()->moveSection(CSessionListModel::ColRequest,
                                              CSessionListModel::ColState + 1);
    m_pTable->horizontalHeader()->moveSection(CSessionListModel::ColStatus,
                                              CSessionListModel::ColState + 2);
    // What TLS did, short, comes right after the state.
    m_pTable->horizontalHeader()->moveSection(CSessionListModel::ColTls,
                                              CSessionListModel::ColState + 1);
    m_pTable->horizontalHeader()->setStretchLastSection(false);
    m_pTable->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_pTable->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this] { onSelectionChanged(); });
    connect(m_pTable, &QWidget::customContextMenuRequested, this, &CSessionPane::showContextMenu);
    // Shift+F10 opens the menu as the menu key does.
    auto* pMenuKey = new QAction(m_pTable);
    pMenuKey->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F10));
    pMenuKey->setShortcutContext(Qt::WidgetShortcut);
    connect(pMenuKey, &QAction::triggered, this, &CSessionPane::showContextMenuAtCurrent);
    m_pTable->addAction(pMenuKey);
    connect(m_pModel, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex&, int, int nLast) { onRowsInserted(nLast); });
    // The first rows (and those after New) come as a reset of the model.
    connect(m_pModel, &QAbstractItemModel::modelReset, this,
            [this] { onRowsInserted(m_pModel->rowCount() - 1); });
}

void CSessionPane::onRowsInserted(int nLast) {
    if (!m_bFollowNewRows || nLast < 0) {
        return;
    }
    // In the log's order the new rows are the last; sorted, the row appended last is shown.
    // Once the view has laid the new rows out: queued behind the model's signal.
    QTimer::singleShot(0, this, [this, nLast] {
        if (nLast < m_pModel->rowCount()) {
            m_pTable->doItemsLayout();  // the scroll range, which the view sets lazily
            m_pTable->scrollTo(m_pModel->index(nLast, 0), QAbstractItemView::EnsureVisible);
        }
    });
}

void CSessionPane::showContextMenuAtCurrent() {
    const QModelIndex current = m_pTable->selectionModel()->currentIndex();
    if (!current.isValid()) {
        return;
    }
    m_pTable->scrollTo(current);
    showContextMenu(m_pTable->visualRect(current).center());
}

bool CSessionPane::selectedSession(std::uint32_t& nTableRow) const {
    const QModelIndex current = m_pTable->selectionModel()->currentIndex();
    if (!current.isValid() || current.row() >= m_pModel->rowCount()) {
        return false;
    }
    nTableRow = m_pModel->list().GetTableRow(static_cast<std::size_t>(current.row()));
    return true;
}

std::vector<std::uint32_t> CSessionPane::selectedSessions() const {
    std::vector<std::uint32_t> rows;
    std::uint32_t nCurrent = 0;
    const bool bCurrent = selectedSession(nCurrent) &&
                          m_pTable->selectionModel()->isRowSelected(
                              m_pTable->selectionModel()->currentIndex().row(), QModelIndex());
    if (bCurrent) {
        rows.push_back(nCurrent);
    }
    for (const QModelIndex& index : m_pTable->selectionModel()->selectedRows()) {
        if (index.row() < m_pModel->rowCount()) {
            const std::uint32_t nRow =
                m_pModel->list().GetTableRow(static_cast<std::size_t>(index.row()));
            if (!bCurrent || nRow != nCurrent) {
                rows.push_back(nRow);
            }
        }
    }
    return rows;
}

void CSessionPane::onSelectionChanged() {
    const QModelIndex current = m_pTable->selectionModel()->currentIndex();
    if (!current.isValid() || current.row() >= m_pModel->rowCount()) {
        return;
    }
    const CSessionInfo& info = m_pModel->list().GetRow(static_cast<std::size_t>(current.row()));
    if (info.nFirstTextOffset != UINT64_MAX && m_fnShowOffset) {
        m_fnShowOffset(info.nFirstTextOffset);
    }
}

void CSessionPane::showContextMenu(const QPoint& pos) {
    const QModelIndex index = m_pTable->indexAt(pos);
    if (!index.isValid()) {
        return;
    }
    // A right click on a selected row keeps the selection (two sessions to compare).
    if (!m_pTable->selectionModel()->isRowSelected(index.row(), QModelIndex())) {
        m_pTable->selectionModel()->setCurrentIndex(
            index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    } else {
        m_pTable->selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
    }
    QMenu menu(this);
    menu.addAction(tr("Show Only This Session"), this, [this] {
        std::uint32_t nRow = 0;
        if (selectedSession(nRow)) {
            emit showOnlySession(nRow);
        }
    });
    QAction* pAll = menu.addAction(tr("Show All Sessions"), this, &CSessionPane::showAllSessions);
    pAll->setEnabled(m_fnShowsOne && m_fnShowsOne());
    menu.addSeparator();
    menu.addAction(tr("Save Session Bytes..."), this, &CSessionPane::saveSessionBytes);
    menu.addAction(tr("Packet Capture (pcapng)..."), this, &CSessionPane::exportCapture)
        ->setEnabled(hasRecords(m_doc));
    m_pActions->addToMenu(menu, selectedSessions());
    menu.addSeparator();
    menu.addAction(tr("Replay Session"), this, &CSessionPane::replaySession)
        ->setEnabled(hasRecords(m_doc));
    menu.addAction(tr("Edit and Resend..."), this, &CSessionPane::editAndResend)
        ->setEnabled(hasRecords(m_doc));
    menu.exec(m_pTable->viewport()->mapToGlobal(pos));
}

void CSessionPane::replaySession() {
    std::uint32_t nRow = 0;
    if (selectedSession(nRow)) {
        ReplaySessionRow(window(), m_doc.GetRecords(), nRow,
                         m_fnServer ? m_fnServer() : CCurrentServer());
    }
}

void CSessionPane::editAndResend() {
    std::uint32_t nRow = 0;
    if (selectedSession(nRow)) {
        ResendSessionRow(window(), m_doc.GetRecords(), nRow,
                         m_fnServer ? m_fnServer() : CCurrentServer());
    }
}

void CSessionPane::reportFailure(const QString& strWhat, int nErrno) {
    QMessageBox::warning(window(), tr("Tapvane"),
                         nErrno == 0 ? strWhat
                                     : strWhat + QStringLiteral("\n") +
                                           QString::fromLocal8Bit(std::strerror(nErrno)));
}

int CSessionPane::exportCaptureTo(const QString& strPath) {
    CDelayedProgress progress(window(), tr("Exporting %1").arg(strPath));
    return ExportPcapng(
        m_doc.GetRecords(), strPath.toStdString(),
        [&](std::uint64_t nDone, std::uint64_t nTotal) { return progress.Step(nDone, nTotal); });
}

QStringList CSessionPane::sessionByteFiles(std::uint32_t nTableRow, const QString& strFolder) {
    const QString strBase =
        strFolder + QStringLiteral("/session-%1-").arg(CSessionListModel::Ordinal(nTableRow));
    return {strBase + QStringLiteral("client.bin"), strBase + QStringLiteral("server.bin")};
}

int CSessionPane::saveSessionBytesTo(std::uint32_t nTableRow, const QString& strFolder,
                                     bool bReplace) {
    CSessionInfo info;
    if (!m_doc.GetRecords().Sessions().GetRow(nTableRow, info)) {
        return ENOENT;
    }
    const QStringList files = sessionByteFiles(nTableRow, strFolder);
    if (!bReplace && (QFileInfo::exists(files[0]) || QFileInfo::exists(files[1]))) {
        return EEXIST;
    }
    return SaveSessionBytes(m_doc.GetRecords(), nTableRow, files[0].toStdString(),
                            files[1].toStdString());
}

bool CSessionPane::hasRecords(const CLogDocument& doc) {
    return doc.GetRecords().GetBlockCount() > 0 || doc.GetRecords().Sessions().GetCount() > 0;
}

QString CSessionPane::loadedLogText() {
    return tr(
        "This log was loaded from a file and has no recorded blocks: only the traffic "
        "relayed in this window can be exported as a capture.");
}

void CSessionPane::exportCapture() {
    if (!hasRecords(m_doc)) {
        reportFailure(
            m_doc.GetSize() > 0 ? loadedLogText() : tr("No session has been recorded yet."), 0);
        return;
    }
    // The file dialog asks before it replaces a file.
    const QString strPath = QFileDialog::getSaveFileName(
        window(), tr("Export Packet Capture"), QStringLiteral("tapvane.pcapng"),
        tr("Packet captures (*.pcapng);;All files (*)"));
    if (strPath.isEmpty()) {
        return;
    }
    const int nError = exportCaptureTo(strPath);
    if (nError == 0) {
        g_Module.SetStatusText(tr("The capture was saved to \"%1\".").arg(strPath).toStdWString(),
                               STATUS_PANE_TEXT);
    } else if (nError != ECANCELED) {
        reportFailure(tr("The capture \"%1\" could not be written.").arg(strPath), nError);
    }
}

void CSessionPane::saveSessionBytes() {
    std::uint32_t nRow = 0;
    if (!selectedSession(nRow)) {
        return;
    }
    const QString strFolder = QFileDialog::getExistingDirectory(
        window(), tr("Save Session Bytes: the client's and the server's bytes go to"));
    if (strFolder.isEmpty()) {
        return;
    }
    int nError = saveSessionBytesTo(nRow, strFolder);
    if (nError == EEXIST) {
        const QStringList files = sessionByteFiles(nRow, strFolder);
        const QString strNames =
            QFileInfo(files[0]).fileName() + tr(" and ") + QFileInfo(files[1]).fileName();
        if (QMessageBox::question(
                window(), tr("Tapvane"),
                tr("%1 are in \"%2\" already. Replace them?").arg(strNames, strFolder),
                QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes) {
            return;
        }
        nError = saveSessionBytesTo(nRow, strFolder, true);
    }
    if (nError == 0) {
        g_Module.SetStatusText(tr("The bytes of session #%1 were saved in \"%2\".")
                                   .arg(CSessionListModel::Ordinal(nRow))
                                   .arg(strFolder)
                                   .toStdWString(),
                               STATUS_PANE_TEXT);
    } else {
        reportFailure(tr("The session's bytes could not be saved in \"%1\".").arg(strFolder),
                      nError);
    }
}
