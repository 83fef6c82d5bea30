// Print Setup, Print and Print Preview of the traffic log. The printer and its page setup
// are kept for the run. Printing streams the pages one after the other; the preview takes
// the place of the main window's client area, with its own toolbar (Print, Previous page,
// Next page, Close preview) in place of the main one and "Page %d of %d." in the status bar.
#pragma once

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

#include "platform/WinTypes.h"
#include "ui/PrintPreview.h"

class QAction;
class QMainWindow;
class QPrinter;
class QToolBar;
class QWidget;
class CLogPrintLayout;
class ILogPane;

class CPrintCommands : public QObject {
    Q_OBJECT
public:
    // The print dialog: the printer to set up, whether the log has a selection to offer,
    // the owner -> whether the user chose to print.
    using PrintDialogFn = std::function<bool(QPrinter&, bool, QWidget*)>;
    // The page setup dialog: the printer, the owner -> whether the user confirmed.
    using PageSetupFn = std::function<bool(QPrinter&, QWidget*)>;
    // The failure box: text and caption.
    using FailureBoxFn = std::function<void(const QString&, const QString&)>;

    // GUI thread. `fnAction` gives the frame's action of a command id, `fnStatus` shows a
    // text in the status bar's pane 1, `fnStatusText` reads it back.
    CPrintCommands(QMainWindow* pFrame, ILogPane& pane, QToolBar* pMainBar,
                   std::function<QAction*(UINT)> fnAction,
                   std::function<void(const QString&)> fnStatus,
                   std::function<QString()> fnStatusText);
    ~CPrintCommands() override;

    // Replace the dialogs and the failure box (null: the desktop's own).
    void SetPrintDialog(PrintDialogFn fn) { m_fnPrintDialog = std::move(fn); }
    void SetPageSetupDialog(PageSetupFn fn) { m_fnPageSetup = std::move(fn); }
    void SetFailureBox(FailureBoxFn fn) { m_fnFailureBox = std::move(fn); }

    // Print Setup, Print, Print Preview, Previous page, Next page, Close preview.
    void OnCommand(UINT nId);
    static bool IsPrintCommand(UINT nId);

    QPrinter& Printer() { return *m_pPrinter; }
    bool InPreview() const { return m_pPreview != nullptr; }
    CPrintPreview* Preview() const { return m_pPreview; }
    QToolBar* PreviewBar() const { return m_pPreviewBar; }

private:
    void PageSetup();
    void Print();
    void OpenPreview();
    void ClosePreview();
    void UpdatePreviewState();
    void Fail(const QString& strText);

    QMainWindow* m_pFrame;
    ILogPane& m_pane;
    QToolBar* m_pMainBar;
    std::function<QAction*(UINT)> m_fnAction;
    std::function<void(const QString&)> m_fnStatus;
    std::function<QString()> m_fnStatusText;
    std::unique_ptr<QPrinter> m_pPrinter;
    QToolBar* m_pPreviewBar = nullptr;
    QPointer<CPrintPreview> m_pPreview;
    QPointer<QWidget> m_pSavedCentral;  // the client area while the preview stands in for it
    QString m_strSavedStatus;
    bool m_bMainBarWasVisible = true;

    PrintDialogFn m_fnPrintDialog;
    PageSetupFn m_fnPageSetup;
    FailureBoxFn m_fnFailureBox;
};
