#include "ui/DelayedProgress.h"

#include <QObject>

CDelayedProgress::CDelayedProgress(QWidget* pParent, QString strLabel)
    : m_pParent(pParent), m_strLabel(std::move(strLabel)) {
    m_timer.start();
}

CDelayedProgress::~CDelayedProgress() = default;

bool CDelayedProgress::Step(std::uint64_t nDone, std::uint64_t nTotal) {
    if (!m_pDialog && m_timer.elapsed() >= kDelayMs) {
        m_pDialog = std::make_unique<QProgressDialog>(m_strLabel, QObject::tr("Cancel"), 0, 1000,
                                                      m_pParent);
        m_pDialog->setWindowModality(Qt::ApplicationModal);
        m_pDialog->setMinimumDuration(0);
    }
    if (m_pDialog) {
        m_pDialog->setValue(nTotal == 0 ? 0 : static_cast<int>(nDone * 1000 / nTotal));
        return !m_pDialog->wasCanceled();
    }
    return true;
}
