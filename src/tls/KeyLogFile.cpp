#include "tls/KeyLogFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tls/CertAuthority.h"

namespace tls {

CKeyLogFile::CKeyLogFile(const std::string& strPath)
    : m_fd(open(strPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600)) {
    if (m_fd < 0) {
        throw CTlsError("Cannot open the key log " + strPath + ": " + std::strerror(errno));
    }
}

CKeyLogFile::~CKeyLogFile() {
    close(m_fd);
}

void CKeyLogFile::Write(std::string_view line) {
    std::string strLine(line);
    strLine += '\n';
    std::lock_guard lock(m_mutex);
    std::size_t nDone = 0;
    while (nDone < strLine.size()) {
        const ssize_t n = write(m_fd, strLine.data() + nDone, strLine.size() - nDone);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // a full disk loses key lines, never the traffic
        }
        nDone += static_cast<std::size_t>(n);
    }
}

}  // namespace tls
