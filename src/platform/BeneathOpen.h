// Opening a file for writing below a folder without ever leaving it: no symbolic link is
// followed below the folder (not in a middle component, not in the last one), no ".."
// climbs out, and a name that is taken by something other than a regular file (a named
// pipe, a device, a socket, a folder) is refused instead of opened, so that the open can
// neither block nor write anywhere else. Missing folders are created on the way.
#pragma once

#include <string>

namespace win {

struct CBeneathOpen {
    int fd = -1;         // open for writing, emptied; -1 after a failure
    int nErrno = 0;      // why it failed
    std::string strWhy;  // the reason in words, for the log
};

// Any thread. Opens `strRelative` (components separated by '/') below the folder `strRoot`
// for writing: created with `nFileMode` or emptied, folders created with `nFolderMode`.
// `strRoot` itself is the user's choice and is taken as it is (links in it are followed;
// it is created when missing). Uses openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS
// where the kernel has it, and a walk with O_NOFOLLOW per component where not.
CBeneathOpen OpenBeneath(const std::string& strRoot, const std::string& strRelative,
                         unsigned nFileMode = 0600, unsigned nFolderMode = 0700);

// Renames `strFrom` to `strTo`, both below `strRoot`, in the same folder, without following
// links; false after a failure.
bool RenameBeneath(const std::string& strRoot, const std::string& strFrom,
                   const std::string& strTo);

// Tests: called once the folders are open and before the file is opened (nullptr: none).
using BeneathOpenHook = void (*)();
void SetBeneathOpenHook(BeneathOpenHook hook);
// Tests: false makes OpenBeneath use the per-component walk even where openat2 exists.
void UseOpenat2(bool bUse);

}  // namespace win
