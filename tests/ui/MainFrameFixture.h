// A main window of its own for a test: a fresh settings store, the test log pane, and
// message boxes recorded and answered instead of shown.
#pragma once

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FakeLogPane.h"
#include "RegistryTestSupport.h"
#include "capture/ClientCount.h"
#include "module/MyModule.h"
#include "settings/RegKeyTalvex.h"
#include "support/ShowMessage.h"
#include "ui/CommandIds.h"
#include "ui/ConnectionBar.h"
#include "ui/LogPaneFactory.h"
#include "ui/MainFrame.h"
#include "ui/ServerCombo.h"

// Readable QStrings in failure messages.
inline void PrintTo(const QString& str, std::ostream* pOut) {
    *pOut << '"' << str.toStdString() << '"';
}

namespace test {

struct CBoxRecord {
    std::wstring strText;
    UINT nType;
};

// Runs the event loop until `done` holds or `nMs` have passed; whether it holds.
template <class F>
bool PumpUntil(F done, int nMs = 10000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < nMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return done();
}

class MainFrameFixture : public ::testing::Test {
protected:
    void SetUp() override {
        mainWindowClosing = false;
        g_bCloseWhenNoClients = false;
        CRegKeyTalvex settings;
        settings.AddDefaultServers();
    }
    void TearDown() override {
        if (m_pFrame) {
            CloseForGood();
        }
        SetMessageBoxPresenter(nullptr);
        mainWindowClosing = false;
        g_bCloseWhenNoClients = false;
    }

    // Builds and shows the window; boxes are answered with `m_nAnswer` (0: the default).
    CMainFrame& OpenFrame() {
        auto pPane = std::make_unique<CFakeLogPane>();
        m_pPane = pPane.get();
        m_pFrame = std::make_unique<CMainFrame>(std::move(pPane));
        RecordBoxes();
        m_pFrame->show();
        return *m_pFrame;
    }

    // The same with the program's own log: its document, view and file commands.
    CMainFrame& OpenFrameWithRealLog() {
        m_pFrame = std::make_unique<CMainFrame>(CreateLogPane());
        RecordBoxes();
        m_pFrame->show();
        return *m_pFrame;
    }

    void RecordBoxes() {
        SetMessageBoxPresenter(
            [this](HWND, const std::wstring& strText, const std::wstring&, UINT nType) {
                std::lock_guard lock(m_boxMutex);
                m_boxes.push_back({strText, nType});
                return m_nAnswer != 0 ? m_nAnswer : DefaultButton(nType);
            });
    }

    std::vector<CBoxRecord> Boxes() {
        std::lock_guard lock(m_boxMutex);
        return m_boxes;
    }

    // Destroys the window the way the program ends, waiting for sessions to go.
    void CloseForGood() {
        if (m_pFrame->IsListening()) {
            m_pFrame->OnCommand(ID_TOOLS_LISTEN, 1);
        }
        m_pFrame->ShutDown(10000);
        m_pFrame.reset();
        m_pPane = nullptr;
    }

    CConnectionBar& Bar() { return *m_pFrame->ConnectionBar(); }
    QAction& Act(UINT nId) { return *m_pFrame->Action(nId); }
    bool ListenEnabled() {
        return Act(ID_TOOLS_LISTEN).isEnabled() && Bar().ListenButton()->isEnabled();
    }
    void SetField(QLineEdit* pField, const QString& strText) {
        pField->selectAll();
        QTest::keyClick(pField, Qt::Key_Delete);
        QTest::keyClicks(pField, strText);
    }

    CTempRegistry m_registry;
    std::unique_ptr<CMainFrame> m_pFrame;
    CFakeLogPane* m_pPane = nullptr;
    std::mutex m_boxMutex;
    std::vector<CBoxRecord> m_boxes;
    int m_nAnswer = 0;
};

// The same window relaying plain TCP: responses are not saved and Host lines stay as sent.
class PlainRelayFrameFixture : public MainFrameFixture {
protected:
    void SetUp() override {
        MainFrameFixture::SetUp();
        CRegKeyTalvex settings;
        settings.SetSaveResponse(false);
        settings.SetReplaceHostHeader(false);
    }
};

}  // namespace test
