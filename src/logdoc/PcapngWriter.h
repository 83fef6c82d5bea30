// Writes the sessions of the traffic log as a pcapng packet capture that packet analysers
// open: each session a TCP conversation between the real client and server addresses, with
// its handshake, consistent sequence and acknowledgement numbers, the blocks as segments
// (split at kMaxSegment bytes), and its closes as FIN or RST, at the records' times.
//
// The writer hands whole packets to its output. Opened on a path, it collects them in
// memory and writes large pieces (an export); given an output of its own (a live capture),
// each packet goes there as it comes, and that output decides when it reaches the disk.
//
// Threads: one thread at a time (the relay's calls come under the module lock).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "module/LogRecord.h"

class CPcapngWriter {
public:
    static constexpr std::size_t kMaxSegment = 65000;
    // Takes the file's bytes in order, each call one or more whole blocks of it.
    using Output = std::function<void(std::string_view)>;

    CPcapngWriter() = default;
    ~CPcapngWriter();
    CPcapngWriter(const CPcapngWriter&) = delete;
    CPcapngWriter& operator=(const CPcapngWriter&) = delete;

    // Creates (or empties) the file and writes its header; 0 or the errno. The packets are
    // written in pieces of kWriteBatch bytes, and the rest by Flush or Close.
    int Open(const std::string& strPath);
    // Starts a capture that goes to `fnOutput`, header first; its errors are the output's.
    void Open(Output fnOutput);
    // Writes what is collected to the file; 0 or the errno of the first failed write.
    int Flush();
    // Flushes and closes the file; 0 or the errno of the first failed write or the close.
    int Close();
    bool IsOpen() const { return m_fd >= 0 || m_fnOutput != nullptr; }
    // 0, or the errno of the first failed write.
    int GetError() const { return m_nError; }

    // The records of the relay, as they come: a live capture.
    void OnRecord(const CLogRecord& record);

    // The same steps one at a time (an export from the stored records). A session needs
    // both addresses (of one family) before anything of it is written.
    void Connect(std::uint64_t nSessionId, const CNetAddress& client, const CNetAddress& server,
                 std::int64_t nTimeUs);
    void Data(std::uint64_t nSessionId, LogDirection from, std::string_view bytes,
              std::int64_t nTimeUs);
    void Fin(std::uint64_t nSessionId, LogDirection from, std::int64_t nTimeUs);
    void Reset(std::uint64_t nSessionId, LogDirection from, std::int64_t nTimeUs);
    // The relay closed what was still open: a FIN from each side that sent none; the
    // session is forgotten.
    void End(std::uint64_t nSessionId, std::int64_t nTimeUs);

private:
    struct CConversation {
        CNetAddress client;
        CNetAddress server;
        std::uint32_t nNextSeq[2] = {};  // by LogDirection: the client's, the server's
        bool bConnected = false;
        bool bFin[2] = {};
        bool bReset = false;
    };

    enum : std::uint8_t { kFin = 0x01, kSyn = 0x02, kRst = 0x04, kPsh = 0x08, kAck = 0x10 };

    // The conversation of a session that has both addresses; null otherwise.
    CConversation* Find(std::uint64_t nSessionId);
    // One TCP segment from `from` with the given flags and payload, its sequence number
    // `nSeq`, acknowledging `nAck`.
    void Segment(const CConversation& c, LogDirection from, std::uint8_t nFlags, std::uint32_t nSeq,
                 std::uint32_t nAck, std::string_view payload, std::int64_t nTimeUs);
    static constexpr std::size_t kWriteBatch = 1024 * 1024;

    // Starts a file: forgets every session and puts the section and interface headers.
    void Begin();
    // Hands a finished block of the file to the output or the file's buffer.
    void Emit(const std::vector<std::uint8_t>& bytes);

    Output m_fnOutput;
    int m_fd = -1;
    std::string m_out;  // the file's bytes not yet written
    int m_nError = 0;
    std::uint16_t m_nIpId = 0;
    std::unordered_map<std::uint64_t, CConversation> m_sessions;
    std::unordered_map<std::uint64_t, CNetAddress> m_clients;  // started, not yet connected
    std::vector<std::uint8_t> m_packet;                        // reused buffers
    std::vector<std::uint8_t> m_block;
};
