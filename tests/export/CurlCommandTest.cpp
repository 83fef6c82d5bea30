// "Copy as curl": the command is run by the shell against a loopback server, and the
// request that arrives is read back and compared with the recorded one.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "ExportTestSupport.h"
#include "TempFolder.h"
#include "export/CurlCommand.h"

namespace {

constexpr auto kUp = LogDirection::ClientToServer;

// Accepts one connection on a loopback port, reads one request and answers it.
class COneRequestServer {
public:
    COneRequestServer() {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(m_fd, 1);
        socklen_t n = sizeof a;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &n);
        m_nPort = ntohs(a.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~COneRequestServer() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
        ::close(m_fd);
    }
    std::uint16_t Port() const { return m_nPort; }
    // After the command ended: what arrived.
    std::vector<CHttpExchange>& Received() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
        return m_received;
    }

private:
    void Serve() {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 15000) <= 0) {
            return;
        }
        const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        bool bDone = false;
        CHttpStream stream([&](CHttpExchange&& x) {
            m_received.push_back(std::move(x));
            bDone = true;
        });
        // The request ends when the stream has an exchange for it: fed its answer's head.
        std::string received;
        char buffer[65536];
        while (!bDone) {
            pollfd q{fd, POLLIN, 0};
            if (::poll(&q, 1, 15000) <= 0) {
                break;
            }
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            stream.Feed(kUp, std::string_view(buffer, static_cast<std::size_t>(n)), 0);
            // Probe whether the request is whole: a copy of the stream answered at once.
            received.append(buffer, static_cast<std::size_t>(n));
            CHttpStream probe([&](CHttpExchange&&) { bDone = true; });
            probe.Feed(kUp, received, 0);
            probe.Feed(LogDirection::ServerToClient, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
                       0);
        }
        const std::string_view answer =
            "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        (void)::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
        stream.Feed(LogDirection::ServerToClient, answer, 0);
        ::close(fd);
    }

    int m_fd = -1;
    std::uint16_t m_nPort = 0;
    std::thread m_thread;
    std::vector<CHttpExchange> m_received;
};

CHttpMessage Parse(const std::string& request) {
    std::vector<CHttpExchange> out;
    CHttpStream stream([&](CHttpExchange&& x) { out.push_back(std::move(x)); });
    stream.Feed(kUp, request, 0);
    stream.End();
    return out.empty() ? CHttpMessage{} : out.front().request;
}

// The fields compared: all but Content-Length, which curl writes for the body it sends.
std::vector<std::pair<std::string, std::string>> Fields(const CHttpMessage& m) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const CHttpField& f : m.fields) {
        if (f.strName != "Content-Length") {
            out.emplace_back(f.strName, f.strValue);
        }
    }
    return out;
}

void SendAgain(const std::string& strTemplate) {
    COneRequestServer server;
    const std::string strHost = "127.0.0.1:" + std::to_string(server.Port());
    std::string request = strTemplate;
    for (std::size_t n; (n = request.find("HOSTPORT")) != std::string::npos;) {
        request.replace(n, 8, strHost);
    }
    const CHttpMessage original = Parse(request);
    ASSERT_FALSE(original.strMethod.empty()) << request;
    CHarSession session;
    session.strHost = "127.0.0.1";
    session.server = test::LoopbackAddress(server.Port());
    const std::string strCommand = CurlCommand(original, session);
    // Run as a script, as if pasted into a terminal: no limit on the length of the line.
    CTempFolder folder;
    folder.WriteFile("command.sh",
                     strCommand + " --silent --show-error --max-time 20 -o /dev/null\n");
    const auto [nExit, strOut] = test::RunCommand("cd / && sh " + folder.Path("command.sh"));
    const std::string strShown = strCommand.substr(0, 600);
    EXPECT_EQ(0, nExit) << strShown << "\n" << strOut;
    std::vector<CHttpExchange>& received = server.Received();
    ASSERT_EQ(1u, received.size()) << strShown;
    const CHttpMessage& again = received.front().request;
    EXPECT_EQ(original.strMethod, again.strMethod) << strShown;
    EXPECT_EQ(original.strTarget, again.strTarget) << strShown;
    EXPECT_EQ(original.strVersion, again.strVersion) << strShown;
    EXPECT_EQ(Fields(original), Fields(again)) << strShown;
    EXPECT_TRUE(original.strBody == again.strBody) << strShown;
}

TEST(CurlCommandTest, TextBodyWithShellCharactersArrivesUnchanged) {
    SendAgain(
        "POST /api/v1/items?x=1&y='2' HTTP/1.1\r\nHost: HOSTPORT\r\nUser-Agent: test's agent\r\n"
        "Accept: */*\r\nContent-Type: application/json\r\nX-Quote: \"$HOME\" `id` $(id) \\n\r\n"
        "Content-Length: 40\r\n\r\n{\"a\": \"it's $HOME `x` \\\\ \\\" %s %%\"}\n");
}

TEST(CurlCommandTest, BinaryBodyWithZeroBytesGoesThroughPrintf) {
    std::string body;
    for (int i = 0; i < 256; ++i) {
        body.push_back(static_cast<char>(i));
    }
    body += "%d %% \\ '";
    SendAgain(
        "PUT /blob HTTP/1.1\r\nHost: HOSTPORT\r\nContent-Type: application/octet-stream\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body);
}

TEST(CurlCommandTest, LongBodyAndChunkedUpload) {
    std::string body;
    while (body.size() < 200000) {
        body += "line " + std::to_string(body.size()) + " with 'quotes'\n";
    }
    SendAgain("POST /big HTTP/1.1\r\nHost: HOSTPORT\r\nContent-Length: " +
              std::to_string(body.size()) + "\r\n\r\n" + body);
    SendAgain(
        "POST /chunks HTTP/1.1\r\nHost: HOSTPORT\r\nTransfer-Encoding: chunked\r\n\r\n"
        "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n");
}

// Without the fields curl would add on its own; an empty field; a target that curl must
// not tidy; other methods and HTTP/1.0.
TEST(CurlCommandTest, MethodsTargetsAndFieldsAsRecorded) {
    SendAgain("GET /a/../b/[1]/{x}?q=%20 HTTP/1.1\r\nHost: HOSTPORT\r\nX-Empty:\r\n\r\n");
    SendAgain("DELETE /item/7 HTTP/1.1\r\nHost: HOSTPORT\r\nAuthorization: Bearer a.b.c\r\n\r\n");
    SendAgain("GET /old HTTP/1.0\r\nHost: HOSTPORT\r\nConnection: close\r\n\r\n");
    SendAgain("HEAD /h HTTP/1.1\r\nHost: HOSTPORT\r\n\r\n");
}

TEST(CurlCommandTest, ShellQuoteKeepsEveryByte) {
    EXPECT_EQ("'it'\\''s'", ShellQuote("it's"));
    EXPECT_EQ("''", ShellQuote(""));
    const auto [nExit, strOut] = test::RunCommand("printf %s " + ShellQuote("a'b\"c$d`e\\f\ng"));
    EXPECT_EQ(0, nExit);
    EXPECT_EQ("a'b\"c$d`e\\f\ng", strOut);
}

}  // namespace
