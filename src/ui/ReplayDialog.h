// "Replay Session": how a recorded session is sent again. Its blocks go to the current
// server or to the one the session used, each once the answer to the one before has gone
// quiet (after a quiet time that can be set) or at the recorded times.
#pragma once

#include <QDialog>

class QRadioButton;
class QSpinBox;

class CReplayDialog : public QDialog {
    Q_OBJECT
public:
    // GUI thread. The servers as the dialog names them; an empty `strSessionServer`
    // (unknown) leaves only the current one.
    CReplayDialog(const QString& strCurrentServer, const QString& strSessionServer,
                  QWidget* pParent = nullptr);

    bool recordedTiming() const;
    bool sessionServer() const;
    int quietMs() const;

    QRadioButton* quietButton() const { return m_pQuiet; }
    QRadioButton* recordedButton() const { return m_pRecorded; }
    QRadioButton* currentServerButton() const { return m_pCurrent; }
    QRadioButton* sessionServerButton() const { return m_pSession; }
    QSpinBox* quietBox() const { return m_pQuietMs; }

private:
    QRadioButton* m_pQuiet;
    QRadioButton* m_pRecorded;
    QRadioButton* m_pCurrent;
    QRadioButton* m_pSession;
    QSpinBox* m_pQuietMs;
};
