// A small HTTP/1.1 server of the tests' own on test::CTestServer: it reads each request
// (headers and a Content-Length body) of a keep-alive connection, records it, and answers
// with what the test's handler returns.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ProcessSupport.h"
#include "RelayFixture.h"

namespace test {

struct CHttpRequest {
    std::string strHead;  // request line and headers, with the empty line
    std::string strBody;
    std::string RequestLine() const { return strHead.substr(0, strHead.find("\r\n")); }
};

// One answer: its pieces go out one after another, with a pause between them, so that
// the relay receives them as separate blocks. An empty answer closes the connection.
using CHttpAnswer = std::vector<std::string>;

class CHttpTestServer {
public:
    explicit CHttpTestServer(std::function<CHttpAnswer(const CHttpRequest&)> fnAnswer)
        : m_fnAnswer(std::move(fnAnswer)), m_server([this](int fd) { Serve(fd); }) {}

    std::uint16_t Port() const { return m_server.Port(); }

    std::vector<CHttpRequest> Requests() {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }

    static std::string Response(const std::string& strType, const std::string& strBody) {
        return "HTTP/1.1 200 OK\r\nContent-Type: " + strType +
               "\r\nContent-Length: " + std::to_string(strBody.size()) + "\r\n\r\n" + strBody;
    }

private:
    void Serve(int fd) {
        std::string buffer;
        for (;;) {
            std::optional<CHttpRequest> request = Read(fd, buffer);
            if (!request) {
                return;
            }
            {
                std::lock_guard lock(m_mutex);
                m_requests.push_back(*request);
            }
            const CHttpAnswer answer = m_fnAnswer(*request);
            if (answer.empty()) {
                return;
            }
            for (std::size_t i = 0; i < answer.size(); ++i) {
                if (i > 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(200));
                }
                if (!SendAllPosix(fd, answer[i])) {
                    return;
                }
            }
        }
    }

    // Receives more into `buffer`; false at the end of the stream or after 10 s.
    static bool ReceiveMore(int fd, std::string& buffer) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 10000) <= 0) {
            return false;
        }
        char chunk[65536];
        const ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
        if (n <= 0) {
            return false;
        }
        buffer.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    static std::optional<CHttpRequest> Read(int fd, std::string& buffer) {
        std::size_t nEnd;
        while ((nEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
            if (!ReceiveMore(fd, buffer)) {
                return std::nullopt;
            }
        }
        CHttpRequest request;
        request.strHead = buffer.substr(0, nEnd + 4);
        buffer.erase(0, nEnd + 4);
        std::size_t nLength = 0;
        const std::size_t nPos = request.strHead.find("\r\nContent-Length: ");
        if (nPos != std::string::npos) {
            nLength = std::stoul(request.strHead.substr(nPos + 18));
        }
        while (buffer.size() < nLength) {
            if (!ReceiveMore(fd, buffer)) {
                return std::nullopt;
            }
        }
        request.strBody = buffer.substr(0, nLength);
        buffer.erase(0, nLength);
        return request;
    }

    std::function<CHttpAnswer(const CHttpRequest&)> m_fnAnswer;
    std::mutex m_mutex;
    std::vector<CHttpRequest> m_requests;
    CTestServer m_server;  // last: its threads end before the members they use
};

// Scales counts of the load tests down under the sanitizers, which make each session far
// slower; the normal build runs them in full.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kLoadScale = 5;
#else
constexpr int kLoadScale = 1;
#endif

// Reads one HTTP answer (headers and a Content-Length body) from `fd` into `*pstrBody`;
// false on an end, an error or 10 s of silence before it is whole.
inline bool ReadAnswer(int fd, std::string* pstrBody) {
    std::string data;
    char chunk[65536];
    std::size_t nHeadEnd = std::string::npos;
    std::size_t nLength = 0;
    for (;;) {
        if (nHeadEnd == std::string::npos &&
            (nHeadEnd = data.find("\r\n\r\n")) != std::string::npos) {
            const std::size_t nPos = data.find("\r\nContent-Length: ");
            nLength = nPos < nHeadEnd ? std::stoul(data.substr(nPos + 18)) : 0;
        }
        if (nHeadEnd != std::string::npos && data.size() >= nHeadEnd + 4 + nLength) {
            *pstrBody = data.substr(nHeadEnd + 4, nLength);
            return true;
        }
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 10000) <= 0) {
            return false;
        }
        const ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
        if (n <= 0) {
            return false;
        }
        data.append(chunk, static_cast<std::size_t>(n));
    }
}

// One GET as a browser sends it on a kept-alive connection, the client closing first once
// the answer is whole. The answer's body, or nothing when it did not come whole.
inline std::optional<std::string> KeptAliveGet(std::uint16_t nPort, const std::string& strPath) {
    const int fd = ConnectPosix(nPort);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string strBody;
    const bool bOk =
        SendAllPosix(fd, "GET " + strPath +
                             " HTTP/1.1\r\nHost: localhost:8080\r\nReferer: "
                             "http://localhost:8080/\r\nConnection: keep-alive\r\n\r\n") &&
        ReadAnswer(fd, &strBody);
    ::close(fd);
    return bOk ? std::optional<std::string>(strBody) : std::nullopt;
}

// Runs curl with `args` (no proxy, quiet, 20 s at most); its standard output.
inline std::string Curl(const std::vector<std::string>& args, int* pnExit = nullptr) {
    std::vector<std::string> all = {"curl", "-s", "--noproxy", "*", "--max-time", "20"};
    all.insert(all.end(), args.begin(), args.end());
    CChildProcess curl(all);
    const int nExit = curl.Wait(std::chrono::seconds(30));
    if (pnExit != nullptr) {
        *pnExit = nExit;
    }
    return curl.Out();
}

}  // namespace test
