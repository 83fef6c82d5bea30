// The temporary file that holds the text of the traffic log on disk. It is unlinked at once
// (or created without a name where the file system allows), so the system removes it when
// the program ends, however it ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/DropBehind.h"

class CSpoolFile {
public:
    // Free space that $XDG_RUNTIME_DIR (often a small memory file system) must offer.
    static constexpr std::uint64_t kMinRuntimeFree = 4ull << 30;
    // The most one system write takes.
    static constexpr std::size_t kWritePiece = 256 * 1024;

    CSpoolFile() = default;
    ~CSpoolFile();
    CSpoolFile(const CSpoolFile&) = delete;
    CSpoolFile& operator=(const CSpoolFile&) = delete;

    // Creates the file in `strFolder`, or when that is empty in the first folder that
    // works of: $XDG_RUNTIME_DIR with kMinRuntimeFree bytes free, $XDG_CACHE_HOME/tapvane
    // (~/.cache/tapvane), the system's temporary folder. 0 or the errno of the last try.
    int Open(const std::string& strFolder = {});

    const std::string& GetFolder() const { return m_strFolder; }
    bool IsOpen() const { return m_fd >= 0; }

    // Any thread. Writes all bytes at nOffset; 0 or the errno (a short write counts as
    // ENOSPC). What was written before a failure may stay in the file. The file is meant to
    // grow at its end: pages far behind the end of a write leave the page cache
    // (win::CDropBehind).
    int WriteAt(std::uint64_t nOffset, const char* p, std::size_t n) const;
    // Any thread. Reads n bytes at nOffset; 0 or the errno (EIO when the file is shorter).
    int ReadAt(std::uint64_t nOffset, char* p, std::size_t n) const;
    // Empties the file; 0 or the errno.
    int Truncate() const;
    // A second descriptor of the same file that writes around the page cache (O_DIRECT),
    // owned by the caller; -1 when the system or the file system has none.
    int OpenDirectWriter() const;

private:
    // Creates the unlinked file in one folder; 0 or the errno.
    int OpenIn(const std::string& strFolder);

    int m_fd = -1;
    std::string m_strFolder;
    mutable win::CDropBehind m_dropBehind;
};
