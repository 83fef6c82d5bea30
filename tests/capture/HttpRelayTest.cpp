// HTTP mode end to end: curl (or a plain client) through the relay to a server of the
// test's own, with the request rewriting and the response files.
#include <filesystem>
#include <random>

#include "CodingTestSupport.h"
#include "HttpTestSupport.h"
#include "capture/SocketClient.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using test::CHttpAnswer;
using test::CHttpRequest;
using test::CHttpTestServer;

// The UTF-16LE bytes of a text file: FF FE, then every character.
std::string Utf16File(const std::wstring& text) {
    std::string bytes = "\xff\xfe";
    for (wchar_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>((c >> 8) & 0xFF);
    }
    return bytes;
}

std::vector<std::string> FilesBelow(const std::string& strFolder) {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(strFolder, ec)) {
        if (entry.is_regular_file()) {
            files.push_back(entry.path().string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

class HttpRelayTest : public test::RelayFixture {
protected:
    void SetUp() override {
        RelayFixture::SetUp();
        m_strData = m_files.Path("data");
        CRegKeyTalvex settings;
        const std::wstring strData(m_strData.begin(), m_strData.end());
        settings.SetDataFolder(strData.c_str());
    }

    static void SetOptions(bool bReplaceHost, bool bSaveResponse) {
        CRegKeyTalvex settings;
        settings.SetReplaceHostHeader(bReplaceHost);
        settings.SetSaveResponse(bSaveResponse);
    }

    std::string Url(std::uint16_t nLocal, const std::string& strPath) const {
        return "http://127.0.0.1:" + std::to_string(nLocal) + strPath;
    }
    // A response file below the host's folder.
    std::string SavedPath(const std::string& strRelative) const {
        return m_strData + "/127.0.0.1/" + strRelative;
    }
    std::string Saved(const std::string& strRelative) const {
        std::ifstream in(SavedPath(strRelative), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool WaitForSaveLine(const std::string& strRelative) {
        const std::string strPath = SavedPath(strRelative);
        return WaitForLog(L"\nSave to \"" + std::wstring(strPath.begin(), strPath.end()) + L"\"\n");
    }
    int CountOpenFailures() {
        int n = 0;
        for (const test::CLogRow& row : m_log.Rows()) {
            if (row.text.starts_with(L"\nOpen \"") &&
                row.text.find(L"\" failed! ") != std::wstring::npos) {
                EXPECT_EQ(1, row.nStyle);
                ++n;
            }
        }
        return n;
    }
    // Whether a log row holds `part`.
    bool LogHas(const std::wstring& part) {
        const std::vector<test::CLogRow> rows = m_log.Rows();
        return std::any_of(rows.begin(), rows.end(), [&](const test::CLogRow& row) {
            return row.text.find(part) != std::wstring::npos;
        });
    }
    // Waits for the sessions to end, so that every response file is closed.
    void WaitForSessionsToEnd() {
        EXPECT_TRUE(test::WaitUntil([] { return g_nClientsCount == 0; }, 20s));
    }

    CTempFolder m_files;
    std::string m_strData;
};

const std::string kPage = "caf\xc3\xa9 au lait\r\n<p>\xe2\x82\xac 5</p>\r\n";
const std::wstring kPageText = L"caf\u00e9 au lait\r\n<p>\u20ac 5</p>\r\n";

TEST_F(HttpRelayTest, ReplaceHostHeaderRewritesHostAndRefererOnly) {
    SetOptions(true, false);
    CHttpTestServer server([](const CHttpRequest&) {
        return CHttpAnswer{CHttpTestServer::Response("text/plain", "ok")};
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    const std::string strServer = "127.0.0.1:" + std::to_string(server.Port());
    EXPECT_EQ("ok", test::Curl({"-H", "Referer: http://LocalHost:8080/localhost/p?q=1", "-H",
                                "X-Other: localhost", Url(nLocal, "/a")}));
    // A plain client that spells the header's name in lower case.
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_TRUE(test::SendAllPosix(fd, "GET /b HTTP/1.1\r\nhost: lower.example\r\n\r\n"));
    ASSERT_TRUE(test::WaitUntil([&] { return server.Requests().size() == 2; }));
    ::close(fd);
    const std::vector<CHttpRequest> requests = server.Requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_NE(std::string::npos, requests[0].strHead.find("\r\nHost: " + strServer + "\r\n"))
        << requests[0].strHead;
    EXPECT_NE(std::string::npos, requests[0].strHead.find("\r\nReferer: http://" + strServer +
                                                          "/localhost/p?q=1\r\n"));
    EXPECT_NE(std::string::npos, requests[0].strHead.find("\r\nX-Other: localhost\r\n"));
    EXPECT_NE(std::string::npos, requests[1].strHead.find("\r\nhost: " + strServer + "\r\n"))
        << requests[1].strHead;
    // Save Response is off: nothing is saved.
    EXPECT_TRUE(FilesBelow(m_strData).empty());
}

TEST_F(HttpRelayTest, APastedUrlGivesAValidHostAndReferer) {
    SetOptions(true, false);
    CHttpTestServer server([](const CHttpRequest&) {
        return CHttpAnswer{CHttpTestServer::Response("text/plain", "ok")};
    });
    const std::uint16_t nLocal = StartListening(server.Port(), L" http://127.0.0.1/some/path ");
    const std::string strServer = "127.0.0.1:" + std::to_string(server.Port());
    EXPECT_EQ("ok", test::Curl({"-H", "Referer: " + Url(nLocal, "/page"), "-H",
                                "Origin: " + Url(nLocal, ""), "-d", "x=1", Url(nLocal, "/")}));
    ASSERT_EQ(1u, server.Requests().size());
    const std::string head = server.Requests()[0].strHead;
    EXPECT_NE(std::string::npos, head.find("\r\nHost: " + strServer + "\r\n")) << head;
    EXPECT_NE(std::string::npos, head.find("\r\nReferer: http://" + strServer + "/page\r\n"))
        << head;
    EXPECT_NE(std::string::npos, head.find("\r\nOrigin: http://" + strServer + "\r\n")) << head;
}

// A client that sends its request one byte per packet: every block holds one byte, and the
// lines are still rewritten, the pipelined second request too.
TEST_F(HttpRelayTest, ARequestSentByteByByteIsRewritten) {
    SetOptions(true, false);
    CHttpTestServer server([](const CHttpRequest&) {
        return CHttpAnswer{CHttpTestServer::Response("text/plain", "ok")};
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    const std::string strServer = "127.0.0.1:" + std::to_string(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_GE(fd, 0);
    const int nOn = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
    const std::string local = "localhost:" + std::to_string(nLocal);
    const std::string requests = "GET /one HTTP/1.1\r\nHost: " + local + "\r\nReferer: http://" +
                                 local + "/start\r\n\r\nGET /two HTTP/1.1\r\nHOST: " + local +
                                 "\r\n\r\n";
    for (char c : requests) {
        ASSERT_TRUE(test::SendAllPosix(fd, std::string(1, c)));
        std::this_thread::sleep_for(2ms);  // one packet, and most likely one block, each
    }
    ASSERT_TRUE(test::WaitUntil([&] { return server.Requests().size() == 2; }, 20s))
        << server.Requests().size();
    ::close(fd);
    const std::vector<CHttpRequest> got = server.Requests();
    EXPECT_EQ("GET /one HTTP/1.1\r\nHost: " + strServer + "\r\nReferer: http://" + strServer +
                  "/start\r\n\r\n",
              got[0].strHead);
    EXPECT_EQ("GET /two HTTP/1.1\r\nHOST: " + strServer + "\r\n\r\n", got[1].strHead);
}

// A client that ends its stream inside a header line: what was held back for rewriting
// still reaches the server before the end.
TEST_F(HttpRelayTest, AHeaderLineCutByTheClientsEndReachesTheServer) {
    SetOptions(true, false);
    std::mutex mutex;
    std::string received;
    test::CTestServer server([&](int fd) {
        std::string all = test::ReceiveAllPosix(fd);
        std::lock_guard lock(mutex);
        received = all;
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(test::SendAllPosix(fd, "GET / HTTP/1.1\r\nHost: loc"));
    std::this_thread::sleep_for(100ms);
    ::shutdown(fd, SHUT_WR);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 0 stopped.", 20s));
    ::close(fd);
    std::lock_guard lock(mutex);
    EXPECT_EQ("GET / HTTP/1.1\r\nHost: loc", received);
}

TEST_F(HttpRelayTest, TextPageIsSavedAsUtf16WithoutHeaders) {
    SetOptions(false, true);
    CHttpTestServer server([](const CHttpRequest&) {
        return CHttpAnswer{CHttpTestServer::Response("text/html; charset=utf-8", kPage)};
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    EXPECT_EQ(kPage, test::Curl({Url(nLocal, "/pages/index.html")}));
    ASSERT_TRUE(WaitForSaveLine("pages/index.html"));
    WaitForSessionsToEnd();
    EXPECT_EQ(Utf16File(kPageText), Saved("pages/index.html"));
}

TEST_F(HttpRelayTest, ImageIsSavedByteForByteAcrossBlocks) {
    SetOptions(false, true);
    const std::string part1 = test::Pattern(70000);
    const std::string part2 = "\0\0\r\n\r\nend"s;
    CHttpTestServer server([&](const CHttpRequest&) {
        return CHttpAnswer{"HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " +
                               std::to_string(part1.size() + part2.size()) + "\r\n\r\n" + part1,
                           part2};
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    EXPECT_TRUE(part1 + part2 == test::Curl({Url(nLocal, "/img/logo.png")}));
    WaitForSessionsToEnd();
    const std::string saved = Saved("img/logo.png");
    EXPECT_EQ(part1.size() + part2.size(), saved.size());
    EXPECT_TRUE(part1 + part2 == saved);
}

TEST_F(HttpRelayTest, TwoRequestsOnOneConnectionGiveTwoFiles) {
    SetOptions(false, true);
    CHttpTestServer server([](const CHttpRequest& request) {
        if (request.RequestLine().starts_with("GET /one ")) {
            return CHttpAnswer{CHttpTestServer::Response("text/plain", "first\r\n")};
        }
        return CHttpAnswer{CHttpTestServer::Response("application/json", "{\"n\":2}")};
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    EXPECT_EQ("first\r\n{\"n\":2}", test::Curl({Url(nLocal, "/one"), Url(nLocal, "/two.json")}));
    WaitForSessionsToEnd();
    EXPECT_FALSE(m_log.Contains(L"\r\nSession 1 starts."));  // one connection
    EXPECT_EQ(Utf16File(L"first\r\n"), Saved("one"));
    EXPECT_EQ("{\"n\":2}", Saved("two.json"));
}

TEST_F(HttpRelayTest, HeadRequestSavesNothing) {
    SetOptions(false, true);
    CHttpTestServer server([](const CHttpRequest&) {
        return CHttpAnswer{
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\n"};
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    const std::string head = test::Curl({"-I", Url(nLocal, "/page")});
    EXPECT_NE(std::string::npos, head.find("Content-Length: 5"));
    WaitForSessionsToEnd();
    EXPECT_TRUE(FilesBelow(m_strData).empty());
    EXPECT_EQ(0, CountOpenFailures());
}

TEST_F(HttpRelayTest, PostWithQueryNamesTheFileWithoutTheQuery) {
    SetOptions(false, true);
    CHttpTestServer server([](const CHttpRequest& request) {
        return CHttpAnswer{
            CHttpTestServer::Response("application/octet-stream", "got " + request.strBody)};
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    EXPECT_EQ("got a=1", test::Curl({"--data-binary", "a=1", Url(nLocal, "/form?x=1&y=2")}));
    ASSERT_TRUE(WaitForSaveLine("form"));
    WaitForSessionsToEnd();
    EXPECT_EQ((std::vector<std::string>{SavedPath("form")}), FilesBelow(m_strData));
    EXPECT_EQ("got a=1", Saved("form"));
}

TEST_F(HttpRelayTest, UnwritableDataFolderIsLoggedOncePerResponseAndTheSessionGoesOn) {
    SetOptions(false, true);
    m_files.WriteFile("plain", "a file, not a folder");
    {
        CRegKeyTalvex settings;
        settings.SetDataFolder(m_files.WPath("plain/data").c_str());
    }
    const std::string binary1 = "\x01\x02\r\n"s;
    const std::string binary2 = "\x03\0"s;
    CHttpTestServer server([&](const CHttpRequest& request) {
        if (request.RequestLine().starts_with("GET /text ")) {
            return CHttpAnswer{CHttpTestServer::Response("text/plain", "a\r\nb\r\nc\r\n")};
        }
        return CHttpAnswer{
            "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nContent-Length: 6\r\n\r\n" + binary1,
            binary2};
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    EXPECT_TRUE("a\r\nb\r\nc\r\n" + binary1 + binary2 ==
                test::Curl({Url(nLocal, "/text"), Url(nLocal, "/bin")}));
    WaitForSessionsToEnd();
    // Once for each response (three text lines, two binary blocks), which is not saved.
    EXPECT_EQ(2, CountOpenFailures());
    const std::wstring strFailure = L"\nOpen \"" + m_files.WPath("plain/data/127.0.0.1/text") +
                                    L"\" failed! the data folder \"" + m_files.WPath("plain/data") +
                                    L"\" cannot be used: ";
    // The line names the part of the path that is in the way.
    const std::wstring strReason = L"'" + m_files.WPath("plain") + L"' is a file, not a folder.";
    bool bFound = false;
    for (const test::CLogRow& row : m_log.Rows()) {
        bFound = bFound || (row.text.starts_with(strFailure) &&
                            row.text.find(strReason) != std::wstring::npos);
    }
    EXPECT_TRUE(bFound);
    EXPECT_FALSE(m_log.Contains(L"\r\nSession 1 starts."));
}

TEST_F(HttpRelayTest, BinaryPostArrivesIntactWithBothOptionsOn) {
    SetOptions(true, true);
    std::mt19937 rng(5);
    std::string body(1 << 20, '\0');
    for (char& c : body) {
        const unsigned r = rng() % 8;
        c = r == 0 ? '\0' : r == 1 ? '\r' : r == 2 ? '\n' : static_cast<char>(rng());
    }
    // Lines that would be rewritten or would name a file if the body were read as headers.
    const std::string decoys =
        "\r\nGET /decoy HTTP/1.1\r\nHost: localhost\r\nReferer: http://localhost/\r\n\r\n";
    body.replace(1000, decoys.size(), decoys);
    body.replace(body.size() - 2000, decoys.size(), decoys);
    CHttpTestServer server([](const CHttpRequest& request) {
        return CHttpAnswer{
            CHttpTestServer::Response("text/plain", std::to_string(request.strBody.size()))};
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(
        test::SendAllPosix(fd, "POST /upload HTTP/1.1\r\nHost: localhost:1\r\nContent-Length: " +
                                   std::to_string(body.size()) + "\r\n\r\n" + body));
    ASSERT_TRUE(test::WaitUntil([&] { return !server.Requests().empty(); }, 20s));
    ::shutdown(fd, SHUT_WR);
    EXPECT_NE(std::string::npos, test::ReceiveAllPosix(fd).find("\r\n\r\n1048576"));
    ::close(fd);
    const CHttpRequest request = server.Requests()[0];
    EXPECT_NE(
        std::string::npos,
        request.strHead.find("\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n"));
    EXPECT_EQ(body.size(), request.strBody.size());
    EXPECT_TRUE(body == request.strBody);
    WaitForSessionsToEnd();
    EXPECT_EQ((std::vector<std::string>{SavedPath("upload")}), FilesBelow(m_strData));
}

TEST_F(HttpRelayTest, DotSegmentTargetsWriteNothingOutsideTheDataFolder) {
    SetOptions(false, true);
    CHttpTestServer server([](const CHttpRequest& request) {
        return CHttpAnswer{
            CHttpTestServer::Response("application/octet-stream", request.RequestLine())};
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    test::Curl({"--path-as-is", Url(nLocal, "/../../x"), Url(nLocal, "/a/../../../x")});
    ASSERT_EQ(2u, server.Requests().size());
    EXPECT_EQ("GET /../../x HTTP/1.1", server.Requests()[0].RequestLine());  // as sent
    WaitForSessionsToEnd();
    // Everything below the temporary folder (which holds the data folder) is inside the
    // host's folder.
    EXPECT_EQ((std::vector<std::string>{SavedPath("a/x"), SavedPath("x")}),
              FilesBelow(m_files.Path()));
    EXPECT_EQ("GET /../../x HTTP/1.1", Saved("x"));
    EXPECT_EQ("GET /a/../../../x HTTP/1.1", Saved("a/x"));
}

TEST_F(HttpRelayTest, OverlongNamesAreLoggedAsOpenFailures) {
    SetOptions(false, true);
    CHttpTestServer server([](const CHttpRequest&) {
        return CHttpAnswer{CHttpTestServer::Response("application/octet-stream", "body")};
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    const std::string strLongName = "/" + std::string(300, 'n');  // beyond a file name's limit
    std::string strDeep;  // long, but every name in it fits: saved, folder by folder
    while (strDeep.size() < 2000) {
        strDeep += "/" + std::string(199, 'd');
    }
    const std::string strTooLong = "/" + std::string(3000, 't');  // beyond the parser's
    EXPECT_EQ("bodybodybody", test::Curl({Url(nLocal, strLongName), Url(nLocal, strDeep),
                                          Url(nLocal, strTooLong)}));
    WaitForSessionsToEnd();
    EXPECT_EQ(1, CountOpenFailures());
    // The message is whole, with its reason at the end.
    EXPECT_TRUE(m_log.Contains(L"\nOpen \"" + win::AnsiToWide(SavedPath(strLongName.substr(1))) +
                               L"\" failed! File name too long\n"));
    EXPECT_EQ((std::vector<std::string>{SavedPath(strDeep.substr(1))}), FilesBelow(m_strData));
    // The target too long to name a file is said once, in bold.
    int nTooLong = 0;
    for (const test::CLogRow& row : m_log.Rows()) {
        if (row.text ==
            L"\nNot saved: a request target of 3001 characters is too long to name "
            L"a file\n") {
            EXPECT_EQ(1, row.nStyle);
            ++nTooLong;
        }
    }
    EXPECT_EQ(1, nTooLong);
}

// The response cut into two blocks by the server at the places where the old per-block
// scan went wrong: inside the empty line after the headers, and inside the content type.
TEST_F(HttpRelayTest, ResponseCutByTheServerIsSavedWhole) {
    SetOptions(false, true);
    const std::string response = CHttpTestServer::Response("text/plain", kPage);
    const std::size_t nInEmptyLine = response.find("\r\n\r\n") + 3;
    const std::size_t nInType = response.find("text/plain") + 2;
    CHttpTestServer server([&](const CHttpRequest& request) {
        const std::size_t nCut =
            request.RequestLine().starts_with("GET /a ") ? nInEmptyLine : nInType;
        return CHttpAnswer{response.substr(0, nCut), response.substr(nCut)};
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    EXPECT_EQ(kPage + kPage, test::Curl({Url(nLocal, "/a"), Url(nLocal, "/b")}));
    WaitForSessionsToEnd();
    EXPECT_EQ(Utf16File(kPageText), Saved("a"));
    EXPECT_EQ(Utf16File(kPageText), Saved("b"));
}

// The client's capture driven directly: the same response cut into two blocks at every
// offset gives the same file.
TEST_F(HttpRelayTest, EveryCutOfAResponseGivesTheSameFile) {
    const std::string text = CHttpTestServer::Response("text/html", kPage + "last \xe2\x82\xac");
    const std::string binary =
        CHttpTestServer::Response("image/png", "\x89PNG\r\n\x1a\n\0\r\n\r\n\xc3"s);
    struct CCase {
        const std::string& response;
        std::string expected;
    };
    const CCase cases[] = {{text, Utf16File(kPageText + L"last \u20ac")},
                           {binary, "\x89PNG\r\n\x1a\n\0\r\n\r\n\xc3"s}};
    int nCase = 0;
    for (const CCase& c : cases) {
        {
            CSocketClient client(nullptr);
            for (std::size_t nCut = 0; nCut <= c.response.size(); ++nCut) {
                const std::string strPath =
                    m_files.Path("cut/" + std::to_string(nCase) + "/" + std::to_string(nCut));
                CModuleLock lock;  // as the session holds it
                client.BeginRequestBlock();
                client.QueueRequest(false, false);
                const std::string strRoot = m_files.Path("cut");
                client.SetResponseFile(std::wstring(strPath.begin(), strPath.end()),
                                       std::wstring(strRoot.begin(), strRoot.end()));
                client.CaptureBlock(std::string_view(c.response).substr(0, nCut));
                client.CaptureBlock(std::string_view(c.response).substr(nCut));
            }
        }  // the last file is closed with the client
        for (std::size_t nCut = 0; nCut <= c.response.size(); ++nCut) {
            EXPECT_EQ(c.expected,
                      m_files.ReadFile("cut/" + std::to_string(nCase) + "/" + std::to_string(nCut)))
                << nCase << " cut at " << nCut;
        }
        ++nCase;
    }
}

// A page large enough to cross several blocks, in UTF-8 with characters beyond ASCII.
std::string BigPage() {
    std::string page;
    for (int i = 0; page.size() < 300000; ++i) {
        page += "<p>line " + std::to_string(i) + " caf\xc3\xa9 \xe2\x82\xac</p>\r\n";
    }
    return page;
}

std::wstring BigPageText() {
    return win::AnsiToWide(BigPage());
}

// The body in chunks of `nChunk` bytes.
std::string ChunkedBody(std::string_view body, std::size_t nChunk) {
    std::string out;
    char szSize[32];
    for (std::size_t nPos = 0; nPos < body.size(); nPos += nChunk) {
        const std::size_t n = std::min(nChunk, body.size() - nPos);
        std::snprintf(szSize, sizeof szSize, "%zx;n=1\r\n", n);
        out += szSize;
        out.append(body.substr(nPos, n));
        out += "\r\n";
    }
    return out + "0\r\nX-Trailer: t\r\n\r\n";
}

// The answer to GET /<coding>[-chunked]: the big page in that coding, in three pieces.
CHttpAnswer CompressedAnswer(const CHttpRequest& request) {
    const std::string strLine = request.RequestLine();
    const std::string strPath = strLine.substr(4, strLine.find(' ', 4) - 4);
    const bool bChunked = strPath.ends_with("-chunked");
    const std::string strCoding = strPath.substr(1, strPath.find('-') - 1);
    const std::string coded = test::Encode(strCoding, BigPage());
    std::string response =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
        "Content-Encoding: " +
        strCoding + "\r\n";
    response += bChunked ? "Transfer-Encoding: chunked\r\n\r\n" + ChunkedBody(coded, 10000)
                         : "Content-Length: " + std::to_string(coded.size()) + "\r\n\r\n" + coded;
    const std::size_t nThird = response.size() / 3;
    return CHttpAnswer{response.substr(0, nThird), response.substr(nThird, nThird),
                       response.substr(2 * nThird)};
}

TEST_F(HttpRelayTest, CurlCompressedPagesAreSavedAsThePages) {
    SetOptions(true, true);
    CHttpTestServer server(CompressedAnswer);
    const std::uint16_t nLocal = StartListening(server.Port());
    const std::vector<std::string> paths = {"/gzip",         "/deflate",        "/br",
                                            "/zstd",         "/gzip-chunked",   "/br-chunked",
                                            "/zstd-chunked", "/deflate-chunked"};
    std::vector<std::string> args = {"--compressed"};
    std::string expected;
    for (const std::string& strPath : paths) {
        args.push_back(Url(nLocal, strPath));
        expected += BigPage();
    }
    const std::string out = test::Curl(args);
    EXPECT_EQ(expected.size(), out.size());
    EXPECT_TRUE(expected == out);
    WaitForSessionsToEnd();
    EXPECT_FALSE(m_log.Contains(L"\r\nSession 1 starts."));  // all on one connection
    const std::string page = Utf16File(BigPageText());
    const std::string head = server.Requests().at(0).strHead;
    for (const char* pszCoding : {"gzip", "deflate", "br", "zstd"}) {
        EXPECT_NE(std::string::npos, head.find(pszCoding)) << head;  // curl asked for it
    }
    for (const std::string strPath : {"gzip", "deflate", "br", "zstd"}) {
        EXPECT_TRUE(page == Saved(strPath)) << strPath << ": " << Saved(strPath).size();
        EXPECT_TRUE(page == Saved(strPath + "-chunked")) << strPath;
    }
    EXPECT_FALSE(LogHas(L"kept as it came"));
}

TEST_F(HttpRelayTest, CompressedAnswersAreRelayedByteForByte) {
    SetOptions(true, true);
    std::mutex mutex;
    std::string sent;
    CHttpTestServer server([&](const CHttpRequest& request) {
        CHttpAnswer answer = CompressedAnswer(request);
        std::lock_guard lock(mutex);
        for (const std::string& piece : answer) {
            sent += piece;
        }
        return answer;
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_GE(fd, 0);
    // Four pipelined requests in one block.
    std::string requests;
    for (const char* pszPath : {"/gzip-chunked", "/br", "/zstd-chunked", "/deflate"}) {
        requests +=
            "GET "s + pszPath + " HTTP/1.1\r\nHost: localhost\r\nAccept-Encoding: gzip\r\n\r\n";
    }
    ASSERT_TRUE(test::SendAllPosix(fd, requests));
    ASSERT_TRUE(test::WaitUntil([&] { return server.Requests().size() == 4; }, 20s));
    ::shutdown(fd, SHUT_WR);
    const std::string received = test::ReceiveAllPosix(fd);
    ::close(fd);
    std::lock_guard lock(mutex);
    EXPECT_EQ(sent.size(), received.size());
    EXPECT_TRUE(sent == received);
    WaitForSessionsToEnd();
    // Sent in one block: the last name wins, and its file holds its own page only.
    EXPECT_EQ((std::vector<std::string>{SavedPath("deflate")}), FilesBelow(m_strData));
    EXPECT_TRUE(Utf16File(BigPageText()) == Saved("deflate"));
}

TEST_F(HttpRelayTest, ANextRequestWhileAnAnswerArrivesDoesNotCutIt) {
    SetOptions(false, true);
    std::string lines;
    for (int i = 1; i <= 100; ++i) {
        lines += "line " + std::to_string(i) + "\r\n";
    }
    CHttpTestServer server([&](const CHttpRequest& request) {
        if (request.RequestLine().starts_with("GET /slow ")) {
            const std::string response = CHttpTestServer::Response("text/plain", lines);
            return CHttpAnswer{response.substr(0, 200), response.substr(200, 300),
                               response.substr(500)};
        }
        return CHttpAnswer{CHttpTestServer::Response("text/plain", "next\r\n")};
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(test::SendAllPosix(fd, "GET /slow HTTP/1.1\r\nHost: x\r\n\r\n"));
    // The first piece of the answer is through: the browser sends its next request.
    char first[200];
    std::size_t nFirst = 0;
    while (nFirst < sizeof first) {
        const ssize_t n = ::recv(fd, first + nFirst, sizeof first - nFirst, 0);
        ASSERT_GT(n, 0);
        nFirst += static_cast<std::size_t>(n);
    }
    ASSERT_TRUE(test::SendAllPosix(fd, "GET /next HTTP/1.1\r\nHost: x\r\n\r\n"));
    ASSERT_TRUE(test::WaitUntil([&] { return server.Requests().size() == 2; }, 20s));
    ::shutdown(fd, SHUT_WR);
    const std::string rest = test::ReceiveAllPosix(fd);
    ::close(fd);
    EXPECT_NE(std::string::npos, rest.find("line 100\r\n"));
    WaitForSessionsToEnd();
    EXPECT_EQ(Utf16File(win::AnsiToWide(lines)), Saved("slow"));
    EXPECT_EQ(Utf16File(L"next\r\n"), Saved("next"));
}

TEST_F(HttpRelayTest, AnswersWithoutABodySaveNothing) {
    SetOptions(false, true);
    CHttpTestServer server([](const CHttpRequest& request) {
        const std::string strLine = request.RequestLine();
        if (strLine.starts_with("GET /empty ")) {
            return CHttpAnswer{"HTTP/1.1 204 No Content\r\nContent-Type: text/plain\r\n\r\n"};
        }
        if (strLine.starts_with("GET /same ")) {
            return CHttpAnswer{
                "HTTP/1.1 304 Not Modified\r\nContent-Type: text/plain\r\n"
                "Content-Length: 9\r\n\r\n"};
        }
        return CHttpAnswer{"HTTP/1.1 100 Continue\r\n\r\n",
                           CHttpTestServer::Response("application/octet-stream", "after 100")};
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    const std::string out =
        test::Curl({Url(nLocal, "/empty"), Url(nLocal, "/same"), Url(nLocal, "/continue")});
    EXPECT_EQ("after 100", out);
    WaitForSessionsToEnd();
    EXPECT_EQ((std::vector<std::string>{SavedPath("continue")}), FilesBelow(m_strData));
    EXPECT_EQ("after 100", Saved("continue"));
}

TEST_F(HttpRelayTest, ABombIsSavedOnlyUpToTheLimitAndRelayedWhole) {
    SetOptions(false, true);
    const std::string coded = test::Gzip(std::string(100 * 1024 * 1024, '\0'));
    CHttpTestServer server([&](const CHttpRequest&) {
        return CHttpAnswer{
            "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
            "Content-Encoding: gzip\r\nContent-Length: " +
            std::to_string(coded.size()) + "\r\n\r\n" + coded};
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    const std::string out = test::Curl({Url(nLocal, "/bomb.bin")});  // not decoded by curl
    EXPECT_TRUE(coded == out);
    WaitForSessionsToEnd();
    const std::size_t nSaved = Saved("bomb.bin").size();
    EXPECT_GT(nSaved, 0u);
    EXPECT_LE(nSaved, 100 * coded.size() + 1024 * 1024);
    const std::string strPath = SavedPath("bomb.bin");
    EXPECT_TRUE(LogHas(L"\nSave to \"" + std::wstring(strPath.begin(), strPath.end()) +
                       L"\": stopped after " + std::to_wstring(nSaved) +
                       L" decoded bytes, more than 100 times the "));
}

TEST_F(HttpRelayTest, AnUnknownOrBrokenCodingIsSavedAsItCame) {
    SetOptions(false, true);
    std::string broken = test::Gzip(BigPage());
    broken.resize(broken.size() - 10);
    CHttpTestServer server([&](const CHttpRequest& request) {
        const bool bUnknown = request.RequestLine().starts_with("GET /unknown ");
        return CHttpAnswer{"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: " +
                           std::string(bUnknown ? "compress" : "gzip") + "\r\nContent-Length: " +
                           std::to_string(broken.size()) + "\r\n\r\n" + broken};
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    EXPECT_TRUE(broken + broken == test::Curl({Url(nLocal, "/unknown"), Url(nLocal, "/broken")}));
    WaitForSessionsToEnd();
    EXPECT_TRUE(broken == Saved("unknown"));
    EXPECT_TRUE(broken == Saved("broken"));
    EXPECT_TRUE(LogHas(L"\": content coding 'compress' kept as it came\n"));
    EXPECT_TRUE(LogHas(L"\": content coding 'gzip' kept as it came (its data does not decode)\n"));
}

TEST_F(HttpRelayTest, BrokenChunkFramingIsSavedAsItCameWithALogLine) {
    SetOptions(false, true);
    const std::string body = "4\r\nwire\r\nxyz\r\nafter the break";
    CHttpTestServer server([&](const CHttpRequest&) {
        return CHttpAnswer{
            "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
            "Transfer-Encoding: chunked\r\n\r\n" +
            body};
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_TRUE(test::SendAllPosix(fd, "GET /broken HTTP/1.1\r\nHost: x\r\n\r\n"));
    // A broken framing runs to the end of the connection.
    ASSERT_TRUE(test::WaitUntil([&] { return LogHas(L"after the break"); }));
    ::close(fd);
    WaitForSessionsToEnd();
    EXPECT_EQ("wirexyz\r\nafter the break", Saved("broken"));
    const std::string strPath = SavedPath("broken");
    EXPECT_TRUE(LogHas(L"\nSave to \"" + std::wstring(strPath.begin(), strPath.end()) +
                       L"\": broken chunk framing (a chunk size line that is no hex number) "
                       L"after 4 bytes; the rest is saved as it came, framing included\n"));
}

TEST_F(HttpRelayTest, TheSameUrlOnTwoConnectionsAtOnceFailsOnceForTheSecond) {
    SetOptions(false, true);
    std::string lines;
    for (int i = 1; i <= 100; ++i) {
        lines += "line " + std::to_string(i) + "\r\n";
    }
    const std::string response = CHttpTestServer::Response("text/plain", lines);
    CHttpTestServer server([&](const CHttpRequest&) {
        return CHttpAnswer{response.substr(0, 300), response.substr(300, 300),
                           response.substr(600)};
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd1 = test::ConnectPosix(nLocal);
    const int fd2 = test::ConnectPosix(nLocal);
    ASSERT_GE(fd1, 0);
    ASSERT_GE(fd2, 0);
    for (int fd : {fd1, fd2}) {
        ASSERT_TRUE(test::SendAllPosix(fd, "GET /same.txt HTTP/1.1\r\nHost: x\r\n\r\n"));
    }
    ASSERT_TRUE(test::WaitUntil([&] { return server.Requests().size() == 2; }, 20s));
    for (int fd : {fd1, fd2}) {
        ::shutdown(fd, SHUT_WR);
        EXPECT_EQ(response, test::ReceiveAllPosix(fd));  // both relayed whole
        ::close(fd);
    }
    WaitForSessionsToEnd();
    // One connection's file is open while the other's answer arrives: told once, not once
    // per line.
    EXPECT_EQ(1, CountOpenFailures());
    EXPECT_EQ(Utf16File(win::AnsiToWide(lines)), Saved("same.txt"));
}

}  // namespace
