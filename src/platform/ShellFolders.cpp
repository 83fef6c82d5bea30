#include "platform/ShellFolders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Kernel.h"
#include "platform/SystemText.h"
#include "platform/TextConv.h"
#include "platform/WinError.h"

namespace win {

namespace {

// The value of one line `XDG_DESKTOP_DIR="..."` of user-dirs.dirs: the quoted text with
// its backslash escapes undone and a leading "$HOME" replaced. Empty when the line is not
// that entry or its path is neither absolute nor below $HOME.
std::string DesktopEntry(const std::string& strLine, const std::string& strHome) {
    constexpr std::string_view kName = "XDG_DESKTOP_DIR";
    std::size_t i = strLine.find_first_not_of(" \t");
    if (i == std::string::npos || strLine.compare(i, kName.size(), kName) != 0) {
        return {};
    }
    i = strLine.find_first_not_of(" \t", i + kName.size());
    if (i == std::string::npos || strLine[i] != '=') {
        return {};
    }
    i = strLine.find_first_not_of(" \t", i + 1);
    if (i == std::string::npos || strLine[i] != '"') {
        return {};
    }
    std::string strValue;
    bool bClosed = false;
    for (++i; i < strLine.size(); ++i) {
        if (strLine[i] == '\\' && i + 1 < strLine.size()) {
            strValue.push_back(strLine[++i]);
        } else if (strLine[i] == '"') {
            bClosed = true;
            break;
        } else {
            strValue.push_back(strLine[i]);
        }
    }
    if (!bClosed) {
        return {};
    }
    constexpr std::string_view kHome = "$HOME";
    if (strValue.compare(0, kHome.size(), kHome) == 0 &&
        (strValue.size() == kHome.size() || strValue[kHome.size()] == '/')) {
        return strHome + strValue.substr(kHome.size());
    }
    return !strValue.empty() && strValue[0] == '/' ? strValue : std::string();
}

std::string DesktopFolder(const std::string& strHome) {
    const char* pszConfig = std::getenv("XDG_CONFIG_HOME");
    const std::string strConfig =
        pszConfig != nullptr && pszConfig[0] == '/' ? std::string(pszConfig) : strHome + "/.config";
    std::string strDesktop;
    std::ifstream in(strConfig + "/user-dirs.dirs");
    std::string strLine;
    while (std::getline(in, strLine)) {
        std::string strEntry = DesktopEntry(strLine, strHome);
        if (!strEntry.empty()) {
            strDesktop = std::move(strEntry);  // the last entry counts, as for a shell
        }
    }
    if (strDesktop.empty()) {
        strDesktop = strHome + "/Desktop";
    }
    while (strDesktop.size() > 1 && strDesktop.back() == '/') {
        strDesktop.pop_back();
    }
    return strDesktop;
}

// Makes `strFolder` and its missing parents; 0 or the errno of the failure.
int MakeFolder(const std::string& strFolder) {
    for (std::size_t i = 1; i <= strFolder.size(); ++i) {
        if ((i < strFolder.size() && strFolder[i] != '/') || strFolder[i - 1] == '/') {
            continue;
        }
        const std::string strPart = strFolder.substr(0, i);
        if (::mkdir(strPart.c_str(), 0777) == 0) {
            continue;
        }
        const int nErrno = errno;
        struct stat st {};
        if (::stat(strPart.c_str(), &st) != 0) {
            return nErrno;
        }
        if (!S_ISDIR(st.st_mode)) {
            return ENOTDIR;
        }
    }
    return 0;
}

}  // namespace

BOOL SHGetSpecialFolderPathW(HWND /*hwnd*/, wchar_t* pszPath, int csidl, BOOL bCreate) {
    if (pszPath == nullptr || csidl != CSIDL_DESKTOP) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    pszPath[0] = L'\0';
    const std::string strHome = HomeFolder(std::getenv("HOME"));
    if (strHome.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    const std::string strFolder = DesktopFolder(strHome);
    const std::wstring path = AnsiToWide(strFolder);
    if (path.size() >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    if (bCreate) {
        const int nErrno = MakeFolder(strFolder);
        if (nErrno != 0) {
            SetLastError(Win32ErrorFromErrno(nErrno));
            return FALSE;
        }
    }
    std::memcpy(pszPath, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
    return TRUE;
}

std::string HomeFolder(const char* pszHome) {
    if (pszHome != nullptr && pszHome[0] != '\0') {
        return pszHome;
    }
    std::vector<char> buffer(16384);
    passwd pw{};
    passwd* pResult = nullptr;
    if (getpwuid_r(geteuid(), &pw, buffer.data(), buffer.size(), &pResult) == 0 &&
        pResult != nullptr && pResult->pw_dir != nullptr) {
        return pResult->pw_dir;
    }
    return {};
}

}  // namespace win
