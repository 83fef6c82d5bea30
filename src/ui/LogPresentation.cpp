#include "ui/LogPresentation.h"

#include <QElapsedTimer>
#include <QVBoxLayout>

#include "logdoc/BlockTimes.h"
#include "logdoc/DerivedLog.h"
#include "logdoc/LogDocument.h"
#include "ui/LogView.h"

CLogPresentation::CLogPresentation(CLogView& logView, QObject* pParent)
    : QObject(pParent), m_logView(logView), m_nRow(CDerivedLog::kAllSessions) {
    m_timer.setInterval(kTickMs);
    connect(&m_timer, &QTimer::timeout, this, &CLogPresentation::onTick);
    connect(&m_logView, &CLogView::zoomRequested, this, &CLogPresentation::zoomRequested);
}

CLogPresentation::~CLogPresentation() {
    // The view reads the presentation's document: it goes first.
    delete m_pView.data();
}

void CLogPresentation::setHexDump(bool bHex) {
    if (bHex != m_bHex) {
        m_bHex = bHex;
        rebuild();
    }
}

void CLogPresentation::showOnlySession(std::uint32_t nRow) {
    m_nRow = nRow;
    rebuild();
}

void CLogPresentation::showAllSessions() {
    if (m_nRow != CDerivedLog::kAllSessions) {
        m_nRow = CDerivedLog::kAllSessions;
        rebuild();
    }
}

bool CLogPresentation::showsOneSession() const {
    return m_nRow != CDerivedLog::kAllSessions;
}

void CLogPresentation::setTimestamps(bool bShow) {
    m_bTimestamps = bShow;
    m_logView.setTimestamps(bShow);
    if (m_pView != nullptr) {
        m_pView->setTimestamps(bShow);
    }
}

void CLogPresentation::setFollow(bool bFollow) {
    m_bFollow = bFollow;
    m_logView.setFollow(bFollow);
    if (m_pView != nullptr) {
        m_pView->setFollow(bFollow);
    }
}

void CLogPresentation::setDirectionColours(bool bOn) {
    m_logView.setDirectionColours(bOn);
    if (m_pView != nullptr) {
        m_pView->setDirectionColours(bOn);
    }
}

void CLogPresentation::setViewFont(const QFont& font) {
    m_logView.setFont(font);
    if (m_pView != nullptr) {
        m_pView->setFont(font);
    }
}

CLogView& CLogPresentation::shownView() const {
    return m_pView != nullptr ? *m_pView : m_logView;
}

void CLogPresentation::rebuild() {
    // The window's focus widget is the view even while a menu of the window is open.
    const bool bHadFocus = m_logView.window()->focusWidget() == &shownView();
    // A new presentation opens at the place of the log that was at the old view's top (at
    // column 0); one that follows new traffic opens at the end instead.
    m_nPendingOffset = UINT64_MAX;
    if (&shownView() == &m_logView && !m_bFollow) {
        const std::vector<CLogLineSpan> top =
            m_logView.document().GetLines(m_logView.firstVisibleLine(), 1);
        if (!top.empty()) {
            m_nPendingOffset = top[0].nStart;
        }
    }
    emit shownViewAboutToChange();
    m_timer.stop();
    delete m_pView.data();
    m_pDerived.reset();
    if (!m_bHex && m_nRow == CDerivedLog::kAllSessions) {
        m_logView.show();
        if (bHadFocus) {
            m_logView.setFocus();
        }
        emit shownViewChanged();
        return;
    }
    m_pDerived = std::make_unique<CDerivedLog>(
        m_logView.document(), m_nRow,
        m_bHex ? CDerivedLog::Format::Hex : CDerivedLog::Format::Text);
    // What the log holds now, as far as one tick's work goes; the timer does the rest.
    catchUp();
    QWidget* pParent = m_logView.parentWidget();
    auto* pView = new CLogView(m_pDerived->Document(), pParent);
    pView->setObjectName(m_nRow != CDerivedLog::kAllSessions ? QStringLiteral("sessionFilterView")
                                                             : QStringLiteral("hexDumpView"));
    pView->setAccessibleName(
        m_nRow != CDerivedLog::kAllSessions
            ? (m_bHex ? tr("Hex dump of one session") : tr("One session's traffic"))
            : tr("Hex dump of the traffic log"));
    pView->setFont(m_logView.font());
    pView->setDirectionColours(m_logView.directionColours());
    connect(pView, &CLogView::zoomRequested, this, &CLogPresentation::zoomRequested);
    pView->setFollow(m_bFollow);
    pView->setTimestamps(m_bTimestamps);
    // Its popup menu is the log's.
    pView->setContextMenuPolicy(m_logView.contextMenuPolicy());
    connect(pView, &QWidget::customContextMenuRequested, &m_logView,
            [this](const QPoint& pos) { emit m_logView.customContextMenuRequested(pos); });
    if (auto* pLayout =
            pParent != nullptr ? qobject_cast<QVBoxLayout*>(pParent->layout()) : nullptr) {
        pLayout->insertWidget(pLayout->indexOf(&m_logView), pView, 1);
    }
    m_logView.hide();
    pView->show();
    if (bHadFocus) {
        pView->setFocus();
    }
    m_pView = pView;
    if (showsOneSession()) {
        m_nPendingOffset = UINT64_MAX;  // the session's own blocks start at its top
    }
    showPendingOffset();
    m_timer.start();
    emit shownViewChanged();
}

void CLogPresentation::catchUp() {
    if (m_pDerived == nullptr) {
        return;
    }
    QElapsedTimer work;
    work.start();
    while (!m_pDerived->CatchUp(kStepBytes) && work.nsecsElapsed() < kTickWorkNs) {
    }
}

bool CLogPresentation::showPendingOffset() {
    if (m_nPendingOffset == UINT64_MAX || m_pView == nullptr || m_pDerived == nullptr) {
        return false;
    }
    const std::uint64_t nBlock =
        blocktimes::FirstBlockFrom(m_logView.document().GetRecords(), m_nPendingOffset);
    std::vector<CBlockRecord> block;
    if (!m_pDerived->Document().GetRecords().ReadBlocks(nBlock, 1, block) || block.empty()) {
        return false;  // not taken in yet, or no block after that place
    }
    m_pView->scrollToOffset(block[0].nTextStart);
    m_nPendingOffset = UINT64_MAX;
    return true;
}

void CLogPresentation::onTick() {
    catchUp();
    if (m_nPendingOffset != UINT64_MAX &&
        (m_bFollow || m_pDerived == nullptr || (!showPendingOffset() && m_pDerived->CatchUp(0)))) {
        m_nPendingOffset = UINT64_MAX;  // following, or the place has no block after it
    }
    if (m_pDerived != nullptr && m_pDerived->SessionGone()) {
        showAllSessions();
    }
}

void CLogPresentation::showLogOffset(std::uint64_t nOffset) {
    if (m_pView == nullptr || m_pDerived == nullptr) {
        m_logView.scrollToOffset(nOffset);
        return;
    }
    if (showsOneSession()) {
        return;
    }
    // Every block of the log is a block of the presentation, in the same order: the log's
    // first block at the offset is the presentation's block of the same number, once the
    // presentation has taken it in.
    const std::uint64_t nBlock =
        blocktimes::FirstBlockFrom(m_logView.document().GetRecords(), nOffset);
    std::vector<CBlockRecord> block;
    if (m_pDerived->Document().GetRecords().ReadBlocks(nBlock, 1, block) && !block.empty()) {
        m_pView->scrollToOffset(block[0].nTextStart);
    }
}
