#include "platform/WinsockSwap.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/WinsockInternal.h"

namespace win {

int SocketDescriptor(SOCKET s) {
    const std::shared_ptr<CSocketEntry> p = FindSocket(s);
    return p ? p->m_fd : -1;
}

int ExchangeSocketDescriptor(SOCKET s, int fdReplacement) {
    const std::shared_ptr<CSocketEntry> p = FindSocket(s);
    if (!p) {
        errno = EBADF;
        return -1;
    }
    const int fdOwn = fcntl(p->m_fd, F_DUPFD_CLOEXEC, 0);
    if (fdOwn < 0) {
        return -1;
    }
    const int nFlags = fcntl(p->m_fd, F_GETFL);
    const int nReplacementFlags = fcntl(fdReplacement, F_GETFL);
    if (nFlags < 0 || nReplacementFlags < 0 ||
        fcntl(fdReplacement, F_SETFL, (nReplacementFlags & ~O_NONBLOCK) | (nFlags & O_NONBLOCK)) !=
            0 ||
        dup3(fdReplacement, p->m_fd, O_CLOEXEC) < 0) {
        const int nErrno = errno;
        close(fdOwn);
        errno = nErrno;
        return -1;
    }
    return fdOwn;
}

}  // namespace win
