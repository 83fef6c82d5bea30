// The HTTP Archive: entries from a log's stored records, checked against the HAR 1.2 schema
// (tests/export/har-1.2.schema.json, with Python's jsonschema) and opened by the HAR
// validator that Debian packages for Node.js; bodies decoded and compared byte for byte.
#include <gtest/gtest.h>

#include <unistd.h>
#include <zlib.h>

#include <random>
#include <sstream>

#include "ExportTestSupport.h"
#include "TempFolder.h"
#include "export/HarBuilder.h"
#include "export/HarExport.h"

namespace {

constexpr auto kUp = LogDirection::ClientToServer;
constexpr auto kDown = LogDirection::ServerToClient;

std::string Gzip(std::string_view in) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, in.size()) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string Chunked(std::string_view body, std::size_t nChunk) {
    std::string out;
    for (std::size_t i = 0; i < body.size(); i += nChunk) {
        const std::string_view part = body.substr(i, nChunk);
        char sz[32];
        std::snprintf(sz, sizeof sz, "%zx\r\n", part.size());
        out.append(sz).append(part).append("\r\n");
    }
    return out + "0\r\n\r\n";
}

class HarExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::mt19937 random(7);
        m_png = "\x89PNG\r\n\x1a\n";
        for (int i = 0; i < 3000; ++i) {
            m_png.push_back(static_cast<char>(random()));
        }
        m_html = "<html><body>";
        for (int i = 0; i < 500; ++i) {
            m_html +=
                "<p>line " + std::to_string(i) + " \xC3\xA4\xE2\x82\xAC \"quoted\" \\ tab\t</p>\n";
        }
        m_html += "</body></html>";
        m_binaryUpload = std::string("\x00\x01\xFF\xFE upload", 11);
    }

    // Session 1: keep-alive with a gzip-coded chunked page and a form POST, cut into small
    // blocks; 2: no HTTP; 3: an image; 4: a binary upload that gets no answer; 5: HTTPS
    // decrypted, on a port of its own.
    void Play(test::CLogScript& s) {
        s.Start(1);
        s.Start(2, 7000);
        s.Pieces(1, kUp,
                 "GET /index.html?q=a%20b&empty=&flag HTTP/1.1\r\nHost: www.example.test\r\n"
                 "Accept-Encoding: gzip\r\nCookie: sid=42; theme=dark\r\n\r\n",
                 40);
        s.Block(2, kUp, std::string("\x16\x03\x01\x00\x05hello", 10));
        const std::string gz = Gzip(m_html);
        s.Pieces(1, kDown,
                 "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
                 "Content-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n"
                 "Set-Cookie: sid=43; Path=/; HttpOnly\r\n\r\n" +
                     Chunked(gz, 1000),
                 777);
        s.Block(2, kDown, "binary answer");
        s.Block(1, kUp,
                "POST /form HTTP/1.1\r\nHost: www.example.test\r\n"
                "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 12\r\n\r\n"
                "a=1&b=%C3%A4");
        s.Block(1, kDown,
                "HTTP/1.1 302 Found\r\nLocation: /done\r\nContent-Type: application/json\r\n"
                "Content-Length: 11\r\n\r\n{\"ok\":true}");
        s.End(1);
        s.End(2);
        s.Start(3, 8080);
        s.Block(3, kUp, "GET /logo.png HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n");
        s.Block(3, kDown,
                "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " +
                    std::to_string(m_png.size()) + "\r\n\r\n" + m_png);
        s.End(3);
        s.Start(4, 9000);
        s.Block(4, kUp, "PUT /up HTTP/1.1\r\nContent-Length: 11\r\n\r\n" + m_binaryUpload);
        s.End(4);
        s.Start(5, 8443, "TLS 1.3 h1");
        s.Block(5, kUp, "GET /secure HTTP/1.1\r\n\r\n");
        s.Block(5, kDown, "HTTP/1.1 204 No Content\r\n\r\n");
        s.End(5);
    }

    std::string Line(const char* pszMethod, const std::string& strUrl, int nStatus,
                     std::string_view request, std::string_view response) {
        std::ostringstream s;
        s << pszMethod << ' ' << strUrl << ' ' << nStatus << ' ' << test::Sha256Hex(request) << ' '
          << test::Sha256Hex(response) << ' ' << response.size() << '\n';
        return s.str();
    }

    std::string Expected() {
        return Line("GET", "http://www.example.test/index.html?q=a%20b&empty=&flag", 200, "",
                    m_html) +
               Line("POST", "http://www.example.test/form", 302, "a=1&b=%C3%A4", "{\"ok\":true}") +
               Line("GET", "http://127.0.0.1:8080/logo.png", 200, "", m_png) +
               Line("PUT", "http://server.test:9000/up", 0, m_binaryUpload, "") +
               Line("GET", "https://server.test:8443/secure", 204, "", "");
    }

    CTempFolder m_folder;
    std::string m_png;
    std::string m_html;
    std::string m_binaryUpload;
};

TEST_F(HarExportTest, EverySessionPassesTheSchemaWithItsBodiesDecoded) {
    CLogDocument doc(m_folder.Path());
    test::CLogScript script(doc);
    Play(script);
    const std::string strFile = m_folder.Path("all.har");
    std::uint64_t nEntries = 0;
    ASSERT_EQ(0, ExportHar(doc.GetRecords(), strFile, {}, {}, &nEntries));
    EXPECT_EQ(5u, nEntries);
    const auto [nExit, strOut] = test::CheckHar(strFile);
    ASSERT_EQ(0, nExit) << strOut;
    EXPECT_EQ(Expected(), strOut);
    const auto [nNode, strNode] = test::CheckHarWithNode(strFile);
    EXPECT_EQ(0, nNode) << strNode;
    EXPECT_EQ("valid\n", strNode);

    // What only the file shows: the query, the cookies, the text and base64 forms, and the
    // first entry's connection time.
    const std::string har = m_folder.ReadFile("all.har");
    for (const char* psz :
         {"{\"name\":\"q\",\"value\":\"a b\"}", "{\"name\":\"flag\",\"value\":\"\"}",
          "\"cookies\":[{\"name\":\"sid\",\"value\":\"42\"},{\"name\":\"theme\",\"value\":\"dark\"}"
          "]",
          "{\"name\":\"sid\",\"value\":\"43\",\"path\":\"/\",\"httpOnly\":true}",
          "\"mimeType\":\"image/png\",\"text\":\"iVBORw0KGg", "\"encoding\":\"base64\"",
          "\"redirectURL\":\"/done\"", "\"_encoding\":\"base64\"", "\"connect\":1.000",
          "\"serverIPAddress\":\"127.0.0.1\"", "\"creator\":{\"name\":\"Tapvane\""}) {
        EXPECT_NE(std::string::npos, har.find(psz)) << psz;
    }
}

TEST_F(HarExportTest, ChosenSessionsOnlyAndCancelLeavesNoFile) {
    CLogDocument doc(m_folder.Path());
    test::CLogScript script(doc);
    Play(script);
    // Rows are in the order the sessions started: 2 is the image's.
    const std::string strFile = m_folder.Path("one.har");
    std::uint64_t nEntries = 0;
    ASSERT_EQ(0, ExportHar(doc.GetRecords(), strFile, {2, 1}, {}, &nEntries));
    EXPECT_EQ(1u, nEntries);
    const auto [nExit, strOut] = test::CheckHar(strFile);
    ASSERT_EQ(0, nExit) << strOut;
    EXPECT_EQ(Line("GET", "http://127.0.0.1:8080/logo.png", 200, "", m_png), strOut);

    const std::string strCancelled = m_folder.Path("cancelled.har");
    EXPECT_EQ(ECANCELED, ExportHar(doc.GetRecords(), strCancelled, {},
                                   [](std::uint64_t, std::uint64_t) { return false; }));
    EXPECT_NE(0, ::access(strCancelled.c_str(), F_OK));
    EXPECT_EQ(EISDIR, ExportHar(doc.GetRecords(), m_folder.Path(), {}));
}

// A log without a single HTTP exchange still makes a valid (empty) archive.
TEST_F(HarExportTest, NoHttpMakesAnEmptyValidArchive) {
    std::string out;
    CHarBuilder builder([&out](std::string_view s) { out.append(s); });
    CLogRecord r;
    r.kind = LogRecordKind::SessionStart;
    r.nSessionId = 9;
    builder.OnRecord(r);
    r.kind = LogRecordKind::Block;
    r.bytes = "SSH-2.0-x\r\n";
    builder.OnRecord(r);
    builder.Finish();
    m_folder.WriteFile("empty.har", out);
    const auto [nExit, strOut] = test::CheckHar(m_folder.Path("empty.har"));
    EXPECT_EQ(0, nExit) << strOut;
    EXPECT_EQ("", strOut);
}

// The timings of an entry come from the blocks' times; the first of a session also has
// the connection's; the total is their sum.
TEST(HarEntryTest, TimingsFromTheBlockTimes) {
    CHarSession session;
    session.nStartUs = 1'000'000;
    session.nConnectedUs = 1'002'500;  // 2.5 ms to reach the server
    session.strHost = "h";
    CHttpExchange x;
    x.request.strMethod = "GET";
    x.request.strTarget = "/";
    x.request.strVersion = "HTTP/1.1";
    x.request.nFirstUs = 1'003'000;
    x.request.nLastUs = 1'004'000;
    x.response.nStatus = 200;
    x.response.nFirstUs = 1'010'000;
    x.response.nLastUs = 1'010'250;
    x.bHasResponse = true;
    const std::string first = HarEntryJson(x, session, true);
    EXPECT_NE(std::string::npos, first.find("\"startedDateTime\":\"1970-01-01T00:00:01.000Z\""));
    EXPECT_NE(std::string::npos,
              first.find("\"blocked\":0.500,\"dns\":-1,\"connect\":2.500,\"send\":1.000,"
                         "\"wait\":6.000,\"receive\":0.250"))
        << first;
    EXPECT_NE(std::string::npos, first.find("\"time\":10.250,"));
    const std::string later = HarEntryJson(x, session, false);
    EXPECT_NE(std::string::npos, later.find("\"startedDateTime\":\"1970-01-01T00:00:01.003Z\""));
    EXPECT_NE(std::string::npos, later.find("\"blocked\":-1,\"dns\":-1,\"connect\":-1"));
    EXPECT_NE(std::string::npos, later.find("\"time\":7.250,"));
}

}  // namespace
