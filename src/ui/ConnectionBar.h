// The connection bar in the output pane's header: the Local Port, URL and Remote Port
// fields and the "&Listen" check button. It keeps Listen disabled until the fields are
// filled, greys them while listening, fills the URL list from the saved servers and answers
// the network side's questions about the current values.
#pragma once

#include <QWidget>

#include <string>

#include "platform/WinTypes.h"

class QLabel;
class QLineEdit;
class QToolButton;
class CServerCombo;

class CConnectionBar : public QWidget {
    Q_OBJECT
public:
    explicit CConnectionBar(QWidget* pParent = nullptr);
    // Stores the selected entry as the default server for the next start.
    ~CConnectionBar() override;

    // GUI thread, as every member. Fills the URL list from the saved servers, selects the
    // stored default entry and applies its ports.
    void Initialise();
    // Remembers the selected entry's position (nothing when no entry is selected).
    void StoreSelection();

    // The values as the network side reads them: the URL box's text, and the ports as
    // signed numbers, 0 when a field is empty or holds no number that fits.
    std::wstring GetUrl() const;
    int GetLocalPort() const;
    int GetRemotePort() const;

    // After each Listen command: the button shows pressed and the fields are greyed
    // exactly while listening.
    void UpdateListenState(UINT nId, bool bListening);
    // "MyToolBarCtrlEnable": the Listen button follows the command's enabled state.
    void EnableCommand(UINT nId, bool bEnable);

    // The clipboard commands of the fields: carried out on the focused field (Cut and Copy
    // only with a selection); false when no field takes the command, which then goes on.
    bool Cut();
    bool Copy();
    bool Paste();

    // Enables the Listen command exactly when the URL names a host and both ports are
    // numbers from 1 to 65535; says in the status bar why a URL names none. A port in the
    // URL fills an empty Remote Port.
    void CheckConnectionFields();
    // Puts the selected entry's ports into the fields (the remote port 0 means the same as
    // the local port).
    void ApplySelectedServer();

    CServerCombo* UrlBox() const { return m_pUrl; }
    QLineEdit* LocalPortField() const { return m_pLocalPort; }
    QLineEdit* RemotePortField() const { return m_pRemotePort; }
    QToolButton* ListenButton() const { return m_pListen; }

signals:
    // The Listen button was pressed: the main window carries out the Listen command as one
    // that comes from this bar.
    void listenClicked();

private:
    QLineEdit* FocusedField(bool bNeedSelection) const;

    CServerCombo* m_pUrl;
    QLineEdit* m_pLocalPort;
    QLineEdit* m_pRemotePort;
    QToolButton* m_pListen;
    bool m_bInitialised = false;
    bool m_bReasonShown = false;    // the status bar says why the URL names no host
    bool m_bRemoteFromUrl = false;  // Remote Port holds the port of the URL, not the user's
};

// The number a port field holds as the network side reads it: 0 when empty or when it does
// not fit a signed 32-bit number.
int PortFieldValue(const QString& strText);
