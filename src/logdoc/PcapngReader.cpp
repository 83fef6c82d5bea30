#include "logdoc/PcapngReader.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <vector>

namespace {

constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint32_t kInterfaceDescription = 1;
constexpr std::uint32_t kObsoletePacket = 2;
constexpr std::uint32_t kSimplePacket = 3;
constexpr std::uint32_t kEnhancedPacket = 6;
constexpr std::uint16_t kOptionEnd = 0;
constexpr std::uint16_t kOptionTsResol = 9;

// Reads integers of one byte order from a piece of the input; reading beyond it gives 0
// and marks the reader as failed.
class CFields {
public:
    CFields(std::string_view bytes, bool bSwap) : m_bytes(bytes), m_bSwap(bSwap) {}

    template <class T>
    T Get(std::size_t nAt) {
        if (nAt > m_bytes.size() || m_bytes.size() - nAt < sizeof(T)) {
            m_bFailed = true;
            return 0;
        }
        T value = 0;
        std::memcpy(&value, m_bytes.data() + nAt, sizeof(T));
        if (m_bSwap) {
            T swapped = 0;
            for (std::size_t i = 0; i < sizeof(T); ++i) {
                swapped = static_cast<T>((swapped << 8) | ((value >> (8 * i)) & 0xFF));
            }
            value = swapped;
        }
        return value;
    }
    bool Failed() const { return m_bFailed; }

private:
    std::string_view m_bytes;
    bool m_bSwap;
    bool m_bFailed = false;
};

std::uint32_t Swap32(std::uint32_t n) {
    return (n >> 24) | ((n >> 8) & 0xFF00) | ((n << 8) & 0xFF0000) | (n << 24);
}

std::uint32_t Raw32(std::string_view bytes, std::size_t nAt) {
    std::uint32_t n = 0;
    std::memcpy(&n, bytes.data() + nAt, 4);
    return n;
}

// A time stamp in units given by if_tsresol: bit 7 clear, 10^-n s; set, 2^-n s.
std::int64_t StampToUs(std::uint64_t nStamp, std::uint8_t nResolution) {
    const unsigned nExponent = nResolution & 0x7F;
    long double seconds = static_cast<long double>(nStamp);
    if ((nResolution & 0x80) == 0) {
        seconds /= std::pow(10.0L, static_cast<long double>(nExponent));
    } else {
        seconds /= std::pow(2.0L, static_cast<long double>(nExponent));
    }
    const long double us = seconds * 1e6L;
    if (!(us >= 0) || us > 9.0e18L) {
        return 0;
    }
    return static_cast<std::int64_t>(us);
}

struct CInterface {
    std::uint16_t nLinkType = 0;
    std::uint8_t nResolution = 6;
};

}  // namespace

bool CPcapngReader::Read(std::string_view file, const PacketFn& fn) {
    m_strError.clear();
    m_bTruncated = false;
    m_nSkipped = 0;
    if (file.size() < 4) {
        m_strError = "the file is too short to be a packet capture";
        return false;
    }
    const std::uint32_t nMagic = Raw32(file, 0);
    if (nMagic == kSectionHeader) {
        return ReadPcapng(file, fn);
    }
    for (const std::uint32_t n : {0xA1B2C3D4u, 0xA1B23C4Du}) {
        if (nMagic == n || nMagic == Swap32(n)) {
            return ReadPcap(file, fn);
        }
    }
    m_strError = "the file is neither a pcapng nor a pcap packet capture";
    return false;
}

bool CPcapngReader::ReadPcapng(std::string_view file, const PacketFn& fn) {
    std::vector<CInterface> interfaces;
    bool bSwap = false;
    std::size_t nPos = 0;
    while (nPos < file.size()) {
        if (file.size() - nPos < 12) {
            m_bTruncated = true;
            break;
        }
        const std::uint32_t nRawType = Raw32(file, nPos);
        if (nRawType == kSectionHeader) {
            // A new section: its byte order mark decides how everything in it is read.
            const std::uint32_t nMark = Raw32(file, nPos + 8);
            if (nMark == kByteOrderMagic) {
                bSwap = false;
            } else if (nMark == Swap32(kByteOrderMagic)) {
                bSwap = true;
            } else {
                if (nPos == 0) {
                    m_strError = "the pcapng section header has no valid byte order mark";
                    return false;
                }
                m_bTruncated = true;
                break;
            }
            interfaces.clear();
        }
        CFields head(file.substr(nPos, 12), bSwap);
        const std::uint32_t nType = head.Get<std::uint32_t>(0);
        const std::uint32_t nLength = head.Get<std::uint32_t>(4);
        if (nLength < 12 || nLength % 4 != 0 || nLength > file.size() - nPos) {
            m_bTruncated = true;
            break;
        }
        const std::string_view body = file.substr(nPos + 8, nLength - 12);
        CFields fields(body, bSwap);
        nPos += nLength;
        if (nType == kInterfaceDescription) {
            CInterface iface;
            iface.nLinkType = fields.Get<std::uint16_t>(0);
            for (std::size_t nAt = 8; nAt + 4 <= body.size();) {
                const std::uint16_t nCode = fields.Get<std::uint16_t>(nAt);
                const std::uint16_t nOptLength = fields.Get<std::uint16_t>(nAt + 2);
                if (nCode == kOptionEnd || nOptLength > body.size() - nAt - 4) {
                    break;
                }
                if (nCode == kOptionTsResol && nOptLength >= 1) {
                    iface.nResolution = static_cast<std::uint8_t>(body[nAt + 4]);
                }
                nAt += 4 + ((nOptLength + 3u) & ~3u);
            }
            if (!fields.Failed()) {
                interfaces.push_back(iface);
            }
            continue;
        }
        CCapturedPacket packet;
        std::uint32_t nInterface = 0;
        std::size_t nDataAt = 0;
        std::uint32_t nCaptured = 0;
        if (nType == kEnhancedPacket || nType == kObsoletePacket) {
            std::uint64_t nStamp = 0;
            if (nType == kEnhancedPacket) {
                nInterface = fields.Get<std::uint32_t>(0);
            } else {
                nInterface = fields.Get<std::uint16_t>(0);
            }
            nStamp =
                (std::uint64_t{fields.Get<std::uint32_t>(4)} << 32) | fields.Get<std::uint32_t>(8);
            nCaptured = fields.Get<std::uint32_t>(12);
            packet.nOriginalLength = fields.Get<std::uint32_t>(16);
            nDataAt = 20;
            if (nInterface < interfaces.size()) {
                packet.nTimeUs = StampToUs(nStamp, interfaces[nInterface].nResolution);
            }
        } else if (nType == kSimplePacket) {
            packet.nOriginalLength = fields.Get<std::uint32_t>(0);
            nDataAt = 4;
            nCaptured = packet.nOriginalLength;
            if (body.size() >= nDataAt) {
                nCaptured = std::min<std::uint32_t>(
                    nCaptured, static_cast<std::uint32_t>(body.size() - nDataAt));
            }
        } else {
            continue;  // statistics, name resolution, custom blocks: nothing to relay
        }
        if (fields.Failed() || nDataAt > body.size() || nCaptured > body.size() - nDataAt) {
            m_bTruncated = true;  // a packet block that does not hold its own data
            continue;
        }
        if (nInterface >= interfaces.size()) {
            ++m_nSkipped;
            continue;
        }
        packet.nLinkType = interfaces[nInterface].nLinkType;
        packet.data = body.substr(nDataAt, nCaptured);
        fn(packet);
    }
    return true;
}

bool CPcapngReader::ReadPcap(std::string_view file, const PacketFn& fn) {
    if (file.size() < 24) {
        m_bTruncated = true;
        return true;
    }
    const std::uint32_t nMagic = Raw32(file, 0);
    const bool bSwap = nMagic == Swap32(0xA1B2C3D4u) || nMagic == Swap32(0xA1B23C4Du);
    const bool bNano = nMagic == 0xA1B23C4Du || nMagic == Swap32(0xA1B23C4Du);
    CFields header(file.substr(0, 24), bSwap);
    const auto nLinkType = static_cast<std::uint16_t>(header.Get<std::uint32_t>(20) & 0xFFFF);
    std::size_t nPos = 24;
    while (nPos < file.size()) {
        if (file.size() - nPos < 16) {
            m_bTruncated = true;
            break;
        }
        CFields record(file.substr(nPos, 16), bSwap);
        const std::uint32_t nSeconds = record.Get<std::uint32_t>(0);
        const std::uint32_t nFraction = record.Get<std::uint32_t>(4);
        const std::uint32_t nCaptured = record.Get<std::uint32_t>(8);
        CCapturedPacket packet;
        packet.nOriginalLength = record.Get<std::uint32_t>(12);
        if (nCaptured > file.size() - nPos - 16) {
            m_bTruncated = true;
            break;
        }
        packet.nTimeUs = std::int64_t{nSeconds} * 1000000 + (bNano ? nFraction / 1000 : nFraction);
        packet.nLinkType = nLinkType;
        packet.data = file.substr(nPos + 16, nCaptured);
        nPos += 16 + std::size_t{nCaptured};
        fn(packet);
    }
    return true;
}

bool ReadCaptureFile(const std::string& strPath, std::string& bytes, std::string& strError,
                     std::uint64_t nMaxBytes) {
    std::ifstream in(strPath, std::ios::binary);
    if (!in) {
        strError = "cannot open " + strPath + ": " + std::strerror(errno);
        return false;
    }
    bytes.clear();
    char buffer[65536];
    while (in.read(buffer, sizeof(buffer)) || in.gcount() > 0) {
        bytes.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (bytes.size() > nMaxBytes) {
            strError = strPath + " is larger than " + std::to_string(nMaxBytes) + " bytes";
            return false;
        }
    }
    if (in.bad()) {
        strError = "cannot read " + strPath;
        return false;
    }
    return true;
}
