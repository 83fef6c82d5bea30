#include "capture/ResponseScan.h"

#include <algorithm>
#include <optional>

#include "capture/ContentDecoder.h"
#include "platform/AsciiText.h"

namespace {

constexpr std::string_view kContentType = "content-type: ";

// The status code of "HTTP/x.y NNN ..."; nothing when the line is no status line.
std::optional<int> StatusCode(std::string_view text) {
    if (!text.starts_with("HTTP/")) {
        return std::nullopt;
    }
    const std::size_t nBlank = text.find(' ');
    if (nBlank == std::string_view::npos || text.size() < nBlank + 4) {
        return std::nullopt;
    }
    const std::string_view code = text.substr(nBlank + 1, 3);
    if (!std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        (text.size() > nBlank + 4 && text[nBlank + 4] != ' ')) {
        return std::nullopt;
    }
    return (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
}

}  // namespace

void CResponseScan::QueueRequest(bool bHead, bool bConnect) {
    m_bActive = true;
    if (m_nBeyondQueue > 0 || m_requests.size() >= kMaxQueue) {
        ++m_nBeyondQueue;  // behind the queue: answered after it, never saved
        return;
    }
    m_requests.push_back(CRequest{bHead, bConnect, m_nBlock, {}});
}

void CResponseScan::NameLastRequest(const std::wstring& strFile) {
    if (m_requests.empty() || m_nBeyondQueue > 0) {
        return;
    }
    for (CRequest& request : m_requests) {
        if (request.nBlock == m_nBlock) {
            request.strFile.clear();  // an earlier request of this block: the last name wins
        }
    }
    m_requests.back().strFile = strFile;
}

void CResponseScan::AddCodings(std::string_view value, std::vector<std::string>& codings) {
    for (std::string& coding : ParseCodings(value)) {
        if (codings.size() > CContentDecoder::kMaxCodings) {
            return;  // one more than can be removed is kept, so that the body is saved as is
        }
        codings.push_back(std::move(coding));
    }
}

void CResponseScan::ForgetRequests() {
    for (CRequest& request : m_requests) {
        request.strFile.clear();
    }
}

void CResponseScan::Feed(std::string_view block, IResponseEvents& events) {
    std::size_t nPos = 0;
    while (nPos < block.size()) {
        switch (m_state) {
            case State::Opaque:
                return;
            case State::UntilClose:
            case State::Unframed:
                Body(block.substr(nPos), events);
                return;
            case State::Length:
            case State::ChunkData: {
                const std::size_t nTake =
                    static_cast<std::size_t>(std::min<std::uint64_t>(m_nLeft, block.size() - nPos));
                Body(block.substr(nPos, nTake), events);
                nPos += nTake;
                m_nLeft -= nTake;
                if (m_nLeft == 0) {
                    if (m_state == State::Length) {
                        EndBody(true, events);
                    } else {
                        m_state = State::ChunkEnd;
                    }
                }
                break;
            }
            default: {
                const std::size_t nLf = block.find('\n', nPos);
                const std::size_t nEnd = nLf == std::string_view::npos ? block.size() : nLf;
                const std::size_t nRoom = kMaxLine - std::min(kMaxLine, m_strLine.size());
                m_strLine.append(block.substr(nPos, std::min(nRoom, nEnd - nPos)));
                if (nLf == std::string_view::npos) {
                    return;  // the line goes on in the next block
                }
                nPos = nLf + 1;
                std::string strLine = std::move(m_strLine);
                m_strLine.clear();
                if (m_state == State::ChunkSize || m_state == State::ChunkEnd) {
                    m_strRawLine = strLine + '\n';  // kept for a framing that breaks here
                }
                while (!strLine.empty() && strLine.back() == '\r') {
                    strLine.pop_back();
                }
                OnLine(strLine, events);
                break;
            }
        }
    }
}

void CResponseScan::End(IResponseEvents& events) {
    switch (m_state) {
        case State::UntilClose:
            EndBody(true, events);
            break;
        case State::Length:
        case State::ChunkData:
            if (m_bSaved) {
                events.OnResponseNote("cut short: the connection ended " + std::to_string(m_nLeft) +
                                      " bytes before the end of the " +
                                      (m_state == State::Length ? "body" : "chunk") + " (" +
                                      std::to_string(m_nBodyBytes) + " bytes saved)");
            }
            EndBody(false, events);
            break;
        case State::ChunkSize:
        case State::ChunkEnd:
        case State::Trailers:
            if (m_bSaved) {
                events.OnResponseNote("cut short: the connection ended before the last chunk (" +
                                      std::to_string(m_nBodyBytes) + " bytes saved)");
            }
            EndBody(false, events);
            break;
        case State::Unframed:
            EndBody(false, events);
            break;
        default:
            break;
    }
    m_state = State::Opaque;
}

void CResponseScan::OnLine(std::string_view text, IResponseEvents& events) {
    switch (m_state) {
        case State::Status:
            if (!text.empty()) {
                OnStatusLine(text);
            }
            break;
        case State::Headers:
            if (text.empty()) {
                EndOfHeaders(events);
            } else {
                OnHeaderLine(text);
            }
            break;
        case State::ChunkSize: {
            // The size in hex, perhaps followed by extensions after ';'; leading zeros
            // are allowed in any number.
            std::string_view digits = Trim(text.substr(0, text.find(';')));
            while (digits.size() > 1 && digits.front() == '0') {
                digits.remove_prefix(1);
            }
            const std::optional<std::uint64_t> nSize = ParseNumber(digits, true);
            if (!nSize) {
                // No chunk framing: where the answer ends is unknown.
                const bool bHex =
                    !digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) {
                        return ParseNumber(std::string_view(&c, 1), true).has_value();
                    });
                FramingBroke(bHex ? "a chunk size too large to be one"
                                  : "a chunk size line that is no hex number",
                             events);
            } else if (*nSize == 0) {
                m_state = State::Trailers;
            } else {
                m_nLeft = *nSize;
                m_state = State::ChunkData;
            }
            break;
        }
        case State::ChunkEnd:
            if (text.empty()) {
                m_state = State::ChunkSize;
            } else {
                FramingBroke("no line end after a chunk's data", events);
            }
            break;
        case State::Trailers:
            if (text.empty()) {
                EndBody(true, events);
            }
            break;
        default:
            break;
    }
}

void CResponseScan::OnStatusLine(std::string_view text) {
    const std::optional<int> nStatus = StatusCode(text);
    if (!nStatus) {
        // Not an HTTP answer: what the connection carries from here on is not followed.
        m_state = State::Opaque;
        return;
    }
    const bool bInterim = *nStatus >= 100 && *nStatus < 200 && *nStatus != 101;
    m_head = CResponseHead{};
    m_head.nStatus = *nStatus;
    m_bInterim = bInterim;
    m_bSaved = false;
    m_bHeadRequest = false;
    m_bConnectRequest = false;
    m_bChunked = false;
    m_bTransferCoded = false;
    m_bBadLength = false;
    m_bHasLength = false;
    m_nLength = 0;
    m_nBodyBytes = 0;
    m_transferCodings.clear();
    if (!bInterim && m_requests.empty() && m_nBeyondQueue > 0) {
        --m_nBeyondQueue;
    } else if (!bInterim && !m_requests.empty()) {
        // A final answer: it answers the oldest request still waiting.
        CRequest request = std::move(m_requests.front());
        m_requests.pop_front();
        m_bHeadRequest = request.bHead;
        m_bConnectRequest = request.bConnect;
        m_head.strFile = std::move(request.strFile);
        m_bSaved = !m_head.strFile.empty();
    }
    m_state = State::Headers;
}

void CResponseScan::ScanHeaderText(std::string_view text) {
    if (text.size() < kContentType.size() + 4) {
        return;
    }
    std::string lower(text.substr(0, kContentType.size() + 4));
    std::transform(lower.begin(), lower.end(), lower.begin(), LowerAscii);
    if (lower.starts_with(kContentType) &&
        std::string_view(lower).substr(kContentType.size()) == "text") {
        m_head.bText = true;
    }
}

void CResponseScan::OnHeaderLine(std::string_view text) {
    ScanHeaderText(text);
    const std::size_t nColon = text.find(':');
    if (nColon == std::string_view::npos) {
        return;
    }
    const std::string_view name = text.substr(0, nColon);
    const std::string_view value = Trim(text.substr(nColon + 1));
    if (EqualsNoCase(name, "content-type")) {
        if (m_head.strContentType.empty()) {
            m_head.strContentType = value;
        }
    } else if (EqualsNoCase(name, "content-encoding")) {
        AddCodings(value, m_head.codings);
    } else if (EqualsNoCase(name, "transfer-encoding")) {
        m_bTransferCoded = true;
        AddCodings(value, m_transferCodings);
    } else if (EqualsNoCase(name, "content-length")) {
        const std::optional<std::uint64_t> n = ParseNumber(value, false);
        if (!n || (m_bHasLength && m_nLength != *n)) {
            m_bBadLength = true;
        }
        m_bHasLength = true;
        m_nLength = n.value_or(0);
    }
}

void CResponseScan::EndOfHeaders(IResponseEvents& events) {
    if (m_bInterim) {
        // An interim answer ended: the real one follows.
        m_state = State::Status;
        return;
    }
    const int nStatus = m_head.nStatus;
    if (nStatus == 101 || (m_bConnectRequest && nStatus >= 200 && nStatus < 300)) {
        // The connection speaks another protocol now; a switch to it that was asked for
        // is a tunnel (nothing is saved), any other is saved as it comes.
        m_head.codings.clear();
        m_head.bText = false;
        m_state = m_bConnectRequest ? State::Opaque : State::UntilClose;
        if (m_state == State::UntilClose && m_bSaved) {
            events.OnResponseHead(m_head);
        }
        return;
    }
    if (m_bHeadRequest || nStatus == 204 || nStatus == 304 || (nStatus >= 100 && nStatus < 200)) {
        m_state = State::Status;  // no body
        return;
    }
    // The transfer codings other than chunked were applied after the content codings.
    const bool bChunkedLast = !m_transferCodings.empty() && m_transferCodings.back() == "chunked";
    for (const std::string& coding : m_transferCodings) {
        if (coding != "chunked") {
            m_head.codings.push_back(coding);
        }
    }
    if (m_bSaved) {
        events.OnResponseHead(m_head);
    }
    if (m_bTransferCoded) {
        m_bChunked = bChunkedLast;
        m_state = m_bChunked ? State::ChunkSize : State::UntilClose;
    } else if (m_bHasLength && !m_bBadLength) {
        m_nLeft = m_nLength;
        m_state = State::Length;
        if (m_nLeft == 0) {
            EndBody(true, events);
        }
    } else {
        m_state = State::UntilClose;
    }
}

void CResponseScan::FramingBroke(const std::string& strWhy, IResponseEvents& events) {
    if (!m_bSaved) {
        m_state = State::Opaque;  // nothing to save, and nothing after it to follow
        return;
    }
    events.OnResponseNote("broken chunk framing (" + strWhy + ") after " +
                          std::to_string(m_nBodyBytes) +
                          " bytes; the rest is saved as it came, framing included");
    m_state = State::Unframed;
    Body(m_strRawLine, events);
}

void CResponseScan::Body(std::string_view bytes, IResponseEvents& events) {
    m_nBodyBytes += bytes.size();
    if (m_bSaved && !bytes.empty()) {
        events.OnResponseBody(bytes);
    }
}

void CResponseScan::EndBody(bool bWhole, IResponseEvents& events) {
    if (m_bSaved) {
        events.OnResponseEnd(bWhole);
    }
    m_bSaved = false;
    m_state = State::Status;
}
