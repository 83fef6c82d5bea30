// A curl command line for a POSIX shell that sends a recorded HTTP request again as it was
// sent: its method, target, HTTP version, header fields in their order and its body, every
// argument shell-quoted. Fields that curl would add on its own are switched off when the
// request had none; Content-Length is left to curl (it counts the same body). A body with
// zero bytes or one too long for an argument comes through printf on the standard input.
//
// Threads: any thread; no state.
#pragma once

#include <string>
#include <string_view>

#include "export/HarEntry.h"
#include "export/HttpStream.h"

// `s` in single quotes, each ' in it written as '\''.
std::string ShellQuote(std::string_view s);

std::string CurlCommand(const CHttpMessage& request, const CHarSession& session);
