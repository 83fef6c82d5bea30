// Byte sequences at the edges of UTF-8 validity, for the conversion's tests: the smallest
// and largest second byte of each lead, overlong forms, surrogates, values past U+10FFFF,
// leads cut short, lone continuation and lead bytes, a zero byte, and line breaks inside
// and after sequences.
#pragma once

#include <string_view>

namespace test {

inline constexpr std::string_view kUtf8EdgeSequences[] = {
    "\xC2\x80",
    "\xDF\xBF",
    "\xC1\xBF",
    "\xC0\x80",
    "\xE0\xA0\x80",
    "\xE0\x9F\xBF",
    "\xED\x9F\xBF",
    "\xED\xA0\x80",
    "\xEF\xBF\xBF",
    "\xF0\x90\x80\x80",
    "\xF0\x8F\xBF\xBF",
    "\xF4\x8F\xBF\xBF",
    "\xF4\x90\x80\x80",
    "\xF5\x80\x80\x80",
    "\xE2\x82",
    "\xF0\x9F\x98",
    "\xC3",
    "\x80",
    "\x9F",
    "\xA0",
    "\xBF",
    "\xC0",
    "\xFF",
    std::string_view("\0", 1),
    "\r\n",
    "\n",
    "\xC3\r",
    "\xE2\x82\n",
    "plain text ",
};

}  // namespace test
