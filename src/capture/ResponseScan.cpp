#include "capture/ResponseScan.h"

#include <algorithm>

namespace {

constexpr std::string_view kContentType = "content-type: ";

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// "HTTP/x.y 1xx ...", but not 101: after that the connection speaks another protocol,
// which is the body.
bool IsInterimStatus(std::string_view text) {
    if (!text.starts_with("HTTP/")) {
        return false;
    }
    const std::size_t nBlank = text.find(' ');
    if (nBlank == std::string_view::npos || text.size() < nBlank + 4) {
        return false;
    }
    const std::string_view code = text.substr(nBlank + 1, 3);
    return code[0] == '1' && code[1] >= '0' && code[1] <= '9' && code[2] >= '0' && code[2] <= '9' &&
           code != "101";
}

}  // namespace

std::size_t CompleteUtf8Length(std::string_view bytes) {
    const std::size_t n = bytes.size();
    for (std::size_t k = 1; k <= 3 && k <= n; ++k) {
        const auto c = static_cast<unsigned char>(bytes[n - k]);
        if ((c & 0xC0) == 0x80) {
            continue;  // a continuation byte: its lead byte is further back
        }
        if (c >= 0xC0) {
            const std::size_t nNeed = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
            return nNeed > k ? n - k : n;
        }
        return n;  // ASCII: no sequence runs past it
    }
    return n;
}

void CResponseScan::Start() {
    m_bNewResponse = true;
    m_nTextMode = 0;
    m_bStatusLine = true;
    m_bInterim = false;
    m_strCarry.clear();
}

void CResponseScan::Reset(IResponseBody& body) {
    Flush(body);
    m_bBodyStarted = false;
    m_bStatusLine = true;
    m_bInterim = false;
    m_strCarry.clear();
}

void CResponseScan::Flush(IResponseBody& body) {
    if (!m_strTextTail.empty()) {
        const std::string strTail = std::move(m_strTextTail);
        m_strTextTail.clear();
        body.OnBodyText(strTail);
    }
}

std::string CResponseScan::TakeTextTail() {
    std::string strTail = std::move(m_strTextTail);
    m_strTextTail.clear();
    return strTail;
}

void CResponseScan::Feed(std::string_view block, IResponseBody& body) {
    std::size_t nPos = 0;
    if (m_bBodyStarted && m_bNewResponse) {
        // A new name while a body was going on: the earlier file is done.
        body.OnBodyStart();
        m_bNewResponse = false;
    }
    while (!m_bBodyStarted) {
        const std::size_t nLf = block.find('\n', nPos);
        const std::size_t nEnd = nLf == std::string_view::npos ? block.size() : nLf;
        for (std::size_t i = nPos; i < nEnd && m_strCarry.size() < kMaxCarry; ++i) {
            if (block[i] != '\r') {
                m_strCarry += block[i];
            }
        }
        if (nLf == std::string_view::npos) {
            return;  // the line goes on in the next block
        }
        nPos = nLf + 1;
        ScanHeaderText(m_strCarry);
        m_strCarry.clear();
        if (m_bBodyStarted && m_bNewResponse) {
            // The empty line after the headers: not saved, and the previous file is done.
            body.OnBodyStart();
            m_bNewResponse = false;
        }
    }
    if (nPos >= block.size()) {
        return;
    }
    if (m_nTextMode == 1) {
        FeedText(block.substr(nPos), body);
    } else {
        body.OnBodyBinary(block.substr(nPos));
    }
}

void CResponseScan::FeedText(std::string_view bytes, IResponseBody& body) {
    std::size_t nPos = 0;
    while (nPos < bytes.size()) {
        const std::size_t nLf = bytes.find('\n', nPos);
        const std::size_t nEnd = nLf == std::string_view::npos ? bytes.size() : nLf + 1;
        const std::string_view line = bytes.substr(nPos, nEnd - nPos);
        nPos = nEnd;
        std::string strJoined;
        std::string_view text = line;
        if (!m_strTextTail.empty()) {
            strJoined = std::move(m_strTextTail);
            m_strTextTail.clear();
            strJoined += line;
            text = strJoined;
        }
        if (nLf == std::string_view::npos) {
            // The last line of the block: a UTF-8 sequence it cuts waits for its rest.
            const std::size_t nComplete = CompleteUtf8Length(text);
            m_strTextTail.assign(text.substr(nComplete));
            text = text.substr(0, nComplete);
        }
        if (!text.empty()) {
            body.OnBodyText(text);
        }
    }
}

void CResponseScan::ScanHeaderText(std::string_view text) {
    if (text.empty()) {
        if (m_bInterim) {
            // An interim response ended: the headers of the real one follow.
            m_bInterim = false;
            m_bStatusLine = true;
            return;
        }
        m_bBodyStarted = true;
        return;
    }
    if (m_bStatusLine) {
        m_bStatusLine = false;
        m_bInterim = IsInterimStatus(text);
    }
    if (text.size() < kContentType.size()) {
        return;
    }
    std::string lower(text.substr(0, kContentType.size() + 4));
    std::transform(lower.begin(), lower.end(), lower.begin(), LowerAscii);
    if (lower.starts_with(kContentType) &&
        std::string_view(lower).substr(kContentType.size()) == "text") {
        m_nTextMode = 1;
    }
}
