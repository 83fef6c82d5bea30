// Recognises a TLS ClientHello at the start of a connection, from as many bytes as have
// arrived, and reads the server name (SNI) and the application protocols (ALPN) it asks for.
// Any bytes are safe input: whatever does not parse as a ClientHello is "not TLS", so that a
// plain protocol whose first byte happens to be 0x16 is relayed untouched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class HelloScan {
    NeedMore,     // a ClientHello so far: more bytes are needed to tell
    ClientHello,  // a whole, well-formed ClientHello
    NotTls,       // anything else
};

struct CClientHelloInfo {
    std::string strServerName;      // the host_name of the SNI extension, empty when none
    std::vector<std::string> alpn;  // the protocols offered, in the client's order
    bool bHasAlpn = false;          // the ALPN extension was present
    std::uint16_t nLegacyVersion = 0;
    bool bOffersTls13 = false;  // supported_versions names 0x0304
    std::size_t nBytes = 0;     // the bytes of the records that carry the ClientHello
};

// Largest ClientHello message accepted (real ones stay far below).
constexpr std::size_t kMaxClientHello = 65536;

// Reads the records at the start of `bytes`. `pInfo` (may be null) is filled for ClientHello.
HelloScan ScanClientHello(std::string_view bytes, CClientHelloInfo* pInfo = nullptr);

// The TLS record layer over a byte stream that arrives in pieces: reassembles the handshake
// messages carried in consecutive handshake records (type 22) and stops at anything else.
class CTlsRecordReader {
public:
    enum class State { NeedMore, Message, Invalid };

    // Reads records from `bytes` (the stream from its start) until the first handshake
    // message is whole. Message: Body() holds it (type, 3-byte length and body).
    State Read(std::string_view bytes);
    const std::string& Message() const { return m_message; }
    std::size_t RecordBytes() const { return m_nRecordBytes; }

private:
    std::string m_message;
    std::size_t m_nRecordBytes = 0;
};
