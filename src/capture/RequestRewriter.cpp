#include "capture/RequestRewriter.h"

#include <algorithm>
#include <vector>

#include "capture/ServerUrl.h"
#include "capture/UrlParser.h"
#include "platform/AsciiText.h"
#include "platform/TextConv.h"

namespace {

// The header lines that are rewritten, by their names in lower case.
constexpr std::string_view kHost = "host";
constexpr std::string_view kReferer = "referer";
constexpr std::string_view kOrigin = "origin";
constexpr std::string_view kRewrittenHeaders[] = {kHost, kReferer, kOrigin};
constexpr std::wstring_view kDefaultPage = L"DefaultPage.txt";

// Position of the last `word` in `text`, ASCII letters in any case.
std::size_t FindLastNoCase(std::string_view text, std::string_view word) {
    for (std::size_t i = text.size() >= word.size() ? text.size() - word.size() + 1 : 0; i > 0;
         --i) {
        if (EqualsNoCase(text.substr(i - 1, word.size()), word)) {
            return i - 1;
        }
    }
    return std::string_view::npos;
}

// The line without its line end (the LF and any CRs before it).
std::string_view LineText(std::string_view line) {
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
    }
    while (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

struct CUrlParts {
    std::string_view scheme;
    std::string_view authority;
    std::string_view rest;  // the path, query and fragment
};

// "scheme://authority/rest"; nothing for a value that is no such URL ("null" of an Origin).
std::optional<CUrlParts> SplitUrl(std::string_view value) {
    const std::size_t nScheme = value.find("://");
    if (nScheme == 0 || nScheme == std::string_view::npos ||
        value.substr(0, nScheme).find_first_of(" /?#") != std::string_view::npos) {
        return std::nullopt;
    }
    CUrlParts parts;
    parts.scheme = value.substr(0, nScheme);
    const std::string_view after = value.substr(nScheme + 3);
    const std::size_t nEnd = std::min(after.find_first_of("/?#"), after.size());
    parts.authority = after.substr(0, nEnd);
    parts.rest = after.substr(nEnd);
    return parts;
}

// The host of an authority ("user@host:port"), brackets of an IPv6 address included.
std::string_view AuthorityHost(std::string_view authority) {
    if (const std::size_t nAt = authority.rfind('@'); nAt != std::string_view::npos) {
        authority.remove_prefix(nAt + 1);
    }
    if (authority.starts_with('[')) {
        return authority.substr(0, authority.find(']') + 1);
    }
    return authority.substr(0, authority.find(':'));
}

// Whether a Referer's or Origin's authority names the machine that the client reached this
// program on: localhost (and names below it), a loopback address, or the host that the
// request's Host line named.
bool NamesThisMachine(std::string_view authority, std::string_view clientHost) {
    const std::string_view host = AuthorityHost(authority);
    if (host.empty()) {
        return false;
    }
    if (EqualsNoCase(host, "localhost") || EqualsNoCase(host, "[::1]") ||
        (host.size() > 10 && EqualsNoCase(host.substr(host.size() - 10), ".localhost"))) {
        return true;
    }
    if (host.starts_with("127.") && std::all_of(host.begin(), host.end(), [](char c) {
            return c == '.' || (c >= '0' && c <= '9');
        })) {
        return true;
    }
    return !clientHost.empty() && EqualsNoCase(host, AuthorityHost(clientHost));
}

bool IsTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// A method, a blank, a target and " HTTP/" after it (the version's case not minded, as the
// request pattern does not mind it).
bool IsRequestLine(std::string_view text) {
    const std::size_t nBlank = text.find(' ');
    if (nBlank == 0 || nBlank == std::string_view::npos ||
        !std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(nBlank),
                     IsTokenChar)) {
        return false;
    }
    const std::size_t nVersion = FindLastNoCase(text, " HTTP/");
    return nVersion != std::string_view::npos && nVersion > nBlank;
}

}  // namespace

namespace {

// Compiled once for the process: every session (and every accept thread's vessel) makes a
// rewriter, and its copies share the compiled program.
const CRegMatcher& RequestPattern() {
    static const CRegMatcher s_re(std::wstring_view(L"^(GET|POST) (.*) HTTP/.*"), true);
    return s_re;
}

}  // namespace

CRequestRewriter::CRequestRewriter() : m_reRequest(RequestPattern()) {}

CTunnelWatch::Request CRequestRewriter::TakeSwitchRequest() {
    const CTunnelWatch::Request kind = m_switchRequest;
    m_switchRequest = CTunnelWatch::Request::None;
    return kind;
}

void CRequestRewriter::Restart() {
    m_requestKind = CTunnelWatch::Request::None;
    m_state = State::Start;
    m_nLeft = 0;
    m_nContentLength.reset();
    m_bBadLength = false;
    m_bChunked = false;
    m_strCarry.clear();
    m_bInLine = false;
    m_bCarryCut = false;
    m_bHeld = false;
    m_bPassHeaders = false;
    m_strClientHost.clear();
}

void CRequestRewriter::Flush(std::string& out) {
    if (!m_bHeld) {
        return;
    }
    out += m_strCarry;
    m_bHeld = false;
    if (m_strCarry.size() > kMaxCarry) {
        m_strCarry.resize(kMaxCarry);
        m_bCarryCut = true;
    }
}

bool CRequestRewriter::MayHold(std::string_view start, bool bReplaceHost) const {
    if (!bReplaceHost || m_bPassHeaders || m_state != State::Headers) {
        return false;
    }
    const std::size_t nColon = start.find(':');
    const std::string_view name = start.substr(0, nColon);
    for (const std::string_view header : kRewrittenHeaders) {
        if (nColon == std::string_view::npos
                ? name.size() <= header.size() && EqualsNoCase(header.substr(0, name.size()), name)
                : EqualsNoCase(name, header)) {
            return true;
        }
    }
    return false;
}

void CRequestRewriter::Feed(std::string_view block, bool bReplaceHost, bool bSaveResponse,
                            IRequestHandler& handler, std::string& out) {
    std::size_t nPos = 0;
    while (nPos < block.size()) {
        if (m_state == State::Body || m_state == State::ChunkData) {
            // Body bytes are counted, not looked at.
            const std::size_t nTake =
                static_cast<std::size_t>(std::min<std::uint64_t>(m_nLeft, block.size() - nPos));
            out.append(block.substr(nPos, nTake));
            nPos += nTake;
            m_nLeft -= nTake;
            if (m_nLeft == 0) {
                m_state = m_state == State::Body ? State::Start : State::ChunkEnd;
            }
            continue;
        }
        const std::size_t nLf = block.find('\n', nPos);
        const std::size_t nEnd = nLf == std::string_view::npos ? block.size() : nLf + 1;
        const std::string_view part = block.substr(nPos, nEnd - nPos);
        nPos = nEnd;
        const bool bStartsHere = !m_bInLine;
        if (bStartsHere) {
            m_strCarry.clear();
            m_bCarryCut = false;
            m_bHeld = MayHold(part, bReplaceHost);
        }
        if (m_bHeld) {
            // A header line that may be rewritten: held back until its end, as long as it
            // may still be one and is not too long.
            const std::size_t nWhole = m_strCarry.size() + part.size();
            if (nWhole <= kMaxHeldLine) {
                m_strCarry.append(part);
                if (nLf != std::string_view::npos) {
                    m_bHeld = false;
                    m_bInLine = false;
                    const std::string whole = std::move(m_strCarry);
                    m_strCarry.clear();
                    OnWholeLine(whole, whole, true, bReplaceHost, bSaveResponse, handler, out);
                    continue;
                }
                if (MayHold(m_strCarry, bReplaceHost)) {
                    m_bInLine = true;
                    break;
                }
                m_strCarry.resize(m_strCarry.size() - part.size());
            } else {
                // No header line of a real request is this long; it is not worth more memory.
                m_bPassHeaders = true;
                handler.OnHeaderLineTooLong(nWhole);
            }
            Flush(out);  // then followed as a line that was cut
        }
        if (nLf == std::string_view::npos) {
            // The line goes on in the next block.
            out.append(part);
            const std::size_t nRoom = kMaxCarry - std::min(kMaxCarry, m_strCarry.size());
            m_strCarry.append(part.substr(0, std::min(nRoom, part.size())));
            m_bCarryCut = m_bCarryCut || part.size() > nRoom;
            m_bInLine = true;
            break;
        }
        if (bStartsHere) {
            OnWholeLine(part, part, true, bReplaceHost, bSaveResponse, handler, out);
            continue;
        }
        m_bInLine = false;
        if (!m_bCarryCut && part.size() <= kMaxCarry - m_strCarry.size()) {
            m_strCarry.append(part);
            OnWholeLine(part, m_strCarry, false, bReplaceHost, bSaveResponse, handler, out);
        } else {
            // Too long to follow: a line with some text, that is all that is known.
            out.append(part);
            if (m_state == State::Start || m_state == State::ChunkEnd ||
                m_state == State::ChunkSize) {
                m_state = State::Start;
            }
        }
    }
}

void CRequestRewriter::OnWholeLine(std::string_view line, std::string_view whole, bool bStartsHere,
                                   bool bReplaceHost, bool bSaveResponse, IRequestHandler& handler,
                                   std::string& out) {
    const std::string_view text = LineText(whole);
    switch (m_state) {
        case State::Start:
            out.append(line);
            if (IsRequestLine(text)) {
                handler.OnRequestLine(text.substr(0, text.find(' ')));
                if (bSaveResponse) {
                    if (std::optional<std::wstring> target = RequestTarget(whole)) {
                        handler.OnRequestTarget(*target);
                    }
                }
                m_state = State::Headers;
                m_requestKind = text.starts_with("CONNECT ") ? CTunnelWatch::Request::Connect
                                                             : CTunnelWatch::Request::None;
                m_nContentLength.reset();
                m_bBadLength = false;
                m_bChunked = false;
                m_bPassHeaders = false;
                m_strClientHost.clear();
            }
            break;
        case State::Headers:
            if (text.empty()) {
                out.append(line);
                EndOfHeaders();
                break;
            }
            if (bStartsHere && bReplaceHost && !m_bPassHeaders) {
                if (std::optional<std::string> rewritten = RewriteHeader(line, handler)) {
                    out += *rewritten;
                } else {
                    out.append(line);
                }
            } else {
                out.append(line);
            }
            OnHeaderLine(text);
            break;
        case State::ChunkSize: {
            out.append(line);
            // The size in hex, perhaps followed by extensions after ';'.
            const std::string_view digits = TrimBlanks(text.substr(0, text.find(';')));
            const std::optional<std::uint64_t> nSize = ParseNumber(digits, true);
            if (!nSize) {
                m_state = State::Start;  // not chunks after all: lost track of this body
            } else if (*nSize == 0) {
                m_state = State::Trailers;
            } else {
                m_nLeft = *nSize;
                m_state = State::ChunkData;
            }
            break;
        }
        case State::ChunkEnd:
            out.append(line);
            m_state = text.empty() ? State::ChunkSize : State::Start;
            break;
        case State::Trailers:
            out.append(line);
            if (text.empty()) {
                m_state = State::Start;
            }
            break;
        case State::Body:
        case State::ChunkData:
            out.append(line);  // counted in Feed, never here
            break;
    }
}

void CRequestRewriter::OnHeaderLine(std::string_view text) {
    const std::size_t nColon = text.find(':');
    if (nColon == std::string_view::npos) {
        return;
    }
    const std::string_view name = text.substr(0, nColon);
    const std::string_view value = TrimBlanks(text.substr(nColon + 1));
    if (EqualsNoCase(name, kHost)) {
        m_strClientHost = value;
    } else if (EqualsNoCase(name, "content-length")) {
        const std::optional<std::uint64_t> n = ParseNumber(value, false);
        if (!n || (m_nContentLength && *m_nContentLength != *n)) {
            m_bBadLength = true;
        }
        m_nContentLength = n;
    } else if (EqualsNoCase(name, "upgrade")) {
        if (m_requestKind == CTunnelWatch::Request::None && !value.empty()) {
            m_requestKind = CTunnelWatch::Request::Upgrade;
        }
    } else if (EqualsNoCase(name, "transfer-encoding")) {
        std::string lower(value);
        std::transform(lower.begin(), lower.end(), lower.begin(), LowerAscii);
        m_bChunked = lower.find("chunked") != std::string::npos;
        m_bBadLength = m_bBadLength || !m_bChunked;
    }
}

void CRequestRewriter::EndOfHeaders() {
    if (m_requestKind != CTunnelWatch::Request::None) {
        m_switchRequest = m_requestKind;
        m_requestKind = CTunnelWatch::Request::None;
    }
    if (m_bChunked) {
        m_state = State::ChunkSize;
    } else if (!m_bBadLength && m_nContentLength && *m_nContentLength > 0) {
        m_nLeft = *m_nContentLength;
        m_state = State::Body;
    } else {
        // No body, or one whose end cannot be known: what follows is looked at as the
        // start of the next request.
        m_state = State::Start;
    }
}

std::optional<std::string> CRequestRewriter::RewriteHeader(std::string_view line,
                                                           IRequestHandler& handler) {
    const std::size_t nColon = line.find(':');
    if (nColon == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view name = line.substr(0, nColon);
    const bool bHost = EqualsNoCase(name, kHost);
    if (!bHost && !EqualsNoCase(name, kReferer) && !EqualsNoCase(name, kOrigin)) {
        return std::nullopt;
    }
    const std::string_view value = TrimBlanks(LineText(line.substr(nColon + 1)));
    std::optional<CUrlParts> where;
    if (!bHost) {
        // scheme "://" authority [path]: only the authority changes, and only when it names
        // this machine (as the client reached it), not some other site.
        where = SplitUrl(value);
        if (!where || !NamesThisMachine(where->authority, m_strClientHost)) {
            return std::nullopt;
        }
    }
    const std::optional<CServerUrl> server = ParseServerUrl(handler.GetUrl());
    if (!server) {
        return std::nullopt;  // no host to name
    }
    int nPort = handler.GetRemotePort();
    if (nPort <= 0) {
        nPort = server->nPort > 0 ? server->nPort : DefaultPortOfScheme(server->strScheme);
    }
    std::string result(name);
    result += ": ";
    if (bHost) {
        result += HostHeaderValue(server->strHost, nPort, server->strScheme);
    } else {
        result += where->scheme;
        result += "://";
        result += HostHeaderValue(server->strHost, nPort, win::AnsiToWide(where->scheme));
        result += where->rest;
    }
    result += "\r\n";
    return result;
}

std::optional<std::wstring> CRequestRewriter::RequestTarget(std::string_view line) {
    // Only a line that begins with the method and a blank can match; the others are not
    // converted at all.
    const bool bCandidate = (line.size() > 4 && EqualsNoCase(line.substr(0, 4), "GET ")) ||
                            (line.size() > 5 && EqualsNoCase(line.substr(0, 5), "POST "));
    if (!bCandidate) {
        return std::nullopt;
    }
    if (!m_reRequest.Match(std::wstring_view(win::AnsiToWide(line))) ||
        m_reRequest.GetSubCount() != 2) {
        return std::nullopt;
    }
    return m_reRequest.GetSubString(2);
}

std::optional<std::wstring> ResponseFilePath(std::wstring_view strDataFolder,
                                             std::wstring_view strHost,
                                             std::wstring_view strTarget) {
    if (strTarget.empty()) {
        return std::nullopt;
    }
    CUrlParser url;
    if (!url.Parse(L"http://" + std::wstring(strTarget)) || url.GetPath().empty()) {
        return std::nullopt;
    }
    const std::wstring_view path = url.GetPath();

    // The path's segments, those that would leave the folder (or mean nothing) dropped.
    std::wstring strRelative;
    std::wstring_view last;
    for (std::size_t nStart = 0; nStart <= path.size();) {
        const std::size_t nSlash = std::min(path.find(L'/', nStart), path.size());
        last = path.substr(nStart, nSlash - nStart);
        if (!last.empty() && last != L"." && last != L"..") {
            if (!strRelative.empty()) {
                strRelative += L'/';
            }
            strRelative += last;
        }
        nStart = nSlash + 1;
    }
    if (last.empty() || last == L"." || last == L"..") {
        // The target names a folder.
        if (!strRelative.empty()) {
            strRelative += L'/';
        }
        strRelative += kDefaultPage;
    }

    std::wstring strHostFolder(strHost);
    std::replace(strHostFolder.begin(), strHostFolder.end(), L'/', L'_');
    if (std::all_of(strHostFolder.begin(), strHostFolder.end(),
                    [](wchar_t c) { return c == L'.'; })) {
        std::replace(strHostFolder.begin(), strHostFolder.end(), L'.', L'_');
    }

    std::wstring strPath(strDataFolder);
    if (!strPath.empty() && strPath.back() != L'/') {
        strPath += L'/';
    }
    if (!strHostFolder.empty()) {
        strPath += strHostFolder;
        strPath += L'/';
    }
    strPath += strRelative;
    // A zero character would end the name early (and could leave "..").
    std::replace(strPath.begin(), strPath.end(), L'\0', L'_');
    return strPath;
}

bool IsTargetTooLong(std::wstring_view strTarget) {
    return strTarget.size() > CUrlParser::kMaxPath;
}
