// Tools > "TLS Certificate Authority...": the user's own certificate authority, which issues
// the certificates that Tapvane shows to TLS clients. Shows its name, SHA-256 fingerprint and
// file; exports the certificate (PEM or DER) for a trust store; opens the help page on how to
// trust it; and makes a new one.
#pragma once

#include <QDialog>

#include <functional>
#include <memory>

class QLabel;
class QPushButton;

namespace tls {
class CCertAuthority;
}

class CCertAuthorityDialog : public QDialog {
    Q_OBJECT
public:
    // The save dialog for exports (parent, caption, suggested path, filters -> path, empty
    // when cancelled) and the question before a new authority is made (true: go on).
    // Replaceable for tests.
    using SaveFn = std::function<QString(QWidget*, const QString&, const QString&, const QString&)>;
    using ConfirmFn = std::function<bool(QWidget*, const QString&)>;

    // GUI thread. `strFolder`: where the authority lives (empty: its usual folder); it is
    // made there on first use.
    explicit CCertAuthorityDialog(QWidget* pParent = nullptr, QString strFolder = {});
    ~CCertAuthorityDialog() override;

    void SetSaveDialog(SaveFn fn) { m_fnSave = std::move(fn); }
    void SetConfirm(ConfirmFn fn) { m_fnConfirm = std::move(fn); }

    // The commands of the buttons; each says what went wrong in a box. True when done.
    bool ExportPem();
    bool ExportDer();
    bool MakeNew();

    QLabel* NameLabel() const { return m_pName; }
    QLabel* FingerprintLabel() const { return m_pFingerprint; }
    QLabel* FileLabel() const { return m_pFile; }
    QPushButton* ExportPemButton() const { return m_pExportPem; }
    QPushButton* ExportDerButton() const { return m_pExportDer; }
    QPushButton* MakeNewButton() const { return m_pMakeNew; }
    QPushButton* TrustHelpButton() const { return m_pTrustHelp; }

private:
    // Opens (or makes) the authority and shows it; the failure in place of the name.
    void Reload(bool bRenew);
    bool Export(const QString& strCaption, const QString& strSuffix, const QString& strFilter,
                bool bDer);

    QString m_strFolder;
    std::shared_ptr<tls::CCertAuthority> m_pAuthority;
    QLabel* m_pName = nullptr;
    QLabel* m_pFingerprint = nullptr;
    QLabel* m_pFile = nullptr;
    QPushButton* m_pExportPem = nullptr;
    QPushButton* m_pExportDer = nullptr;
    QPushButton* m_pTrustHelp = nullptr;
    QPushButton* m_pMakeNew = nullptr;
    SaveFn m_fnSave;
    ConfirmFn m_fnConfirm;
};
