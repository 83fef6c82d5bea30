#include "capture/UrlParser.h"

#include <algorithm>

bool CUrlParser::Parse(std::wstring_view strUrl) {
    Clear();
    const std::size_t nColon = strUrl.find(L':');
    if (nColon == 0 || nColon == std::wstring_view::npos) {
        Clear();
        return false;
    }
    m_strScheme = strUrl.substr(0, nColon);
    std::wstring_view rest = strUrl.substr(nColon + 1);

    if (rest.starts_with(L"//")) {
        rest.remove_prefix(2);
        const std::size_t nEnd = std::min(rest.find(L'/'), rest.find(L'?'));
        const std::wstring_view authority = rest.substr(0, nEnd);
        rest.remove_prefix(authority.size());
        if (!ParseAuthority(authority)) {
            Clear();
            return false;
        }
    }

    const std::size_t nExtra = rest.find_first_of(L"?#");
    const std::wstring_view path = rest.substr(0, nExtra);
    const std::wstring_view extra =
        nExtra == std::wstring_view::npos ? std::wstring_view() : rest.substr(nExtra);
    if (path.size() > kMaxPath || extra.size() > kMaxExtra + 1) {  // the '?' or '#' not counted
        Clear();
        return false;
    }
    m_strPath = path;
    m_strExtra = extra;
    return true;
}

bool CUrlParser::ParseAuthority(std::wstring_view authority) {
    const std::size_t nAt = authority.rfind(L'@');
    if (nAt != std::wstring_view::npos) {
        const std::wstring_view userInfo = authority.substr(0, nAt);
        const std::size_t nColon = userInfo.find(L':');
        const std::wstring_view user = userInfo.substr(0, nColon);
        const std::wstring_view password =
            nColon == std::wstring_view::npos ? std::wstring_view() : userInfo.substr(nColon + 1);
        if (user.size() > kMaxUserName || password.size() > kMaxPassword) {
            return false;
        }
        m_strUserName = user;
        m_strPassword = password;
        authority.remove_prefix(nAt + 1);
    }
    // An IPv6 address is written in brackets ("[::1]:8080"): its colons are not the port's.
    std::size_t nHostEnd = 0;
    if (authority.starts_with(L'[')) {
        nHostEnd = authority.find(L']');
        if (nHostEnd == std::wstring_view::npos) {
            return false;
        }
        ++nHostEnd;
        if (nHostEnd < authority.size() && authority[nHostEnd] != L':') {
            return false;  // only a port may follow the brackets
        }
    }
    const std::size_t nColon = authority.find(L':', nHostEnd);
    const std::wstring_view host = authority.substr(0, nColon);
    if (host.size() > kMaxHostName) {
        return false;
    }
    if (nColon != std::wstring_view::npos) {
        const std::wstring_view port = authority.substr(nColon + 1);
        if (!std::all_of(port.begin(), port.end(),
                         [](wchar_t c) { return c >= L'0' && c <= L'9'; })) {
            return false;
        }
        m_strPort = port;
    }
    m_strHostName = host;
    return true;
}

void CUrlParser::Clear() {
    m_strScheme.clear();
    m_strUserName.clear();
    m_strPassword.clear();
    m_strHostName.clear();
    m_strPort.clear();
    m_strPath.clear();
    m_strExtra.clear();
}
