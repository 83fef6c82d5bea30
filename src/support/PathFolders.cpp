#include "support/PathFolders.h"

#include <algorithm>
#include <filesystem>

#include "platform/Kernel.h"
#include "platform/WinError.h"
#include "platform/WinFile.h"
#include "support/Exception.h"
#include "support/SystemErrorText.h"

namespace {

// Longest folder part that is looked at; folders beyond it are left to the caller's open,
// which then fails on the missing folder.
constexpr std::size_t kMaxFolderPart = 509;

// What the user needs to know beyond the system's text when `folder` cannot be made: the
// part of its path that is a file, or the folder in which no folder may be made. Empty when
// nothing more can be told.
std::wstring FolderFailureReason(const std::wstring& folder, DWORD dwError) {
    std::error_code ec;
    std::wstring strExisting;  // the deepest folder of the path that exists
    for (std::size_t nEnd = folder.find(L'/', 1);; nEnd = folder.find(L'/', nEnd + 1)) {
        const std::wstring part = folder.substr(0, nEnd);
        const std::filesystem::file_status status = std::filesystem::status(part, ec);
        if (std::filesystem::exists(status) && !std::filesystem::is_directory(status)) {
            return L"'" + part + L"' is a file, not a folder.";
        }
        if (!std::filesystem::is_directory(status)) {
            break;
        }
        strExisting = part;
        if (nEnd == std::wstring::npos) {
            break;
        }
    }
    if (dwError == ERROR_ACCESS_DENIED && !strExisting.empty()) {
        return L"No permission to make a folder in '" + strExisting + L"'.";
    }
    return {};
}

[[noreturn]] void RaiseFolderFailure(const std::wstring& folder, DWORD dwError) {
    std::wstring strText = GetSystemErrorText(dwError);
    std::erase_if(strText, [](wchar_t c) { return c == L'\r' || c == L'\n'; });
    std::wstring strMessage = win::FormatW(L"CreateDirectory '%s' failed: %ld '%s'\n", folder,
                                           static_cast<LONG>(dwError), strText);
    if (const std::wstring strReason = FolderFailureReason(folder, dwError); !strReason.empty()) {
        strMessage += strReason + L"\n";
    }
    throw new CException(std::move(strMessage));
}

}  // namespace

void CreatePathFolders(const std::wstring& path) {
    if (win::PathIsDirectoryW(path.c_str())) {
        return;
    }
    // The folder part: everything up to and with the last '/', the file name dropped.
    const std::size_t lastSlash = path.rfind(L'/');
    if (lastSlash == std::wstring::npos) {
        return;
    }
    const std::wstring folders = path.substr(0, std::min(lastSlash + 1, kMaxFolderPart));

    for (std::size_t i = 1; i < folders.size(); ++i) {
        // A '/' at the start is the root, one after another '/' adds nothing.
        if (folders[i] != L'/' || folders[i - 1] == L'/') {
            continue;
        }
        const std::wstring folder = folders.substr(0, i);
        if (win::CreateDirectoryW(folder.c_str(), nullptr)) {
            continue;
        }
        const DWORD dwError = win::GetLastError();
        // A file of that name is in the way, not a folder: said here, rather than as a
        // missing path when the next part or the file cannot be made.
        if (dwError == ERROR_ALREADY_EXISTS && win::PathIsDirectoryW(folder.c_str())) {
            continue;
        }
        RaiseFolderFailure(folder, dwError);
    }
}
