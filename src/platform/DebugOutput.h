// The debugger output channel.
//
// Off unless the environment variable TAPVANE_DEBUG_OUTPUT names a sink when the program
// starts: "stderr" (or "-") for the standard error, anything else is a file that is
// appended to. While it is off, a call costs one relaxed load.
#pragma once

#include <string_view>

namespace win {

void OutputDebugStringW(std::wstring_view text);
void OutputDebugStringA(std::string_view text);

// Whether the channel is on (read once, at the first call).
bool IsDebugOutputOn();

// For tests: send the channel to `path` ("stderr", a file, or empty to switch it off).
void SetDebugOutputTarget(std::string_view path);

}  // namespace win
