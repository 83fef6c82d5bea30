// The servers that the sessions of this process have remembered in the settings since
// listening last started. A session remembers its server (the URL box's text and both
// ports) when it connects; checking the stored list reads every entry of it, so the same
// server with the same ports is written once per listening run instead of once per
// connection.
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <tuple>

class CServerMemo {
public:
    // Any thread. Whether the server still has to be remembered; if so, it counts as
    // remembered from now on (a session that connects meanwhile does not write it again).
    bool Claim(const std::wstring& strHost, int nLocalPort, int nRemotePort);
    // Any thread. Remembering it failed: the next session tries again.
    void Unclaim(const std::wstring& strHost, int nLocalPort, int nRemotePort);
    // Any thread. Listening starts: every server is remembered again on its first session.
    void Forget();

private:
    // Entries beyond this many are dropped all at once; they are only written again.
    static constexpr std::size_t kMaxEntries = 64;

    std::mutex m_mutex;
    std::set<std::tuple<std::wstring, int, int>> m_remembered;  // guarded by m_mutex
};

// The memo of the process.
CServerMemo& ServerMemo();
