#include "ui/FindBar.h"

#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QToolButton>

#include "logdoc/LogDocument.h"

namespace {

constexpr int kDebounceMs = 150;
constexpr int kGrowthMs = 500;
// A selection the bar takes as its text when it opens: one short piece of a line.
constexpr std::uint64_t kMaxTakenSelection = 200;

}  // namespace

CFindBar::CFindBar(CLogView& view, QWidget* pParent) : QWidget(pParent), m_view(view) {
    setObjectName(QStringLiteral("findBar"));
    auto* pLayout = new QHBoxLayout(this);
    pLayout->setContentsMargins(4, 2, 4, 2);
    auto* pLabel = new QLabel(tr("Fin&d:"), this);
    m_pText = new QLineEdit(this);
    m_pText->setObjectName(QStringLiteral("findText"));
    m_pText->setClearButtonEnabled(true);
    pLabel->setBuddy(m_pText);
    m_pMatchCase = new QCheckBox(tr("Match &case"), this);
    m_pMatchCase->setObjectName(QStringLiteral("findMatchCase"));
    m_pRegex = new QCheckBox(tr("&Regular expression"), this);
    m_pRegex->setObjectName(QStringLiteral("findRegex"));
    m_pNext = new QPushButton(tr("&Next"), this);
    m_pNext->setObjectName(QStringLiteral("findNext"));
    m_pNext->setToolTip(tr("Find the next place of the text (F3)"));
    m_pPrevious = new QPushButton(tr("&Previous"), this);
    m_pPrevious->setObjectName(QStringLiteral("findPrevious"));
    m_pPrevious->setToolTip(tr("Find the previous place of the text (Shift+F3)"));
    for (QPushButton* p : {m_pNext, m_pPrevious}) {
        p->setAutoDefault(false);
    }
    m_pStatus = new QLabel(this);
    m_pStatus->setObjectName(QStringLiteral("findStatus"));
    m_pStatus->setTextFormat(Qt::PlainText);
    m_pClose = new QToolButton(this);
    m_pClose->setObjectName(QStringLiteral("findClose"));
    m_pClose->setText(QStringLiteral("\u2715"));
    m_pClose->setToolTip(tr("Close the find bar (Esc)"));
    m_pClose->setAutoRaise(true);
    m_pText->setAccessibleName(tr("Find"));
    m_pText->setAccessibleDescription(
        tr("The text to find in the log; the places found are marked as it is typed"));
    m_pMatchCase->setAccessibleDescription(tr("Find only text of the same case"));
    m_pRegex->setAccessibleDescription(tr("Read the text to find as a regular expression"));
    m_pNext->setAccessibleDescription(m_pNext->toolTip());
    m_pPrevious->setAccessibleDescription(m_pPrevious->toolTip());
    m_pStatus->setAccessibleName(tr("Find status"));
    m_pClose->setAccessibleName(tr("Close"));
    m_pClose->setAccessibleDescription(m_pClose->toolTip());
    pLayout->addWidget(pLabel);
    pLayout->addWidget(m_pText, 1);
    pLayout->addWidget(m_pMatchCase);
    pLayout->addWidget(m_pRegex);
    pLayout->addWidget(m_pNext);
    pLayout->addWidget(m_pPrevious);
    pLayout->addWidget(m_pStatus, 1);
    pLayout->addWidget(m_pClose);
    setFocusProxy(m_pText);

    m_pSearch = new CFindWorker(m_view.document(), this);
    m_pCounter = new CFindWorker(m_view.document(), this);
    connect(m_pSearch, &CFindWorker::finished, this, &CFindBar::OnFinished);
    connect(m_pCounter, &CFindWorker::finished, this, &CFindBar::OnFinished);
    connect(m_pSearch, &CFindWorker::progress, this, [this](int n) {
        m_nSearchPercent = n;
        ShowStatus();
    });
    connect(m_pCounter, &CFindWorker::progress, this, [this](int n) {
        m_nCountPercent = n;
        ShowStatus();
    });

    m_pDebounce = new QTimer(this);
    m_pDebounce->setSingleShot(true);
    m_pDebounce->setInterval(kDebounceMs);
    connect(m_pDebounce, &QTimer::timeout, this, &CFindBar::StartCount);
    m_pGrowth = new QTimer(this);
    m_pGrowth->setInterval(kGrowthMs);
    connect(m_pGrowth, &QTimer::timeout, this, &CFindBar::OnLogGrown);

    connect(m_pText, &QLineEdit::textChanged, this, &CFindBar::OnQueryChanged);
    connect(m_pMatchCase, &QCheckBox::toggled, this, &CFindBar::OnQueryChanged);
    connect(m_pRegex, &QCheckBox::toggled, this, &CFindBar::OnQueryChanged);
    connect(m_pNext, &QPushButton::clicked, this, &CFindBar::FindNext);
    connect(m_pPrevious, &QPushButton::clicked, this, &CFindBar::FindPrevious);
    connect(m_pClose, &QToolButton::clicked, this, &CFindBar::Close);
    auto* pEscape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    pEscape->setContext(Qt::WidgetWithChildrenShortcut);
    connect(pEscape, &QShortcut::activated, this, &CFindBar::Close);
    m_pViewEscape = new QShortcut(QKeySequence(Qt::Key_Escape), &m_view);
    m_pViewEscape->setContext(Qt::WidgetShortcut);
    m_pViewEscape->setEnabled(false);
    connect(m_pViewEscape, &QShortcut::activated, this, &CFindBar::Close);
    m_pText->installEventFilter(this);
    m_view.setHighlighter(
        [this](std::uint64_t nFrom, std::uint64_t nTo) { return Highlights(nFrom, nTo); });
    hide();
}

CFindBar::~CFindBar() {
    m_view.setHighlighter({});
    delete m_pViewEscape.data();  // a child of the view, which may outlive the bar
    // The workers' destructors cancel and wait for their threads before the log goes.
}

CFindOptions CFindBar::Options() const {
    const QByteArray text = m_pText->text().toUtf8();
    return {std::string(text.constData(), static_cast<std::size_t>(text.size())),
            m_pMatchCase->isChecked(), m_pRegex->isChecked()};
}

void CFindBar::Open() {
    const auto [nFrom, nTo] = m_view.selectionRange();
    if (nTo > nFrom && nTo - nFrom <= kMaxTakenSelection) {
        const QString strSelected = m_view.selectedText();
        if (!strSelected.contains(QLatin1Char('\n'))) {
            m_pText->setText(strSelected);
        }
    }
    show();
    m_pViewEscape->setEnabled(true);
    m_pGrowth->start();
    m_pText->setFocus(Qt::ShortcutFocusReason);
    m_pText->selectAll();
    if (!m_bCounted && !m_pCounter->IsRunning()) {
        StartCount();
    }
    m_view.viewport()->update();
}

void CFindBar::Close() {
    m_pSearch->Cancel();
    m_pCounter->Cancel();
    m_pDebounce->stop();
    m_pGrowth->stop();
    m_nSearchPercent = m_nCountPercent = -1;
    m_bCounted = false;  // counted again when the bar opens
    const bool bHadFocus = isAncestorOf(QApplication::focusWidget());
    m_pViewEscape->setEnabled(false);
    hide();
    if (bHadFocus || QApplication::focusWidget() == nullptr) {
        m_view.setFocus(Qt::OtherFocusReason);
    }
    m_view.viewport()->update();
}

bool CFindBar::eventFilter(QObject* pObject, QEvent* pEvent) {
    if (pObject == m_pText && pEvent->type() == QEvent::KeyPress) {
        auto* pKey = static_cast<QKeyEvent*>(pEvent);
        if (pKey->key() == Qt::Key_Return || pKey->key() == Qt::Key_Enter) {
            if ((pKey->modifiers() & Qt::ShiftModifier) != 0) {
                FindPrevious();
            } else {
                FindNext();
            }
            return true;
        }
    }
    return QWidget::eventFilter(pObject, pEvent);
}

void CFindBar::OnQueryChanged() {
    m_strNote.clear();
    m_strError.clear();
    m_bCounted = false;
    m_pMarker.reset();
    m_nMarkGeneration = UINT64_MAX;
    m_pCounter->Cancel();
    m_nCountPercent = -1;
    m_pDebounce->start();
    ShowStatus();
    m_view.viewport()->update();
}

void CFindBar::StartCount() {
    if (!isVisible() || m_pText->text().isEmpty()) {
        m_bCounted = false;
        ShowStatus();
        return;
    }
    const CLogDocument& doc = m_view.document();
    CFindWorker::CJob job;
    job.eKind = CFindWorker::EJob::Count;
    job.options = Options();
    if (m_bCounted && m_nCountedResets == doc.GetResetCount()) {
        // The log only grew: the settled matches stay, the rest is counted.
        job.nPos = m_nSettledPos;
        job.nBase = m_nSettledCount;
    }
    m_nCountedResets = doc.GetResetCount();
    m_nCountPercent = 0;
    m_pCounter->Start(std::move(job));
    ShowStatus();
}

void CFindBar::OnLogGrown() {
    const CLogDocument& doc = m_view.document();
    if (!isVisible() || m_pCounter->IsRunning() || m_pDebounce->isActive() ||
        m_pText->text().isEmpty() || !m_strError.isEmpty()) {
        return;
    }
    if (doc.GetResetCount() != m_nCountedResets) {
        m_bCounted = false;
        StartCount();
    } else if (doc.GetSize() != m_nCountedSize) {
        StartCount();
    }
}

void CFindBar::StartFind(bool bForward) {
    if (m_pText->text().isEmpty()) {
        Open();
        return;
    }
    const auto [nFrom, nTo] = m_view.selectionRange();
    CFindWorker::CJob job;
    job.eKind = bForward ? CFindWorker::EJob::Next : CFindWorker::EJob::Previous;
    job.options = Options();
    job.nPos = bForward ? nTo : nFrom;
    m_strNote.clear();
    m_nSearchPercent = 0;
    m_pSearch->Start(std::move(job));
    ShowStatus();
}

void CFindBar::FindNext() {
    StartFind(true);
}

void CFindBar::FindPrevious() {
    StartFind(false);
}

void CFindBar::OnFinished(const CFindWorker::COutcome& outcome) {
    m_strError = outcome.strError.empty()
                     ? QString()
                     : tr("Pattern error: %1").arg(QString::fromStdWString(outcome.strError));
    if (outcome.eKind == CFindWorker::EJob::Count) {
        m_nCountPercent = -1;
        if (outcome.eResult == EFindResult::Changed) {
            m_bCounted = false;  // cleared meanwhile: the growth timer counts again
        } else if (m_strError.isEmpty()) {
            m_nCount = outcome.nCount;
            m_nSettledCount = outcome.nSettledCount;
            m_nSettledPos = outcome.nSettledPos;
            m_nCountedSize = outcome.nSize;
            m_bCounted = true;
        }
    } else {
        m_nSearchPercent = -1;
        if (outcome.eResult == EFindResult::Found) {
            m_view.selectRange(outcome.match.nStart, outcome.match.nEnd);
            emit matchSelected();
            if (outcome.bWrapped) {
                m_strNote = outcome.eKind == CFindWorker::EJob::Next
                                ? tr("Passed the end of the log; went on from the start.")
                                : tr("Passed the start of the log; went on from the end.");
            }
        } else if (m_strError.isEmpty()) {
            m_strNote = tr("Not found.");
        }
    }
    if (outcome.bAbortedLines) {
        m_strNote += tr(" Some lines were too costly for the pattern and were skipped.");
    }
    ShowStatus();
}

void CFindBar::ShowStatus() {
    QString strText;
    if (!m_strError.isEmpty()) {
        strText = m_strError;
    } else if (m_nSearchPercent >= 0) {
        strText = tr("Searching... %1%").arg(m_nSearchPercent);
    } else {
        strText = m_strNote;
        QString strCount;
        if (m_nCountPercent >= 0 && !m_bCounted) {
            strCount = tr("Counting... %1%").arg(m_nCountPercent);
        } else if (m_bCounted) {
            strCount = m_nCount == 0   ? tr("No matches")
                       : m_nCount == 1 ? tr("1 match")
                                       : tr("%1 matches").arg(m_nCount);
        }
        if (!strCount.isEmpty()) {
            strText = strText.isEmpty() ? strCount : strText + QStringLiteral("  ") + strCount;
        }
    }
    m_pStatus->setText(strText);
}

CLogView::Ranges CFindBar::Highlights(std::uint64_t nFrom, std::uint64_t nTo) {
    if (!isVisible() || m_pText->text().isEmpty()) {
        return {};
    }
    const std::uint64_t nGeneration = m_view.document().GetGeneration();
    if (m_pMarker && nFrom == m_nMarkFrom && nTo == m_nMarkTo && nGeneration == m_nMarkGeneration) {
        return m_marks;
    }
    if (!m_pMarker || m_view.document().GetResetCount() != m_nMarkResets) {
        m_nMarkResets = m_view.document().GetResetCount();
        m_pMarker = std::make_unique<CLogSearch>(m_view.document(), Options());
    }
    m_marks.clear();
    for (const CFindMatch& match : m_pMarker->FindOverlapping(nFrom, nTo, kMaxMarked)) {
        m_marks.emplace_back(match.nStart, match.nEnd);
    }
    m_nMarkFrom = nFrom;
    m_nMarkTo = nTo;
    m_nMarkGeneration = nGeneration;
    return m_marks;
}
