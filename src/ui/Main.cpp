// Program entry of the desktop program: the settings for the whole run, the main window and
// the event loop. Exit code 1 after the window was closed, 0 when it could not be created.
#include <QApplication>

#include <cstdio>
#include <memory>

#include "module/MyModule.h"
#include "platform/OpenFileLimit.h"
#include "settings/RegKeyTalvex.h"
#include "support/Exception.h"
#include "support/Trace.h"
#include "ui/AppIcons.h"
#include "ui/DisplayCheck.h"
#include "ui/LogPaneFactory.h"
#include "ui/MainFrame.h"

namespace {

// How long the end of the program waits for sessions that are still closing.
constexpr int kShutDownTimeoutMs = 10000;

}  // namespace

int main(int argc, char** argv) {
    ToolBarCtrlEnableMessage();  // the registered message's id, first of all
    if (const std::string strReason = MissingDisplayReason(); !strReason.empty()) {
        std::fprintf(stderr, "tapvane: %s; tapvane-cli relays without windows.\n",
                     strReason.c_str());
        return 0;
    }
    // Every session holds descriptors: the usual soft limit of 1,024 would refuse clients
    // long before the hard limit does.
    Trace(L"%s", win::DescribeOpenFileLimit(win::RaiseOpenFileLimit()));
    // The command line is not interpreted: Qt sees the program's name only.
    int nArgs = argc > 0 ? 1 : 0;
    QApplication app(nArgs, argv);
    QApplication::setApplicationName(QStringLiteral("Tapvane"));
    QApplication::setOrganizationName(QStringLiteral("Velmor"));
    QApplication::setDesktopFileName(QStringLiteral("tapvane"));
    QApplication::setWindowIcon(AppIcon());
    QApplication::setQuitOnLastWindowClosed(false);

    int nExitCode = 0;
    {
        // The settings object of the whole run, with the built-in servers.
        std::unique_ptr<CRegKeyTalvex> pSettings;
        try {
            pSettings = std::make_unique<CRegKeyTalvex>();
            pSettings->AddDefaultServers();
        } catch (...) {
            Trace(L"%s", TakeCaughtText(L"Unhandled exception!"));
        }
        std::unique_ptr<CMainFrame> pFrame;
        try {
            pFrame = std::make_unique<CMainFrame>(CreateLogPane());
        } catch (...) {
            const std::wstring strText = TakeCaughtText(L"Unhandled exception!");
            Trace(L"The main window cannot be created: %s", strText);
            return 0;
        }
        QObject::connect(pFrame.get(), &CMainFrame::closed, &app, [] { QApplication::exit(1); });
        pFrame->show();
        nExitCode = QApplication::exec();
        pFrame->hide();
        pFrame->ShutDown(kShutDownTimeoutMs);
        pFrame.reset();
    }
    return nExitCode;
}
