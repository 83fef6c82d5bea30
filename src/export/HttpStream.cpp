#include "export/HttpStream.h"

#include <algorithm>
#include <charconv>

namespace {

constexpr std::size_t kClient = 0;
constexpr std::size_t kServer = 1;

bool IsTokenChar(char c) {
    if (c >= 'a' && c <= 'z') {
        return true;
    }
    if (c >= 'A' && c <= 'Z') {
        return true;
    }
    if (c >= '0' && c <= '9') {
        return true;
    }
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
           });
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

// Whether the head so far can still begin a request (a token, a blank) or a status line.
bool PlausibleStart(std::size_t nSide, std::string_view head) {
    if (nSide == kServer) {
        constexpr std::string_view kHttp = "HTTP/";
        const std::size_t n = std::min(head.size(), kHttp.size());
        return head.substr(0, n) == kHttp.substr(0, n);
    }
    for (const char c : head) {
        if (c == ' ') {
            return true;
        }
        if (!IsTokenChar(c)) {
            return false;
        }
    }
    return true;
}

bool ParseStartLine(std::size_t nSide, std::string_view line, CHttpMessage& m) {
    const std::size_t nSpace = line.find(' ');
    if (nSpace == std::string_view::npos) {
        return false;
    }
    if (nSide == kClient) {
        const std::size_t nLast = line.rfind(' ');
        if (nLast == nSpace) {
            return false;
        }
        m.strMethod = line.substr(0, nSpace);
        m.strTarget = Trim(line.substr(nSpace + 1, nLast - nSpace - 1));
        m.strVersion = line.substr(nLast + 1);
        return !m.strMethod.empty() && !m.strTarget.empty() && m.strVersion.starts_with("HTTP/");
    }
    m.strVersion = line.substr(0, nSpace);
    std::string_view rest = line.substr(nSpace + 1);
    if (rest.size() < 3 ||
        std::from_chars(rest.data(), rest.data() + 3, m.nStatus).ec != std::errc{}) {
        return false;
    }
    rest.remove_prefix(3);
    if (!rest.empty() && rest.front() != ' ') {
        return false;
    }
    m.strReason = Trim(rest);
    return m.strVersion.starts_with("HTTP/") && m.nStatus >= 100 && m.nStatus <= 999;
}

// Whether the last transfer coding named is chunked.
bool IsChunked(const CHttpMessage& m) {
    bool bChunked = false;
    for (const CHttpField& f : m.fields) {
        if (EqualsNoCase(f.strName, "Transfer-Encoding")) {
            std::string_view v = Trim(f.strValue);
            const std::size_t nComma = v.rfind(',');
            if (nComma != std::string_view::npos) {
                v = Trim(v.substr(nComma + 1));
            }
            bChunked = EqualsNoCase(v, "chunked");
        }
    }
    return bChunked;
}

// The Content-Length, or -1 when there is none that reads as a number.
std::int64_t ContentLength(const CHttpMessage& m) {
    const std::string* p = m.Field("Content-Length");
    if (p == nullptr) {
        return -1;
    }
    const std::string_view v = Trim(*p);
    std::uint64_t n = 0;
    const auto r = std::from_chars(v.data(), v.data() + v.size(), n);
    if (r.ec != std::errc{} || r.ptr != v.data() + v.size() || n > (std::uint64_t{1} << 62)) {
        return -1;
    }
    return static_cast<std::int64_t>(n);
}

}  // namespace

const std::string* CHttpMessage::Field(std::string_view name) const {
    for (const CHttpField& f : fields) {
        if (EqualsNoCase(f.strName, name)) {
            return &f.strValue;
        }
    }
    return nullptr;
}

void CHttpStream::Feed(LogDirection from, std::string_view bytes, std::int64_t nTimeUs) {
    if (m_bNotHttp || m_bTunnel) {
        return;
    }
    FeedSide(static_cast<std::size_t>(from), bytes, nTimeUs);
}

void CHttpStream::FeedSide(std::size_t nSide, std::string_view bytes, std::int64_t nTimeUs) {
    CReader& r = m_readers[nSide];
    while (!bytes.empty() && !m_bNotHttp && !m_bTunnel) {
        if (r.state == State::Head && !r.bStarted) {
            // Empty lines between messages belong to none.
            if (bytes.front() == '\r' || bytes.front() == '\n') {
                bytes.remove_prefix(1);
                continue;
            }
            r.bStarted = true;
            r.message.nFirstUs = nTimeUs;
        }
        r.message.nLastUs = nTimeUs;
        std::size_t nUsed = 0;
        switch (r.state) {
            case State::Head: {
                bool bDone = false;
                nUsed = TakeHead(r, bytes, bDone);
                r.message.nHeadBytes += nUsed;
                if (!PlausibleStart(nSide, r.strHead) || r.strHead.size() > kMaxHead) {
                    m_bNotHttp = true;
                    return;
                }
                if (bDone && !StartBody(nSide, r)) {
                    m_bNotHttp = true;
                    return;
                }
                break;
            }
            case State::Length: {
                nUsed = static_cast<std::size_t>(std::min<std::uint64_t>(r.nLeft, bytes.size()));
                AddBody(r, bytes.substr(0, nUsed));
                r.nLeft -= nUsed;
                if (r.nLeft == 0) {
                    r.message.bComplete = true;
                    Finish(nSide, r);
                }
                break;
            }
            case State::ChunkSize:
            case State::ChunkEnd:
            case State::Trailers: {
                const std::size_t nLf = bytes.find('\n');
                nUsed = nLf == std::string_view::npos ? bytes.size() : nLf + 1;
                r.message.nWireBytes += nUsed;
                r.strHead.append(bytes.substr(0, std::min(nUsed, kMaxHead)));
                if (nLf == std::string_view::npos) {
                    if (r.strHead.size() > 4096 && r.state != State::Trailers) {
                        r.state = State::UntilClose;  // no chunk line: the framing broke
                    }
                    break;
                }
                std::string_view line = r.strHead;
                line.remove_suffix(1);  // the LF
                line = Trim(line);
                if (r.state == State::ChunkEnd) {
                    r.state = State::ChunkSize;
                } else if (r.state == State::Trailers) {
                    if (line.empty()) {
                        r.message.bComplete = true;
                        bytes.remove_prefix(nUsed);
                        Finish(nSide, r);
                        continue;
                    }
                } else {
                    const std::string_view hex = line.substr(0, line.find(';'));
                    std::uint64_t n = 0;
                    const auto res = std::from_chars(hex.data(), hex.data() + hex.size(), n, 16);
                    if (hex.empty() || res.ptr != hex.data() + hex.size() || n > (1ull << 62)) {
                        // The framing broke: this line and the rest come as they are.
                        r.message.nWireBytes -= nUsed;
                        r.strHead.clear();
                        r.state = State::UntilClose;
                        continue;
                    }
                    r.nLeft = n;
                    r.state = n == 0 ? State::Trailers : State::ChunkData;
                }
                r.strHead.clear();
                bytes.remove_prefix(nUsed);
                continue;
            }
            case State::ChunkData: {
                nUsed = static_cast<std::size_t>(std::min<std::uint64_t>(r.nLeft, bytes.size()));
                AddBody(r, bytes.substr(0, nUsed));
                r.nLeft -= nUsed;
                if (r.nLeft == 0) {
                    r.state = State::ChunkEnd;
                }
                break;
            }
            case State::UntilClose:
                nUsed = bytes.size();
                AddBody(r, bytes);
                break;
            case State::Off:
                return;
        }
        bytes.remove_prefix(nUsed);
    }
}

std::size_t CHttpStream::TakeHead(CReader& r, std::string_view bytes, bool& bDone) {
    // The head ends at an empty line: LF LF, with a CR before either LF or not.
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        r.strHead.push_back(c);
        if (c != '\n') {
            continue;
        }
        const std::string_view h = r.strHead;
        if (h.ends_with("\n\n") || h.ends_with("\n\r\n")) {
            bDone = true;
            return i + 1;
        }
        if (r.strHead.size() > kMaxHead) {
            return i + 1;
        }
    }
    return bytes.size();
}

bool CHttpStream::StartBody(std::size_t nSide, CReader& r) {
    CHttpMessage& m = r.message;
    std::string_view head = r.strHead;
    bool bFirst = true;
    while (!head.empty()) {
        const std::size_t nLf = head.find('\n');
        std::string_view line = head.substr(0, nLf);
        head.remove_prefix(nLf == std::string_view::npos ? head.size() : nLf + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (bFirst) {
            if (!ParseStartLine(nSide, line, m)) {
                return false;
            }
            bFirst = false;
        } else if (line.empty()) {
            break;
        } else if ((line.front() == ' ' || line.front() == '\t') && !m.fields.empty()) {
            // A folded line continues the field before it.
            m.fields.back().strValue += ' ';
            m.fields.back().strValue += Trim(line);
        } else {
            const std::size_t nColon = line.find(':');
            if (nColon == std::string_view::npos || nColon == 0) {
                continue;  // not a field: left out, as servers do
            }
            m.fields.push_back({std::string(Trim(line.substr(0, nColon))),
                                std::string(Trim(line.substr(nColon + 1)))});
        }
    }
    r.strHead.clear();

    const std::int64_t nLength = ContentLength(m);
    if (nSide == kClient) {
        if (m_requests.size() >= kMaxPending) {
            return false;
        }
        if (IsChunked(m)) {
            r.state = State::ChunkSize;
        } else if (nLength > 0) {
            r.state = State::Length;
            r.nLeft = static_cast<std::uint64_t>(nLength);
        } else {
            m.bComplete = true;
            Finish(nSide, r);
        }
        return true;
    }

    // The answer belongs to the oldest request without one.
    const std::size_t nIndex = m_nAnswered;
    const std::string strMethod = nIndex < m_requests.size() ? m_requests[nIndex].strMethod
                                  : nIndex == m_requests.size()
                                      ? m_readers[kClient].message.strMethod
                                      : std::string();
    const bool bInterim = m.nStatus >= 100 && m.nStatus < 200 && m.nStatus != 101;
    const bool bSwitch = m.nStatus == 101 || (strMethod == "CONNECT" && m.nStatus / 100 == 2);
    if (bInterim) {
        r = CReader{};  // a 100 Continue or 103: the final answer follows
        return true;
    }
    ++m_nAnswered;
    if (bSwitch || strMethod == "HEAD" || m.nStatus == 204 || m.nStatus == 304) {
        m.bComplete = true;
        Finish(nSide, r);
        if (bSwitch) {
            m_bTunnel = true;
            // The request that asked for it is whole at its head (an upgrade has no body
            // that the new protocol's bytes could be told from).
            CReader& client = m_readers[kClient];
            if (client.bStarted && client.state != State::Head) {
                client.message.bComplete = client.state == State::Length && client.nLeft == 0;
                Finish(kClient, client);
            }
        }
    } else if (IsChunked(m)) {
        r.state = State::ChunkSize;
    } else if (nLength >= 0) {
        r.state = State::Length;
        r.nLeft = static_cast<std::uint64_t>(nLength);
        if (nLength == 0) {
            m.bComplete = true;
            Finish(nSide, r);
        }
    } else {
        r.state = State::UntilClose;
    }
    return true;
}

void CHttpStream::AddBody(CReader& r, std::string_view bytes) {
    CHttpMessage& m = r.message;
    m.nWireBytes += bytes.size();
    m.nBodyLength += bytes.size();
    const std::size_t nRoom = kMaxBody - std::min(kMaxBody, m.strBody.size());
    if (bytes.size() > nRoom) {
        m.bBodyCut = true;
    }
    m.strBody.append(bytes.substr(0, nRoom));
}

void CHttpStream::Finish(std::size_t nSide, CReader& r) {
    (nSide == kClient ? m_requests : m_responses).push_back(std::move(r.message));
    r = CReader{};
    Pair();
}

void CHttpStream::Pair() {
    while (!m_requests.empty() && !m_responses.empty()) {
        CHttpMessage request = std::move(m_requests.front());
        m_requests.pop_front();
        CHttpMessage response = std::move(m_responses.front());
        m_responses.pop_front();
        m_nAnswered = m_nAnswered > 0 ? m_nAnswered - 1 : 0;
        Emit(std::move(request), &response);
    }
}

void CHttpStream::Emit(CHttpMessage&& request, CHttpMessage* pResponse) {
    CHttpExchange exchange;
    exchange.request = std::move(request);
    if (pResponse != nullptr) {
        exchange.response = std::move(*pResponse);
        exchange.bHasResponse = true;
    }
    ++m_nExchanges;
    m_fnExchange(std::move(exchange));
}

void CHttpStream::End() {
    if (m_bNotHttp) {
        m_requests.clear();  // requests of something that only looked like HTTP at first
        m_responses.clear();
        return;
    }
    for (const std::size_t nSide : {kClient, kServer}) {
        CReader& r = m_readers[nSide];
        if (!r.bStarted || r.state == State::Head || m_bNotHttp) {
            continue;  // a head that did not end is no message
        }
        if (r.state == State::UntilClose && nSide == kServer) {
            r.message.bComplete = true;
        }
        (nSide == kClient ? m_requests : m_responses).push_back(std::move(r.message));
        r = CReader{};
    }
    Pair();
    while (!m_requests.empty()) {
        CHttpMessage request = std::move(m_requests.front());
        m_requests.pop_front();
        Emit(std::move(request), nullptr);
    }
    m_responses.clear();
    m_nAnswered = 0;
    m_readers[kClient].state = m_readers[kServer].state = State::Off;
    m_bTunnel = true;
}
