#include "ui/PrintCommands.h"

#include <QAction>
#include <QMainWindow>
#include <QMessageBox>
#include <QPageSetupDialog>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QToolBar>

#include <climits>

#include "support/Exception.h"
#include "support/ResourceStrings.h"
#include "ui/CommandIds.h"
#include "ui/LogColours.h"
#include "ui/LogPane.h"
#include "ui/LogPrintLayout.h"
#include "ui/PrintPreview.h"

namespace {

constexpr UINT kStrPageOf = 143;
const char* const kJobName = "Quillet Document";
const char* const kFailureCaption = "Quillet";
const char* const kPrintFailed = "Print operation failed";
const char* const kPreviewFailed = "Print preview operation failed";

bool RunPrintDialog(QPrinter& printer, bool bHasSelection, QWidget* pParent) {
    QPrintDialog dialog(&printer, pParent);
    dialog.setOption(QAbstractPrintDialog::PrintSelection, bHasSelection);
    dialog.setOption(QAbstractPrintDialog::PrintPageRange, true);
    dialog.setOption(QAbstractPrintDialog::PrintToFile, true);
    return dialog.exec() == QDialog::Accepted;
}

bool RunPageSetup(QPrinter& printer, QWidget* pParent) {
    QPageSetupDialog dialog(&printer, pParent);
    return dialog.exec() == QDialog::Accepted;
}

}  // namespace

CPrintCommands::CPrintCommands(QMainWindow* pFrame, ILogPane& pane, QToolBar* pMainBar,
                               std::function<QAction*(UINT)> fnAction,
                               std::function<void(const QString&)> fnStatus,
                               std::function<QString()> fnStatusText)
    : QObject(nullptr),
      m_pFrame(pFrame),
      m_pane(pane),
      m_pMainBar(pMainBar),
      m_fnAction(std::move(fnAction)),
      m_fnStatus(std::move(fnStatus)),
      m_fnStatusText(std::move(fnStatusText)),
      m_pPrinter(std::make_unique<QPrinter>(QPrinter::HighResolution)) {
    m_pPrinter->setDocName(QString::fromLatin1(kJobName));
    // A printer's own margins can be zero; keep the text off the paper's edge.
    m_pPrinter->setPageMargins(QMarginsF(15, 15, 15, 15), QPageLayout::Millimeter);

    m_pPreviewBar = new QToolBar(tr("Print Preview"), pFrame);
    m_pPreviewBar->setObjectName(QStringLiteral("previewToolBar"));
    m_pPreviewBar->setMovable(false);
    m_pPreviewBar->setToolButtonStyle(Qt::ToolButtonTextOnly);
    m_pPreviewBar->toggleViewAction()->setVisible(false);
    m_pPreviewBar->addAction(m_fnAction(ID_FILE_PRINT));
    m_pPreviewBar->addSeparator();
    m_pPreviewBar->addAction(m_fnAction(ID_PREVIEW_PREV));
    m_pPreviewBar->addAction(m_fnAction(ID_PREVIEW_NEXT));
    m_pPreviewBar->addSeparator();
    m_pPreviewBar->addAction(m_fnAction(ID_PREVIEW_CLOSE));
    pFrame->addToolBar(Qt::TopToolBarArea, m_pPreviewBar);
    m_pPreviewBar->hide();
    UpdatePreviewState();
}

CPrintCommands::~CPrintCommands() {
    // The client area goes back to the window, which deletes it.
    if (InPreview()) {
        ClosePreview();
    }
}

bool CPrintCommands::IsPrintCommand(UINT nId) {
    switch (nId) {
        case ID_FILE_PRINT_SETUP:
        case ID_FILE_PRINT:
        case ID_FILE_PRINT_PREVIEW:
        case ID_PREVIEW_PREV:
        case ID_PREVIEW_NEXT:
        case ID_PREVIEW_CLOSE:
            return true;
        default:
            return false;
    }
}

void CPrintCommands::OnCommand(UINT nId) {
    switch (nId) {
        case ID_FILE_PRINT_SETUP:
            PageSetup();
            break;
        case ID_FILE_PRINT:
            Print();
            break;
        case ID_FILE_PRINT_PREVIEW:
            OpenPreview();
            break;
        case ID_PREVIEW_PREV:
            if (InPreview()) {
                m_pPreview->GoBack();
            }
            break;
        case ID_PREVIEW_NEXT:
            if (InPreview()) {
                m_pPreview->GoForward();
            }
            break;
        case ID_PREVIEW_CLOSE:
            ClosePreview();
            break;
        default:
            break;
    }
}

void CPrintCommands::Fail(const QString& strText) {
    if (m_fnFailureBox) {
        m_fnFailureBox(strText, QString::fromLatin1(kFailureCaption));
    } else {
        QMessageBox::critical(m_pFrame, QString::fromLatin1(kFailureCaption), strText);
    }
}

void CPrintCommands::PageSetup() {
    // What the user confirms stays with the printer for the rest of the run.
    m_fnPageSetup ? m_fnPageSetup(*m_pPrinter, m_pFrame) : RunPageSetup(*m_pPrinter, m_pFrame);
    if (InPreview()) {
        ClosePreview();  // its pages were laid out for the old paper
        OpenPreview();
    }
}

void CPrintCommands::Print() {
    const CLogDocument* pDoc = m_pane.Document();
    if (pDoc == nullptr) {
        Fail(QString::fromLatin1(kPrintFailed));
        return;
    }
    std::uint64_t nSelFrom = 0;
    std::uint64_t nSelTo = 0;
    const bool bSelection = m_pane.SelectionRange(nSelFrom, nSelTo) && nSelFrom < nSelTo;
    m_pPrinter->setDocName(QString::fromLatin1(kJobName));
    m_pPrinter->setPrintRange(QPrinter::AllPages);
    m_pPrinter->setFromTo(0, 0);
    const bool bGo = m_fnPrintDialog ? m_fnPrintDialog(*m_pPrinter, bSelection, m_pFrame)
                                     : RunPrintDialog(*m_pPrinter, bSelection, m_pFrame);
    if (!bGo) {
        return;
    }
    try {
        // The selection only when the user asked for it in the dialog.
        const bool bPrintSelection = bSelection && m_pPrinter->printRange() == QPrinter::Selection;
        CLogPrintLayout layout(*pDoc, m_pane.Title(), m_pPrinter->pageLayout(),
                               bPrintSelection ? nSelFrom : 0,
                               bPrintSelection ? nSelTo : pDoc->GetSize());
        layout.SetDirectionColours(logcolours::SettingOn());
        QPainter painter;
        if (!painter.begin(m_pPrinter.get())) {
            Fail(QString::fromLatin1(kPrintFailed));
            return;
        }
        const bool bRange = m_pPrinter->printRange() == QPrinter::PageRange;
        const int nFirst = bRange && m_pPrinter->fromPage() > 0 ? m_pPrinter->fromPage() - 1 : 0;
        const int nLast = bRange && m_pPrinter->toPage() > 0 ? m_pPrinter->toPage() - 1 : INT_MAX;
        // Page after page, each laid out as it is printed.
        for (int nPage = nFirst; nPage <= nLast && layout.HasPage(nPage); ++nPage) {
            if (nPage > nFirst && !m_pPrinter->newPage()) {
                painter.end();
                Fail(QString::fromLatin1(kPrintFailed));
                return;
            }
            layout.PrepareAndPaint(painter, m_pPrinter->resolution(), nPage);
        }
        if (!painter.end()) {
            Fail(QString::fromLatin1(kPrintFailed));
        }
    } catch (...) {
        TakeCaughtText(L"");
        Fail(QString::fromLatin1(kPrintFailed));
    }
}

void CPrintCommands::OpenPreview() {
    if (InPreview()) {
        return;
    }
    try {
        const CLogDocument* pDoc = m_pane.Document();
        if (pDoc == nullptr) {
            Fail(QString::fromLatin1(kPreviewFailed));
            return;
        }
        const QPageLayout page = m_pPrinter->pageLayout();
        auto pLayout =
            std::make_shared<CLogPrintLayout>(*pDoc, m_pane.Title(), page, 0, pDoc->GetSize());
        pLayout->SetDirectionColours(logcolours::SettingOn());
        const QRectF paper = page.fullRect(QPageLayout::Inch);
        const QRectF paint = page.paintRect(QPageLayout::Inch);
        auto* pPreview =
            new CPrintPreview(pLayout, paper.size(), paint.topLeft() - paper.topLeft());
        connect(pPreview, &CPrintPreview::pageChanged, this, [this] { UpdatePreviewState(); });

        m_strSavedStatus = m_fnStatusText();
        m_pSavedCentral = m_pFrame->takeCentralWidget();
        m_pFrame->setCentralWidget(pPreview);
        m_pPreview = pPreview;
        m_bMainBarWasVisible = m_pMainBar->isVisible();
        m_pMainBar->hide();
        m_pPreviewBar->show();
        pPreview->setFocus();
        UpdatePreviewState();
    } catch (...) {
        TakeCaughtText(L"");
        Fail(QString::fromLatin1(kPreviewFailed));
    }
}

void CPrintCommands::ClosePreview() {
    if (!InPreview()) {
        return;
    }
    QWidget* pPreview = m_pFrame->takeCentralWidget();
    if (m_pSavedCentral != nullptr) {
        m_pFrame->setCentralWidget(m_pSavedCentral);
        m_pSavedCentral->show();
        m_pSavedCentral->setFocus();
    }
    delete pPreview;
    m_pPreview = nullptr;
    m_pPreviewBar->hide();
    m_pMainBar->setVisible(m_bMainBarWasVisible);
    m_fnStatus(m_strSavedStatus);
    UpdatePreviewState();
}

void CPrintCommands::UpdatePreviewState() {
    const bool bPreview = InPreview();
    m_fnAction(ID_PREVIEW_PREV)->setEnabled(bPreview && m_pPreview->CanGoBack());
    m_fnAction(ID_PREVIEW_NEXT)->setEnabled(bPreview && m_pPreview->CanGoForward());
    m_fnAction(ID_PREVIEW_CLOSE)->setEnabled(bPreview);
    if (bPreview) {
        std::wstring strText;
        FormatResource(strText, kStrPageOf, m_pPreview->CurrentPage() + 1, m_pPreview->PageCount());
        m_fnStatus(QString::fromStdWString(strText));
    }
}
