// A log pane for the window tests: a thread-safe text sink and a plain read-only text view,
// with the file commands recorded instead of carried out.
#pragma once

#include <QMenu>
#include <QPlainTextEdit>

#include <atomic>
#include <mutex>
#include <string>

#include "ui/LogPane.h"

class CFakeLogPane : public ILogPane, public ILogSink {
public:
    CFakeLogPane() : m_pView(new QPlainTextEdit) {
        m_pView->setObjectName(QStringLiteral("logView"));
        m_pView->setReadOnly(true);
    }

    ILogSink& Sink() override { return *this; }
    void AppendLog(std::wstring_view text, int /*nStyle*/) override {
        std::lock_guard lock(m_mutex);
        m_strText.append(text);
        m_bModified = true;
    }

    QWidget* View() override { return m_pView; }
    bool HasText() const override { return !Text().empty(); }
    bool HasSelection() const override { return m_pView->textCursor().hasSelection(); }
    void Copy() override { ++m_nCopies; }
    void SelectAll() override { ++m_nSelectAlls; }
    QString Title() const override { return m_strTitle; }
    bool IsModified() const override { return m_bModified; }
    void New() override {
        if (PromptSaveChanges()) {
            std::lock_guard lock(m_mutex);
            m_strText.clear();
            m_bModified = false;
        }
    }
    void Save() override {
        ++m_nSaves;
        m_bModified = false;
    }
    void SaveAs() override { Save(); }
    bool PromptSaveChanges() override {
        ++m_nPrompts;
        return !m_bModified || m_bAnswerGoOn;
    }
    void AttachRecentMenu(QMenu* pMenu) override {
        pMenu->addAction(QStringLiteral("(empty)"))->setEnabled(false);
    }
    void SetFollow(bool bFollow) override { m_bFollow = bFollow; }
    void SetListeningQuery(std::function<bool()> fn) override { m_fnListening = std::move(fn); }
    void SetDialogParent(QWidget*) override {}
    const CLogDocument* Document() const override { return m_pDoc; }
    bool SelectionRange(std::uint64_t& nFrom, std::uint64_t& nTo) const override {
        nFrom = m_nSelFrom;
        nTo = m_nSelTo;
        return m_nSelFrom < m_nSelTo;
    }

    std::wstring Text() const {
        std::lock_guard lock(m_mutex);
        return m_strText;
    }

    QPlainTextEdit* m_pView;
    const CLogDocument* m_pDoc = nullptr;  // what printing prints; none by default
    std::uint64_t m_nSelFrom = 0;          // the selection that printing sees
    std::uint64_t m_nSelTo = 0;
    QString m_strTitle = QStringLiteral("Untitled");
    std::atomic<bool> m_bModified{false};
    bool m_bAnswerGoOn = true;  // the answer to the save-changes question
    bool m_bFollow = true;
    std::function<bool()> m_fnListening;
    int m_nPrompts = 0;
    int m_nSaves = 0;
    int m_nCopies = 0;
    int m_nSelectAlls = 0;

private:
    mutable std::mutex m_mutex;
    std::wstring m_strText;
};
