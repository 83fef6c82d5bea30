// A BIO over a connected descriptor that sends with MSG_NOSIGNAL: OpenSSL's own socket BIO
// writes with write(), which raises SIGPIPE when the peer has gone. It reads and writes
// what the descriptor takes at once (a non-blocking descriptor asks to retry) and never
// closes the descriptor.
#pragma once

#include <openssl/ssl.h>

namespace tls {

// Makes `pSsl` read and write `fd` through such a BIO; false when no BIO could be made.
bool SetSocketBio(SSL* pSsl, int fd);

}  // namespace tls
