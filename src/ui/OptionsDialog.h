// Tools > Options: the modal "Tapvane Options" dialog around the "General" page, with OK,
// Cancel and Help. OK stores the page and closes; a failing store keeps the dialog open
// with what the user typed. F1 (and the title bar's what's-this) shows the help text of a
// control in a pop-up at the pointer.
#pragma once

#include <QDialog>

#include <functional>
#include <map>

class QDialogButtonBox;
class QPushButton;
class QTabWidget;
class CPageOptionsHtml;
class CPageOptionsTls;

class COptionsDialog : public QDialog {
    Q_OBJECT
public:
    // The help topic of the page's Help button.
    static constexpr const wchar_t* kHelpTopic = L"afx_hidd_options_html.htm";

    // The pop-up of a help text: screen position, text, the window it belongs to.
    using PopupFn = std::function<void(const QPoint&, const QString&, QWidget*)>;
    // Replaces the pop-up (null: QWhatsThis::showText).
    static void SetPopupHelp(PopupFn fn);

    explicit COptionsDialog(QWidget* pParent = nullptr);

    CPageOptionsHtml* Page() const { return m_pPage; }
    CPageOptionsTls* TlsPage() const { return m_pTlsPage; }
    QTabWidget* Tabs() const { return m_pTabs; }
    QDialogButtonBox* Buttons() const { return m_pButtons; }

    // The help text of a control: its string by control id, else its own what's-this text
    // (the TLS page's), else "There is no help topic for this element".
    QString HelpTextFor(const QWidget* pWidget) const;
    // Shows the help text of `pWidget` at `pos` (screen coordinates).
    void ShowContextHelp(QWidget* pWidget, const QPoint& pos);

public slots:
    void accept() override;

private:
    void OnHelp();

    CPageOptionsHtml* m_pPage = nullptr;
    CPageOptionsTls* m_pTlsPage = nullptr;
    QTabWidget* m_pTabs = nullptr;
    QDialogButtonBox* m_pButtons = nullptr;
    std::map<const QWidget*, unsigned> m_helpIds;  // control -> string id of its help
};
