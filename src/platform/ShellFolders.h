// The user's special folders.
#pragma once

#include <string>

#include "platform/WinTypes.h"

namespace win {

constexpr DWORD MAX_PATH = 260;

constexpr int CSIDL_DESKTOP = 0;

// The path of a special folder, without trailing '/', into `pszPath` of MAX_PATH characters.
// Only CSIDL_DESKTOP is known: XDG_DESKTOP_DIR of the user-dirs.dirs file in
// $XDG_CONFIG_HOME (~/.config when unset), with "$HOME" expanded, else ~/Desktop. With
// `bCreate` a missing folder is created. FALSE with the last error set (and `pszPath`
// empty) for another folder (ERROR_INVALID_PARAMETER), a path that does not fit
// (ERROR_FILENAME_EXCED_RANGE), no home folder (ERROR_PATH_NOT_FOUND) or a folder that
// cannot be created.
BOOL SHGetSpecialFolderPathW(HWND hwnd, wchar_t* pszPath, int csidl, BOOL bCreate);

// The user's home folder: `pszHome` (the value of $HOME) when it is set and not empty, else
// the account's home folder; empty when there is none.
std::string HomeFolder(const char* pszHome);

}  // namespace win
