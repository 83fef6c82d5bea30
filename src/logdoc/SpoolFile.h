// The temporary file that holds the text of the traffic log on disk. It is unlinked at once
// (or created without a name where the file system allows), so the system removes it when
// the program ends, however it ends.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

class CSpoolFile {
public:
    // Free space that $XDG_RUNTIME_DIR (often a small memory file system) must offer.
    static constexpr std::uint64_t kMinRuntimeFree = 4ull << 30;
    // The most one system write takes.
    static constexpr std::size_t kWritePiece = 256 * 1024;
    // The newest this much of the file stays in the page cache while it grows; what lies
    // further back is dropped from it, in steps of kDropStep, and read from the disk when
    // it is wanted again. A page cache that grows with a log of gigabytes costs each write
    // fresh memory: on a virtual machine 2.0-2.8 s of CPU per GB written, against 0.3 s when
    // the dropped pages are used again.
    static constexpr std::uint64_t kKeepCached = 64ull << 20;
    static constexpr std::uint64_t kDropStep = 16ull << 20;

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
    // grow at its end: pages kKeepCached behind the end of a write leave the page cache.
    int WriteAt(std::uint64_t nOffset, const char* p, std::size_t n) const;
    // Any thread. Reads n bytes at nOffset; 0 or the errno (EIO when the file is shorter).
    int ReadAt(std::uint64_t nOffset, char* p, std::size_t n) const;
    // Empties the file; 0 or the errno.
    int Truncate() const;

private:
    // Creates the unlinked file in one folder; 0 or the errno.
    int OpenIn(const std::string& strFolder);
    // Any thread: a write ended at nEnd; drops the cached pages far enough behind it.
    void DropBehind(std::uint64_t nEnd) const;

    int m_fd = -1;
    std::string m_strFolder;
    mutable std::atomic<std::uint64_t> m_nDroppedTo{0};  // pages before it left the cache
};
