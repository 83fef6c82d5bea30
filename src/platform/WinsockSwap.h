// Putting another connection under a socket handle: the TLS layer gives a session's socket a
// loopback connection of its own in place of the real one, which it then serves itself, so
// that the session goes on with the same handle and never knows.
#pragma once

#include "platform/Winsock.h"

namespace win {

// The descriptor of `s` (-1 when it is not a socket). Only while no other thread may close
// the handle.
int SocketDescriptor(SOCKET s);

// `s` goes on with a duplicate of `fdReplacement`'s connection (the caller keeps and closes
// `fdReplacement`); its own connection is returned as a new descriptor for the caller to
// own, -1 with errno on failure (then nothing has changed). The blocking mode of `s` stays.
// Only while no other thread uses `s`.
int ExchangeSocketDescriptor(SOCKET s, int fdReplacement);

}  // namespace win
