#include "ui/ReplayDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

CReplayDialog::CReplayDialog(const QString& strCurrentServer, const QString& strSessionServer,
                             QWidget* pParent)
    : QDialog(pParent) {
    setWindowTitle(tr("Replay Session"));
    auto* pLayout = new QVBoxLayout(this);

    auto* pServer = new QGroupBox(tr("Send to"), this);
    auto* pServerLayout = new QVBoxLayout(pServer);
    m_pCurrent = new QRadioButton(tr("The current server: %1").arg(strCurrentServer), pServer);
    m_pSession = new QRadioButton(strSessionServer.isEmpty()
                                      ? tr("The session's server (unknown)")
                                      : tr("The session's server: %1").arg(strSessionServer),
                                  pServer);
    m_pSession->setEnabled(!strSessionServer.isEmpty());
    m_pCurrent->setChecked(true);
    pServerLayout->addWidget(m_pCurrent);
    pServerLayout->addWidget(m_pSession);
    pLayout->addWidget(pServer);

    auto* pTiming = new QGroupBox(tr("Timing"), this);
    auto* pTimingLayout = new QVBoxLayout(pTiming);
    m_pQuiet = new QRadioButton(tr("&Wait for each answer to go quiet"), pTiming);
    m_pRecorded = new QRadioButton(tr("With the &recorded timing"), pTiming);
    m_pQuiet->setChecked(true);
    auto* pQuietRow = new QFormLayout;
    m_pQuietMs = new QSpinBox(pTiming);
    m_pQuietMs->setRange(20, 60000);
    m_pQuietMs->setValue(300);
    m_pQuietMs->setSuffix(tr(" ms"));
    pQuietRow->addRow(tr("&Quiet time:"), m_pQuietMs);
    pTimingLayout->addWidget(m_pQuiet);
    pTimingLayout->addLayout(pQuietRow);
    pTimingLayout->addWidget(m_pRecorded);
    pLayout->addWidget(pTiming);
    connect(m_pQuiet, &QRadioButton::toggled, m_pQuietMs, &QWidget::setEnabled);

    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    pButtons->button(QDialogButtonBox::Ok)->setText(tr("Replay"));
    connect(pButtons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(pButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    pLayout->addWidget(pButtons);
}

bool CReplayDialog::recordedTiming() const {
    return m_pRecorded->isChecked();
}

bool CReplayDialog::sessionServer() const {
    return m_pSession->isEnabled() && m_pSession->isChecked();
}

int CReplayDialog::quietMs() const {
    return m_pQuietMs->value();
}
