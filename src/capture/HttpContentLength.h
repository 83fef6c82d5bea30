// Sets the Content-Length of an edited HTTP request to the length of its body.
#pragma once

#include <string>

// `request` is one HTTP request: a request line, header lines, an empty line and the body,
// which runs to the end. Sets the first Content-Length header to the body's length and
// drops any further ones; adds one before the empty line when there is a body but no such
// header. A request that is chunked (Transfer-Encoding), or that is no request, is left
// alone. Returns whether it changed.
bool FixContentLength(std::string& request);
