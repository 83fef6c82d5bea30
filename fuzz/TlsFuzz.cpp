// Runs arbitrary bytes through the ClientHello detection and the TLS record reader,
// checking that:
// - the verdict on a stream never changes once given: a prefix that says ClientHello or
//   NotTls says what the whole stream says (only "need more" may turn out either way);
// - a ClientHello covers no more bytes than there are, and its names are within them;
// - the record reader's message never exceeds the bytes of its records.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tls/ClientHello.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    const std::string_view bytes(reinterpret_cast<const char*>(pData), nSize);
    CClientHelloInfo info;
    const HelloScan whole = ScanClientHello(bytes, &info);
    if (whole == HelloScan::ClientHello) {
        if (info.nBytes == 0 || info.nBytes > nSize || info.strServerName.size() > nSize) {
            std::abort();
        }
        for (const std::string& strName : info.alpn) {
            if (strName.empty() || strName.size() > nSize) {
                std::abort();
            }
        }
    }
    // Every prefix agrees with the whole: what was decided stays decided, and what needs more
    // is a prefix of whatever the whole turns out to be.
    for (std::size_t n = 0; n < nSize; n += 1 + n / 8) {
        const HelloScan part = ScanClientHello(bytes.substr(0, n));
        if (part != HelloScan::NeedMore && part != whole) {
            std::abort();
        }
    }
    CTlsRecordReader reader;
    if (reader.Read(bytes) == CTlsRecordReader::State::Message &&
        (reader.RecordBytes() > nSize || reader.Message().size() > reader.RecordBytes())) {
        std::abort();
    }
    return 0;
}
