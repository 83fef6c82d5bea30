// Replaces a file only once its new content is wholly on the disk: the bytes go to a new
// file in the same folder, which is flushed and then renamed over the target. Until
// Commit succeeds the old file stays as it was; an abandoned new file is removed.
#pragma once

#include <cstdint>
#include <string>

class CSafeFileWriter {
public:
    explicit CSafeFileWriter(std::string strTarget);
    ~CSafeFileWriter();  // removes the new file unless committed
    CSafeFileWriter(const CSafeFileWriter&) = delete;
    CSafeFileWriter& operator=(const CSafeFileWriter&) = delete;

    // Creates the new file next to the target (through a symbolic link to the file it
    // names). 0 or the errno.
    int Open();
    // Writes all bytes; 0 or the errno (a write that stops short counts as ENOSPC).
    int Write(const char* p, std::size_t n);
    // Flushes the new file, gives it the old file's permissions and renames it over the
    // target. 0 or the errno; on failure the target is untouched.
    int Commit();

private:
    void Abandon();

    std::string m_strTarget;
    std::string m_strTemp;
    int m_fd = -1;
    // Bytes written, and how far the disk was asked to start writing them.
    std::uint64_t m_nWritten = 0;
    std::uint64_t m_nFlushStarted = 0;
    static constexpr std::uint64_t kFlushStep = 16 << 20;
};
