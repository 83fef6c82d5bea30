// TLS as a filter under a session's socket handle: the relay threads' recv and send on the
// handle read and write clear bytes through the side's SSL object, on the thread that
// calls them. One thread reads while the other writes, which one SSL object does not allow
// at the same time: each SSL call runs under the filter's mutex, and the socket layer waits
// for the descriptor outside it.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/SocketFilter.h"
#include "tls/OpenSslPtr.h"

namespace tls {

class CTlsSocketFilter final : public win::ISocketFilter {
public:
    // `ssl` has finished its handshake on the socket's descriptor through SetSocketBio;
    // `keepAlive` holds what its callbacks use (the engine) for as long as it lives.
    CTlsSocketFilter(SslPtr ssl, std::shared_ptr<const void> keepAlive);
    ~CTlsSocketFilter() override;
    CTlsSocketFilter(const CTlsSocketFilter&) = delete;
    CTlsSocketFilter& operator=(const CTlsSocketFilter&) = delete;

    // The reading thread. As many clear bytes as are there, up to `nLength`, from as many
    // records as the descriptor holds; 0 once close_notify or the end of the stream came.
    win::CFilterResult Recv(char* pBuffer, int nLength) override;
    // The writing thread. Whole records go; a record that the descriptor took in part is
    // finished by the next call with the same bytes.
    win::CFilterResult Send(const char* pData, int nLength) override;
    // The writing thread, or the one that closes the handle: close_notify.
    win::CFilterResult Shutdown() override;
    // The reading thread (or its waits): takes in the records the descriptor holds.
    win::CFilterReadState ReadState() override;

    // Any thread. The filters alive in the process, for leak checks.
    static int LiveCount();

private:
    // With m_mutex held: sorts a failed SSL call into a wait or a failure.
    win::CFilterResult Failure(int nResult);

    std::mutex m_mutex;  // held for each SSL call and the fields below
    SslPtr m_ssl;
    bool m_bEnded = false;  // close_notify or the end of the stream has been read
    int m_nReadErrno = 0;   // the reading side failed (kept: the stream is broken)
    const std::shared_ptr<const void> m_keepAlive;
    static std::atomic<int> s_nLive;
};

}  // namespace tls
