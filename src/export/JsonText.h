// Small pieces of JSON output: strings (from bytes that may not be UTF-8), base64 and the
// UTC time stamps of ISO 8601.
//
// Threads: any thread; no state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace jsontext {

// Whether `bytes` is well-formed UTF-8 (no overlong forms, no surrogates).
bool IsUtf8(std::string_view bytes);
// Appends `bytes` as a quoted JSON string; bytes that are not UTF-8 become U+FFFD.
void AppendString(std::string& out, std::string_view bytes);
// Appends the base64 form of `bytes` (with padding, no line breaks).
void AppendBase64(std::string& out, std::string_view bytes);
// Microseconds since 1970 as "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string IsoTime(std::int64_t nTimeUs);
// Microseconds as milliseconds with three decimals ("12.345"); -1 stays "-1".
std::string Milliseconds(std::int64_t nUs);

}  // namespace jsontext
