// Builds an HTTP Archive from the blocks of sessions as they come, in log order: each
// session's connection is read as HTTP (see CHttpStream), and every exchange that ends
// becomes an entry of the archive, handed to the output at once; sessions that are no
// HTTP give none. Memory holds only the messages not yet answered.
//
// Threads: one thread at a time (the relay's records come under the module lock).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <unordered_map>

#include "export/HarEntry.h"
#include "export/HttpStream.h"
#include "module/LogRecord.h"

class CHarBuilder {
public:
    // Takes the archive's text in order.
    using Output = std::function<void(std::string_view)>;

    // Writes the archive's beginning.
    explicit CHarBuilder(Output fnOutput);
    CHarBuilder(const CHarBuilder&) = delete;
    CHarBuilder& operator=(const CHarBuilder&) = delete;

    // The relay's records, as they come.
    void OnRecord(const CLogRecord& record);

    // The same steps one at a time (an export from the stored records).
    void StartSession(const CHarSession& session);
    void Block(std::uint64_t nSessionId, LogDirection from, std::string_view bytes,
               std::int64_t nTimeUs);
    // The session's connections are closed: what is still waiting becomes entries.
    void EndSession(std::uint64_t nSessionId);
    // Ends every session still open and writes the archive's end; nothing is taken after.
    void Finish();

    std::uint64_t GetEntryCount() const { return m_nEntries; }

private:
    struct CSession {
        CHarSession info;
        std::unique_ptr<CHttpStream> pStream;  // null once it turned out to be no HTTP
        bool bFirstDone = false;
    };

    void OnExchange(CSession& session, CHttpExchange&& exchange);

    Output m_fnOutput;
    std::unordered_map<std::uint64_t, CSession> m_sessions;
    std::uint64_t m_nEntries = 0;
    bool m_bFinished = false;
};
