#include "tls/ClientHello.h"

#include <optional>

namespace {

constexpr std::uint8_t kHandshakeRecord = 22;
constexpr std::uint8_t kClientHelloType = 1;
constexpr std::size_t kMaxRecordBody = 16384 + 2048;
constexpr std::uint16_t kExtServerName = 0;
constexpr std::uint16_t kExtAlpn = 16;
constexpr std::uint16_t kExtSupportedVersions = 43;

// A bounds-checked reader over a byte string; every read fails once past the end.
class CCursor {
public:
    explicit CCursor(std::string_view bytes) : m_bytes(bytes) {}
    bool Empty() const { return m_nPos >= m_bytes.size(); }
    std::size_t Left() const { return m_bytes.size() - m_nPos; }
    std::optional<std::uint32_t> Number(std::size_t nLength) {
        if (Left() < nLength) {
            return std::nullopt;
        }
        std::uint32_t n = 0;
        for (std::size_t i = 0; i < nLength; ++i) {
            n = (n << 8) | static_cast<std::uint8_t>(m_bytes[m_nPos++]);
        }
        return n;
    }
    std::optional<std::string_view> Bytes(std::size_t nLength) {
        if (Left() < nLength) {
            return std::nullopt;
        }
        const std::string_view part = m_bytes.substr(m_nPos, nLength);
        m_nPos += nLength;
        return part;
    }
    // A vector with a length prefix of `nPrefix` bytes.
    std::optional<std::string_view> Vector(std::size_t nPrefix) {
        const std::optional<std::uint32_t> n = Number(nPrefix);
        return n ? Bytes(*n) : std::nullopt;
    }

private:
    std::string_view m_bytes;
    std::size_t m_nPos = 0;
};

bool ReadServerName(std::string_view data, CClientHelloInfo& info) {
    CCursor cursor(data);
    const std::optional<std::string_view> list = cursor.Vector(2);
    if (!list || !cursor.Empty()) {
        return false;
    }
    CCursor names(*list);
    while (!names.Empty()) {
        const std::optional<std::uint32_t> type = names.Number(1);
        const std::optional<std::string_view> name = type ? names.Vector(2) : std::nullopt;
        if (!name) {
            return false;
        }
        if (*type == 0 && info.strServerName.empty()) {
            info.strServerName = std::string(*name);
        }
    }
    return true;
}

bool ReadAlpn(std::string_view data, CClientHelloInfo& info) {
    CCursor cursor(data);
    const std::optional<std::string_view> list = cursor.Vector(2);
    if (!list || !cursor.Empty()) {
        return false;
    }
    info.bHasAlpn = true;
    CCursor protocols(*list);
    while (!protocols.Empty()) {
        const std::optional<std::string_view> name = protocols.Vector(1);
        if (!name || name->empty()) {
            return false;
        }
        info.alpn.emplace_back(*name);
    }
    return true;
}

bool ReadSupportedVersions(std::string_view data, CClientHelloInfo& info) {
    CCursor cursor(data);
    const std::optional<std::string_view> list = cursor.Vector(1);
    if (!list || !cursor.Empty() || list->size() % 2 != 0) {
        return false;
    }
    CCursor versions(*list);
    while (!versions.Empty()) {
        if (versions.Number(2) == 0x0304u) {
            info.bOffersTls13 = true;
        }
    }
    return true;
}

// The body of a ClientHello message (after its 4-byte header).
bool ParseClientHelloBody(std::string_view body, CClientHelloInfo& info) {
    CCursor cursor(body);
    const std::optional<std::uint32_t> version = cursor.Number(2);
    if (!version || (*version >> 8) != 3) {
        return false;
    }
    info.nLegacyVersion = static_cast<std::uint16_t>(*version);
    const std::optional<std::string_view> random = cursor.Bytes(32);
    const std::optional<std::string_view> session = random ? cursor.Vector(1) : std::nullopt;
    if (!session || session->size() > 32) {
        return false;
    }
    const std::optional<std::string_view> suites = cursor.Vector(2);
    if (!suites || suites->empty() || suites->size() % 2 != 0) {
        return false;
    }
    const std::optional<std::string_view> compression = cursor.Vector(1);
    if (!compression || compression->empty()) {
        return false;
    }
    if (cursor.Empty()) {
        return true;  // no extensions at all (old clients)
    }
    const std::optional<std::string_view> extensions = cursor.Vector(2);
    if (!extensions || !cursor.Empty()) {
        return false;
    }
    CCursor ext(*extensions);
    while (!ext.Empty()) {
        const std::optional<std::uint32_t> type = ext.Number(2);
        const std::optional<std::string_view> data = type ? ext.Vector(2) : std::nullopt;
        if (!data) {
            return false;
        }
        bool bOk = true;
        if (*type == kExtServerName) {
            bOk = ReadServerName(*data, info);
        } else if (*type == kExtAlpn) {
            bOk = ReadAlpn(*data, info);
        } else if (*type == kExtSupportedVersions) {
            bOk = ReadSupportedVersions(*data, info);
        }
        if (!bOk) {
            return false;
        }
    }
    return true;
}

}  // namespace

CTlsRecordReader::State CTlsRecordReader::Read(std::string_view bytes) {
    m_message.clear();
    m_nRecordBytes = 0;
    std::size_t nPos = 0;
    while (true) {
        // The record header: type, version (3.x), length.
        if (bytes.size() - nPos < 5) {
            // Check what is there already, so that a plain stream is told at once.
            if (nPos < bytes.size() && static_cast<std::uint8_t>(bytes[nPos]) != kHandshakeRecord) {
                return State::Invalid;
            }
            if (bytes.size() - nPos > 1 && static_cast<std::uint8_t>(bytes[nPos + 1]) != 3) {
                return State::Invalid;
            }
            if (bytes.size() - nPos > 2 && static_cast<std::uint8_t>(bytes[nPos + 2]) > 4) {
                return State::Invalid;
            }
            return State::NeedMore;
        }
        CCursor header(bytes.substr(nPos, 5));
        const std::uint32_t nType = *header.Number(1);
        const std::uint32_t nVersion = *header.Number(2);
        const std::uint32_t nLength = *header.Number(2);
        if (nType != kHandshakeRecord || (nVersion >> 8) != 3 || (nVersion & 0xFF) > 4 ||
            nLength == 0 || nLength > kMaxRecordBody) {
            return State::Invalid;
        }
        const std::size_t nBody = nPos + 5;
        const std::size_t nHave = std::min<std::size_t>(nLength, bytes.size() - nBody);
        m_message.append(bytes.substr(nBody, nHave));
        // Whether the message is whole can be told from its header before the record is.
        if (m_message.size() >= 4) {
            CCursor message(m_message);
            message.Number(1);
            const std::size_t nMessage = 4 + *message.Number(3);
            if (nMessage > kMaxClientHello + 4) {
                return State::Invalid;
            }
            if (m_message.size() >= nMessage) {
                if (nHave < nLength) {
                    return State::NeedMore;  // the record goes on: read it whole
                }
                m_message.resize(nMessage);
                m_nRecordBytes = nBody + nLength;
                return State::Message;
            }
        }
        if (nHave < nLength) {
            return State::NeedMore;
        }
        nPos = nBody + nLength;
    }
}

HelloScan ScanClientHello(std::string_view bytes, CClientHelloInfo* pInfo) {
    CTlsRecordReader reader;
    const CTlsRecordReader::State state = reader.Read(bytes);
    const std::string& message = reader.Message();
    if (state == CTlsRecordReader::State::Invalid ||
        (!message.empty() && static_cast<std::uint8_t>(message[0]) != kClientHelloType)) {
        return HelloScan::NotTls;
    }
    if (state == CTlsRecordReader::State::NeedMore) {
        return HelloScan::NeedMore;
    }
    CClientHelloInfo info;
    if (!ParseClientHelloBody(std::string_view(message).substr(4), info)) {
        return HelloScan::NotTls;
    }
    info.nBytes = reader.RecordBytes();
    if (pInfo != nullptr) {
        *pInfo = std::move(info);
    }
    return HelloScan::ClientHello;
}
