#include "capture/ResponseScan.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/TextConv.h"

namespace {

using namespace std::string_literals;

// What reached the body, each kind joined, the text as the file would hold it.
class CRecordingBody : public IResponseBody {
public:
    void OnBodyStart() override { ++m_nStarts; }
    void OnBodyText(std::string_view line) override {
        m_lines.emplace_back(line);
        m_strText += win::AnsiToWide(line);
    }
    void OnBodyBinary(std::string_view bytes) override {
        ++m_nBinaryCalls;
        m_strBinary += bytes;
    }

    int m_nStarts = 0;
    int m_nBinaryCalls = 0;
    std::vector<std::string> m_lines;
    std::wstring m_strText;
    std::string m_strBinary;
};

CRecordingBody Scan(const std::vector<std::string_view>& blocks) {
    CResponseScan scan;
    CRecordingBody body;
    scan.Start();
    for (std::string_view block : blocks) {
        scan.Feed(block, body);
    }
    scan.Reset(body);
    return body;
}

const std::string kTextResponse =
    "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 27\r\n\r\n"
    "caf\xc3\xa9 \xe2\x82\xac\r\n"
    "\xf0\x9f\x98\x80 line\r\n\r\nend";

TEST(ResponseScanTest, TextBodyGoesOnLineByLineWithoutTheHeaders) {
    const CRecordingBody body = Scan({kTextResponse});
    EXPECT_EQ(1, body.m_nStarts);
    EXPECT_EQ((std::vector<std::string>{"caf\xc3\xa9 \xe2\x82\xac\r\n", "\xf0\x9f\x98\x80 line\r\n",
                                        "\r\n", "end"}),
              body.m_lines);
    EXPECT_EQ(L"caf\u00e9 \u20ac\r\n\U0001F600 line\r\n\r\nend", body.m_strText);
    EXPECT_TRUE(body.m_strBinary.empty());
}

TEST(ResponseScanTest, BinaryBodyGoesOnAsItCame) {
    const std::string bytes("\x89PNG\r\n\x1a\n\0\0\r\n\r\n", 14);
    const CRecordingBody body =
        Scan({"HTTP/1.1 200 OK\r\nContent-Type: image/png\r\n\r\n" + bytes, "more\0"s, "\n"});
    EXPECT_EQ(bytes + "more\0\n"s, body.m_strBinary);
    EXPECT_EQ(3, body.m_nBinaryCalls);  // later blocks whole
    EXPECT_TRUE(body.m_lines.empty());
}

TEST(ResponseScanTest, HeadersEndingWithTheBlockStartTheBodyInTheNext) {
    const CRecordingBody body =
        Scan({"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n", "a\r\nb"});
    EXPECT_EQ(1, body.m_nStarts);
    EXPECT_EQ(L"a\r\nb", body.m_strText);
}

TEST(ResponseScanTest, EveryCutOfTheResponseGivesTheSameBody) {
    const std::string binary = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n" +
                               std::string("\0\r\n\xc3\r\n\n\xff", 8);
    for (const std::string& response : {kTextResponse, binary}) {
        const CRecordingBody whole = Scan({response});
        for (std::size_t nCut = 0; nCut <= response.size(); ++nCut) {
            const std::string_view r(response);
            const CRecordingBody cut = Scan({r.substr(0, nCut), r.substr(nCut)});
            EXPECT_EQ(whole.m_nStarts, cut.m_nStarts) << nCut;
            EXPECT_EQ(whole.m_strText, cut.m_strText) << nCut;
            EXPECT_EQ(whole.m_strBinary, cut.m_strBinary) << nCut;
        }
    }
}

TEST(ResponseScanTest, LineFeedOnlyHeadersAreReadToo) {
    const CRecordingBody body = Scan({"HTTP/1.0 200 OK\nContent-Type: text/plain\n\nbody\n"});
    EXPECT_EQ(L"body\n", body.m_strText);
}

TEST(ResponseScanTest, InterimResponsesAreNotTheBody) {
    const CRecordingBody body = Scan(
        {"HTTP/1.1 100 Continue\r\n\r\n", "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nok"});
    EXPECT_EQ(1, body.m_nStarts);
    EXPECT_EQ(L"ok", body.m_strText);
    // 101: what follows belongs to the other protocol and is saved.
    const CRecordingBody upgraded = Scan({"HTTP/1.1 101 Switching Protocols\r\n\r\n\x81\x00"s});
    EXPECT_EQ(std::string("\x81\x00", 2), upgraded.m_strBinary);
}

TEST(ResponseScanTest, ContentTypeDecidesTheMode) {
    CResponseScan scan;
    scan.ScanHeaderText("Content-Type:text/html");  // no blank after the colon
    EXPECT_EQ(0, scan.GetTextMode());
    scan.ScanHeaderText("X-Content-Type: text/html");
    EXPECT_EQ(0, scan.GetTextMode());
    scan.ScanHeaderText("content-type: tex");
    EXPECT_EQ(0, scan.GetTextMode());
    scan.ScanHeaderText("CONTENT-TYPE: TEXT/PLAIN");
    EXPECT_EQ(1, scan.GetTextMode());
    scan.ScanHeaderText("Content-Type: image/png");  // does not switch back
    EXPECT_EQ(1, scan.GetTextMode());
    EXPECT_FALSE(scan.IsBodyStarted());
    scan.ScanHeaderText("");
    EXPECT_TRUE(scan.IsBodyStarted());
    scan.Start();
    EXPECT_EQ(0, scan.GetTextMode());
    EXPECT_TRUE(scan.IsNewResponse());
}

TEST(ResponseScanTest, ALongHeaderLineCutAnywhereStillEndsAsOneLine) {
    const std::string response =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nX-Long: " + std::string(5000, 'x') +
        "\r\n\r\nbody";
    for (std::size_t nCut : {std::size_t{60}, std::size_t{300}, std::size_t{5050}}) {
        const std::string_view r(response);
        EXPECT_EQ(L"body", Scan({r.substr(0, nCut), r.substr(nCut)}).m_strText) << nCut;
    }
}

TEST(ResponseScanTest, ResetHandsOnTheHeldEndAndRestartsTheHeaders) {
    CResponseScan scan;
    CRecordingBody body;
    scan.Start();
    scan.Feed("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nab\xe2\x82", body);
    EXPECT_EQ((std::vector<std::string>{"ab"}), body.m_lines);
    scan.Reset(body);
    EXPECT_EQ((std::vector<std::string>{"ab", "\xe2\x82"}), body.m_lines);
    EXPECT_FALSE(scan.IsBodyStarted());
    // Without a new name the body is still over: a new response needs its headers first.
    scan.Start();
    scan.Feed("HTTP/1.1 200 OK\r\n", body);
    EXPECT_FALSE(scan.IsBodyStarted());
    EXPECT_EQ(1, body.m_nStarts);
}

TEST(ResponseScanTest, CompleteUtf8LengthHoldsBackOnlyCutSequences) {
    EXPECT_EQ(0u, CompleteUtf8Length(""));
    EXPECT_EQ(3u, CompleteUtf8Length("abc"));
    EXPECT_EQ(1u, CompleteUtf8Length("a\xc3"));
    EXPECT_EQ(3u, CompleteUtf8Length("a\xc3\xa9"));
    EXPECT_EQ(1u, CompleteUtf8Length("a\xe2\x82"));
    EXPECT_EQ(1u, CompleteUtf8Length("a\xf0\x9f\x98"));
    EXPECT_EQ(5u, CompleteUtf8Length("a\xf0\x9f\x98\x80"));
    EXPECT_EQ(4u, CompleteUtf8Length("a\xe2\x82z"));     // broken already: nothing to wait for
    EXPECT_EQ(4u, CompleteUtf8Length("a\x80\x80\x80"));  // stray continuation bytes
}

}  // namespace
