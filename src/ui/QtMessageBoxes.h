// The program's message boxes as Qt boxes. From the GUI thread a box is an ordinary modal
// box; from a worker thread (a session whose server refuses) the box is shown by the GUI
// thread, owned by the main window, while the worker waits for the answer, and the window
// stays live meanwhile.
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/WinTypes.h"
#include "ui/GuiWaker.h"

class CQtMessageBoxes : public QObject {
    Q_OBJECT
public:
    // GUI thread. Installs itself as the presenter of ShowMessage and as the source of the
    // active window; `hwndMain` is the handle that names `pMainWindow` in the core.
    CQtMessageBoxes(QWidget* pMainWindow, HWND hwndMain);
    // GUI thread. Answers every waiting worker with its box's default button and puts the
    // headless presenter back.
    ~CQtMessageBoxes() override;

    // Any thread; blocks until the box is closed. The button pressed (IDOK, IDYES, ...).
    int Show(HWND hwndOwner, const std::wstring& strText, UINT nType);

    // GUI thread. Answers every box that a worker waits for with its default button and
    // shows no more of them (the main window is going away).
    void CloseAll();

    // A box for the type flags: buttons, icon, default and escape button, empty title.
    static QMessageBox* CreateBox(QWidget* pParent, const std::wstring& strText, UINT nType);
    // The id of the button that closed `box` (the escape answer when none was clicked).
    static int Answer(QMessageBox& box, UINT nType);

private:
    struct CPending {
        std::mutex mutex;
        std::condition_variable cv;
        bool bDone = false;
        int nResult = 0;
        UINT nType = 0;
    };
    static void Answer(const std::shared_ptr<CPending>& pPending, int nResult);
    // GUI thread: shows the box of a waiting worker.
    void OpenForWorker(const std::shared_ptr<CPending>& pPending, const std::wstring& strText,
                       bool bOwned);
    // GUI thread: opens the boxes that workers asked for.
    void OnWake();

    struct CRequest {
        std::shared_ptr<CPending> pPending;
        std::wstring strText;
        bool bOwned;
    };

    QPointer<QWidget> m_pMainWindow;
    HWND m_hwndMain;
    const std::thread::id m_guiThread;
    std::mutex m_mutex;
    std::set<std::shared_ptr<CPending>> m_pending;  // guarded by m_mutex
    std::deque<CRequest> m_requests;                // guarded by m_mutex: boxes to open
    bool m_bClosed = false;                         // guarded by m_mutex
    CGuiWaker* m_pWaker = nullptr;
};
