#include "capture/TunnelWatch.h"

namespace {

// The status code of "HTTP/x.y NNN ...", or -1 for any other line.
int StatusCode(std::string_view text) {
    if (!text.starts_with("HTTP/")) {
        return -1;
    }
    const std::size_t nBlank = text.find(' ');
    if (nBlank == std::string_view::npos || text.size() < nBlank + 4) {
        return -1;
    }
    int nCode = 0;
    for (std::size_t i = nBlank + 1; i < nBlank + 4; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return -1;
        }
        nCode = nCode * 10 + (text[i] - '0');
    }
    return text.size() == nBlank + 4 || text[nBlank + 4] == ' ' ? nCode : -1;
}

}  // namespace

void CTunnelWatch::OnRequest(Request kind) {
    if (m_bTunnel) {
        return;
    }
    m_pending = kind;
    m_bInInterim = false;
    m_strLine.clear();
}

void CTunnelWatch::OnResponse(std::string_view bytes) {
    while (!bytes.empty() && m_pending != Request::None && !m_bTunnel) {
        const std::size_t nLf = bytes.find('\n');
        const std::string_view part = bytes.substr(0, nLf);
        if (m_strLine.size() < kMaxLine) {
            m_strLine.append(part.substr(0, kMaxLine - m_strLine.size()));
        }
        if (nLf == std::string_view::npos) {
            return;  // the line goes on in the next block
        }
        bytes.remove_prefix(nLf + 1);
        std::string_view text = m_strLine;
        while (!text.empty() && text.back() == '\r') {
            text.remove_suffix(1);
        }
        OnLine(text);
        m_strLine.clear();
    }
}

void CTunnelWatch::OnLine(std::string_view text) {
    if (m_bInInterim) {
        m_bInInterim = !text.empty();  // the empty line ends the interim answer
        return;
    }
    const int nCode = StatusCode(text);
    if (nCode == 101 && m_pending == Request::Upgrade) {
        m_bTunnel = true;
    } else if (nCode >= 200 && nCode < 300 && m_pending == Request::Connect) {
        m_bTunnel = true;
    } else if (nCode >= 100 && nCode < 200) {
        m_bInInterim = true;
        return;
    }
    m_pending = Request::None;
}
