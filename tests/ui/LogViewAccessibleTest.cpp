// What assistive technology gets from the log view, asked through
// QAccessible::queryAccessibleInterface as a screen reader's bridge asks: the line at the
// caret and the selection on a log beyond 2 GB, text at a point, new traffic announced a
// few times a second however fast it comes, the gutter not read; and in the real window
// every control that takes the focus named and reached with Tab.
#include "ui/LogViewAccessible.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QVBoxLayout>

#include <set>

#include "MainFrameFixture.h"
#include "TempFolder.h"
#include "logdoc/LogDocument.h"
#include "module/Messages.h"
#include "ui/FindBar.h"
#include "ui/LogView.h"

namespace {

using test::PumpUntil;

// The events the bridge would have passed on, while a test listens.
struct CEventLog {
    std::vector<std::pair<QAccessible::Event, qint64>> events;  // type, ms since start
    std::vector<QString> inserted;
    QElapsedTimer clock;
    QObject* pObject = nullptr;
};
CEventLog* g_pEvents = nullptr;

void RecordEvent(QAccessibleEvent* pEvent) {
    if (g_pEvents == nullptr || pEvent->object() != g_pEvents->pObject) {
        return;
    }
    g_pEvents->events.emplace_back(pEvent->type(), g_pEvents->clock.elapsed());
    if (pEvent->type() == QAccessible::TextInserted) {
        g_pEvents->inserted.push_back(
            static_cast<QAccessibleTextInsertEvent*>(pEvent)->textInserted());
    }
}

class LogViewAccessibleTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_window.resize(640, 400);
        auto* pLayout = new QVBoxLayout(&m_window);
        m_pView = new CLogView(m_doc, &m_window);
        pLayout->addWidget(m_pView);
        m_window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_window));
        m_pView->setFocus();
        QApplication::processEvents();
    }
    void TearDown() override {
        CLogViewAccessible::SetEventSink(nullptr);
        g_pEvents = nullptr;
    }

    QAccessibleTextInterface& Text() {
        QAccessibleInterface* pInterface = QAccessible::queryAccessibleInterface(m_pView);
        EXPECT_NE(nullptr, pInterface);
        QAccessibleTextInterface* pText = pInterface->textInterface();
        EXPECT_NE(nullptr, pText);
        return *pText;
    }

    QString CaretLine() {
        QAccessibleTextInterface& text = Text();
        int nStart = 0;
        int nEnd = 0;
        return text.textAtOffset(text.cursorPosition(), QAccessible::LineBoundary, &nStart, &nEnd)
            .remove(QLatin1Char('\n'));
    }

    CTempFolder m_dir;
    CLogDocument m_doc{m_dir.Path()};
    QWidget m_window;
    CLogView* m_pView = nullptr;
};

// Line n of the large log: its number and filler to kLineBytes with the break.
constexpr std::size_t kLineBytes = 1000;
std::string LargeLogLine(std::uint64_t n) {
    std::string line = "line " + std::to_string(n) + " ";
    line.resize(kLineBytes - 1, static_cast<char>('a' + n % 26));
    line += '\n';
    return line;
}

TEST_F(LogViewAccessibleTest, TheCaretsLineAndTheSelectionBeyondTwoGigabytes) {
    // 2.25 GB in lines of 1000 bytes, appended a megabyte at a time (under the sanitizers,
    // which would take minutes for it, 400 MB).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr std::uint64_t kLines = 400'000;
    constexpr std::uint64_t kProbe = 300'000'000;
#else
    constexpr std::uint64_t kLines = 2'250'000;
    constexpr std::uint64_t kProbe = std::uint64_t{1} << 31;  // beyond an int's offsets
#endif
    m_pView->setFollow(false);
    std::string chunk;
    for (std::uint64_t n = 0; n < kLines; ++n) {
        chunk += LargeLogLine(n);
        if (chunk.size() >= (1 << 20)) {
            m_doc.AppendUtf8(chunk, LOG_STYLE_PLAIN);
            chunk.clear();
        }
    }
    m_doc.AppendUtf8(chunk, LOG_STYLE_PLAIN);
    m_pView->refresh();
    ASSERT_EQ(kLines * kLineBytes, m_doc.GetSize());

    // The line that holds byte kProbe and the ones around it, by the caret.
    const std::uint64_t nBoundaryLine = kProbe / kLineBytes;
    m_pView->scrollToOffset(kProbe);
    EXPECT_EQ(QString::fromStdString(LargeLogLine(nBoundaryLine)).trimmed(), CaretLine());
    QTest::keyClick(m_pView, Qt::Key_Down);
    EXPECT_EQ(QString::fromStdString(LargeLogLine(nBoundaryLine + 1)).trimmed(), CaretLine());
    // Characters: the caret is at the line's start, on its "l".
    QAccessibleTextInterface& text = Text();
    int nStart = 0;
    int nEnd = 0;
    EXPECT_EQ(QStringLiteral("l"),
              text.textAtOffset(text.cursorPosition(), QAccessible::CharBoundary, &nStart, &nEnd));

    // A selection made with the keyboard: from the caret to two lines down and five
    // characters on.
    QTest::keyClick(m_pView, Qt::Key_Down, Qt::ShiftModifier);
    QTest::keyClick(m_pView, Qt::Key_Down, Qt::ShiftModifier);
    for (int i = 0; i < 5; ++i) {
        QTest::keyClick(m_pView, Qt::Key_Right, Qt::ShiftModifier);
    }
    ASSERT_EQ(1, Text().selectionCount());
    Text().selection(0, &nStart, &nEnd);
    const QString strExpected =
        QString::fromStdString(LargeLogLine(nBoundaryLine + 1) + LargeLogLine(nBoundaryLine + 2) +
                               LargeLogLine(nBoundaryLine + 3).substr(0, 5));
    EXPECT_EQ(strExpected, Text().text(nStart, nEnd));
    EXPECT_EQ(m_pView->selectedText(), Text().text(nStart, nEnd));

    // A selection made through the interface is the view's.
    Text().setSelection(0, nStart + 5, nStart + 9);
    EXPECT_EQ(QString::fromStdString(LargeLogLine(nBoundaryLine + 1).substr(5, 4)),
              m_pView->selectedText());

    // The last line, at the end of the log.
    QTest::keyClick(m_pView, Qt::Key_End, Qt::ControlModifier);
    QTest::keyClick(m_pView, Qt::Key_Up);
    EXPECT_EQ(QString::fromStdString(LargeLogLine(kLines - 1)).trimmed(), CaretLine());
    EXPECT_LE(Text().characterCount(),
              static_cast<int>((m_pView->visibleLineCount() + 1) * kLineBytes));
}

TEST_F(LogViewAccessibleTest, TextAtAPointAndCharacterPlacesMatchTheScreen) {
    for (int i = 0; i < 50; ++i) {
        m_doc.AppendUtf8("row " + std::to_string(i) + "\tend\n", LOG_STYLE_PLAIN);
    }
    m_pView->setFollow(false);
    m_pView->refresh();
    m_pView->scrollToLine(10);
    QAccessibleTextInterface& text = Text();
    const QFontMetrics fm = m_pView->fontMetrics();
    const int nCharWidth = fm.horizontalAdvance(QLatin1Char('M'));
    // Row 2 of the screen is line 12; column 1 is its "o".
    const QPoint point = m_pView->viewport()->mapToGlobal(
        QPoint(nCharWidth + nCharWidth / 2 - 1, 2 * fm.height() + 2));
    const int nOffset = text.offsetAtPoint(point);
    ASSERT_GE(nOffset, 0);
    int nStart = 0;
    int nEnd = 0;
    EXPECT_EQ(QStringLiteral("row 12\tend"),
              text.textAtOffset(nOffset, QAccessible::LineBoundary, &nStart, &nEnd).trimmed());
    EXPECT_EQ(QStringLiteral("o"), text.text(nOffset, nOffset + 1));
    // The character's rectangle holds the point.
    EXPECT_TRUE(text.characterRect(nOffset).contains(point));
    // The character after the tab is at column 8.
    const int nAfterTab = nOffset + 6;
    EXPECT_EQ(QStringLiteral("e"), text.text(nAfterTab, nAfterTab + 1));
    EXPECT_EQ(m_pView->viewport()->mapToGlobal(QPoint(8 * nCharWidth, 2 * fm.height())).x(),
              text.characterRect(nAfterTab).x());
    // Outside the text: no offset.
    EXPECT_EQ(-1, text.offsetAtPoint(m_pView->viewport()->mapToGlobal(QPoint(-5, -5))));
    // Setting the caret through the interface moves the view's.
    text.setCursorPosition(nAfterTab);
    EXPECT_EQ((CLogView::CTextPos{12, 7}), m_pView->caretPosition());
}

TEST_F(LogViewAccessibleTest, NewTrafficIsAnnouncedAFewTimesASecondAndTheGutterIsNotText) {
    CEventLog events;
    events.pObject = m_pView;
    events.clock.start();
    g_pEvents = &events;
    // The offscreen platform has no bridge to assistive technology: the events come here.
    CLogViewAccessible::SetEventSink(RecordEvent);

    // A block every 10 ms for two seconds: about two hundred changes the view takes in.
    QElapsedTimer timer;
    timer.start();
    int nBlocks = 0;
    while (timer.elapsed() < 2000) {
        m_doc.AppendUtf8("block " + std::to_string(nBlocks++) + "\n", LOG_STYLE_PLAIN);
        QTest::qWait(10);
    }
    const std::string strLast = "block " + std::to_string(nBlocks - 1);
    ASSERT_TRUE(PumpUntil(
        [&] {
            return !events.inserted.empty() &&
                   events.inserted.back().contains(QString::fromStdString(strLast));
        },
        3000));
    // At most one announcement per kEventMs, and each a batch of many blocks.
    std::vector<qint64> times;
    for (const auto& [type, nMs] : events.events) {
        if (type == QAccessible::TextInserted) {
            times.push_back(nMs);
        }
    }
    ASSERT_GE(times.size(), 2u);
    EXPECT_LE(times.size(), static_cast<std::size_t>(2500 / CLogViewAccessible::kEventMs + 1));
    for (std::size_t i = 1; i < times.size(); ++i) {
        EXPECT_GE(times[i] - times[i - 1], CLogViewAccessible::kEventMs - 20);
    }
    EXPECT_GT(nBlocks, static_cast<int>(3 * times.size()));
    // The caret's new place goes with them.
    EXPECT_TRUE(std::any_of(events.events.begin(), events.events.end(), [](const auto& event) {
        return event.first == QAccessible::TextCaretMoved;
    }));

    // Timestamps on: the gutter is no child of the text and has no text of its own.
    m_pView->setTimestamps(true);
    auto* pGutter = m_pView->findChild<QWidget*>(QStringLiteral("timestampGutter"));
    ASSERT_NE(nullptr, pGutter);
    QAccessibleInterface* pView = QAccessible::queryAccessibleInterface(m_pView);
    EXPECT_EQ(0, pView->childCount());
    QAccessibleInterface* pGutterInterface = QAccessible::queryAccessibleInterface(pGutter);
    ASSERT_NE(nullptr, pGutterInterface);
    EXPECT_EQ(nullptr, pGutterInterface->textInterface());
    EXPECT_TRUE(pView->state().readOnly);
    EXPECT_TRUE(pView->state().multiLine);
    EXPECT_EQ(QStringLiteral("Traffic log"), pView->text(QAccessible::Name));
}

TEST_F(LogViewAccessibleTest, AttributesTellMarkerLinesDirectionsAndTheLogsOwnLines) {
    m_doc.AppendUtf8("Session 1 starts.", LOG_STYLE_PLAIN);
    for (LogDirection direction : {LogDirection::ClientToServer, LogDirection::ServerToClient}) {
        CLogRecord record;
        record.kind = LogRecordKind::BlockBegin;
        record.nSessionId = 1;
        record.direction = direction;
        m_doc.OnLogRecord(record);
        m_doc.AppendUtf8("\n1---<---", LOG_STYLE_BOLD);
        const std::string strData = direction == LogDirection::ClientToServer ? "GET /" : "200 OK";
        m_doc.AppendUtf8(strData, LOG_STYLE_PLAIN);
        record.kind = LogRecordKind::Block;
        record.bytes = strData;
        m_doc.OnLogRecord(record);
    }
    m_pView->setFollow(false);
    m_pView->refresh();
    m_pView->scrollToLine(0);
    QAccessibleTextInterface& text = Text();
    ASSERT_EQ(QStringLiteral("Session 1 starts.\n1---<---GET /\n1---<---200 OK"),
              text.text(0, text.characterCount()));
    int nStart = 0;
    int nEnd = 0;
    // The log's own line: italics, the whole line.
    QString strAttributes = text.attributes(3, &nStart, &nEnd);
    EXPECT_TRUE(strAttributes.contains(QStringLiteral("font-style:italic")))
        << strAttributes.toStdString();
    EXPECT_FALSE(strAttributes.contains(QStringLiteral("traffic-direction")));
    EXPECT_EQ(0, nStart);
    EXPECT_EQ(17, nEnd);
    // The client's marker: bold, its direction, the marker only; then its data, not bold.
    strAttributes = text.attributes(20, &nStart, &nEnd);
    EXPECT_TRUE(strAttributes.contains(QStringLiteral("font-weight:bold")));
    EXPECT_TRUE(strAttributes.contains(QStringLiteral("traffic-direction:client-to-server")));
    EXPECT_EQ(18, nStart);
    EXPECT_EQ(26, nEnd);
    strAttributes = text.attributes(27, &nStart, &nEnd);
    EXPECT_FALSE(strAttributes.contains(QStringLiteral("font-weight")));
    EXPECT_TRUE(strAttributes.contains(QStringLiteral("traffic-direction:client-to-server")));
    EXPECT_EQ(26, nStart);
    EXPECT_EQ(31, nEnd);
    // The server's data.
    strAttributes = text.attributes(text.characterCount() - 1, &nStart, &nEnd);
    EXPECT_TRUE(strAttributes.contains(QStringLiteral("traffic-direction:server-to-client")));
    // Without colours by direction only the weight is told.
    m_pView->setDirectionColours(false);
    EXPECT_EQ(QString(), text.attributes(27, &nStart, &nEnd));
    EXPECT_EQ(QStringLiteral("font-weight:bold;"), text.attributes(20, &nStart, &nEnd));
}

TEST_F(LogViewAccessibleTest, TheFocusIsSeenAsAFrameAlsoOnAnEmptyLog) {
    QApplication::setActiveWindow(&m_window);
    m_pView->setFocus();
    ASSERT_TRUE(PumpUntil([&] { return m_pView->hasFocus(); }, 2000));
    const QColor highlight = m_pView->palette().highlight().color();
    const QImage focused = m_pView->viewport()->grab().toImage();
    const int y = focused.height() / 2;
    EXPECT_EQ(highlight, focused.pixelColor(1, y));
    EXPECT_EQ(highlight, focused.pixelColor(focused.width() - 2, y));
    m_pView->clearFocus();
    ASSERT_TRUE(PumpUntil([&] { return !m_pView->hasFocus(); }, 2000));
    const QImage unfocused = m_pView->viewport()->grab().toImage();
    EXPECT_EQ(m_pView->palette().base().color(), unfocused.pixelColor(1, y));
}

class AccessibleWindowTest : public test::MainFrameFixture {};

TEST_F(AccessibleWindowTest, EveryFocusableControlIsNamedAndReachedWithTab) {
    OpenFrameWithRealLog();
    m_pFrame->Action(ID_EDIT_FIND)->trigger();
    ASSERT_NE(nullptr, m_pFrame->FindBar());
    ASSERT_TRUE(PumpUntil([&] { return m_pFrame->FindBar()->isVisible(); }, 2000));
    QApplication::setActiveWindow(m_pFrame.get());

    std::set<QWidget*> focusable;
    for (QWidget* pWidget : m_pFrame->findChildren<QWidget*>()) {
        if (!pWidget->isVisible() || !pWidget->isEnabled() ||
            (pWidget->focusPolicy() & Qt::TabFocus) == 0 || pWidget->focusProxy() != nullptr) {
            continue;
        }
        focusable.insert(pWidget);
        QAccessibleInterface* pInterface = QAccessible::queryAccessibleInterface(pWidget);
        ASSERT_NE(nullptr, pInterface) << pWidget->objectName().toStdString();
        EXPECT_FALSE(pInterface->text(QAccessible::Name).isEmpty())
            << pWidget->metaObject()->className() << " " << pWidget->objectName().toStdString();
    }
    // The fields and controls the issue names are among them, with descriptions.
    for (const char* pszName :
         {"url", "localPort", "remotePort", "findText", "logView", "sessionList"}) {
        auto* pWidget = m_pFrame->findChild<QWidget*>(QString::fromLatin1(pszName));
        ASSERT_NE(nullptr, pWidget) << pszName;
        EXPECT_FALSE(QAccessible::queryAccessibleInterface(pWidget)
                         ->text(QAccessible::Description)
                         .isEmpty())
            << pszName;
    }
    // Listen (disabled until the fields are complete) is named too.
    QWidget* pListen = m_pFrame->findChild<QWidget*>(QStringLiteral("listen"));
    ASSERT_NE(nullptr, pListen);
    EXPECT_EQ(QStringLiteral("Listen"),
              QAccessible::queryAccessibleInterface(pListen)->text(QAccessible::Name));

    // The session list's columns are named by its header.
    QAccessibleInterface* pList = QAccessible::queryAccessibleInterface(
        m_pFrame->findChild<QWidget*>(QStringLiteral("sessionList")));
    ASSERT_NE(nullptr, pList);
    QAccessibleTableInterface* pTable = pList->tableInterface();
    ASSERT_NE(nullptr, pTable);
    ASSERT_GE(pTable->columnCount(), 10);
    for (int nColumn = 0; nColumn < pTable->columnCount(); ++nColumn) {
        EXPECT_FALSE(pTable->columnDescription(nColumn).isEmpty()) << nColumn;
    }
    EXPECT_EQ(QStringLiteral("Client"), pTable->columnDescription(2));

    // Tab from the first field goes round every one of them.
    QWidget* pFirst = *focusable.begin();
    pFirst->setFocus();
    ASSERT_TRUE(PumpUntil([&] { return pFirst->hasFocus(); }, 2000));
    std::set<QWidget*> reached;
    for (std::size_t i = 0; i < 3 * focusable.size() && reached.size() < focusable.size(); ++i) {
        QWidget* pFocus = QApplication::focusWidget();
        ASSERT_NE(nullptr, pFocus);
        reached.insert(pFocus);
        QTest::keyClick(pFocus, Qt::Key_Tab);
    }
    for (QWidget* pWidget : focusable) {
        EXPECT_TRUE(reached.count(pWidget) != 0)
            << pWidget->metaObject()->className() << " " << pWidget->objectName().toStdString();
    }
}

}  // namespace
