#include "capture/HttpContentLength.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <vector>

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char p, char t) {
               return std::tolower(static_cast<unsigned char>(t)) == p;
           });
}

// "GET /x HTTP/1.1": a token, a space, a target, a space and the version.
bool IsRequestLine(std::string_view line) {
    const std::size_t nSpace = line.find(' ');
    if (nSpace == 0 || nSpace == std::string_view::npos) {
        return false;
    }
    for (std::size_t i = 0; i < nSpace; ++i) {
        if (!std::isupper(static_cast<unsigned char>(line[i])) && line[i] != '-') {
            return false;
        }
    }
    const std::size_t nLast = line.rfind(' ');
    return nLast > nSpace && line.substr(nLast + 1).starts_with("HTTP/");
}

}  // namespace

bool FixContentLength(std::string& request) {
    // The header ends at the first empty line, in CR LF or bare LF.
    std::size_t nHeaderEnd = request.find("\r\n\r\n");
    std::size_t nBlank = 4;
    const std::size_t nLf = request.find("\n\n");
    if (nLf != std::string::npos && (nHeaderEnd == std::string::npos || nLf < nHeaderEnd)) {
        nHeaderEnd = nLf;
        nBlank = 2;
    }
    if (nHeaderEnd == std::string::npos) {
        return false;
    }
    const std::string_view eol = nBlank == 4 ? "\r\n" : "\n";
    // The lines of the header, each without its line end: [start, end).
    std::vector<std::pair<std::size_t, std::size_t>> lines;
    for (std::size_t nPos = 0; nPos <= nHeaderEnd;) {
        std::size_t nEnd = request.find('\n', nPos);
        if (nEnd == std::string::npos || nEnd > nHeaderEnd + eol.size() - 1) {
            nEnd = nHeaderEnd + (eol.size() - 1);
        }
        std::size_t nTextEnd = nEnd;
        if (nTextEnd > nPos && request[nTextEnd - 1] == '\r') {
            --nTextEnd;
        }
        lines.emplace_back(nPos, nTextEnd);
        nPos = nEnd + 1;
    }
    const auto text = [&request](const std::pair<std::size_t, std::size_t>& l) {
        return std::string_view(request).substr(l.first, l.second - l.first);
    };
    if (lines.empty() || !IsRequestLine(text(lines[0]))) {
        return false;
    }
    std::vector<std::size_t> lengthLines;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = text(lines[i]);
        if (StartsWithNoCase(line, "transfer-encoding:")) {
            return false;  // the body says its own length
        }
        if (StartsWithNoCase(line, "content-length:")) {
            lengthLines.push_back(i);
        }
    }
    const std::size_t nBody = request.size() - (nHeaderEnd + nBlank);
    const std::string strValue = std::to_string(nBody);
    const std::string original = request;
    if (lengthLines.empty()) {
        if (nBody == 0) {
            return false;
        }
        // Before the empty line: after the last header line's end.
        const std::size_t nAt = nHeaderEnd + eol.size();
        request.insert(nAt, "Content-Length: " + strValue + std::string(eol));
        return true;
    }
    // From the back, so that the earlier positions stay valid: the extra headers go, the
    // first one gets the length (its name kept as it was written).
    for (std::size_t k = lengthLines.size(); k-- > 1;) {
        const auto& l = lines[lengthLines[k]];
        std::size_t nEnd = l.second;
        while (nEnd < request.size() && request[nEnd] != '\n') {
            ++nEnd;
        }
        request.erase(l.first, nEnd + 1 - l.first);
    }
    const auto& first = lines[lengthLines[0]];
    const std::size_t nColon = request.find(':', first.first);
    request.replace(nColon + 1, first.second - nColon - 1, " " + strValue);
    return request != original;
}
