// Network conditions that the relay imposes on purpose, per direction: added latency with
// jitter, a bandwidth limit, slicing of blocks into small pieces, a cut after a number of
// bytes, and a share of new connections that are reset at once. Off unless set; a session
// takes the conditions in force when it starts and keeps them to its end.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// What one direction of every session goes through. Zero means "not set" throughout.
struct CDirectionConditions {
    int nLatencyMs = 0;          // each block waits this long before it is sent on
    int nJitterMs = 0;           // ... plus or minus up to this much, drawn per block
    int nBandwidthKBps = 0;      // at most this many KB (1000 bytes) a second
    int nSliceBytes = 0;         // blocks go out in pieces of at most this many bytes
    int nSliceDelayMs = 0;       // ... with this pause between two pieces
    std::int64_t nCutAfter = 0;  // the session ends once this many bytes went this way
    bool bCutReset = false;      // ... by a reset of both connections (else a close)
    int nResetShare = 0;         // percent of new connections reset at once

    bool IsActive() const {
        return nLatencyMs != 0 || nJitterMs != 0 || nBandwidthKBps != 0 || nSliceBytes != 0 ||
               nCutAfter != 0 || nResetShare != 0;
    }
    bool operator==(const CDirectionConditions&) const = default;
};

struct CNetConditions {
    CDirectionConditions up;    // client to server
    CDirectionConditions down;  // server to client

    bool IsActive() const { return up.IsActive() || down.IsActive(); }
    bool operator==(const CNetConditions&) const = default;
};

// In short, for the session list and the status bar: "latency 200 ms, 500 KB/s down".
// A condition set the same both ways is named once, without a direction. Empty: none.
std::string DescribeNetConditions(const CNetConditions& conditions);

// Any thread. The conditions that sessions starting from now on take; null when none is
// set (the relay then pays one pointer test per block).
std::shared_ptr<const CNetConditions> ActiveNetConditions();
// Any thread. Sets the conditions for sessions that start from now on; inactive ones
// switch conditions off.
void SetActiveNetConditions(const CNetConditions& conditions);
