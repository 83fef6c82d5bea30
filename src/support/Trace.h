// The diagnostic trace: one time-stamped line per call, to the standard output and the
// debugger output. Any thread; never raises.
#pragma once

#include <cstdio>
#include <span>
#include <string_view>

#include "platform/WinFormat.h"

void TraceV(std::wstring_view fmt, std::span<const win::CFormatArg> args);

template <class... A>
void Trace(std::wstring_view fmt, const A&... args) {
    const win::CFormatArg a[] = {win::CFormatArg(args)..., win::CFormatArg(0)};
    TraceV(fmt, std::span<const win::CFormatArg>(a, sizeof...(A)));
}

// Where trace lines go: the standard output unless a front end chooses another stream
// (the headless front end keeps its standard output for the traffic log).
void SetTraceOutput(std::FILE* pOut);

// Any thread. Whether the front end calls FlushTrace at least every 100 ms or so (off by
// default: each line is flushed as it is written). While on, a stream that is not a
// terminal gets its lines in blocks, flushed by a line at most every 100 ms and by
// FlushTrace, so that the last lines do not wait for the next.
void SetTraceFlushedByCaller(bool bOn);
// Any thread. Writes out the lines the stream still holds.
void FlushTrace();

// Whether trace lines go to that stream at all (on by default); the debugger output gets
// them either way. The command-line relay shows them only when asked to.
void SetTraceStreamOn(bool bOn);
// Any thread. Whether a trace line is read by anyone: a caller whose arguments cost
// something to make (an address as text, on every connection) asks first.
bool IsTraceWanted();
