// The "TLS" page of the options: whether the server speaks TLS, whether TLS from clients is
// decrypted (with the hosts passed through untouched), whether any server certificate is
// accepted, and where the key log goes. Sessions read these when they start.
#pragma once

#include <QWidget>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

class CPageOptionsTls : public QWidget {
    Q_OBJECT
public:
    explicit CPageOptionsTls(QWidget* pParent = nullptr);

    // GUI thread. Reads the settings into the controls.
    void Load();
    // GUI thread. Writes the controls to the settings; raises a CException* when a write
    // fails.
    void Store();

    QComboBox* ServerTlsBox() const { return m_pServerTls; }
    QCheckBox* AcceptAnyBox() const { return m_pAcceptAny; }
    QComboBox* ClientTlsBox() const { return m_pClientTls; }
    QPlainTextEdit* PassthroughField() const { return m_pPassthrough; }
    QLineEdit* KeyLogField() const { return m_pKeyLog; }
    QPushButton* KeyLogBrowseButton() const { return m_pKeyLogBrowse; }

private:
    QComboBox* m_pServerTls = nullptr;
    QCheckBox* m_pAcceptAny = nullptr;
    QComboBox* m_pClientTls = nullptr;
    QPlainTextEdit* m_pPassthrough = nullptr;
    QLineEdit* m_pKeyLog = nullptr;
    QPushButton* m_pKeyLogBrowse = nullptr;
};
