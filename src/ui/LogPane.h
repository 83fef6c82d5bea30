// What the main window needs of the traffic log: its thread-safe sink, its view and the
// commands on the log and its file. The log view and its document implement it.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>

#include "module/MainWindow.h"

class CLogDocument;
class QMenu;
class QWidget;

class ILogPane {
public:
    virtual ~ILogPane() = default;

    // Any thread: where the relayed blocks go.
    virtual ILogSink& Sink() = 0;

    // GUI thread, as everything below.
    virtual QWidget* View() = 0;
    virtual bool HasText() const = 0;
    virtual bool HasSelection() const = 0;
    virtual void Copy() = 0;
    virtual void SelectAll() = 0;

    // The document: its title ("Untitled" or the file's name) and its modified flag.
    virtual QString Title() const = 0;
    virtual bool IsModified() const = 0;

    // The commands of the log and its files; each reports its own failures in a box.
    virtual void New() = 0;
    virtual void Save() = 0;
    virtual void SaveAs() = 0;
    // File > Open: any saved log (nothing where the pane cannot load).
    virtual void Open() {}
    // The save-changes question before the log is dropped: whether the caller may go on.
    virtual bool PromptSaveChanges() = 0;
    // Fills `pMenu` with the recent files and keeps it filled; choosing one loads it.
    virtual void AttachRecentMenu(QMenu* pMenu) = 0;

    // Whether the program listens now: opening a recent file stops listening first.
    virtual void SetListeningQuery(std::function<bool()> fn) = 0;
    // The window that owns the log's dialogs.
    virtual void SetDialogParent(QWidget* pParent) = 0;

    // Whether new text moves the caret to the end and scrolls there (on by default).
    virtual void SetFollow(bool bFollow) = 0;

    // Printing: the document that holds the log (none: nothing to print), and the byte range
    // of the selection in it (false when nothing is selected).
    virtual const CLogDocument* Document() const { return nullptr; }
    virtual bool SelectionRange(std::uint64_t& /*nFrom*/, std::uint64_t& /*nTo*/) const {
        return false;
    }
};
