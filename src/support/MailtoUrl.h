// mailto: URLs (RFC 6068) whose subject and body arrive as they were written.
#pragma once

#include <string>
#include <string_view>

// Percent-encodes the UTF-8 form of `text` for a mailto header value: every byte but the
// unreserved characters (letters, digits, "-", ".", "_", "~") becomes %XX. Every line break
// (CR LF, a lone CR or a lone LF) becomes %0D%0A, as mail wants it.
std::string PercentEncodeMailField(std::wstring_view text);

// "mailto:<address>?subject=<subject>&body=<body>", the address kept as it is but for
// characters a URL cannot hold, subject and body encoded as above.
std::string BuildMailtoUrl(std::string_view address, std::wstring_view subject,
                           std::wstring_view body);
