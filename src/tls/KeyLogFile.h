// The key log: one line per secret of every TLS connection, in the NSS key log format that
// Wireshark reads ("CLIENT_RANDOM ...", "CLIENT_TRAFFIC_SECRET_0 ..."). The file is opened
// for appending and created readable by its owner only.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace tls {

class CKeyLogFile {
public:
    // Raises CTlsError when the file cannot be opened.
    explicit CKeyLogFile(const std::string& strPath);
    ~CKeyLogFile();
    CKeyLogFile(const CKeyLogFile&) = delete;
    CKeyLogFile& operator=(const CKeyLogFile&) = delete;

    // Any thread: appends `line` and a line break as one write.
    void Write(std::string_view line);

private:
    std::mutex m_mutex;
    int m_fd;
};

}  // namespace tls
