// "Edit and Resend...": a session's client bytes in an editor before they go out again as
// a new session. Text that is UTF-8 (line ends CR LF or LF, as the bytes had them) is
// edited as text; any bytes can be edited in the hex view, whose pairs of hex digits are
// the bytes (blanks and line breaks between them do not count). An HTTP request's
// Content-Length is set to its body on request.
#pragma once

#include <QDialog>

#include <string>

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;

class CResendDialog : public QDialog {
    Q_OBJECT
public:
    enum Tab { TextTab = 0, HexTab = 1 };

    // GUI thread.
    explicit CResendDialog(std::string bytes, QWidget* pParent = nullptr);

    // The bytes as edited; false when the shown view does not give bytes (odd or non-hex
    // digits), with the reason shown in the dialog.
    bool editedBytes(std::string& bytes);

    // The hex view of bytes, 16 to a line, and the bytes of such a text; false for a text
    // that holds anything but hex digit pairs and blanks.
    static QString toHex(const std::string& bytes);
    static bool fromHex(const QString& strHex, std::string& bytes);
    // Whether the bytes show as text without loss: UTF-8 without control characters other
    // than tab and line ends, and line ends all LF or all CR LF.
    static bool isEditableText(const std::string& bytes);

    QTabWidget* tabs() const { return m_pTabs; }
    QPlainTextEdit* textEdit() const { return m_pText; }
    QPlainTextEdit* hexEdit() const { return m_pHex; }
    QCheckBox* crlfBox() const { return m_pCrlf; }
    QPushButton* fixLengthButton() const { return m_pFixLength; }
    QPushButton* sendButton() const { return m_pSend; }
    QLabel* problemLabel() const { return m_pProblem; }

private:
    // Reads the bytes from the tab that was shown; false (with the reason shown) when it
    // gives none.
    bool readTab(int nTab, std::string& bytes);
    void showIn(int nTab, const std::string& bytes);
    void onTabChanged(int nTab);
    void fixLength();

    QTabWidget* m_pTabs;
    QPlainTextEdit* m_pText;
    QPlainTextEdit* m_pHex;
    QCheckBox* m_pCrlf;
    QPushButton* m_pFixLength;
    QPushButton* m_pSend;
    QLabel* m_pProblem;
    int m_nShownTab = HexTab;
    bool m_bSwitching = false;
};
