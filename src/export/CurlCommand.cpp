#include "export/CurlCommand.h"

#include <algorithm>
#include <vector>

namespace {

// Bodies up to this size go into an argument (the kernel takes 128 KiB per argument).
constexpr std::size_t kMaxArgumentBody = 64 * 1024;

bool SameNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
           });
}

// A printf format that prints `bytes` as they are: % and \ doubled, every byte that is not
// printable ASCII as an octal escape.
std::string PrintfFormat(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '%') {
            out.append("%%");
        } else if (c == '\\') {
            out.append("\\\\");
        } else if (b >= 0x20 && b < 0x7F) {
            out.push_back(c);
        } else {
            const char sz[5] = {'\\', static_cast<char>('0' + (b >> 6)),
                                static_cast<char>('0' + ((b >> 3) & 7)),
                                static_cast<char>('0' + (b & 7)), 0};
            out.append(sz);
        }
    }
    return out;
}

}  // namespace

std::string ShellQuote(std::string_view s) {
    std::string out = "'";
    for (const char c : s) {
        if (c == '\'') {
            out.append("'\\''");
        } else {
            out.push_back(c);
        }
    }
    out.push_back('\'');
    return out;
}

std::string CurlCommand(const CHttpMessage& request, const CHarSession& session) {
    std::vector<std::string> args = {"curl"};
    args.push_back(request.strVersion == "HTTP/1.0" ? "--http1.0" : "--http1.1");
    // The target goes as it is: no "/../" squeezed out, no [] or {} taken for patterns.
    args.push_back("--path-as-is");
    args.push_back("--globoff");
    const bool bBody = request.nBodyLength > 0;
    if (request.strMethod == "HEAD") {
        args.push_back("--head");
    } else if (request.strMethod != (bBody ? "POST" : "GET")) {
        args.push_back("--request");
        args.push_back(ShellQuote(request.strMethod));
    }
    bool bHas[5] = {};
    static constexpr std::string_view kOwn[5] = {"Host", "User-Agent", "Accept", "Content-Type",
                                                 "Expect"};
    for (const CHttpField& f : request.fields) {
        for (std::size_t i = 0; i < std::size(kOwn); ++i) {
            bHas[i] = bHas[i] || SameNoCase(f.strName, kOwn[i]);
        }
        if (SameNoCase(f.strName, "Content-Length")) {
            continue;  // curl counts the body it sends
        }
        args.push_back("--header");
        // "Name;" is curl's way of sending a field with an empty value.
        args.push_back(
            ShellQuote(f.strValue.empty() ? f.strName + ";" : f.strName + ": " + f.strValue));
    }
    for (std::size_t i = 0; i < std::size(kOwn); ++i) {
        // A field that curl would add by itself, which the request did not have.
        if (!bHas[i] && (i != 3 || bBody)) {
            args.push_back("--header");
            args.push_back(ShellQuote(std::string(kOwn[i]) + ":"));
        }
    }
    std::string strPrefix;
    if (bBody) {
        args.push_back("--data-binary");
        const std::string_view body = request.strBody;
        if (body.size() <= kMaxArgumentBody && body.find('\0') == std::string_view::npos) {
            args.push_back(ShellQuote(body));
        } else {
            // printf is built into the shell: no limit on its argument's length.
            strPrefix = "printf " + ShellQuote(PrintfFormat(body)) + " | ";
            args.push_back("@-");
        }
    }
    args.push_back(ShellQuote(RequestUrl(request, session)));
    std::string out;
    if (request.bBodyCut) {
        out = "# Only the first " + std::to_string(request.strBody.size()) + " of " +
              std::to_string(request.nBodyLength) + " body bytes were kept.\n";
    }
    out += strPrefix;
    for (std::size_t i = 0; i < args.size(); ++i) {
        out += i == 0 ? "" : " ";
        out += args[i];
    }
    return out;
}
