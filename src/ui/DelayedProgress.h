// A progress dialog for long work on the GUI thread (saving, loading, exporting a log) that
// shows itself only once the work takes longer than a moment. While shown it is modal and
// keeps the window painting; its Cancel button stops the work at the next step.
#pragma once

#include <QElapsedTimer>
#include <QProgressDialog>
#include <QString>
#include <cstdint>
#include <memory>

class CDelayedProgress {
public:
    static constexpr int kDelayMs = 400;

    CDelayedProgress(QWidget* pParent, QString strLabel);
    ~CDelayedProgress();
    CDelayedProgress(const CDelayedProgress&) = delete;
    CDelayedProgress& operator=(const CDelayedProgress&) = delete;

    // GUI thread, as the work's progress callback: false once the user cancelled.
    bool Step(std::uint64_t nDone, std::uint64_t nTotal);

private:
    QWidget* m_pParent;
    QString m_strLabel;
    QElapsedTimer m_timer;
    std::unique_ptr<QProgressDialog> m_pDialog;
};
