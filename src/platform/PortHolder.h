// Who listens on a local TCP port, as far as the system tells: the listening sockets from
// /proc/net/tcp and /proc/net/tcp6, and the process that holds one from the socket links
// below /proc/<pid>/fd (readable for one's own processes, or for all with privileges).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace win {

struct CPortHolder {
    int nPid = 0;            // 0 when no process could be told
    std::string strProgram;  // the process's command name (/proc/<pid>/comm)
};

// Nothing when no socket listens on the port (or /proc cannot be read); else the holder,
// with nPid 0 when the socket's process is not visible to this one.
std::optional<CPortHolder> FindPortListener(std::uint16_t nPort);

// A line for the user: "Port 8080 is in use by another program: nc (process 4242)." or
// without the program when it cannot be told.
std::wstring DescribePortInUse(std::uint16_t nPort);

}  // namespace win
