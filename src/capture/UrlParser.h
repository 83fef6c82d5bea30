// Splitting a URL into its parts, as the response naming needs it.
//
//     scheme ":" [ "//" authority ] path [ ("?" | "#") extra ]
//     authority = [ user [ ":" password ] "@" ] host [ ":" port ]
//     host      = name | IPv4 address | "[" IPv6 address "]"
//
// The scheme is the text before the first ':'. The authority runs to the next '/' or '?';
// the path from there to the first '?' or '#'. Nothing is decoded and no "." or ".."
// segment is resolved. A part longer than its limit makes the parse fail.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class CUrlParser {
public:
    static constexpr std::size_t kMaxUserName = 128;
    static constexpr std::size_t kMaxPassword = 128;
    static constexpr std::size_t kMaxHostName = 256;
    static constexpr std::size_t kMaxPath = 2048;
    static constexpr std::size_t kMaxExtra = 2048;

    // False when the text is not a URL of the form above or a part breaks its limit; the
    // parts are then empty.
    bool Parse(std::wstring_view strUrl);

    const std::wstring& GetScheme() const { return m_strScheme; }
    const std::wstring& GetUserName() const { return m_strUserName; }
    const std::wstring& GetPassword() const { return m_strPassword; }
    // An IPv6 address keeps its brackets ("[::1]"), as it is written in a URL.
    const std::wstring& GetHostName() const { return m_strHostName; }
    // The digits after the host's ':' (empty when there are none).
    const std::wstring& GetPort() const { return m_strPort; }
    const std::wstring& GetPath() const { return m_strPath; }
    // The query or fragment, with its leading '?' or '#'.
    const std::wstring& GetExtra() const { return m_strExtra; }

private:
    bool ParseAuthority(std::wstring_view authority);
    void Clear();

    std::wstring m_strScheme;
    std::wstring m_strUserName;
    std::wstring m_strPassword;
    std::wstring m_strHostName;
    std::wstring m_strPort;
    std::wstring m_strPath;
    std::wstring m_strExtra;
};
