#include "tls/TlsSocketFilter.h"

#include <openssl/err.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace tls {

namespace {

// Four records of the largest size with their headers and the most a cipher adds.
constexpr std::size_t kReadBuffer =
    4 * (SSL3_RT_MAX_PLAIN_LENGTH + SSL3_RT_MAX_ENCRYPTED_OVERHEAD + SSL3_RT_HEADER_LENGTH);

}  // namespace

std::atomic<int> CTlsSocketFilter::s_nLive{0};

CTlsSocketFilter::CTlsSocketFilter(SslPtr ssl, std::shared_ptr<const void> keepAlive)
    : m_ssl(std::move(ssl)), m_keepAlive(std::move(keepAlive)) {
    // Reads as much of the connection as is there into the record layer, up to four full
    // records, so that a burst costs one recv per 64 KiB rather than two per record
    // (header, then body). The buffer is let go whenever it is empty (released buffers).
    SSL_set_read_ahead(m_ssl.get(), 1);
    SSL_set_default_read_buffer_len(m_ssl.get(), kReadBuffer);
    ++s_nLive;
}

CTlsSocketFilter::~CTlsSocketFilter() {
    --s_nLive;
}

int CTlsSocketFilter::LiveCount() {
    return s_nLive.load();
}

win::CFilterResult CTlsSocketFilter::Failure(int nResult) {
    const int nErrno = errno;  // what the descriptor said, before anything else can change it
    const int nError = SSL_get_error(m_ssl.get(), nResult);
    switch (nError) {
        case SSL_ERROR_WANT_READ:
            return {-1, POLLIN, 0};
        case SSL_ERROR_WANT_WRITE:
            return {-1, POLLOUT, 0};
        case SSL_ERROR_ZERO_RETURN:
            return {0, 0, 0};
        case SSL_ERROR_SYSCALL:
            ERR_clear_error();
            return {-1, 0, nErrno != 0 ? nErrno : ECONNRESET};
        default:
            // A broken record or a failed protocol step: the stream cannot go on, and the
            // session sees (and passes on) a reset.
            ERR_clear_error();
            return {-1, 0, ECONNRESET};
    }
}

win::CFilterResult CTlsSocketFilter::Recv(char* pBuffer, int nLength) {
    std::lock_guard lock(m_mutex);
    if (m_nReadErrno != 0) {
        return {-1, 0, m_nReadErrno};
    }
    if (m_bEnded) {
        return {0, 0, 0};
    }
    int nTotal = 0;
    while (nTotal < nLength) {
        ERR_clear_error();
        const int n = SSL_read(m_ssl.get(), pBuffer + nTotal, nLength - nTotal);
        if (n > 0) {
            nTotal += n;
            continue;
        }
        const win::CFilterResult result = Failure(n);
        if (result.n == 0) {
            m_bEnded = true;
        } else if (result.nWait == 0) {
            m_nReadErrno = result.nErrno;
        }
        if (nTotal == 0) {
            return result;
        }
        break;  // the bytes go first; the end or the failure is told by the next call
    }
    return {nTotal, 0, 0};
}

win::CFilterResult CTlsSocketFilter::Send(const char* pData, int nLength) {
    std::lock_guard lock(m_mutex);
    ERR_clear_error();
    const int n = SSL_write(m_ssl.get(), pData, nLength);
    if (n > 0) {
        return {n, 0, 0};
    }
    const win::CFilterResult result = Failure(n);
    // No writing after our own close_notify: as a socket whose sending side is shut down.
    return result.n == 0 ? win::CFilterResult{-1, 0, EPIPE} : result;
}

win::CFilterResult CTlsSocketFilter::Shutdown() {
    std::lock_guard lock(m_mutex);
    ERR_clear_error();
    // 0: close_notify has gone, the peer's is not waited for; 1: both have.
    const int n = SSL_shutdown(m_ssl.get());
    return n >= 0 ? win::CFilterResult{0, 0, 0} : Failure(n);
}

win::CFilterReadState CTlsSocketFilter::ReadState() {
    std::lock_guard lock(m_mutex);
    if (m_nReadErrno != 0) {
        return {0, false, m_nReadErrno, 0};
    }
    if (m_bEnded) {
        return {0, true, 0, 0};
    }
    if (const int nPending = SSL_pending(m_ssl.get()); nPending > 0) {
        return {nPending, false, 0, 0};
    }
    // Takes in the next record, if the descriptor or the record layer holds one whole.
    ERR_clear_error();
    char c = 0;
    const int n = SSL_peek(m_ssl.get(), &c, 1);
    if (n > 0) {
        return {std::max(SSL_pending(m_ssl.get()), n), false, 0, 0};
    }
    const win::CFilterResult result = Failure(n);
    if (result.n == 0) {
        m_bEnded = true;
        return {0, true, 0, 0};
    }
    if (result.nWait == 0) {
        m_nReadErrno = result.nErrno;
    }
    return {0, false, m_nReadErrno, result.nWait};
}

}  // namespace tls
