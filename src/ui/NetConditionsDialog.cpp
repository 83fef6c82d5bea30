#include "ui/NetConditionsDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QSpinBox>
#include <QVBoxLayout>

#include "capture/NetConditions.h"

namespace {

constexpr int kCustom = 0;  // the preset list's first entry: values set by hand

QSpinBox* MakeSpin(QWidget* pParent, int nMax, const QString& strSuffix, const QString& strZero) {
    auto* pSpin = new QSpinBox(pParent);
    pSpin->setRange(0, nMax);
    pSpin->setSuffix(strSuffix);
    pSpin->setSpecialValueText(strZero);  // 0 is "off", said in words
    pSpin->setAccelerated(true);
    return pSpin;
}

}  // namespace

CNetConditionsDialog::CNetConditionsDialog(QWidget* pParent) : QDialog(pParent) {
    setObjectName(QStringLiteral("netConditionsDialog"));
    setWindowTitle(tr("Network Conditions"));
    auto* pLayout = new QVBoxLayout(this);

    m_pOn = new QCheckBox(tr("&Apply these conditions to new sessions"), this);
    m_pOn->setObjectName(QStringLiteral("conditionsOn"));
    pLayout->addWidget(m_pOn);

    auto* pPresetRow = new QHBoxLayout;
    auto* pPresetLabel = new QLabel(tr("&Preset:"), this);
    m_pPreset = new QComboBox(this);
    m_pPreset->setObjectName(QStringLiteral("conditionsPreset"));
    m_pPreset->addItem(tr("Custom"));
    for (const CNetConditionsPreset& preset : NetConditionsPresets()) {
        m_pPreset->addItem(QString::fromStdString(preset.strName));
        m_pPreset->setItemData(m_pPreset->count() - 1, QString::fromStdString(preset.strNote),
                               Qt::ToolTipRole);
    }
    pPresetLabel->setBuddy(m_pPreset);
    pPresetRow->addWidget(pPresetLabel);
    pPresetRow->addWidget(m_pPreset, 1);
    pLayout->addLayout(pPresetRow);

    auto* pGrid = new QGridLayout;
    pGrid->addWidget(new QLabel(tr("<b>Client to server</b>"), this), 0, 1);
    pGrid->addWidget(new QLabel(tr("<b>Server to client</b>"), this), 0, 2);
    const QString kRows[] = {tr("&Latency:"),
                             tr("&Jitter (\u00B1):"),
                             tr("&Bandwidth limit:"),
                             tr("&Slice into pieces of:"),
                             tr("Pause between pieces:"),
                             tr("&Cut after:"),
                             tr("Cut by:"),
                             tr("&Reset new connections:")};
    QLabel* pRowLabels[std::size(kRows)];
    for (std::size_t i = 0; i < std::size(kRows); ++i) {
        pRowLabels[i] = new QLabel(kRows[i], this);
        pGrid->addWidget(pRowLabels[i], static_cast<int>(i) + 1, 0);
    }
    MakeFields(1, m_fields[0]);
    MakeFields(2, m_fields[1]);
    for (int nColumn = 1; nColumn <= 2; ++nColumn) {
        const CFields& f = m_fields[nColumn - 1];
        QWidget* const widgets[] = {f.pLatency,    f.pJitter,   f.pBandwidth, f.pSlice,
                                    f.pSliceDelay, f.pCutAfter, f.pCutMode,   f.pResetShare};
        for (std::size_t i = 0; i < std::size(widgets); ++i) {
            pGrid->addWidget(widgets[i], static_cast<int>(i) + 1, nColumn);
            if (nColumn == 1) {
                pRowLabels[i]->setBuddy(widgets[i]);
            }
        }
    }
    pLayout->addLayout(pGrid);

    m_pSummary = new QLabel(this);
    m_pSummary->setObjectName(QStringLiteral("conditionsSummary"));
    m_pSummary->setWordWrap(true);
    m_pSummary->setTextFormat(Qt::PlainText);
    pLayout->addWidget(m_pSummary);

    m_pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(m_pButtons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_pButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    pLayout->addWidget(m_pButtons);

    connect(m_pPreset, &QComboBox::activated, this, &CNetConditionsDialog::OnPresetChosen);
    connect(m_pOn, &QCheckBox::toggled, this, [this] { OnFieldChanged(); });
    Show(LoadNetConditions());
}

void CNetConditionsDialog::MakeFields(int nColumn, CFields& f) {
    const QString strSide = nColumn == 1 ? QStringLiteral("up") : QStringLiteral("down");
    f.pLatency = MakeSpin(this, 600000, tr(" ms"), tr("none"));
    f.pJitter = MakeSpin(this, 600000, tr(" ms"), tr("none"));
    f.pBandwidth = MakeSpin(this, 10000000, tr(" KB/s"), tr("no limit"));
    f.pBandwidth->setToolTip(tr("1 KB = 1000 bytes"));
    f.pSlice = MakeSpin(this, 1 << 20, tr(" bytes"), tr("whole blocks"));
    f.pSliceDelay = MakeSpin(this, 600000, tr(" ms"), tr("no pause"));
    f.pCutAfter = MakeSpin(this, 2000000000, tr(" bytes"), tr("never"));
    f.pCutMode = new QComboBox(this);
    f.pCutMode->addItem(tr("close"));
    f.pCutMode->addItem(tr("reset"));
    f.pResetShare = MakeSpin(this, 100, tr(" %"), tr("none"));
    const std::pair<QWidget*, const char*> names[] = {
        {f.pLatency, "Latency"}, {f.pJitter, "Jitter"},         {f.pBandwidth, "Bandwidth"},
        {f.pSlice, "Slice"},     {f.pSliceDelay, "SliceDelay"}, {f.pCutAfter, "CutAfter"},
        {f.pCutMode, "CutMode"}, {f.pResetShare, "ResetShare"}};
    for (const auto& [pWidget, pszName] : names) {
        pWidget->setObjectName(strSide + QLatin1String(pszName));
    }
    for (QSpinBox* pSpin : {f.pLatency, f.pJitter, f.pBandwidth, f.pSlice, f.pSliceDelay,
                            f.pCutAfter, f.pResetShare}) {
        connect(pSpin, &QSpinBox::valueChanged, this, [this] { OnFieldChanged(); });
    }
    connect(f.pCutMode, &QComboBox::currentIndexChanged, this, [this] { OnFieldChanged(); });
}

CStoredNetConditions CNetConditionsDialog::Current() const {
    CStoredNetConditions stored;
    stored.bOn = m_pOn->isChecked();
    CDirectionConditions* const sides[] = {&stored.conditions.up, &stored.conditions.down};
    for (int i = 0; i < 2; ++i) {
        const CFields& f = m_fields[i];
        CDirectionConditions& d = *sides[i];
        d.nLatencyMs = f.pLatency->value();
        d.nJitterMs = f.pJitter->value();
        d.nBandwidthKBps = f.pBandwidth->value();
        d.nSliceBytes = f.pSlice->value();
        d.nSliceDelayMs = d.nSliceBytes != 0 ? f.pSliceDelay->value() : 0;
        d.nCutAfter = f.pCutAfter->value();
        d.bCutReset = d.nCutAfter != 0 && f.pCutMode->currentIndex() == 1;
        d.nResetShare = f.pResetShare->value();
    }
    if (m_pPreset->currentIndex() != kCustom) {
        stored.strPreset = m_pPreset->currentText().toStdString();
    }
    return stored;
}

void CNetConditionsDialog::Show(const CStoredNetConditions& stored) {
    m_bShowing = true;
    m_pOn->setChecked(stored.bOn);
    const CDirectionConditions* const sides[] = {&stored.conditions.up, &stored.conditions.down};
    for (int i = 0; i < 2; ++i) {
        const CFields& f = m_fields[i];
        const CDirectionConditions& d = *sides[i];
        f.pLatency->setValue(d.nLatencyMs);
        f.pJitter->setValue(d.nJitterMs);
        f.pBandwidth->setValue(d.nBandwidthKBps);
        f.pSlice->setValue(d.nSliceBytes);
        f.pSliceDelay->setValue(d.nSliceDelayMs);
        f.pCutAfter->setValue(static_cast<int>(std::min<std::int64_t>(d.nCutAfter, 2000000000)));
        f.pCutMode->setCurrentIndex(d.bCutReset ? 1 : 0);
        f.pResetShare->setValue(d.nResetShare);
    }
    const int nPreset = m_pPreset->findText(QString::fromStdString(stored.strPreset));
    m_pPreset->setCurrentIndex(nPreset > 0 ? nPreset : kCustom);
    m_bShowing = false;
    OnFieldChanged();
}

void CNetConditionsDialog::OnPresetChosen(int nIndex) {
    if (nIndex == kCustom) {
        return;  // the values stay as they are, to be changed by hand
    }
    const CNetConditionsPreset* pPreset =
        FindNetConditionsPreset(m_pPreset->itemText(nIndex).toStdString());
    if (pPreset == nullptr) {
        return;
    }
    CStoredNetConditions stored;
    stored.bOn = true;  // choosing a preset means using it
    stored.conditions = pPreset->conditions;
    stored.strPreset = pPreset->strName;
    Show(stored);
}

void CNetConditionsDialog::OnFieldChanged() {
    if (m_bShowing) {
        return;
    }
    const CStoredNetConditions stored = Current();
    if (!stored.strPreset.empty()) {
        const CNetConditionsPreset* pPreset = FindNetConditionsPreset(stored.strPreset);
        if (pPreset == nullptr || !(pPreset->conditions == stored.conditions)) {
            m_pPreset->setCurrentIndex(kCustom);
        }
    }
    for (const CFields& f : m_fields) {
        f.pSliceDelay->setEnabled(f.pSlice->value() != 0);
        f.pCutMode->setEnabled(f.pCutAfter->value() != 0);
    }
    const std::string strText = DescribeNetConditions(stored.conditions);
    if (strText.empty()) {
        m_pSummary->setText(tr("No conditions: sessions are relayed as they come."));
    } else if (!stored.bOn) {
        m_pSummary->setText(tr("Off (when on: %1)").arg(QString::fromStdString(strText)));
    } else {
        m_pSummary->setText(tr("New sessions: %1").arg(QString::fromStdString(strText)));
    }
}

void CNetConditionsDialog::accept() {
    StoreNetConditions(Current());
    ApplyStoredNetConditions();
    QDialog::accept();
}
