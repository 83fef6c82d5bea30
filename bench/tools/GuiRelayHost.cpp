// tapvane-gui-host: the desktop program's main window, relaying for a benchmark.
//
//   tapvane-gui-host LOCAL_PORT HOST REMOTE_PORT
//
// Builds the real main window (on the offscreen platform unless another is chosen), fills
// the connection bar, presses Listen and relays until SIGINT or SIGTERM. Meanwhile a
// thread asks the window a question every 5 ms, as sessions do, and times the answer; at
// the end it prints "gui-answer-ms p50 P50 p99 P99 max MAX n N" on the standard error, and
// what the GUI thread did: "gui-busy-ms TOTAL events N longest MS (EVENT to CLASS)" with the
// events that took longer than a frame, and the paint events per widget class.
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QLineEdit>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <string>
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

// Times every event the GUI thread handles (the outermost dispatch only: nested ones are
// part of it) and counts the paint events per widget class.
class CTimedApplication : public QApplication {
public:
    static constexpr double kFrameMs = 16;

    using QApplication::QApplication;

    // GUI thread, as every member.
    bool notify(QObject* pReceiver, QEvent* pEvent) override {
        if (pEvent->type() == QEvent::Paint) {
            ++m_paints[pReceiver->metaObject()->className()];
        }
        if (m_nDepth > 0) {
            ++m_nDepth;
            const bool bResult = QApplication::notify(pReceiver, pEvent);
            --m_nDepth;
            return bResult;
        }
        const int nType = pEvent->type();  // the event may be gone afterwards
        const char* pszClass = pReceiver->metaObject()->className();
        QElapsedTimer timer;
        timer.start();
        ++m_nDepth;
        const bool bResult = QApplication::notify(pReceiver, pEvent);
        --m_nDepth;
        const double dMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        m_dBusyMs += dMs;
        ++m_nEvents;
        CShare& share = m_shares[std::to_string(nType) + " " + pszClass];
        share.dMs += dMs;
        ++share.nCount;
        if (dMs > m_dLongestMs) {
            m_dLongestMs = dMs;
            m_strLongest = std::to_string(nType) + " to " + pszClass;
        }
        if (dMs > kFrameMs) {
            ++m_nOverFrame;
            if (m_overFrame.size() < kOverFrameShown) {
                m_overFrame.push_back(std::to_string(m_since.elapsed()) +
                                      " ms: " + std::to_string(dMs) + " ms, event " +
                                      std::to_string(nType) + " to " + pszClass);
            }
        }
        return bResult;
    }

    void Report() const {
        std::fprintf(stderr,
                     "gui-busy-ms %.1f events %llu longest %.3f (event %s) over-frame %llu\n",
                     m_dBusyMs, static_cast<unsigned long long>(m_nEvents), m_dLongestMs,
                     m_strLongest.c_str(), static_cast<unsigned long long>(m_nOverFrame));
        std::vector<std::pair<double, std::string>> shares;
        for (const auto& [strKey, share] : m_shares) {
            shares.emplace_back(share.dMs, strKey + " n " + std::to_string(share.nCount));
        }
        std::sort(shares.rbegin(), shares.rend());
        shares.resize(std::min<std::size_t>(shares.size(), 8));
        for (const auto& [dMs, strKey] : shares) {
            std::fprintf(stderr, "gui-share-ms %.1f event %s\n", dMs, strKey.c_str());
        }
        for (const std::string& strEvent : m_overFrame) {
            std::fprintf(stderr, "gui-over-frame at %s\n", strEvent.c_str());
        }
        for (const auto& [strClass, nCount] : m_paints) {
            std::fprintf(stderr, "gui-paints %s %llu\n", strClass.c_str(),
                         static_cast<unsigned long long>(nCount));
        }
    }

    // From now on: what came before (the window's start) is not counted.
    void ResetStats() {
        m_dBusyMs = m_dLongestMs = 0;
        m_strLongest.clear();
        m_nEvents = m_nOverFrame = 0;
        m_paints.clear();
        m_shares.clear();
        m_overFrame.clear();
        m_since.start();
    }

private:
    struct CShare {
        double dMs = 0;
        unsigned long long nCount = 0;
    };
    static constexpr std::size_t kOverFrameShown = 20;
    int m_nDepth = 0;
    std::map<std::string, CShare> m_shares;
    QElapsedTimer m_since;                 // since the stats were reset
    std::vector<std::string> m_overFrame;  // when, how long, what
    double m_dBusyMs = 0;
    double m_dLongestMs = 0;
    std::string m_strLongest;
    unsigned long long m_nEvents = 0;
    unsigned long long m_nOverFrame = 0;
    std::map<std::string, unsigned long long> m_paints;
};

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
    CTimedApplication app(nArgs, argv);
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
    app.ResetStats();
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
    app.Report();
    pFrame->OnCommand(ID_TOOLS_LISTEN, 1);
    pFrame->ShutDown(10000);
    return 0;
}
