// Reading packet captures back with Debian's tshark, for the tests of the capture writer.
#pragma once

#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "ProcessSupport.h"

namespace test {

inline bool HaveTshark() {
    for (const char* psz : {"/usr/bin/tshark", "/usr/local/bin/tshark"}) {
        if (::access(psz, X_OK) == 0) {
            return true;
        }
    }
    return false;
}

struct CTsharkRun {
    int nExit = -1;
    std::string strOut;
    std::string strErr;
};

inline CTsharkRun RunTshark(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"tshark"};
    all.insert(all.end(), args.begin(), args.end());
    CChildProcess tshark(all, {"HOME=/tmp"});
    CTsharkRun run;
    run.nExit = tshark.Wait(std::chrono::seconds(60));
    run.strOut = tshark.Out();
    run.strErr = tshark.Err();
    return run;
}

// Whether tshark's complaints (other than about running as root) are absent.
inline bool TsharkQuiet(const std::string& strErr) {
    std::size_t nPos = 0;
    while (nPos < strErr.size()) {
        std::size_t nEnd = strErr.find('\n', nPos);
        if (nEnd == std::string::npos) {
            nEnd = strErr.size();
        }
        const std::string line = strErr.substr(nPos, nEnd - nPos);
        if (!line.empty() && line.find("Running as user") == std::string::npos &&
            line.find("dangerous") == std::string::npos) {
            return false;
        }
        nPos = nEnd + 1;
    }
    return true;
}

inline std::string FromHex(const std::string& hex) {
    std::string bytes;
    auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
    }
    return bytes;
}

// The bytes of TCP stream N that each node sent ("follow,tcp,raw"): node 0 first (the
// side that opened the connection), then node 1. The run's exit code goes to pnExit.
inline std::pair<std::string, std::string> FollowTcp(const std::string& strFile, int nStream,
                                                     int* pnExit = nullptr) {
    const CTsharkRun run =
        RunTshark({"-r", strFile, "-qz", "follow,tcp,raw," + std::to_string(nStream)});
    if (pnExit != nullptr) {
        *pnExit = run.nExit;
    }
    std::pair<std::string, std::string> sides;
    std::size_t nPos = 0;
    bool bData = false;
    while (nPos < run.strOut.size()) {
        std::size_t nEnd = run.strOut.find('\n', nPos);
        if (nEnd == std::string::npos) {
            nEnd = run.strOut.size();
        }
        std::string line = run.strOut.substr(nPos, nEnd - nPos);
        nPos = nEnd + 1;
        if (line.starts_with("Node 1:")) {
            bData = true;
            continue;
        }
        if (!bData || line.empty() || line.starts_with("====")) {
            continue;
        }
        if (line[0] == '\t') {
            sides.second += FromHex(line.substr(1));
        } else {
            sides.first += FromHex(line);
        }
    }
    return sides;
}

// The TCP conversations as "a:p <-> b:p" lines of "conv,tcp".
inline std::vector<std::string> Conversations(const std::string& strFile) {
    const CTsharkRun run = RunTshark({"-r", strFile, "-qz", "conv,tcp"});
    std::vector<std::string> out;
    std::size_t nPos = 0;
    while (nPos < run.strOut.size()) {
        std::size_t nEnd = run.strOut.find('\n', nPos);
        if (nEnd == std::string::npos) {
            nEnd = run.strOut.size();
        }
        const std::string line = run.strOut.substr(nPos, nEnd - nPos);
        nPos = nEnd + 1;
        const std::size_t nArrow = line.find("<->");
        if (nArrow == std::string::npos) {
            continue;
        }
        // "addrA:portA   <-> addrB:portB   ...": the first token before and after the arrow.
        const std::size_t nA = line.find_first_not_of(' ');
        const std::string a = line.substr(nA, line.find(' ', nA) - nA);
        const std::size_t nB = line.find_first_not_of(' ', nArrow + 3);
        const std::string b = line.substr(nB, line.find(' ', nB) - nB);
        out.push_back(a + " <-> " + b);
    }
    return out;
}

}  // namespace test
