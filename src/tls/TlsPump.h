// Moves bytes between TLS connections and the clear-text ends that the sessions read and
// write. Each side of a session that speaks TLS is one CPumpSide: the real connection with
// its SSL object, and one end of a loopback TCP pair whose other end the session uses as if
// it were the peer. One thread per session serves its sides: clear bytes from the session
// are written as TLS, TLS from the peer is read as clear bytes for the session; an orderly
// close becomes close_notify and a FIN, a reset a reset.
#pragma once

#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tls/OpenSslPtr.h"

namespace tls {

struct CPumpSide {
    SslPtr ssl;                       // handshake done, its fd the real connection
    int fdReal = -1;                  // owned
    int fdPair = -1;                  // owned: the pump's end of the loopback pair
    std::shared_ptr<void> keepAlive;  // what the SSL object's callbacks use
};

// While it lives, writes of the calling thread to a closed connection do not raise SIGPIPE
// (OpenSSL writes to its sockets without MSG_NOSIGNAL): the signal is blocked, and one that
// such a write raised is taken back before the old mask returns.
class CNoSigPipe {
public:
    CNoSigPipe();
    ~CNoSigPipe();
    CNoSigPipe(const CNoSigPipe&) = delete;
    CNoSigPipe& operator=(const CNoSigPipe&) = delete;

private:
    sigset_t m_old;
    bool m_bWasPending;
};

// Makes a connected loopback TCP pair; false with errno when it cannot.
bool MakeLoopbackPair(int& fdOne, int& fdTwo);

// Closes `fd` so that its peer gets a reset.
void ResetAndClose(int fd);

// The pump threads of the process.
class CTlsPumps {
public:
    static CTlsPumps& Instance();

    // Any thread. Starts a thread that serves `sides` until each has ended both ways.
    void Start(std::vector<CPumpSide> sides);
    // Any thread. The number of pumps still running.
    std::size_t RunningCount();
    // Any thread. Ends every pump (the connections are reset) and waits for their threads.
    void StopAll();

    ~CTlsPumps();

private:
    struct CPump {
        std::thread thread;
        std::atomic<bool> bDone{false};
        int fdWake = -1;  // an eventfd that StopAll writes
    };
    void Reap();  // with m_mutex held: joins the pumps that have ended

    std::mutex m_mutex;
    std::list<std::unique_ptr<CPump>> m_pumps;
};

}  // namespace tls
