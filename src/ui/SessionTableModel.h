// The session list's table model: a thin Qt face on CSessionListModel, refreshed from the
// log's session table on a timer (a few times a second at most), so that the relay never
// waits for the list and a busy relay costs the list one copy of what changed per tick.
#pragma once

#include <QAbstractTableModel>

#include "logdoc/SessionListModel.h"

class QTimer;

class CSessionTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kRefreshMs = 250;

    // GUI thread. `table` outlives the model.
    explicit CSessionTableModel(const CSessionTable& table, QObject* pParent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int nRole = Qt::DisplayRole) const override;
    QVariant headerData(int nSection, Qt::Orientation orientation,
                        int nRole = Qt::DisplayRole) const override;
    void sort(int nColumn, Qt::SortOrder order = Qt::AscendingOrder) override;

    // GUI thread. Takes the table's changes now (the timer does it on its own).
    void refresh();
    const CSessionListModel& list() const { return m_list; }

private:
    // Re-orders the rows while keeping the persistent indexes (the selection) on theirs.
    template <class F>
    void Reorder(F fnReorder);

    CSessionListModel m_list;
    // The rows the views know of: the list may hold more for a moment while a refresh
    // announces them.
    std::size_t m_nShownRows = 0;
    QTimer* m_pTimer;
};
