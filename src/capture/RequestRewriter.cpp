#include "capture/RequestRewriter.h"

#include <algorithm>
#include <vector>

#include "capture/UrlParser.h"
#include "net/SocketAddress.h"
#include "platform/AsciiText.h"
#include "platform/TextConv.h"

namespace {

constexpr std::string_view kHost = "Host: ";
constexpr std::string_view kReferer = "Referer: ";
constexpr std::string_view kLocalhost = "localhost";
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

// The URL as header text: its line breaks and zero characters would end the header line
// early, so they are left out. An IPv6 address typed without brackets gets them, as a host
// in HTTP must have them ("::1" gives "[::1]", "http://::1" gives "http://[::1]").
// An https:// URL gives its host alone ("https://api.example.org/x" gives "api.example.org").
std::string HeaderValue(const std::wstring& strUrl) {
    std::string value = win::WideToAnsi(strUrl);
    std::erase_if(value, [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
    std::size_t nScheme = value.find("://");
    if (nScheme == 5 && FindLastNoCase(std::string_view(value).substr(0, 5), "https") == 0) {
        // A TLS server: the Host line names it as the TLS server name does, without the
        // scheme and the path.
        value = value.substr(8, value.find('/', 8) - 8);
        nScheme = std::string::npos;
    }
    const std::size_t nHost = nScheme == std::string::npos ? 0 : nScheme + 3;
    if (IsBareIpv6Literal(std::string_view(value).substr(nHost))) {
        value.insert(nHost, 1, '[');
        value += ']';
    }
    return value;
}

}  // namespace

namespace {

// Compiled once for the process: every session (and every accept thread's vessel) makes a
// rewriter, and its copies share the compiled program.
const CRegMatcher& RefererPattern() {
    static const CRegMatcher s_re(std::wstring_view(L"^(.*)(localhost)(.*)"), true);
    return s_re;
}

const CRegMatcher& RequestPattern() {
    static const CRegMatcher s_re(std::wstring_view(L"^(GET|POST) (.*) HTTP/.*"), true);
    return s_re;
}

}  // namespace

CRequestRewriter::CRequestRewriter()
    : m_reReferer(RefererPattern()), m_reRequest(RequestPattern()) {}

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
        }
        if (nLf == std::string_view::npos) {
            // The line goes on in the next block.
            out.append(part);
            const std::size_t nRoom = kMaxCarry - m_strCarry.size();
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
            }
            break;
        case State::Headers:
            if (text.empty()) {
                out.append(line);
                EndOfHeaders();
                break;
            }
            if (bStartsHere && bReplaceHost) {
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
    if (EqualsNoCase(name, "content-length")) {
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
    if (line.starts_with(kHost)) {
        return std::string(kHost) + HeaderValue(handler.GetUrl()) + "\r\n";
    }
    if (!line.starts_with(kReferer)) {
        return std::nullopt;
    }
    if (!m_reReferer.Match(std::wstring_view(win::AnsiToWide(line))) ||
        m_reReferer.GetSubCount() != 3) {
        return std::nullopt;
    }
    // The pattern's greedy first group puts the last "localhost" into group 2. The word is
    // ASCII, which the text conversion maps one to one, so it sits at the last place of
    // the bytes too; the bytes around it stay as they are.
    const std::size_t nPos = FindLastNoCase(line, kLocalhost);
    if (nPos == std::string_view::npos) {
        return std::nullopt;
    }
    std::string result(line.substr(0, nPos));
    result += HeaderValue(handler.GetUrl());
    result += line.substr(nPos + kLocalhost.size());
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
