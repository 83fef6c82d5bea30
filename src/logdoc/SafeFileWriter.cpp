#include "logdoc/SafeFileWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <random>

#include "platform/FdIo.h"

CSafeFileWriter::CSafeFileWriter(std::string strTarget) : m_strTarget(std::move(strTarget)) {}

CSafeFileWriter::~CSafeFileWriter() {
    Abandon();
}

void CSafeFileWriter::Abandon() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
        ::unlink(m_strTemp.c_str());
    }
}

int CSafeFileWriter::Open() {
    struct stat st {};
    if (::lstat(m_strTarget.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // Replace the file the link names, not the link.
        char szResolved[PATH_MAX];
        if (::realpath(m_strTarget.c_str(), szResolved) != nullptr) {
            m_strTarget = szResolved;
        }
    }
    std::random_device random;
    for (int nTry = 0; nTry < 100; ++nTry) {
        m_strTemp = m_strTarget + ".tapvane-" + std::to_string(random() % 1000000000u);
        // The log is traffic: a new file is its owner's only; an old file's mode is
        // copied at Commit, as the user set it.
        m_fd = ::open(m_strTemp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (m_fd >= 0) {
            return 0;
        }
        if (errno != EEXIST) {
            return errno;
        }
    }
    return EEXIST;
}

int CSafeFileWriter::Write(const char* p, std::size_t n) {
    if (const int nError = win::WriteAllFd(m_fd, p, n); nError != 0) {
        return nError;
    }
    m_nWritten += n;
    if (m_nWritten - m_nFlushStarted >= kFlushStep) {
        // Let the disk take what is written while the rest is made, so that the flush at
        // Commit finds little left to write (a hint: its failure changes nothing).
        ::sync_file_range(m_fd, static_cast<off_t>(m_nFlushStarted),
                          static_cast<off_t>(m_nWritten - m_nFlushStarted), SYNC_FILE_RANGE_WRITE);
        m_nFlushStarted = m_nWritten;
    }
    return 0;
}

int CSafeFileWriter::Commit() {
    struct stat st {};
    if (::stat(m_strTarget.c_str(), &st) == 0) {
        ::fchmod(m_fd, st.st_mode & 07777);
    }
    if (::fsync(m_fd) != 0) {
        const int nError = errno;
        Abandon();
        return nError;
    }
    if (::close(m_fd) != 0) {
        const int nError = errno;
        m_fd = -1;
        ::unlink(m_strTemp.c_str());
        return nError;
    }
    m_fd = -1;
    if (::rename(m_strTemp.c_str(), m_strTarget.c_str()) != 0) {
        const int nError = errno;
        ::unlink(m_strTemp.c_str());
        return nError;
    }
    // The rename itself reaches the disk with the folder.
    const std::size_t nSlash = m_strTarget.rfind('/');
    const std::string strFolder =
        nSlash == std::string::npos ? std::string(".") : m_strTarget.substr(0, nSlash + 1);
    const int fdFolder = ::open(strFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdFolder >= 0) {
        ::fsync(fdFolder);
        ::close(fdFolder);
    }
    return 0;
}
