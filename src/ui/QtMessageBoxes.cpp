#include "ui/QtMessageBoxes.h"

#include <QApplication>
#include <QPushButton>

#include "support/ShowMessage.h"

namespace {

struct CButtons {
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton order[3];
    QMessageBox::StandardButton escape;
};

CButtons ButtonsOf(UINT nType) {
    using B = QMessageBox;
    switch (nType & 0x0F) {
        case MB_OKCANCEL:
            return {B::Ok | B::Cancel, {B::Ok, B::Cancel, B::Cancel}, B::Cancel};
        case MB_ABORTRETRYIGNORE:
            return {B::Abort | B::Retry | B::Ignore, {B::Abort, B::Retry, B::Ignore}, B::NoButton};
        case MB_YESNOCANCEL:
            return {B::Yes | B::No | B::Cancel, {B::Yes, B::No, B::Cancel}, B::Cancel};
        case MB_YESNO:
            return {B::Yes | B::No, {B::Yes, B::No, B::No}, B::NoButton};
        case MB_RETRYCANCEL:
            return {B::Retry | B::Cancel, {B::Retry, B::Cancel, B::Cancel}, B::Cancel};
        default:
            return {B::Ok, {B::Ok, B::Ok, B::Ok}, B::Ok};
    }
}

int IdOf(QMessageBox::StandardButton button) {
    switch (button) {
        case QMessageBox::Ok:
            return IDOK;
        case QMessageBox::Cancel:
            return IDCANCEL;
        case QMessageBox::Abort:
            return IDABORT;
        case QMessageBox::Retry:
            return IDRETRY;
        case QMessageBox::Ignore:
            return IDIGNORE;
        case QMessageBox::Yes:
            return IDYES;
        case QMessageBox::No:
            return IDNO;
        default:
            return 0;
    }
}

QMessageBox::Icon IconOf(UINT nType) {
    switch (nType & 0xF0) {
        case MB_ICONERROR:
            return QMessageBox::Critical;
        case MB_ICONQUESTION:
            return QMessageBox::Question;
        case MB_ICONEXCLAMATION:
            return QMessageBox::Warning;
        case MB_ICONINFORMATION:
            return QMessageBox::Information;
        default:
            return QMessageBox::NoIcon;
    }
}

}  // namespace

CQtMessageBoxes::CQtMessageBoxes(QWidget* pMainWindow, HWND hwndMain)
    : m_pMainWindow(pMainWindow), m_hwndMain(hwndMain), m_guiThread(std::this_thread::get_id()) {
    m_pWaker = new CGuiWaker([this] { OnWake(); }, this);
    SetMessageBoxPresenter([this](HWND hwnd, const std::wstring& strText, const std::wstring&,
                                  UINT nType) { return Show(hwnd, strText, nType); });
    SetActiveWindowSource([this]() -> HWND {
        // Only the GUI thread may ask Qt; a worker's box is owned by the main window.
        if (std::this_thread::get_id() == m_guiThread && QApplication::activeWindow() == nullptr) {
            return nullptr;
        }
        return m_hwndMain;
    });
}

CQtMessageBoxes::~CQtMessageBoxes() {
    CloseAll();
    SetMessageBoxPresenter(nullptr);
    SetActiveWindowSource(nullptr);
}

QMessageBox* CQtMessageBoxes::CreateBox(QWidget* pParent, const std::wstring& strText, UINT nType) {
    const CButtons buttons = ButtonsOf(nType);
    auto* pBox = new QMessageBox(IconOf(nType), QString(), QString::fromStdWString(strText),
                                 buttons.buttons, pParent);
    const UINT nDefault = (nType >> 8) & 0x0F;
    pBox->setDefaultButton(buttons.order[nDefault < 3 ? nDefault : 0]);
    if (buttons.escape != QMessageBox::NoButton) {
        pBox->setEscapeButton(buttons.escape);
    }
    return pBox;
}

int CQtMessageBoxes::Answer(QMessageBox& box, UINT nType) {
    if (QAbstractButton* pClicked = box.clickedButton()) {
        if (const int nId = IdOf(box.standardButton(pClicked))) {
            return nId;
        }
    }
    const QMessageBox::StandardButton escape = ButtonsOf(nType).escape;
    return escape != QMessageBox::NoButton ? IdOf(escape) : DefaultButton(nType);
}

int CQtMessageBoxes::Show(HWND hwndOwner, const std::wstring& strText, UINT nType) {
    const bool bOwned = hwndOwner != GetDesktopWindow();
    if (std::this_thread::get_id() == m_guiThread) {
        std::unique_ptr<QMessageBox> pBox(
            CreateBox(bOwned ? m_pMainWindow.data() : nullptr, strText, nType));
        pBox->exec();
        return Answer(*pBox, nType);
    }
    auto pPending = std::make_shared<CPending>();
    pPending->nType = nType;
    {
        std::lock_guard lock(m_mutex);
        if (m_bClosed) {
            return DefaultButton(nType);
        }
        m_pending.insert(pPending);
        m_requests.push_back({pPending, strText, bOwned});
    }
    m_pWaker->Wake();
    std::unique_lock lock(pPending->mutex);
    pPending->cv.wait(lock, [&] { return pPending->bDone; });
    return pPending->nResult;
}

void CQtMessageBoxes::OnWake() {
    std::deque<CRequest> requests;
    {
        std::lock_guard lock(m_mutex);
        requests.swap(m_requests);
    }
    for (const CRequest& request : requests) {
        OpenForWorker(request.pPending, request.strText, request.bOwned);
    }
}

void CQtMessageBoxes::OpenForWorker(const std::shared_ptr<CPending>& pPending,
                                    const std::wstring& strText, bool bOwned) {
    {
        std::lock_guard lock(m_mutex);
        if (m_bClosed || m_pending.count(pPending) == 0) {
            return;  // already answered by CloseAll
        }
    }
    QMessageBox* pBox =
        CreateBox(bOwned ? m_pMainWindow.data() : nullptr, strText, pPending->nType);
    pBox->setAttribute(Qt::WA_DeleteOnClose);
    connect(pBox, &QMessageBox::finished, this, [this, pBox, pPending] {
        const int nResult = Answer(*pBox, pPending->nType);
        {
            std::lock_guard lock(m_mutex);
            m_pending.erase(pPending);
        }
        Answer(pPending, nResult);
    });
    // Window-modal and not blocking: the event loop goes on, so the log keeps growing and
    // the boxes of other sessions can queue behind this one.
    pBox->open();
}

void CQtMessageBoxes::Answer(const std::shared_ptr<CPending>& pPending, int nResult) {
    std::lock_guard lock(pPending->mutex);
    if (!pPending->bDone) {
        pPending->nResult = nResult;
        pPending->bDone = true;
        pPending->cv.notify_all();
    }
}

void CQtMessageBoxes::CloseAll() {
    std::set<std::shared_ptr<CPending>> pending;
    {
        std::lock_guard lock(m_mutex);
        m_bClosed = true;
        pending.swap(m_pending);
        m_requests.clear();
    }
    for (const auto& pPending : pending) {
        Answer(pPending, DefaultButton(pPending->nType));
    }
}
