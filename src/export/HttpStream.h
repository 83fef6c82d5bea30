// The HTTP/1.x exchanges of one relayed connection, read back from its recorded blocks:
// the requests the client sent and the responses the server gave, paired in order (a
// pipelining client's second request takes the second response), each with its start
// line, header fields, body (the framing removed, content codings kept) and the arrival
// times of its first and last byte.
//
// A body is read as its framing says: Content-Length, chunked (extensions and trailers
// skipped), no body for answers to HEAD and for 1xx, 204 and 304, or the end of the
// connection. An answer that switches protocols (101, a 2xx to CONNECT) ends the reading:
// what follows is no HTTP. A client whose first line is no request line makes the whole
// connection "not HTTP"; the same happens to a server that answers with something else.
// Bodies are kept up to kMaxBody bytes, longer ones only counted.
//
// Threads: one thread at a time.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "module/LogRecord.h"

struct CHttpField {
    std::string strName;
    std::string strValue;
};

struct CHttpMessage {
    // Request: method, target, version ("HTTP/1.1"). Response: version, status, reason.
    std::string strMethod;
    std::string strTarget;
    std::string strVersion;
    int nStatus = 0;
    std::string strReason;
    std::vector<CHttpField> fields;
    std::string strBody;            // framing removed, at most kMaxBody bytes
    std::uint64_t nBodyLength = 0;  // the whole body's length, framing removed
    std::uint64_t nHeadBytes = 0;   // start line, fields and the empty line, as sent
    std::uint64_t nWireBytes = 0;   // the body as sent (with its chunk framing)
    bool bBodyCut = false;          // strBody holds only the first kMaxBody bytes
    bool bComplete = false;         // the message ended as its framing says
    std::int64_t nFirstUs = 0;      // arrival of the block with its first byte
    std::int64_t nLastUs = 0;       // arrival of the block with its last byte

    // The first field of that name (any case), or null.
    const std::string* Field(std::string_view name) const;
};

struct CHttpExchange {
    CHttpMessage request;
    CHttpMessage response;
    bool bHasResponse = false;
};

class CHttpStream {
public:
    static constexpr std::size_t kMaxBody = 32 * 1024 * 1024;
    static constexpr std::size_t kMaxHead = 256 * 1024;
    // Requests kept waiting for their answers; a client that sends more without any answer
    // is taken for no HTTP client.
    static constexpr std::size_t kMaxPending = 1024;

    using ExchangeFn = std::function<void(CHttpExchange&&)>;

    explicit CHttpStream(ExchangeFn fnExchange) : m_fnExchange(std::move(fnExchange)) {}

    // One block of the connection.
    void Feed(LogDirection from, std::string_view bytes, std::int64_t nTimeUs);
    // The connection ended: a body that runs to the close ends here, and every request
    // still waiting is handed on (with its answer, if one began).
    void End();

    // False once either side turned out to speak something else.
    bool IsHttp() const { return !m_bNotHttp; }
    std::uint64_t GetExchangeCount() const { return m_nExchanges; }

private:
    enum class State { Head, Length, ChunkSize, ChunkData, ChunkEnd, Trailers, UntilClose, Off };

    struct CReader {
        State state = State::Head;
        std::string strHead;  // the head so far (or the chunk line)
        std::uint64_t nLeft = 0;
        CHttpMessage message;
        bool bStarted = false;
    };

    void FeedSide(std::size_t nSide, std::string_view bytes, std::int64_t nTimeUs);
    // Takes head bytes up to the empty line; the count used, and sets bDone at its end.
    std::size_t TakeHead(CReader& r, std::string_view bytes, bool& bDone);
    // The head is complete: parses it and picks the body's framing; false: no HTTP.
    bool StartBody(std::size_t nSide, CReader& r);
    void AddBody(CReader& r, std::string_view bytes);
    void Finish(std::size_t nSide, CReader& r);
    void Pair();
    void Emit(CHttpMessage&& request, CHttpMessage* pResponse);

    ExchangeFn m_fnExchange;
    CReader m_readers[2];  // by LogDirection
    // Requests whose heads are read, oldest first, with whether each is complete.
    std::deque<CHttpMessage> m_requests;
    std::deque<CHttpMessage> m_responses;  // complete final answers not yet paired
    std::size_t m_nAnswered = 0;           // requests whose answer's head came
    bool m_bNotHttp = false;
    bool m_bTunnel = false;  // the protocol was switched: nothing more is read
    std::uint64_t m_nExchanges = 0;
};
