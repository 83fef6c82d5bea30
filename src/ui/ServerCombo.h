// The URL box of the connection bar: an editable combo box whose entries are the saved
// servers, kept in the server list's order, each with its ports as item data.
#pragma once

#include <QComboBox>

#include <optional>

#include "settings/ServerList.h"

class CServerCombo : public QComboBox, public IServerList {
    Q_OBJECT
public:
    explicit CServerCombo(QWidget* pParent = nullptr);

    // GUI thread, as every member.
    int AddText(const std::wstring& strText) override;
    void SetPorts(int nPosition, std::unique_ptr<ServerPorts> pPorts) override;
    void Select(int nPosition) override;

    // The ports of the selected entry; none when no entry is selected.
    std::optional<ServerPorts> SelectedPorts() const;
    // The selected entry's position, or -1 (also when the text was edited away from it).
    int SelectedPosition() const;
};
