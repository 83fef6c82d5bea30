// What the HTTP mode does with the bytes that the local client sends, free of sockets and
// settings.
//
// The rewriter follows the requests through the stream: a request line, header lines up to
// the empty line, then a body of Content-Length bytes or in chunks. Only in a request's
// header lines is anything changed: the Host line is replaced by one that names the server
// (its host, and its port when that is not the scheme's default), and a Referer or Origin
// line that names this machine gets the server's host and port instead, keeping its scheme
// and path. Header names match in any case. Every other byte, request bodies and anything
// that is not HTTP included, passes unchanged. From each GET or POST request line it takes
// the request target, which names the file of the response.
//
// A line ends at LF (a CR before it belongs to the line end). How TCP cuts the stream does
// not change what is sent: a header line that may be rewritten and whose end has not come
// yet is held back (up to kMaxHeldLine bytes) until its end arrives. Only such a line is
// ever held, so a client is never kept waiting for bytes of its own that it has not
// completed, and a stream that is not HTTP passes at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "capture/TunnelWatch.h"
#include "regexp/RegMatcher.h"

// The one whom the rewriter asks for the URL and tells of request targets.
class IRequestHandler {
public:
    virtual ~IRequestHandler() = default;
    // The URL box's text, as typed; asked only when a line is rewritten.
    virtual std::wstring GetUrl() = 0;
    // The port of the server that the session connects to; 0 when not known (the port
    // written in the URL, or else the default of its scheme, counts then).
    virtual int GetRemotePort() { return 0; }
    // A header line that could be rewritten grew beyond kMaxHeldLine bytes before its end:
    // it and the rest of the request's header lines pass unchanged.
    virtual void OnHeaderLineTooLong(std::size_t /*nBytes*/) {}
    // Every request line, before its target is reported: `method` is its first word.
    virtual void OnRequestLine(std::string_view /*method*/) {}
    // The request target of a GET or POST request line (group 2 of the request pattern).
    virtual void OnRequestTarget(const std::wstring& strTarget) = 0;
};

class CRequestRewriter {
public:
    // Longest part of a line cut across blocks that is kept to follow it; the rest of such
    // a line is not looked at.
    static constexpr std::size_t kMaxCarry = 8192;
    // Longest header line that is held back until its end arrives, to be rewritten.
    static constexpr std::size_t kMaxHeldLine = 65536;

    CRequestRewriter();

    // Appends the block to `out`, with the header lines rewritten when `bReplaceHost` is on;
    // with `bSaveResponse` on, reports the target of every GET or POST request line.
    void Feed(std::string_view block, bool bReplaceHost, bool bSaveResponse,
              IRequestHandler& handler, std::string& out);

    // Where the stream is: between requests (or in something that is not HTTP), in a
    // request's header lines, or in its body.
    enum class State { Start, Headers, Body, ChunkSize, ChunkData, ChunkEnd, Trailers };
    State GetState() const { return m_state; }
    // Whether the next block begins between requests rather than inside one (its header
    // lines or its body).
    bool IsBetweenRequests() const { return m_state == State::Start; }
    // Forgets where the stream was: the next byte is taken for the start of a line between
    // requests. Bytes held back are dropped: Flush them first.
    void Restart();
    // Whether the beginning of a header line is held back, waiting for its end.
    bool IsHolding() const { return m_bHeld; }
    // Appends the bytes held back to `out` unchanged (the stream ends, or is not followed
    // any more); the line is then followed as one that was cut.
    void Flush(std::string& out);

    // The kind of the last request whose header lines ended since the last call, when it
    // may switch the protocol (a CONNECT request, or one with an Upgrade header); None
    // otherwise. Taking it clears it.
    CTunnelWatch::Request TakeSwitchRequest();

    // One whole header line, rewritten: a Host line names the server, a Referer or Origin
    // line that names this machine (or the host that the request's Host line named) names
    // the server instead; nothing for any other line.
    std::optional<std::string> RewriteHeader(std::string_view line, IRequestHandler& handler);
    // The request target of a GET or POST request line; nothing for any other line.
    std::optional<std::wstring> RequestTarget(std::string_view line);

private:
    // A line of the stream: `line` is its part in this block, `whole` all of it that is
    // known (with the part of earlier blocks), `bStartsHere` whether it begins in this
    // block. Appends what goes to the server.
    void OnWholeLine(std::string_view line, std::string_view whole, bool bStartsHere,
                     bool bReplaceHost, bool bSaveResponse, IRequestHandler& handler,
                     std::string& out);
    void OnHeaderLine(std::string_view whole);
    void EndOfHeaders();
    // Whether a header line that begins with `start` may still turn out to be one that is
    // rewritten, so that it is held back until its end.
    bool MayHold(std::string_view start, bool bReplaceHost) const;

    State m_state = State::Start;
    std::uint64_t m_nLeft = 0;  // bytes left of the body or the chunk
    std::optional<std::uint64_t> m_nContentLength;
    bool m_bBadLength = false;
    bool m_bChunked = false;
    CTunnelWatch::Request m_requestKind = CTunnelWatch::Request::None;  // this request's
    CTunnelWatch::Request m_switchRequest = CTunnelWatch::Request::None;
    // The part of an unfinished line seen in earlier blocks (at most kMaxCarry bytes).
    std::string m_strCarry;
    bool m_bInLine = false;  // the last block ended inside a line
    bool m_bCarryCut = false;
    bool m_bHeld = false;         // m_strCarry has not been sent yet
    bool m_bPassHeaders = false;  // this request's header lines pass unchanged from here on
    // The value of this request's Host line as the client sent it.
    std::string m_strClientHost;
    CRegMatcher m_reRequest;
};

// The file of a response: the data folder, a folder for the host and the path of the
// request target, joined with '/'; nothing when the target names no file. The target is
// read as the path of "http://" + target (CUrlParser, without the query part); a path that
// ends with '/' (or with a "." or ".." segment) gets "DefaultPage.txt". The result always
// lies inside the host's folder below the data folder: empty, "." and ".." segments of the
// path are dropped, and the host becomes one folder name ('/' turns into '_', and a host
// of dots only into as many '_'). A zero character turns into '_' anywhere.
std::optional<std::wstring> ResponseFilePath(std::wstring_view strDataFolder,
                                             std::wstring_view strHost,
                                             std::wstring_view strTarget);

// Whether a target that names no file (ResponseFilePath gave nothing) is simply too long for
// the URL parser, rather than empty or no path at all.
bool IsTargetTooLong(std::wstring_view strTarget);
