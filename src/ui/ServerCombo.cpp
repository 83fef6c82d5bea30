#include "ui/ServerCombo.h"

#include <QLineEdit>

namespace {

constexpr int kPortsRole = Qt::UserRole + 1;

}  // namespace

CServerCombo::CServerCombo(QWidget* pParent) : QComboBox(pParent) {
    setEditable(true);
    // Typing a text never adds an entry: the list holds the saved servers only (a server
    // that answered once is saved by its session).
    setInsertPolicy(QComboBox::NoInsert);
    setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    setMinimumContentsLength(24);
    setMaxVisibleItems(12);
}

int CServerCombo::AddText(const std::wstring& strText) {
    int nPosition = 0;
    while (nPosition < count() &&
           CompareServerText(itemText(nPosition).toStdWString(), strText) <= 0) {
        ++nPosition;
    }
    const QString strSaved = currentText();
    insertItem(nPosition, QString::fromStdWString(strText));
    if (currentText() != strSaved) {
        setEditText(strSaved);  // inserting must not change what the box shows
    }
    return nPosition;
}

void CServerCombo::SetPorts(int nPosition, std::unique_ptr<ServerPorts> pPorts) {
    if (nPosition < 0 || nPosition >= count() || !pPorts) {
        return;
    }
    setItemData(
        nPosition,
        QVariantList{QVariant::fromValue(pPorts->nPort), QVariant::fromValue(pPorts->nPortRemote)},
        kPortsRole);
}

void CServerCombo::Select(int nPosition) {
    if (nPosition < 0 || nPosition >= count()) {
        setCurrentIndex(-1);
        setEditText(QString());
        return;
    }
    setCurrentIndex(nPosition);
}

std::optional<ServerPorts> CServerCombo::SelectedPorts() const {
    const int nPosition = SelectedPosition();
    if (nPosition < 0) {
        return std::nullopt;
    }
    const QVariantList ports = itemData(nPosition, kPortsRole).toList();
    if (ports.size() != 2) {
        return ServerPorts{};
    }
    return ServerPorts{ports[0].value<DWORD>(), ports[1].value<DWORD>()};
}

int CServerCombo::SelectedPosition() const {
    const int nPosition = currentIndex();
    if (nPosition < 0 || itemText(nPosition) != currentText()) {
        return -1;
    }
    return nPosition;
}
