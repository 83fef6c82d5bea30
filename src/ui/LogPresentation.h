// What the output pane shows of the traffic log: the log's own view, or in its place a
// view of a presentation built from the log's records (see CDerivedLog): one session's
// blocks only ("Show Only This Session"), the hex dump (View > Hex Dump), or both. The
// presentation follows the log while traffic flows: a timer takes in what arrived, a few
// milliseconds of work at a time. Timestamps and following new traffic apply to whichever
// view is shown.
//
// GUI thread only, like the views; the relay threads append to the log meanwhile.
#pragma once

#include <QFont>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <cstdint>
#include <memory>

class CDerivedLog;
class CLogView;

class CLogPresentation : public QObject {
    Q_OBJECT

public:
    // `logView` shows the log itself and stays its parent's; the presentation's view goes
    // beside it in the same layout.
    explicit CLogPresentation(CLogView& logView, QObject* pParent = nullptr);
    ~CLogPresentation() override;

    void setHexDump(bool bHex);
    bool hexDump() const { return m_bHex; }
    // Shows only the blocks of session row nRow with their marker lines, as they arrive.
    void showOnlySession(std::uint32_t nRow);
    void showAllSessions();
    bool showsOneSession() const;
    void setTimestamps(bool bShow);
    void setFollow(bool bFollow);
    // The log's look, for every view: colour by direction and the font.
    void setDirectionColours(bool bOn);
    void setViewFont(const QFont& font);

    // The presentation's view while one is shown, else null.
    CLogView* derivedView() const { return m_pView; }
    // The view on screen: the presentation's or the log's.
    CLogView& shownView() const;
    // Shows the log's text offset in the view on screen (nothing when that view shows one
    // session only).
    void showLogOffset(std::uint64_t nOffset);

    // Bytes of the log taken in per step, and the time one tick may spend on steps.
    static constexpr std::size_t kStepBytes = 128 * 1024;
    static constexpr int kTickMs = 33;
    static constexpr qint64 kTickWorkNs = 12'000'000;

signals:
    // Before the view on screen is replaced (the old one is deleted after), and after.
    void shownViewAboutToChange();
    void shownViewChanged();
    // Ctrl with the mouse wheel over any of the views (see CLogView::zoomRequested).
    void zoomRequested(int nSteps);

private:
    // Makes the presentation the settings ask for (or none) and its view.
    void rebuild();
    // Takes in what the log gained, for at most kTickWorkNs.
    void catchUp();
    // The timer's tick: catches up; one session's view whose session went with a clear or
    // load of the log gives way to the whole log.
    void onTick();

    CLogView& m_logView;
    std::unique_ptr<CDerivedLog> m_pDerived;
    QPointer<CLogView> m_pView;
    QTimer m_timer;
    bool m_bHex = false;
    bool m_bTimestamps = false;
    bool m_bFollow = true;
    std::uint32_t m_nRow;
    // Where a new hex dump of all sessions is to show the log's text offset that the old
    // view had at its top, once it has taken that far in (UINT64_MAX: nowhere).
    std::uint64_t m_nPendingOffset = UINT64_MAX;
    // Whether the pending place could be shown.
    bool showPendingOffset();
};
