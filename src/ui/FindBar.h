// The find bar under the traffic log: the text to find, "Match case", "Regular
// expression", Find Next and Find Previous, and the number of matches. Every match on
// screen is marked in the log view; the match found is selected there and scrolled into
// view. Searches and counts run on a worker (CFindWorker), so that a log of gigabytes never
// holds up the window; Escape cancels a running search and closes the bar.
//
// GUI thread only, like every widget.
#pragma once

#include <QPointer>
#include <QShortcut>
#include <QWidget>

#include <cstdint>
#include <memory>

#include "ui/FindWorker.h"
#include "ui/LogView.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QToolButton;

class CFindBar : public QWidget {
    Q_OBJECT

public:
    // Matches marked on screen at most (a screen of one-letter matches).
    static constexpr std::size_t kMaxMarked = 20000;

    explicit CFindBar(CLogView& view, QWidget* pParent = nullptr);
    ~CFindBar() override;

    // Shows the bar with the focus in its text field (which takes the log's selection when
    // that is a short piece of one line).
    void Open();
    // Cancels a running search, hides the bar and gives the focus back to the log.
    void Close();
    // From the end of the selection (or the caret) to the end of the log, then round from
    // its start; Previous the other way. With an empty text the bar opens instead.
    void FindNext();
    void FindPrevious();

    bool IsSearching() const { return m_pSearch->IsRunning(); }
    QLineEdit* TextField() const { return m_pText; }
    QCheckBox* MatchCaseBox() const { return m_pMatchCase; }
    QCheckBox* RegexBox() const { return m_pRegex; }
    QLabel* StatusLabel() const { return m_pStatus; }
    // The number of matches as last counted (the whole log, whatever is on screen).
    std::uint64_t MatchCount() const { return m_nCount; }
    bool IsCounted() const { return m_bCounted; }

signals:
    // A match was selected in the log (the window stops following new traffic then).
    void matchSelected();

protected:
    bool eventFilter(QObject* pObject, QEvent* pEvent) override;

private:
    CFindOptions Options() const;
    void OnQueryChanged();
    void StartCount();
    void StartFind(bool bForward);
    void OnProgress(int nPercent);
    void OnFinished(const CFindWorker::COutcome& outcome);
    void OnLogGrown();
    void ShowStatus();
    CLogView::Ranges Highlights(std::uint64_t nFrom, std::uint64_t nTo);

    CLogView& m_view;
    QLineEdit* m_pText = nullptr;
    QCheckBox* m_pMatchCase = nullptr;
    QCheckBox* m_pRegex = nullptr;
    QPushButton* m_pNext = nullptr;
    QPushButton* m_pPrevious = nullptr;
    QLabel* m_pStatus = nullptr;
    QToolButton* m_pClose = nullptr;
    QPointer<QShortcut> m_pViewEscape;  // Escape in the log closes the open bar too
    QTimer* m_pDebounce = nullptr;
    QTimer* m_pGrowth = nullptr;
    // Searches run here; counting shares it, one job at a time, a search first.
    CFindWorker* m_pSearch = nullptr;
    CFindWorker* m_pCounter = nullptr;

    // The count: settled matches before m_nSettledPos, all matches, and for which log.
    std::uint64_t m_nSettledCount = 0;
    std::uint64_t m_nSettledPos = 0;
    std::uint64_t m_nCount = 0;
    std::uint64_t m_nCountedSize = 0;
    std::uint64_t m_nCountedResets = 0;
    bool m_bCounted = false;
    QString m_strError;
    QString m_strNote;          // what the last search said ("not found", "wrapped")
    int m_nSearchPercent = -1;  // while a search runs
    int m_nCountPercent = -1;   // while a count runs
    bool m_bRecount = false;    // the query changed while a count ran

    // The marks of the screen: the query and the range they were found for.
    std::unique_ptr<CLogSearch> m_pMarker;
    CLogView::Ranges m_marks;
    std::uint64_t m_nMarkFrom = 1;
    std::uint64_t m_nMarkTo = 0;
    std::uint64_t m_nMarkGeneration = UINT64_MAX;
    std::uint64_t m_nMarkResets = 0;
};
