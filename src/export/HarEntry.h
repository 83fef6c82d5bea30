// One HTTP exchange as an entry of an HTTP Archive (HAR 1.2, JSON): the request and the
// response with their header fields, cookies and query, the bodies with their content
// codings removed (as text when they are UTF-8 text, else base64), and the timings that
// the arrival times of the blocks give.
//
// Threads: any thread; no state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "export/HttpStream.h"
#include "module/LogRecord.h"

// What an entry needs to know of its session.
struct CHarSession {
    std::uint64_t nSessionId = 0;
    long nNumber = 0;               // as the log's marker lines show it
    bool bTls = false;              // the client spoke TLS (decrypted here): https
    std::string strHost;            // the server as entered, for a request without Host
    CNetAddress server;             // 0 family: not known
    std::int64_t nStartUs = 0;      // the client connected
    std::int64_t nConnectedUs = 0;  // the server connection was up (0: never)
};

// The URL of a request: its target when that is absolute, else the scheme, the Host field
// (or the session's server) and the target.
std::string RequestUrl(const CHttpMessage& request, const CHarSession& session);

// The body of a message with its content codings removed: false when a coding is not known
// or its data does not decode (then `out` holds the body as it came).
bool DecodedBody(const CHttpMessage& message, std::string& out);

// The JSON object of one entry. `bFirst`: the session's first exchange, which carries the
// connection's setup in its timings.
std::string HarEntryJson(const CHttpExchange& exchange, const CHarSession& session, bool bFirst);

// The archive around the entries: the text before the first and after the last; the
// entries go between, separated by commas.
std::string HarLogBegin();
std::string HarLogEnd();
