// tapvane-gui-host: the desktop program's main window, relaying for a benchmark.
//
//   tapvane-gui-host LOCAL_PORT HOST REMOTE_PORT
//
// Builds the real main window (on the offscreen platform unless another is chosen), fills
// the connection bar, presses Listen and relays until SIGINT or SIGTERM. Meanwhile a
// thread asks the window a question every 5 ms, as sessions do, and times the answer; at
// the end it prints "gui-answer-ms p50 P50 p99 P99 max MAX n N" on the standard error.
#include <QApplication>
#include <QLineEdit>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <vector>

#include "module/MyModule.h"
#include "settings/RegKeyTalvex.h"
#include "ui/CommandIds.h"
#include "ui/ConnectionBar.h"
#include "ui/LogPaneFactory.h"
#include "ui/MainFrame.h"
#include "ui/ServerCombo.h"

namespace {

std::atomic<bool> g_bStop{false};

void OnSignal(int) {
    g_bStop = true;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: tapvane-gui-host LOCAL_PORT HOST REMOTE_PORT\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    int nArgs = 1;
    QApplication app(nArgs, argv);
    {
        CRegKeyTalvex settings;
        settings.SetSaveResponse(false);
        settings.SetReplaceHostHeader(false);
    }
    auto pFrame = std::make_unique<CMainFrame>(CreateLogPane());
    pFrame->show();
    CConnectionBar& bar = *pFrame->ConnectionBar();
    bar.UrlBox()->setEditText(QString::fromLocal8Bit(argv[2]));
    bar.LocalPortField()->setText(QString::fromLocal8Bit(argv[1]));
    bar.RemotePortField()->setText(QString::fromLocal8Bit(argv[3]));
    pFrame->OnCommand(ID_TOOLS_LISTEN, 0);
    if (!pFrame->IsListening()) {
        std::fprintf(stderr, "tapvane-gui-host: listening did not start\n");
        return 1;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    std::vector<double> answers;  // prober thread until joined
    std::thread prober([&] {
        while (!g_bStop) {
            int nPort = 0;
            const auto t0 = std::chrono::steady_clock::now();
            g_Module.GetMainWindow()->SendMessage(UM_GET_REMOTE_PORT,
                                                  reinterpret_cast<WPARAM>(&nPort), 0);
            const std::chrono::duration<double, std::milli> d =
                std::chrono::steady_clock::now() - t0;
            answers.push_back(d.count());
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    QTimer stopTimer;
    QObject::connect(&stopTimer, &QTimer::timeout, [&] {
        if (g_bStop) {
            QApplication::exit(0);
        }
    });
    stopTimer.start(50);
    QApplication::exec();
    prober.join();
    std::fprintf(stderr, "gui-answer-ms p50 %.3f p99 %.3f max %.3f n %zu\n",
                 Percentile(answers, 0.5), Percentile(answers, 0.99),
                 answers.empty() ? 0.0 : *std::max_element(answers.begin(), answers.end()),
                 answers.size());
    pFrame->OnCommand(ID_TOOLS_LISTEN, 1);
    pFrame->ShutDown(10000);
    return 0;
}
