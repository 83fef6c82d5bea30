#include "ui/SessionTableModel.h"

#include <QTimer>

#include <chrono>

#include "module/LogRecord.h"

CSessionTableModel::CSessionTableModel(const CSessionTable& table, QObject* pParent)
    : QAbstractTableModel(pParent), m_list(table), m_pTimer(new QTimer(this)) {
    connect(m_pTimer, &QTimer::timeout, this, &CSessionTableModel::refresh);
    m_pTimer->start(kRefreshMs);
    refresh();
}

int CSessionTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_nShownRows);
}

int CSessionTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : CSessionListModel::ColCount;
}

QVariant CSessionTableModel::data(const QModelIndex& index, int nRole) const {
    if (!index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    const int nColumn = index.column();
    if (nRole == Qt::DisplayRole) {
        return QString::fromStdString(
            m_list.GetText(static_cast<std::size_t>(index.row()), nColumn, LogRecordNow()));
    }
    if (nRole == Qt::TextAlignmentRole) {
        const bool bNumber = nColumn == CSessionListModel::ColOrdinal ||
                             nColumn == CSessionListModel::ColNumber ||
                             nColumn == CSessionListModel::ColDuration ||
                             (nColumn >= CSessionListModel::ColBytesSent &&
                              nColumn <= CSessionListModel::ColBlocksReceived);
        return bNumber ? QVariant(Qt::AlignRight | Qt::AlignVCenter)
                       : QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    }
    return {};
}

QVariant CSessionTableModel::headerData(int nSection, Qt::Orientation orientation,
                                        int nRole) const {
    if (orientation == Qt::Horizontal && nRole == Qt::DisplayRole) {
        return tr(CSessionListModel::ColumnTitle(nSection));
    }
    return QAbstractTableModel::headerData(nSection, orientation, nRole);
}

template <class F>
void CSessionTableModel::Reorder(F fnReorder) {
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    std::vector<std::uint32_t> tableRows;
    tableRows.reserve(static_cast<std::size_t>(before.size()));
    for (const QModelIndex& index : before) {
        tableRows.push_back(m_list.GetTableRow(static_cast<std::size_t>(index.row())));
    }
    fnReorder();
    QModelIndexList after;
    after.reserve(before.size());
    for (qsizetype n = 0; n < before.size(); ++n) {
        const std::size_t nRow = m_list.FindViewRow(tableRows[static_cast<std::size_t>(n)]);
        after.push_back(nRow == SIZE_MAX ? QModelIndex()
                                         : index(static_cast<int>(nRow), before[n].column()));
    }
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void CSessionTableModel::sort(int nColumn, Qt::SortOrder order) {
    Reorder([&] { m_list.Sort(nColumn, order == Qt::AscendingOrder); });
}

void CSessionTableModel::refresh() {
    CSessionListModel::CUpdate update;
    if (!m_list.HasChanges()) {
        // Nothing new: only the durations of running sessions grow.
    } else if (m_list.GetSortColumn() >= 0) {
        // Sorted again as a whole when anything changed, inside a layout change; rows that
        // are new are announced after it.
        Reorder([&] { update = m_list.Refresh(); });
    } else {
        update = m_list.Refresh();
    }
    if (update.bReset) {
        beginResetModel();
        m_nShownRows = m_list.GetRowCount();
        endResetModel();
        return;
    }
    const std::size_t nRows = m_list.GetRowCount();
    if (nRows > m_nShownRows) {
        beginInsertRows({}, static_cast<int>(m_nShownRows), static_cast<int>(nRows - 1));
        m_nShownRows = nRows;
        endInsertRows();
    }
    for (std::size_t nRow : update.changed) {
        emit dataChanged(index(static_cast<int>(nRow), 0),
                         index(static_cast<int>(nRow), CSessionListModel::ColCount - 1));
    }
    if (m_list.AnyRunning() && rowCount() > 0) {
        const int nDuration = CSessionListModel::ColDuration;
        emit dataChanged(index(0, nDuration), index(rowCount() - 1, nDuration));
    }
}
