#include "capture/ResponseScan.h"

#include "capture/ContentDecoder.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace std::string_literals;

// What reached the capture, one entry per saved response.
class CRecordingEvents : public IResponseEvents {
public:
    struct CResponse {
        CResponseHead head;
        std::string strBody;
        bool bEnded = false;
        bool bWhole = false;
        std::vector<std::string> notes;
    };
    void OnResponseHead(const CResponseHead& head) override {
        EXPECT_TRUE(m_responses.empty() || m_responses.back().bEnded) << "a head before the end";
        m_responses.push_back({head, {}, false, false, {}});
    }
    void OnResponseBody(std::string_view bytes) override {
        ASSERT_FALSE(m_responses.empty());
        ASSERT_FALSE(m_responses.back().bEnded);
        EXPECT_FALSE(bytes.empty());
        m_responses.back().strBody += bytes;
    }
    void OnResponseEnd(bool bWhole) override {
        ASSERT_FALSE(m_responses.empty());
        ASSERT_FALSE(m_responses.back().bEnded);
        m_responses.back().bEnded = true;
        m_responses.back().bWhole = bWhole;
    }
    void OnResponseNote(const std::string& strText) override {
        ASSERT_FALSE(m_responses.empty());
        m_responses.back().notes.push_back(strText);
    }
    std::vector<CResponse> m_responses;
};

struct CRequestSpec {
    std::wstring strFile;  // empty: not saved
    bool bHead = false;
};

// Queues the requests (in one block), then feeds the server's blocks and ends the
// connection.
CRecordingEvents Scan(const std::vector<CRequestSpec>& requests,
                      const std::vector<std::string_view>& blocks, bool bEnd = true,
                      CResponseScan* pScan = nullptr) {
    CResponseScan own;
    CResponseScan& scan = pScan != nullptr ? *pScan : own;
    CRecordingEvents events;
    for (const CRequestSpec& request : requests) {
        scan.BeginRequestBlock();
        scan.QueueRequest(request.bHead, false);
        if (!request.strFile.empty()) {
            scan.NameLastRequest(request.strFile);
        }
    }
    for (std::string_view block : blocks) {
        scan.Feed(block, events);
    }
    if (bEnd) {
        scan.End(events);
    }
    return events;
}

// The same response stream cut into two blocks at every offset must give what it gives
// whole.
void ExpectEveryCutTheSame(const std::vector<CRequestSpec>& requests, const std::string& stream) {
    const CRecordingEvents whole = Scan(requests, {stream});
    for (std::size_t nCut = 0; nCut <= stream.size(); ++nCut) {
        const std::string_view s(stream);
        const CRecordingEvents cut = Scan(requests, {s.substr(0, nCut), s.substr(nCut)});
        ASSERT_EQ(whole.m_responses.size(), cut.m_responses.size()) << nCut;
        for (std::size_t i = 0; i < whole.m_responses.size(); ++i) {
            EXPECT_EQ(whole.m_responses[i].head.strFile, cut.m_responses[i].head.strFile) << nCut;
            EXPECT_EQ(whole.m_responses[i].head.codings, cut.m_responses[i].head.codings) << nCut;
            EXPECT_EQ(whole.m_responses[i].head.bText, cut.m_responses[i].head.bText) << nCut;
            EXPECT_EQ(whole.m_responses[i].strBody, cut.m_responses[i].strBody) << nCut;
            EXPECT_EQ(whole.m_responses[i].bWhole, cut.m_responses[i].bWhole) << nCut;
        }
    }
}

TEST(ResponseScanTest, ContentLengthBodyEndsWhereItSaysWithoutTheHeaders) {
    const CRecordingEvents events =
        Scan({{L"a"}}, {"HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
                        "Content-Length: 5\r\n\r\nhello"});
    ASSERT_EQ(1u, events.m_responses.size());
    const auto& r = events.m_responses[0];
    EXPECT_EQ(L"a", r.head.strFile);
    EXPECT_EQ(200, r.head.nStatus);
    EXPECT_TRUE(r.head.bText);
    EXPECT_EQ("text/html; charset=utf-8", r.head.strContentType);
    EXPECT_EQ("hello", r.strBody);
    EXPECT_TRUE(r.bEnded && r.bWhole);
}

TEST(ResponseScanTest, ChunkedBodyLosesItsFramingExtensionsAndTrailers) {
    const std::string stream =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Type: image/png\r\n\r\n"
        "6\r\nhello \r\n"
        "8;name=\"va;l\";x\r\n\0\r\n\r\n\n0\r\r\n"
        "A \t; ext\r\n0123456789\r\n"
        "0;last\r\nX-Trailer: 1\r\nOther: 2\r\n\r\n"s;
    const CRecordingEvents events = Scan({{L"p"}}, {stream});
    ASSERT_EQ(1u, events.m_responses.size());
    EXPECT_EQ("hello \0\r\n\r\n\n0\r0123456789"s, events.m_responses[0].strBody);
    EXPECT_TRUE(events.m_responses[0].bWhole);
    EXPECT_FALSE(events.m_responses[0].head.bText);
    ExpectEveryCutTheSame({{L"p"}}, stream);
}

TEST(ResponseScanTest, AChunkSizeLineSplitAcrossThreeBlocksIsReadAsOne) {
    const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    const CRecordingEvents events =
        Scan({{L"f"}}, {head + "1", "0;e", "xt=1\r", "\n0123456789abcdef\r\n0\r\n\r\n"});
    ASSERT_EQ(1u, events.m_responses.size());
    EXPECT_EQ("0123456789abcdef", events.m_responses[0].strBody);
    EXPECT_TRUE(events.m_responses[0].bWhole);
}

TEST(ResponseScanTest, ABodyWithoutLengthRunsToTheClose) {
    const CRecordingEvents open =
        Scan({{L"f"}}, {"HTTP/1.0 200 OK\r\n\r\nfirst", "\r\nHTTP/1.1 200 OK\r\n"}, false);
    ASSERT_EQ(1u, open.m_responses.size());
    EXPECT_EQ("first\r\nHTTP/1.1 200 OK\r\n", open.m_responses[0].strBody);
    EXPECT_FALSE(open.m_responses[0].bEnded);
    const CRecordingEvents closed = Scan({{L"f"}}, {"HTTP/1.0 200 OK\n\nbody\n"});
    EXPECT_TRUE(closed.m_responses[0].bEnded && closed.m_responses[0].bWhole);
    // A transfer coding other than chunked last: to the close as well, the coding kept.
    const CRecordingEvents coded = Scan(
        {{L"f"}}, {"HTTP/1.1 200 OK\r\nContent-Encoding: br\r\nTransfer-Encoding: gzip\r\n\r\nxy"});
    EXPECT_EQ((std::vector<std::string>{"br", "gzip"}), coded.m_responses[0].head.codings);
    EXPECT_EQ("xy", coded.m_responses[0].strBody);
    // Two Content-Length values that differ: where the body ends is not known.
    const CRecordingEvents bad =
        Scan({{L"f"}}, {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabcd"});
    EXPECT_EQ("abcd", bad.m_responses[0].strBody);
}

TEST(ResponseScanTest, ACutConnectionEndsTheBodyAsCut) {
    const CRecordingEvents length =
        Scan({{L"f"}}, {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"});
    EXPECT_TRUE(length.m_responses[0].bEnded);
    EXPECT_FALSE(length.m_responses[0].bWhole);
    const CRecordingEvents chunked =
        Scan({{L"f"}}, {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n"});
    EXPECT_EQ("abc", chunked.m_responses[0].strBody);
    EXPECT_FALSE(chunked.m_responses[0].bWhole);
    // Broken chunk framing: the rest of the connection is the body as it came, cut.
    CResponseScan scan;
    const CRecordingEvents broken =
        Scan({{L"f"}, {L"g"}},
             {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcX\r\n"
              "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nz"},
             true, &scan);
    ASSERT_EQ(1u, broken.m_responses.size());
    EXPECT_EQ("abcX\r\nHTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nz",
              broken.m_responses[0].strBody);
    EXPECT_FALSE(broken.m_responses[0].bWhole);
    EXPECT_EQ(CResponseScan::State::Opaque, scan.GetState());
}

// Every malformed chunk framing keeps the data: what was framed, then the rest as it came,
// with a note that says what broke; a zero-padded size is no malformation.
TEST(ResponseScanTest, MalformedChunkFramingIsSavedAsItCameWithANote) {
    const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    struct CCase {
        std::string body;
        std::string saved;
        std::string note;  // the beginning of the one note; empty: none
        bool bWhole;
    };
    const CCase cases[] = {
        {"3\r\nabc\r\nzz\r\nrest", "abczz\r\nrest",
         "broken chunk framing (a chunk size line that is no hex number) after 3 bytes", false},
        {"3\r\nabc\r\n10000000000000000\r\nrest", "abc10000000000000000\r\nrest",
         "broken chunk framing (a chunk size too large to be one) after 3 bytes", false},
        {"3\r\nabcdef\r\n0\r\n\r\n", "abcdef\r\n0\r\n\r\n",
         "broken chunk framing (no line end after a chunk's data) after 3 bytes", false},
        {"3\nabc\ng\n", "abcg\n", "broken chunk framing (a chunk size line", false},
        {"8\r\nabc", "abc", "cut short: the connection ended 5 bytes before the end of the chunk",
         false},
        {"3\r\nabc\r\n", "abc", "cut short: the connection ended before the last chunk", false},
        {"00000000000000000003\r\nabc\r\n000000000000000000\r\n\r\n", "abc", "", true},
    };
    for (const CCase& c : cases) {
        const CRecordingEvents events = Scan({{L"f"}}, {head + c.body});
        ASSERT_EQ(1u, events.m_responses.size()) << c.body;
        const auto& response = events.m_responses[0];
        EXPECT_EQ(c.saved, response.strBody) << c.body;
        EXPECT_EQ(c.bWhole, response.bWhole) << c.body;
        if (c.note.empty()) {
            EXPECT_TRUE(response.notes.empty()) << c.body;
        } else {
            ASSERT_EQ(1u, response.notes.size()) << c.body;
            EXPECT_TRUE(response.notes[0].starts_with(c.note)) << response.notes[0];
        }
    }
}

TEST(ResponseScanTest, HeadAnd1xxAnd204And304AnswersHaveNoBody) {
    const std::string stream =
        "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Type: text/plain\r\n\r\n"  // HEAD
        "HTTP/1.1 100 Continue\r\n\r\n"
        "HTTP/1.1 103 Early Hints\r\nLink: </a.css>\r\n\r\n"
        "HTTP/1.1 204 No Content\r\nContent-Length: 7\r\n\r\n"
        "HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n"
        "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nlast";
    const std::vector<CRequestSpec> requests = {{L"head", true}, {L"204"}, {L"304"}, {L"last"}};
    const CRecordingEvents events = Scan(requests, {stream});
    ASSERT_EQ(1u, events.m_responses.size());
    EXPECT_EQ(L"last", events.m_responses[0].head.strFile);
    EXPECT_EQ("last", events.m_responses[0].strBody);
    ExpectEveryCutTheSame(requests, stream);
}

TEST(ResponseScanTest, PipelinedAnswersEachGoToTheirOwnRequest) {
    const std::string stream =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 6\r\n\r\nfirst\n"
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Encoding: gzip\r\n\r\n"
        "4\r\nsecn\r\n0\r\n\r\n"
        "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nnop"
        "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nthird";
    const std::vector<CRequestSpec> requests = {{L"1"}, {L"2"}, {}, {L"3"}};
    const CRecordingEvents events = Scan(requests, {stream});
    ASSERT_EQ(3u, events.m_responses.size());
    EXPECT_EQ(L"1", events.m_responses[0].head.strFile);
    EXPECT_EQ("first\n", events.m_responses[0].strBody);
    EXPECT_TRUE(events.m_responses[0].head.bText);
    EXPECT_EQ(L"2", events.m_responses[1].head.strFile);
    EXPECT_EQ("secn", events.m_responses[1].strBody);
    EXPECT_EQ((std::vector<std::string>{"gzip"}), events.m_responses[1].head.codings);
    EXPECT_FALSE(events.m_responses[1].head.bText);  // the mode is each response's own
    EXPECT_EQ(L"3", events.m_responses[2].head.strFile);
    EXPECT_EQ("third", events.m_responses[2].strBody);
    ExpectEveryCutTheSame(requests, stream);
}

TEST(ResponseScanTest, OfSeveralRequestsInOneBlockTheLastNameWins) {
    CResponseScan scan;
    CRecordingEvents events;
    scan.BeginRequestBlock();
    for (const wchar_t* pszFile : {L"a", L"b", L"c"}) {
        scan.QueueRequest(false, false);
        scan.NameLastRequest(pszFile);
    }
    scan.BeginRequestBlock();  // a later block names its own
    scan.QueueRequest(false, false);
    scan.NameLastRequest(L"d");
    EXPECT_EQ(4u, scan.QueuedRequests());
    for (const char* pszBody : {"A", "B", "C", "D"}) {
        scan.Feed("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n"s + pszBody, events);
    }
    ASSERT_EQ(2u, events.m_responses.size());
    EXPECT_EQ(L"c", events.m_responses[0].head.strFile);
    EXPECT_EQ("C", events.m_responses[0].strBody);  // its own answer, nobody else's
    EXPECT_EQ(L"d", events.m_responses[1].head.strFile);
    EXPECT_EQ("D", events.m_responses[1].strBody);
}

TEST(ResponseScanTest, ForgottenRequestsAreFramedButNotSaved) {
    CResponseScan scan;
    CRecordingEvents events;
    EXPECT_FALSE(scan.IsActive());
    scan.QueueRequest(false, false);
    scan.NameLastRequest(L"a");
    EXPECT_TRUE(scan.IsActive());
    scan.ForgetRequests();
    scan.Feed("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nskip", events);
    scan.QueueRequest(false, false);
    scan.NameLastRequest(L"b");
    scan.Feed("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", events);
    ASSERT_EQ(1u, events.m_responses.size());
    EXPECT_EQ(L"b", events.m_responses[0].head.strFile);
    EXPECT_EQ("ok", events.m_responses[0].strBody);
}

TEST(ResponseScanTest, TunnelsAndStreamsThatAreNoHttpAreNotFollowed) {
    CResponseScan scan;
    CRecordingEvents events;
    scan.QueueRequest(false, true);  // CONNECT
    scan.NameLastRequest(L"c");
    scan.Feed("HTTP/1.1 200 Connection established\r\n\r\n\x16\x03\x01", events);
    EXPECT_TRUE(events.m_responses.empty());
    EXPECT_EQ(CResponseScan::State::Opaque, scan.GetState());
    // 101 without a CONNECT: what follows belongs to the other protocol and is saved.
    const CRecordingEvents upgraded = Scan({{L"u"}}, {"HTTP/1.1 101 Switching\r\n\r\n\x81\x00"s});
    ASSERT_EQ(1u, upgraded.m_responses.size());
    EXPECT_EQ("\x81\x00"s, upgraded.m_responses[0].strBody);
    const CRecordingEvents garbage = Scan({{L"g"}}, {"SSH-2.0-OpenSSH\r\n\r\nmore"});
    EXPECT_TRUE(garbage.m_responses.empty());
}

TEST(ResponseScanTest, ContentTypeDecidesTheMode) {
    const auto bText = [](const std::string& strType) {
        const CRecordingEvents events =
            Scan({{L"f"}}, {"HTTP/1.1 200 OK\r\n" + strType + "\r\nContent-Length: 0\r\n\r\n"});
        return events.m_responses.at(0).head.bText;
    };
    EXPECT_FALSE(bText("Content-Type:text/html"));  // no blank after the colon
    EXPECT_FALSE(bText("X-Content-Type: text/html"));
    EXPECT_FALSE(bText("content-type: tex"));
    EXPECT_TRUE(bText("CONTENT-TYPE: TEXT/PLAIN"));
    EXPECT_TRUE(bText("Content-Type: text/html\r\nContent-Type: image/png"));  // no switch back
    EXPECT_FALSE(bText("Content-Type: image/svg+xml"));
}

TEST(ResponseScanTest, ALongHeaderLineCutAnywhereStillEndsAsOneLine) {
    const std::string response =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nX-Long: " + std::string(20000, 'x') +
        "\r\nContent-Length: 4\r\n\r\nbody";
    for (std::size_t nCut :
         {std::size_t{60}, std::size_t{300}, std::size_t{9000}, std::size_t{20050}}) {
        const std::string_view r(response);
        const CRecordingEvents events = Scan({{L"f"}}, {r.substr(0, nCut), r.substr(nCut)});
        ASSERT_EQ(1u, events.m_responses.size()) << nCut;
        EXPECT_EQ("body", events.m_responses[0].strBody) << nCut;
        EXPECT_TRUE(events.m_responses[0].head.bText) << nCut;
    }
}

TEST(ResponseScanTest, RequestsBeyondTheQueueAreAnsweredInTurnButNotSaved) {
    CResponseScan scan;
    CRecordingEvents events;
    const std::size_t nRequests = CResponseScan::kMaxQueue + 3;
    for (std::size_t i = 0; i < nRequests; ++i) {
        scan.BeginRequestBlock();
        scan.QueueRequest(i == nRequests - 1, false);  // the last one a HEAD, not remembered
        scan.NameLastRequest(std::to_wstring(i));
    }
    EXPECT_EQ(CResponseScan::kMaxQueue, scan.QueuedRequests());
    for (std::size_t i = 0; i < nRequests; ++i) {
        scan.Feed("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx", events);
    }
    ASSERT_EQ(CResponseScan::kMaxQueue, events.m_responses.size());
    EXPECT_EQ(std::to_wstring(CResponseScan::kMaxQueue - 1),
              events.m_responses.back().head.strFile);
    // The queue is empty again: the next request is saved under its own name.
    scan.BeginRequestBlock();
    scan.QueueRequest(false, false);
    scan.NameLastRequest(L"after");
    scan.Feed("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nafter", events);
    EXPECT_EQ(L"after", events.m_responses.back().head.strFile);
    EXPECT_EQ("after", events.m_responses.back().strBody);
}

TEST(ResponseScanTest, CodingsAreKeptToOneMoreThanCanBeRemoved) {
    std::string headers;
    for (int i = 0; i < 50; ++i) {
        headers += "Content-Encoding: gzip, br\r\n";
    }
    const CRecordingEvents events =
        Scan({{L"f"}}, {"HTTP/1.1 200 OK\r\n" + headers + "Content-Length: 0\r\n\r\n"});
    EXPECT_EQ(CContentDecoder::kMaxCodings + 1, events.m_responses.at(0).head.codings.size());
}

}  // namespace
