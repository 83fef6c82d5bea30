// The scan of a server's response for its capture, free of sockets and files: it finds the
// empty line that ends the headers and whether the content type is text, and hands the
// body on.
//
// A line ends at LF (a CR before it belongs to the line end). The scan works across
// blocks: the unfinished last line of a block is carried into the next one, so a header
// line or the empty line after the headers that TCP cuts in two is read as one. In text
// mode the body goes on in lines (the last one perhaps unfinished), a UTF-8 sequence cut at
// the end of a block being held back until its rest arrives; in binary mode the body goes
// on as it comes.
#pragma once

#include <string>
#include <string_view>

// Where the body of a response goes.
class IResponseBody {
public:
    virtual ~IResponseBody() = default;
    // The headers of a new response have ended: the file of the previous one is done.
    virtual void OnBodyStart() = 0;
    // Text mode: the bytes of one body line, or of its part in this block. A UTF-8
    // sequence is never cut between two calls.
    virtual void OnBodyText(std::string_view line) = 0;
    // Binary mode: body bytes as they arrived.
    virtual void OnBodyBinary(std::string_view bytes) = 0;
};

class CResponseScan {
public:
    // Longest part of a header line that is kept across blocks: more cannot change how
    // the line is read.
    static constexpr std::size_t kMaxCarry = 256;

    // A new response is to be captured: its headers come first, in the default mode
    // (binary).
    void Start();
    // No response is captured any more (a new block from the local client): the body is
    // not started, and what was held back goes to `body` (it is not carried into another
    // response).
    void Reset(IResponseBody& body);
    // One block of the response.
    void Feed(std::string_view block, IResponseBody& body);
    // Hands on a held-back end of a text body (an unfinished UTF-8 sequence) as it is.
    void Flush(IResponseBody& body);
    // The held-back end of a text body, taken out of the scan (for a file being closed).
    std::string TakeTextTail();

    // One header line, its CR and LF bytes already removed: an empty line starts the body,
    // a "content-type: " value that begins with "text" (any case) switches to text mode.
    void ScanHeaderText(std::string_view text);

    bool IsBodyStarted() const { return m_bBodyStarted; }
    bool IsNewResponse() const { return m_bNewResponse; }
    int GetTextMode() const { return m_nTextMode; }

private:
    void OnHeaderLineDone(IResponseBody& body);
    void FeedText(std::string_view bytes, IResponseBody& body);

    bool m_bBodyStarted = false;
    bool m_bNewResponse = true;
    int m_nTextMode = 0;
    // Header lines: the first is the status line; an interim (1xx) response is followed by
    // the headers of the real one.
    bool m_bStatusLine = true;
    bool m_bInterim = false;
    // The text of the unfinished header line, without CR and LF (at most kMaxCarry bytes).
    std::string m_strCarry;
    // Text mode: the start of a UTF-8 sequence that the last block cut.
    std::string m_strTextTail;
};

// Length of the part of `bytes` after which no UTF-8 sequence is left unfinished: the
// bytes from a lead byte near the end whose sequence needs more bytes than there are stay
// out.
std::size_t CompleteUtf8Length(std::string_view bytes);
