// The main window as the core sees it: a target for sent and posted messages. The Qt main
// window and the headless front end implement it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "module/LogRecord.h"
#include "platform/WinTypes.h"

class IMainWindow {
public:
    virtual ~IMainWindow() = default;

    // Any thread. Handles the message on the GUI thread and returns its result; the caller
    // waits. On the GUI thread itself it is a direct call. UM_APPEND_LOG is handled on the
    // caller's thread against a thread-safe log (it is sent for every relayed block). After
    // the window is destroyed nothing is delivered and the result is 0.
    virtual LRESULT SendMessage(UINT nMsg, WPARAM wParam, LPARAM lParam) = 0;

    // Any thread. Queues the message for the GUI thread; never blocks. False when the
    // window is gone (the message is not delivered).
    virtual bool PostMessage(UINT nMsg, WPARAM wParam, LPARAM lParam) = 0;

    // Any thread. Whether the window exists (not yet destroyed).
    virtual bool IsWindow() const = 0;
};

// The payload of UM_APPEND_LOG: a text, or the bytes of a relayed block, which the log
// shows as win::BlockText does (each sink converts them the way that suits it best), or
// with bUtf8 a text in UTF-8 in `bytes` (a marker line), or, when pRecord is set, a record
// of what happened to a session (no text).
struct CLogText {
    std::wstring_view text;
    std::string_view bytes;
    bool bBytes = false;
    bool bUtf8 = false;
    const CLogRecord* pRecord = nullptr;
};

class ILogSink;

// The sender's thread. Hands the payload of a UM_APPEND_LOG to `sink`: the message of every
// relayed block, appended on the sender's thread (which holds the module lock, so appends
// keep their order and never wait for the GUI thread). Returns the message's result, 1.
LRESULT AppendLogMessage(ILogSink& sink, WPARAM wParam, LPARAM lParam);

// Where the traffic log's text goes. Appends come from any thread, under the module lock,
// in the order they must show.
class ILogSink {
public:
    virtual ~ILogSink() = default;
    // Style 0 keeps the current format, 1 bold, 2 (or any other) plain.
    virtual void AppendLog(std::wstring_view text, int nStyle) = 0;
    // The bytes of a block: every byte visible, a zero byte as U+2400. The relay hands
    // blocks over as bytes; a sink makes their text where it costs the relay nothing.
    virtual void AppendLogBytes(std::string_view bytes, int nStyle);
    // A record of a block or of a session's start or end, in log order next to the text;
    // sinks that keep no records ignore it.
    virtual void OnLogRecord(const CLogRecord& record);
    // A text in UTF-8, such as a marker line.
    virtual void AppendLogUtf8(std::string_view text, int nStyle);
};
