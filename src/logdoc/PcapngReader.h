// Reads the packets of a packet capture: pcapng (any number of sections and interfaces,
// either byte order, enhanced, simple and the old packet blocks) and the classic pcap
// format (micro- or nanosecond stamps, either byte order), as packet analysers and capture
// tools write them. Whatever the input, reading never goes outside it: a block whose
// length does not fit ends the reading as a truncated capture.
//
// Threads: one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

struct CCapturedPacket {
    std::int64_t nTimeUs = 0;     // wall-clock microseconds since 1970; 0 when unknown
    std::uint16_t nLinkType = 0;  // the interface's link type (1 Ethernet, 101 raw IP...)
    std::string_view data;        // the captured bytes (perhaps fewer than were sent)
    std::uint32_t nOriginalLength = 0;
};

class CPcapngReader {
public:
    using PacketFn = std::function<void(const CCapturedPacket&)>;

    // Calls `fn` for every packet of `file`, in file order. False when the bytes are no
    // capture of a known format (the reason in GetError); a capture cut short gives the
    // packets before the cut and IsTruncated.
    bool Read(std::string_view file, const PacketFn& fn);

    const std::string& GetError() const { return m_strError; }
    bool IsTruncated() const { return m_bTruncated; }
    // Packets skipped because their interface is unknown.
    std::uint64_t GetSkippedCount() const { return m_nSkipped; }

private:
    bool ReadPcapng(std::string_view file, const PacketFn& fn);
    bool ReadPcap(std::string_view file, const PacketFn& fn);

    std::string m_strError;
    bool m_bTruncated = false;
    std::uint64_t m_nSkipped = 0;
};

// Reads a file whole (at most `nMaxBytes`); false with the reason in `strError`.
bool ReadCaptureFile(const std::string& strPath, std::string& bytes, std::string& strError,
                     std::uint64_t nMaxBytes = std::uint64_t{1} << 31);
