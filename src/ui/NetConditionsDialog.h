// Tools > "Network Conditions...": latency with jitter, a bandwidth limit, slicing, a cut
// after a number of bytes and a share of connections reset at once, per direction; named
// presets; a switch that puts them in force for new sessions. Stored in the settings on OK.
#pragma once

#include <QDialog>

#include "capture/StoredNetConditions.h"

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QLabel;
class QSpinBox;

class CNetConditionsDialog : public QDialog {
    Q_OBJECT
public:
    // The fields of one direction.
    struct CFields {
        QSpinBox* pLatency = nullptr;
        QSpinBox* pJitter = nullptr;
        QSpinBox* pBandwidth = nullptr;
        QSpinBox* pSlice = nullptr;
        QSpinBox* pSliceDelay = nullptr;
        QSpinBox* pCutAfter = nullptr;
        QComboBox* pCutMode = nullptr;  // close, reset
        QSpinBox* pResetShare = nullptr;
    };

    // GUI thread. Shows the stored conditions.
    explicit CNetConditionsDialog(QWidget* pParent = nullptr);

    // What the fields say now.
    CStoredNetConditions Current() const;
    // Shows `stored` in the fields.
    void Show(const CStoredNetConditions& stored);

    QCheckBox* OnBox() const { return m_pOn; }
    QComboBox* PresetBox() const { return m_pPreset; }
    const CFields& Up() const { return m_fields[0]; }
    const CFields& Down() const { return m_fields[1]; }
    QLabel* SummaryLabel() const { return m_pSummary; }
    QDialogButtonBox* Buttons() const { return m_pButtons; }

    void accept() override;

private:
    void MakeFields(int nColumn, CFields& fields);
    void OnPresetChosen(int nIndex);
    // A field changed: the preset's name no longer applies unless the values still match.
    void OnFieldChanged();

    QCheckBox* m_pOn = nullptr;
    QComboBox* m_pPreset = nullptr;
    CFields m_fields[2];  // up, down
    QLabel* m_pSummary = nullptr;
    QDialogButtonBox* m_pButtons = nullptr;
    bool m_bShowing = false;  // the fields are being filled: no field events
};
