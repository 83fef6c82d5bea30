// The scan of a server's answers on one connection for their capture, free of sockets and
// files: it follows each response's status line, header lines and body framing, and hands
// the body of every response that is to be saved on, without the framing.
//
// The requests that the local client sent are queued here (their method and the file of
// their answer), and each final response takes the oldest one: so the next request of a
// browser, sent while the previous answer is still arriving, neither cuts that answer nor
// gets it. The body of a response ends as its framing says: no body for an answer to HEAD
// and for 1xx, 204 and 304; Transfer-Encoding chunked (chunk extensions and trailers
// skipped); Content-Length; or the end of the connection. Lines end at LF (a CR before it
// belongs to the line end) and may be cut anywhere by the blocks; a line is read up to
// kMaxLine bytes, the rest of a longer one is skipped.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

// One saved response as its header lines describe it.
struct CResponseHead {
    int nStatus = 0;
    std::wstring strFile;        // where it is saved
    bool bText = false;          // "content-type: " (one blank) begins with "text", any case
    std::string strContentType;  // the first Content-Type value, blanks trimmed
    // The codings in the order the server applied them: Content-Encoding, then the
    // transfer codings other than chunked.
    std::vector<std::string> codings;
};

// Where the bodies of saved responses go.
class IResponseEvents {
public:
    virtual ~IResponseEvents() = default;
    // The header lines of a response to be saved have ended.
    virtual void OnResponseHead(const CResponseHead& head) = 0;
    // Body bytes of that response, the chunk framing removed, still content-coded.
    virtual void OnResponseBody(std::string_view bytes) = 0;
    // The body ended: whole (as framed, or at the close of a body that runs to it), or cut
    // (the connection ended first, or the framing broke).
    virtual void OnResponseEnd(bool bWhole) = 0;
    // Something the log should tell about the body: its chunk framing broke (what follows
    // comes as it came), or the connection cut it short.
    virtual void OnResponseNote(const std::string& /*strText*/) {}
};

class CResponseScan {
public:
    static constexpr std::size_t kMaxLine = 8192;
    // Most requests kept waiting for their answers; those sent beyond are only counted (a
    // client that sends requests without end to a server that does not answer them must
    // not cost memory without end), so their answers are not saved.
    static constexpr std::size_t kMaxQueue = 4096;

    // A request went to the server (its request line): its answer will take this entry.
    // `bHead`: no body comes back; `bConnect`: a 2xx answer makes the connection a tunnel.
    void QueueRequest(bool bHead, bool bConnect);
    // The latest queued request's answer is saved under `strFile`. Several requests in one
    // block from the local client: the last name wins, the others' answers are not saved.
    void NameLastRequest(const std::wstring& strFile);
    // A new block from the local client begins.
    void BeginRequestBlock() { ++m_nBlock; }
    // The answers of the queued requests are not saved (HTTP mode is off).
    void ForgetRequests();

    // Whether blocks from the server need scanning: once a request was queued, the
    // framing of the connection is followed to its end.
    bool IsActive() const { return m_bActive; }
    // One block from the server.
    void Feed(std::string_view block, IResponseEvents& events);
    // The connection ended: a body that runs to the close is whole, any other is cut.
    void End(IResponseEvents& events);

    // One header line, its CR and LF bytes removed: a "content-type: " value that begins
    // with "text" (any case) makes the response text (used by the line callback).
    void ScanHeaderText(std::string_view text);

    enum class State {
        Status,      // before a status line (empty lines skipped)
        Headers,     // header lines up to the empty line
        Length,      // Content-Length bytes left
        ChunkSize,   // a chunk size line
        ChunkData,   // bytes of a chunk left
        ChunkEnd,    // the line end after a chunk's data
        Trailers,    // trailer lines up to the empty line
        UntilClose,  // body to the end of the connection
        Unframed,    // the chunk framing broke: the rest as it comes, cut at the end
        Opaque,      // no HTTP any more (a tunnel, or bytes that are no response)
    };
    State GetState() const { return m_state; }
    std::size_t QueuedRequests() const { return m_requests.size(); }

private:
    struct CRequest {
        bool bHead = false;
        bool bConnect = false;
        std::uint64_t nBlock = 0;
        std::wstring strFile;  // empty: not saved
    };

    void OnLine(std::string_view text, IResponseEvents& events);
    // Appends the codings of a header value, at most one more than can be removed.
    static void AddCodings(std::string_view value, std::vector<std::string>& codings);
    void OnStatusLine(std::string_view text);
    void OnHeaderLine(std::string_view text);
    void EndOfHeaders(IResponseEvents& events);
    void Body(std::string_view bytes, IResponseEvents& events);
    void EndBody(bool bWhole, IResponseEvents& events);
    // The chunk framing broke at the line just read: that line and everything after it
    // go to the body as they came.
    void FramingBroke(const std::string& strWhy, IResponseEvents& events);

    State m_state = State::Status;
    bool m_bActive = false;
    std::uint64_t m_nBlock = 0;
    std::deque<CRequest> m_requests;
    std::uint64_t m_nBeyondQueue = 0;  // requests behind the queue, when it was full

    // The response being read.
    CResponseHead m_head;
    bool m_bSaved = false;
    bool m_bInterim = false;
    bool m_bHeadRequest = false;
    bool m_bConnectRequest = false;
    bool m_bChunked = false;
    bool m_bTransferCoded = false;
    bool m_bBadLength = false;
    bool m_bHasLength = false;
    std::uint64_t m_nLength = 0;
    std::vector<std::string> m_transferCodings;
    std::uint64_t m_nLeft = 0;  // of the body or the chunk

    // The unfinished line: its text without the LF (at most kMaxLine bytes).
    std::string m_strLine;
    // The line being handled as it came, with its line end.
    std::string m_strRawLine;
    std::uint64_t m_nBodyBytes = 0;  // of the response being read, as framed
};
