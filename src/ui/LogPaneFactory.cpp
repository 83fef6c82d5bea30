#include "ui/LogPaneFactory.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "logdoc/LogDocument.h"
#include "module/MyModule.h"
#include "ui/LogFileCommands.h"
#include "ui/LogView.h"

#include <QPointer>

namespace {

// The program's traffic log: the spooled document, its view and its file commands.
class CLogPane : public ILogPane {
public:
    CLogPane() : m_pView(new CLogView(m_doc)), m_commands(m_doc, nullptr) {
        m_pView->setObjectName(QStringLiteral("logView"));
        // Load, New and Save change the title; the main window shows it.
        QObject::connect(&m_commands, &CLogFileCommands::titleChanged, m_pView,
                         [] { g_Module.RefreshTitle(); });
    }
    ~CLogPane() override {
        // The view belongs to the window it sits in, which deletes it first; without a
        // window it is ours.
        if (m_pView != nullptr && m_pView->parent() == nullptr) {
            delete m_pView.data();
        }
    }

    ILogSink& Sink() override { return m_doc; }
    QWidget* View() override { return m_pView; }
    bool HasText() const override { return m_pView->hasText(); }
    bool HasSelection() const override { return m_pView->hasSelection(); }
    void Copy() override { m_pView->copy(); }
    void SelectAll() override { m_pView->selectAll(); }
    QString Title() const override { return m_commands.title(); }
    bool IsModified() const override { return m_commands.isModified(); }
    void New() override { m_commands.newLog(); }
    void Save() override { m_commands.save(); }
    void SaveAs() override { m_commands.saveAs(); }
    void Open() override { m_commands.openFile(); }
    bool PromptSaveChanges() override { return m_commands.promptSaveChanges(); }
    void AttachRecentMenu(QMenu* pMenu) override {
        // The dialogs and boxes of the log belong to the window the view sits in.
        m_commands.setMessageOwner(static_cast<HWND>(g_Module.GetMainWindow()));
        m_commands.attachRecentMenu(pMenu);
    }
    void SetFollow(bool bFollow) override { m_pView->setFollow(bFollow); }
    void SetListeningQuery(std::function<bool()> fn) override {
        m_commands.setListeningQuery(std::move(fn));
    }
    void SetDialogParent(QWidget* pParent) override { m_commands.setDialogParent(pParent); }
    const CLogDocument* Document() const override { return &m_doc; }
    bool SelectionRange(std::uint64_t& nFrom, std::uint64_t& nTo) const override {
        if (!m_pView->hasSelection()) {
            return false;
        }
        nFrom = OffsetOf(std::min(m_pView->anchorPosition(), m_pView->caretPosition()));
        nTo = OffsetOf(std::max(m_pView->anchorPosition(), m_pView->caretPosition()));
        return true;
    }

private:
    std::uint64_t OffsetOf(const CLogView::CTextPos& pos) const {
        const std::vector<CLogLineSpan> line = m_doc.GetLines(pos.nLine, 1);
        return line.empty() ? m_doc.GetSize() : line[0].nStart + pos.nByte;
    }

    CLogDocument m_doc;
    QPointer<CLogView> m_pView;
    CLogFileCommands m_commands;
};

}  // namespace

std::unique_ptr<ILogPane> CreateLogPane() {
    return std::make_unique<CLogPane>();
}
