// Whether an HTTP connection has become a tunnel: after a 101 answer to a request with an
// Upgrade header (a WebSocket, for example), or a 2xx answer to a CONNECT request, the
// bytes of both directions are no longer HTTP and must pass untouched.
//
// Free of sockets: the session reports the requests that may switch the protocol, the
// client the bytes of the answers. Used under the module lock by both threads of a session.
#pragma once

#include <string>
#include <string_view>

class CTunnelWatch {
public:
    enum class Request { None, Upgrade, Connect };

    // A request that may switch the protocol was sent: its answer decides.
    void OnRequest(Request kind);
    // Bytes from the server. While an answer is awaited, its status line decides: 101 to an
    // Upgrade or 2xx to a CONNECT makes the stream a tunnel; any other final answer ends the
    // wait; an interim answer (1xx) is skipped with its header lines.
    void OnResponse(std::string_view bytes);

    // Once true, true for the rest of the connection.
    bool IsTunnel() const { return m_bTunnel; }
    bool IsWaiting() const { return m_pending != Request::None; }

private:
    void OnLine(std::string_view text);

    // The longest line looked at; an answer's status line is far shorter.
    static constexpr std::size_t kMaxLine = 256;

    Request m_pending = Request::None;
    bool m_bTunnel = false;
    bool m_bInInterim = false;  // skipping the header lines of a 1xx answer
    std::string m_strLine;      // the unfinished line, without CR and LF
};
