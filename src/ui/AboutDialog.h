// The About box: the program's icon, the credits, the version text with the system
// description, a link to our web site and one that opens a mail to us with that text.
#pragma once

#include <QDialog>

#include <string>

class QLabel;
class QPlainTextEdit;

class CAboutDialog : public QDialog {
    Q_OBJECT
public:
    // GUI thread. `strAppName` names the program in the title and the mail's subject;
    // `strAboutText` is the text shown and mailed.
    CAboutDialog(const std::wstring& strAppName, const std::wstring& strAboutText,
                 QWidget* pParent = nullptr);

    QLabel* SiteLink() const { return m_pSiteLink; }
    QLabel* MailLink() const { return m_pMailLink; }
    QPlainTextEdit* TextBox() const { return m_pText; }
    // The targets of the two links.
    QUrl SiteUrl() const;
    QUrl MailUrl() const;

private:
    void OnLink(const QUrl& url);

    std::wstring m_strAppName;
    std::wstring m_strAboutText;
    QLabel* m_pSiteLink = nullptr;
    QLabel* m_pMailLink = nullptr;
    QPlainTextEdit* m_pText = nullptr;
};

// GUI thread. Runs the About box modally over `pOwner` (the active window when null).
void ShowAboutBox(QWidget* pOwner = nullptr);
