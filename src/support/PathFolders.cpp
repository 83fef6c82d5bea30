#include "support/PathFolders.h"

#include <algorithm>

#include "platform/Kernel.h"
#include "platform/WinError.h"
#include "platform/WinFile.h"
#include "support/Exception.h"
#include "support/SystemErrorText.h"

namespace {

// Longest folder part that is looked at; folders beyond it are left to the caller's open,
// which then fails on the missing folder.
constexpr std::size_t kMaxFolderPart = 509;

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
        if (dwError == ERROR_ALREADY_EXISTS) {
            continue;
        }
        std::wstring strText = GetSystemErrorText(dwError);
        std::erase_if(strText, [](wchar_t c) { return c == L'\r' || c == L'\n'; });
        throw CException::Format(L"CreateDirectory '%s' failed: %ld '%s'\n", folder,
                                 static_cast<LONG>(dwError), strText);
    }
}
