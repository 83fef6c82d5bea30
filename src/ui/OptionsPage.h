// The "General" page of the options: the HTTP options that sessions read when they start
// (replace the Host header, save the server's responses, the folder for them), with a
// folder chooser and a pop-up help text for every control; and who may connect to the relay
// ("Listen Address", read when listening starts).
#pragma once

#include <QWidget>

#include <functional>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

class CPageOptionsHtml : public QWidget {
    Q_OBJECT
public:
    // The control ids, which choose the help texts.
    static constexpr int kIdReplaceHost = 1000;
    static constexpr int kIdSaveResponse = 1001;
    static constexpr int kIdFolder = 1002;
    static constexpr int kIdBrowse = 1003;
    static constexpr int kIdListenAddress = 1004;

    // The folder chooser: owner, title, the folder to start at -> the folder chosen, or an
    // empty text when the user cancelled.
    using FolderChooserFn = std::function<QString(QWidget*, const QString&, const QString&)>;
    // Replaces the desktop's folder chooser (null: QFileDialog::getExistingDirectory).
    static void SetFolderChooser(FolderChooserFn fn);

    explicit CPageOptionsHtml(QWidget* pParent = nullptr);

    // Reads the options from the settings into the controls.
    void Load();
    // Writes the controls to the settings; raises a CException* when a write fails.
    void Store();

    QCheckBox* ReplaceHostBox() const { return m_pReplaceHost; }
    QCheckBox* SaveResponseBox() const { return m_pSaveResponse; }
    QLineEdit* FolderField() const { return m_pFolder; }
    QPushButton* BrowseButton() const { return m_pBrowse; }
    // "All interfaces" (data "all"), "This machine only" (data "local"), and a third entry
    // for an address stored by tapvane-cli --bind (data the address).
    QComboBox* ListenAddressBox() const { return m_pListenAddress; }
    QCheckBox* KeepListeningBox() const { return m_pKeepListening; }

private:
    void UpdateFolderControls();
    void OnBrowse();

    QCheckBox* m_pReplaceHost = nullptr;
    QCheckBox* m_pSaveResponse = nullptr;
    QLineEdit* m_pFolder = nullptr;
    QPushButton* m_pBrowse = nullptr;
    QComboBox* m_pListenAddress = nullptr;
    QCheckBox* m_pKeepListening = nullptr;
};
