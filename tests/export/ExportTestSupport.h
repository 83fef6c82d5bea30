// What the export tests share: a log fed with the records of scripted sessions (their
// marker lines and blocks in its text, their records beside), and running a command.
#pragma once

#include <openssl/evp.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "logdoc/LogDocument.h"
#include "module/Messages.h"

namespace test {

inline CNetAddress LoopbackAddress(std::uint16_t nPort) {
    CNetAddress a;
    a.nFamily = 4;
    a.addr[0] = 127;
    a.addr[3] = 1;
    a.nPort = nPort;
    return a;
}

// Sessions played into a log as the relay writes them: a marker line in bold before each
// block, the records in the log's order, a millisecond between records.
class CLogScript {
public:
    explicit CLogScript(CLogDocument& doc) : m_doc(doc) {}

    void Start(std::uint64_t nId, std::uint16_t nServerPort = 80, const char* pszTls = nullptr) {
        CLogRecord r = Make(LogRecordKind::SessionStart, nId);
        r.client = LoopbackAddress(static_cast<std::uint16_t>(40000 + nId));
        m_doc.OnLogRecord(r);
        CLogRecord c = Make(LogRecordKind::SessionConnected, nId);
        c.server = LoopbackAddress(nServerPort);
        c.strServerHost = "server.test";
        m_doc.OnLogRecord(c);
        if (pszTls != nullptr) {
            CLogRecord t = Make(LogRecordKind::SessionTls, nId);
            t.bytes = pszTls;
            m_doc.OnLogRecord(t);
        }
    }
    void Block(std::uint64_t nId, LogDirection direction, std::string_view bytes) {
        m_doc.OnLogRecord(Make(LogRecordKind::BlockBegin, nId));
        m_doc.AppendLog(L"\r\n" + std::to_wstring(nId) +
                            (direction == LogDirection::ClientToServer ? L"---<---" : L"--->---"),
                        LOG_STYLE_BOLD);
        m_doc.AppendLog(L"\r\n", LOG_STYLE_PLAIN);
        m_doc.AppendLogBytes(bytes, LOG_STYLE_PLAIN);
        CLogRecord r = Make(LogRecordKind::Block, nId);
        r.direction = direction;
        r.bytes = bytes;
        m_doc.OnLogRecord(r);
    }
    // The bytes in pieces of `nPiece`, as a slow network hands them on.
    void Pieces(std::uint64_t nId, LogDirection direction, std::string_view bytes,
                std::size_t nPiece) {
        for (std::size_t i = 0; i < bytes.size(); i += nPiece) {
            Block(nId, direction, bytes.substr(i, nPiece));
        }
    }
    void End(std::uint64_t nId) { m_doc.OnLogRecord(Make(LogRecordKind::SessionEnd, nId)); }

    std::int64_t Now() const { return m_nTime; }

private:
    CLogRecord Make(LogRecordKind kind, std::uint64_t nId) {
        CLogRecord r;
        r.kind = kind;
        r.nSessionId = nId;
        r.nSession = static_cast<long>(nId);
        r.nTimeUs = m_nTime += 1000;
        return r;
    }
    CLogDocument& m_doc;
    std::int64_t m_nTime = 1'765'000'000'000'000;
};

inline std::string Sha256Hex(std::string_view bytes) {
    unsigned char digest[32];
    unsigned int nLength = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &nLength, EVP_sha256(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < nLength; ++i) {
        out.push_back(kHex[digest[i] >> 4]);
        out.push_back(kHex[digest[i] & 15]);
    }
    return out;
}

// Runs `strCommand` in the shell; its standard output and error, and its exit status.
inline std::pair<int, std::string> RunCommand(const std::string& strCommand) {
    std::string out;
    std::FILE* p = ::popen((strCommand + " 2>&1").c_str(), "r");
    if (p == nullptr) {
        return {-1, "popen failed"};
    }
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) {
        out.append(buffer, n);
    }
    const int nStatus = ::pclose(p);
    return {WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1, out};
}

#ifdef TAPVANE_TEST_DIR
// The schema check of an archive (tests/export/har_check.py): its exit status and output,
// one line per entry.
inline std::pair<int, std::string> CheckHar(const std::string& strFile) {
    return RunCommand("/usr/bin/python3 " TAPVANE_TEST_DIR "/export/har_check.py '" + strFile +
                      "'");
}

// The archive opened by the HAR validator that Debian packages for Node.js.
inline std::pair<int, std::string> CheckHarWithNode(const std::string& strFile) {
    return RunCommand(
        "NODE_PATH=/usr/share/nodejs:/usr/lib/nodejs node -e \""
        "const fs = require('fs'); const v = require('har-validator');"
        "v.har(JSON.parse(fs.readFileSync(process.argv[1], 'utf8')))"
        ".then(() => console.log('valid'))"
        ".catch((e) => { console.log(JSON.stringify(e.errors || e.message)); process.exit(1); });"
        "\" '" +
        strFile + "'");
}

#endif

}  // namespace test
