// What assistive technology learns of the log view: a read-only, multi-line text whose
// lines, characters, caret and selection a screen reader can read and move. A log of
// gigabytes does not fit the interface's int offsets, so the text offered is a window of
// the log: the lines on screen, or, while the caret is off screen, a screen's worth of
// lines from the caret's line. Each line is offered up to kMaxLineBytes of it. The gutter
// and the scroll bars are not offered as children: only the text is read.
//
// Text attributes tell what the painting shows: "font-weight:bold" on marker lines, and
// with colour by direction "traffic-direction:client-to-server" or "server-to-client" with
// the colour ("color:rgb(r,g,b)") on blocks, "font-style:italic" on the log's own lines.
//
// The view reports new traffic through NoteTextAdded, which the view calls at most every
// kEventMs (see CLogView::onAccessibleTimer), so that a screen reader announces a busy log
// a few times a second rather than at every block.
//
// GUI thread only.
#pragma once

#include <QAccessibleWidget>

#include <cstdint>
#include <vector>

#include "ui/LogView.h"

class CLogViewAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    static constexpr std::uint64_t kMaxLineBytes = 4096;
    static constexpr int kEventMs = 400;

    explicit CLogViewAccessible(CLogView* pView);

    // Makes CLogView's interface this one (once per program).
    static void InstallFactory();

    // Where the events go: to the platform's bridge while assistive technology listens, or
    // to `fn` once set (tests, which have no bridge on the offscreen platform; null: back
    // to the bridge).
    using EventSink = void (*)(QAccessibleEvent* pEvent);
    static void SetEventSink(EventSink fn);
    // Whether anything listens to the events.
    static bool Listening();

    // Announces the text from nFrom of the document on (what of it is in the window).
    static void NoteTextAdded(CLogView& view, std::uint64_t nFrom);
    // Announces the caret and the selection where they are now.
    static void NoteCaretMoved(CLogView& view);

    // QAccessibleInterface
    void* interface_cast(QAccessible::InterfaceType type) override;
    QAccessible::State state() const override;
    QString text(QAccessible::Text type) const override;
    int childCount() const override { return 0; }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }

    // QAccessibleTextInterface
    void selection(int nSelection, int* pStart, int* pEnd) const override;
    int selectionCount() const override;
    void addSelection(int nStart, int nEnd) override;
    void removeSelection(int nSelection) override;
    void setSelection(int nSelection, int nStart, int nEnd) override;
    int cursorPosition() const override;
    void setCursorPosition(int nPosition) override;
    QString text(int nStart, int nEnd) const override;
    int characterCount() const override;
    QRect characterRect(int nOffset) const override;
    int offsetAtPoint(const QPoint& point) const override;
    void scrollToSubstring(int nStart, int nEnd) override;
    QString attributes(int nOffset, int* pStart, int* pEnd) const override;

    // The window's first line in the log and its line count (for tests and events).
    std::uint64_t windowFirstLine() const;
    std::uint64_t windowLineCount() const;
    // The window's offset of a place in the log, clamped to the window.
    int offsetOfPosition(CLogView::CTextPos pos) const;

private:
    CLogView& view() const { return *static_cast<CLogView*>(object()); }
    static void Send(QAccessibleEvent& event);
    // Builds the window again when the log, the scroll position or the caret moved.
    void update() const;
    CLogView::CTextPos positionOfOffset(int nOffset) const;

    struct CKey {
        std::uint64_t nGeneration = UINT64_MAX;
        std::uint64_t nResets = 0;
        std::uint64_t nFirstLine = 0;
        std::uint64_t nLines = 0;
        bool operator==(const CKey&) const = default;
    };
    struct CLine {
        int nOffset = 0;                   // of its first character in m_strText
        std::uint64_t nStart = 0;          // of the line in the log
        std::uint64_t nLength = 0;         // bytes of the line in the log
        std::vector<std::uint32_t> bytes;  // byte in the line of each UTF-16 unit, and the end
    };
    mutable CKey m_key;
    mutable QString m_strText;
    mutable std::vector<CLine> m_lines;
};
