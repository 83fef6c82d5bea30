#include "platform/PortHolder.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string_view>

#include "platform/TextConv.h"

namespace win {

namespace {

constexpr std::string_view kListenState = "0A";

// The inodes of the sockets that listen on the port, from one /proc/net table.
void ReadListeners(const char* pszTable, std::uint16_t nPort, std::set<unsigned long>& inodes,
                   bool& bFound) {
    std::ifstream in(pszTable);
    std::string strLine;
    std::getline(in, strLine);  // the column titles
    while (std::getline(in, strLine)) {
        // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode
        std::istringstream fields(strLine);
        std::string sl, local, remote, state, queues, timer, retransmits, uid, timeout;
        unsigned long nInode = 0;
        if (!(fields >> sl >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
              timeout >> nInode)) {
            continue;
        }
        const std::size_t nColon = local.rfind(':');
        if (state != kListenState || nColon == std::string::npos ||
            std::strtoul(local.c_str() + nColon + 1, nullptr, 16) != nPort) {
            continue;
        }
        bFound = true;
        if (nInode != 0) {
            inodes.insert(nInode);
        }
    }
}

std::string ReadComm(int nPid) {
    std::ifstream in("/proc/" + std::to_string(nPid) + "/comm");
    std::string strName;
    std::getline(in, strName);
    return strName;
}

// The process with a descriptor of one of the sockets; 0 for none that can be seen.
int FindOwner(const std::set<unsigned long>& inodes) {
    DIR* pProc = ::opendir("/proc");
    if (pProc == nullptr) {
        return 0;
    }
    int nOwner = 0;
    while (const dirent* pEntry = ::readdir(pProc)) {
        const int nPid = std::atoi(pEntry->d_name);
        if (nPid <= 0) {
            continue;
        }
        const std::string strFolder = "/proc/" + std::to_string(nPid) + "/fd";
        DIR* pFds = ::opendir(strFolder.c_str());
        if (pFds == nullptr) {
            continue;  // another user's process, or gone
        }
        while (const dirent* pFd = ::readdir(pFds)) {
            char szLink[64];
            const std::string strPath = strFolder + "/" + pFd->d_name;
            const ssize_t n = ::readlink(strPath.c_str(), szLink, sizeof szLink - 1);
            if (n <= 0) {
                continue;
            }
            const std::string_view link(szLink, static_cast<std::size_t>(n));
            if (link.starts_with("socket:[") &&
                inodes.contains(std::strtoul(szLink + 8, nullptr, 10))) {
                nOwner = nPid;
                break;
            }
        }
        ::closedir(pFds);
        if (nOwner != 0) {
            break;
        }
    }
    ::closedir(pProc);
    return nOwner;
}

}  // namespace

std::optional<CPortHolder> FindPortListener(std::uint16_t nPort) {
    std::set<unsigned long> inodes;
    bool bFound = false;
    ReadListeners("/proc/net/tcp", nPort, inodes, bFound);
    ReadListeners("/proc/net/tcp6", nPort, inodes, bFound);
    if (!bFound) {
        return std::nullopt;
    }
    CPortHolder holder;
    holder.nPid = inodes.empty() ? 0 : FindOwner(inodes);
    if (holder.nPid != 0) {
        holder.strProgram = ReadComm(holder.nPid);
    }
    return holder;
}

std::wstring DescribePortInUse(std::uint16_t nPort) {
    std::wstring strText = L"Port " + std::to_wstring(nPort) + L" is in use by another program";
    const std::optional<CPortHolder> holder = FindPortListener(nPort);
    if (holder && holder->nPid != 0) {
        strText += L": " + AnsiToWide(holder->strProgram) + L" (process " +
                   std::to_wstring(holder->nPid) + L")";
    }
    return strText + L".";
}

}  // namespace win
