// Runs arbitrary bytes through the capture reader and the TCP reassembly, checking that
// - every packet handed on lies inside the input;
// - the sessions' bytes are never more than the input's (each captured byte counts once);
// - a second reading of the same bytes gives the same sessions.
//
// Input: the capture file's bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "logdoc/PcapngReader.h"
#include "logdoc/TcpStreams.h"

namespace {

std::vector<CTcpStream> Streams(std::string_view file) {
    CPcapngReader reader;
    CTcpStreams tcp;
    reader.Read(file, [&](const CCapturedPacket& packet) {
        if (packet.data.data() < file.data() ||
            packet.data.data() + packet.data.size() > file.data() + file.size()) {
            std::abort();
        }
        tcp.Add(packet);
    });
    return tcp.Take();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    const std::string_view file(reinterpret_cast<const char*>(pData), nSize);
    const std::vector<CTcpStream> first = Streams(file);
    std::uint64_t nBytes = 0;
    for (const CTcpStream& s : first) {
        nBytes += s.nClientBytes + s.nServerBytes;
    }
    if (nBytes > nSize) {
        std::abort();
    }
    const std::vector<CTcpStream> second = Streams(file);
    if (second.size() != first.size()) {
        std::abort();
    }
    for (std::size_t i = 0; i < first.size(); ++i) {
        if (first[i].clientTurns.size() != second[i].clientTurns.size() ||
            first[i].nClientBytes != second[i].nClientBytes ||
            !(first[i].client == second[i].client)) {
            std::abort();
        }
    }
    return 0;
}
