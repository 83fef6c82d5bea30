#include "capture/BodyDecoder.h"

#include <gtest/gtest.h>

#include <map>

#include "CodingTestSupport.h"
#include "platform/TextConv.h"

namespace {

using namespace std::string_literals;

// The files as the response capture would leave them: a text file is FF FE and UTF-16LE, a
// restart empties the file, and every note is kept.
class CRecordingFiles : public IResponseBody {
public:
    void OnBodyStart(const std::wstring& strFile) override {
        EXPECT_FALSE(m_bOpen);
        m_strCurrent = strFile;
        ++m_nStarts;
    }
    void OnBodyText(std::u16string_view text) override {
        EXPECT_FALSE(text.empty());
        Open(true);
        for (char16_t u : text) {
            m_files[m_strCurrent] += static_cast<char>(u & 0xFF);
            m_files[m_strCurrent] += static_cast<char>(u >> 8);
        }
    }
    void OnBodyBinary(std::string_view bytes) override {
        Open(false);
        m_files[m_strCurrent] += bytes;
    }
    void OnBodyRestart() override { m_bOpen = false; }
    void OnBodyNote(const std::wstring& strText) override { m_notes.push_back(strText); }
    void OnBodyEnd() override {
        m_bOpen = false;
        ++m_nEnds;
    }

    std::map<std::wstring, std::string> m_files;
    std::vector<std::wstring> m_notes;
    int m_nStarts = 0;
    int m_nEnds = 0;

private:
    void Open(bool bText) {
        if (!m_bOpen) {
            m_files[m_strCurrent] = bText ? "\xff\xfe" : "";  // created, or emptied
            m_bOpen = true;
        }
    }
    std::wstring m_strCurrent;
    bool m_bOpen = false;
};

std::string Utf16File(std::wstring_view text) {
    std::string bytes = "\xff\xfe";
    for (char16_t u : win::WideToUtf16(text)) {
        bytes += static_cast<char>(u & 0xFF);
        bytes += static_cast<char>(u >> 8);
    }
    return bytes;
}

// One GET per name, answered by the blocks; the connection ends after them.
CRecordingFiles Capture(const std::vector<std::wstring>& files,
                        const std::vector<std::string_view>& blocks, CDecodeLimits limits = {}) {
    CRecordingFiles recorder;
    CBodyDecoder decoder(recorder, limits);
    CResponseScan scan;
    for (const std::wstring& strFile : files) {
        scan.BeginRequestBlock();
        scan.QueueRequest(false, false);
        scan.NameLastRequest(strFile);
    }
    for (std::string_view block : blocks) {
        scan.Feed(block, decoder);
    }
    scan.End(decoder);
    EXPECT_EQ(recorder.m_nStarts, recorder.m_nEnds);
    return recorder;
}

std::string Response(const std::string& strHeaders, const std::string& strBody) {
    return "HTTP/1.1 200 OK\r\n" + strHeaders +
           "Content-Length: " + std::to_string(strBody.size()) + "\r\n\r\n" + strBody;
}

// The body in chunks of `nChunk` bytes, with an extension on the first and a trailer.
std::string Chunked(const std::string& strHeaders, std::string_view body, std::size_t nChunk) {
    std::string out = "HTTP/1.1 200 OK\r\n" + strHeaders + "Transfer-Encoding: chunked\r\n\r\n";
    char szSize[32];
    for (std::size_t nPos = 0; nPos < body.size(); nPos += nChunk) {
        const std::size_t n = std::min(nChunk, body.size() - nPos);
        std::snprintf(szSize, sizeof szSize, "%zx", n);
        out += szSize;
        out += nPos == 0 ? ";ext=\"a\"\r\n" : "\r\n";
        out.append(body.substr(nPos, n));
        out += "\r\n";
    }
    return out + "0\r\nX-Checksum: 1\r\n\r\n";
}

const std::string kPage = "caf\xc3\xa9 au lait\r\n<p>\xe2\x82\xac 5</p>\r\n\U0001F600 end";
const std::wstring kPageText = L"caf\u00e9 au lait\r\n<p>\u20ac 5</p>\r\n\U0001F600 end";

// The stream cut into two blocks at every offset saves what it saves whole.
void ExpectEveryCut(const std::string& stream, const std::vector<std::wstring>& files,
                    const std::map<std::wstring, std::string>& expected) {
    for (std::size_t nCut = 0; nCut <= stream.size(); ++nCut) {
        const std::string_view s(stream);
        const CRecordingFiles cut = Capture(files, {s.substr(0, nCut), s.substr(nCut)});
        ASSERT_EQ(expected, cut.m_files) << "cut at " << nCut;
        ASSERT_TRUE(cut.m_notes.empty()) << "cut at " << nCut;
    }
}

TEST(BodyDecoderTest, CompressedTextIsSavedAsThePageAtEveryCut) {
    for (const char* pszCoding : {"gzip", "deflate", "br", "zstd"}) {
        SCOPED_TRACE(pszCoding);
        const std::string stream = Response(
            "Content-Type: text/html; charset=utf-8\r\nContent-Encoding: "s + pszCoding + "\r\n",
            test::Encode(pszCoding, kPage));
        ExpectEveryCut(stream, {L"page"}, {{L"page", Utf16File(kPageText)}});
    }
}

TEST(BodyDecoderTest, CompressedBinaryIsSavedByteForByteAtEveryCut) {
    const std::string data = test::NoisyBytes(300, 11) + "\r\n\r\n\0"s;
    for (const char* pszCoding : {"gzip", "deflate", "br", "zstd"}) {
        SCOPED_TRACE(pszCoding);
        const std::string stream =
            Response("Content-Type: image/png\r\nContent-Encoding: "s + pszCoding + "\r\n",
                     test::Encode(pszCoding, data));
        ExpectEveryCut(stream, {L"img"}, {{L"img", data}});
    }
}

TEST(BodyDecoderTest, ChunkedBodiesWithAndWithoutCompressionAtEveryCut) {
    ExpectEveryCut(Chunked("Content-Type: text/plain; charset=UTF-8\r\n", kPage, 7), {L"t"},
                   {{L"t", Utf16File(kPageText)}});
    ExpectEveryCut(
        Chunked("Content-Type: text/plain\r\nContent-Encoding: gzip\r\n", test::Gzip(kPage), 9),
        {L"t"}, {{L"t", Utf16File(kPageText)}});
    const std::string data = test::NoisyBytes(200, 5);
    ExpectEveryCut(Chunked("Content-Encoding: br\r\n", test::Brotli(data), 16), {L"b"},
                   {{L"b", data}});
}

TEST(BodyDecoderTest, PipelinedAnswersInOneStreamEachFillTheirOwnFile) {
    const std::string data = test::NoisyBytes(100, 2);
    const std::string stream =
        Response("Content-Type: text/html\r\nContent-Encoding: gzip\r\n", test::Gzip(kPage)) +
        Chunked("Content-Type: application/octet-stream\r\nContent-Encoding: zstd\r\n",
                test::Zstd(data), 10) +
        Response("Content-Type: text/plain; charset=iso-8859-1\r\n", "na\xefve \x80");
    ExpectEveryCut(
        stream, {L"1", L"2", L"3"},
        {{L"1", Utf16File(kPageText)}, {L"2", data}, {L"3", Utf16File(L"na\u00efve \u20ac")}});
}

TEST(BodyDecoderTest, SeveralCodingsInARowAreAllRemoved) {
    const CRecordingFiles files =
        Capture({L"f"}, {Response("Content-Type: text/plain\r\nContent-Encoding: gzip, br\r\n",
                                  test::Brotli(test::Gzip(kPage)))});
    EXPECT_EQ(Utf16File(kPageText), files.m_files.at(L"f"));
}

TEST(BodyDecoderTest, TheNamedCharsetConvertsTheText) {
    const struct {
        const char* pszType;
        std::string body;
        std::wstring text;
    } cases[] = {
        {"text/html; charset=windows-1252", "caf\xe9 \x80", L"caf\u00e9 \u20ac"},
        {"text/html; charset=\"ISO-8859-1\"", "\xe9\x9f", L"\u00e9\u0178"},
        {"text/plain;charset=Shift_JIS", "\x93\xfa\x96\x7b", L"\u65e5\u672c"},
        {"text/plain; charset=utf-8", "ok \xff!", L"ok \ufffd!"},
        // None named (or one the system does not know): the program's ANSI conversion.
        {"text/plain", "ok \xff!", L"ok \u00ff!"},
        {"text/plain; charset=no-such-set", "caf\xc3\xa9", L"caf\u00e9"},
    };
    for (const auto& c : cases) {
        const std::string stream =
            Response("Content-Type: "s + c.pszType + "\r\nContent-Encoding: deflate\r\n",
                     test::Zlib(c.body));
        ExpectEveryCut(stream, {L"f"}, {{L"f", Utf16File(c.text)}});
    }
}

TEST(BodyDecoderTest, AnUnknownCodingIsSavedAsItCameInBinaryMode) {
    const std::string coded = "\x1f\x9d\x90 compressed\r\n"s;
    const CRecordingFiles files = Capture(
        {L"/data/f"},
        {Response("Content-Type: text/html; charset=utf-8\r\nContent-Encoding: gzip, compress\r\n",
                  coded)});
    EXPECT_EQ(coded, files.m_files.at(L"/data/f"));  // no FF FE, no conversion
    ASSERT_EQ(1u, files.m_notes.size());
    EXPECT_EQ(L"\nSave to \"/data/f\": content coding 'compress' kept as it came\n",
              files.m_notes[0]);
}

TEST(BodyDecoderTest, DataThatDoesNotDecodeIsSavedAsItCame) {
    std::string corrupt = test::Gzip(kPage + std::string(4000, 'z') + test::NoisyBytes(3000, 1));
    corrupt[corrupt.size() / 2] = static_cast<char>(~corrupt[corrupt.size() / 2]);
    corrupt[corrupt.size() / 2 + 1] = static_cast<char>(~corrupt[corrupt.size() / 2 + 1]);
    const std::string truncated = test::Gzip(kPage).substr(0, 20);
    for (const std::string& coded : {corrupt, truncated, "not gzip at all"s}) {
        const std::string stream =
            Response("Content-Type: text/html\r\nContent-Encoding: gzip\r\n", coded);
        for (std::size_t nCut = 0; nCut <= stream.size(); nCut += 7) {
            const std::string_view s(stream);
            const CRecordingFiles files = Capture({L"f"}, {s.substr(0, nCut), s.substr(nCut)});
            ASSERT_TRUE(coded == files.m_files.at(L"f")) << nCut;
            ASSERT_EQ(1u, files.m_notes.size());
            EXPECT_NE(std::wstring::npos,
                      files.m_notes[0].find(L"content coding 'gzip' kept as it came"));
        }
    }
}

TEST(BodyDecoderTest, ABodyCutByTheConnectionKeepsWhatItDecodedTo) {
    const std::string coded = test::Gzip(kPage);
    const CRecordingFiles files =
        Capture({L"f"}, {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Encoding: gzip\r\n"
                         "Content-Length: 1000\r\n\r\n" +
                         coded.substr(0, coded.size() - 8)});  // the gzip trailer is missing
    EXPECT_EQ(Utf16File(kPageText), files.m_files.at(L"f"));
    // The log says that the body is cut, and where.
    ASSERT_EQ(1u, files.m_notes.size());
    EXPECT_NE(std::wstring::npos, files.m_notes[0].find(L": cut short: the connection ended " +
                                                        std::to_wstring(1000 - (coded.size() - 8)) +
                                                        L" bytes before the end of the body"))
        << files.m_notes[0];
}

TEST(BodyDecoderTest, ABombStopsAtTheLimitWithOneNote) {
    const std::string zeros(50 * 1024 * 1024, '\0');
    const std::string coded = test::Gzip(zeros);  // about 50 KiB
    const CDecodeLimits limits{100, 4096, std::uint64_t{4} << 30};
    const std::string stream = Response(
                                   "Content-Type: application/octet-stream\r\n"
                                   "Content-Encoding: gzip\r\n",
                                   coded) +
                               Response("Content-Type: text/plain\r\n", "next");
    const std::string_view s(stream);
    const std::size_t nCut = stream.size() / 3;
    const CRecordingFiles files =
        Capture({L"bomb", L"next"}, {s.substr(0, nCut), s.substr(nCut)}, limits);
    const std::size_t nSaved = files.m_files.at(L"bomb").size();
    EXPECT_GT(nSaved, 0u);
    EXPECT_LE(nSaved, 100 * coded.size() + 4096);
    EXPECT_TRUE(files.m_files.at(L"bomb") == std::string(nSaved, '\0'));
    ASSERT_EQ(1u, files.m_notes.size());
    EXPECT_TRUE(files.m_notes[0].starts_with(L"\nSave to \"bomb\": stopped after " +
                                             std::to_wstring(nSaved) + L" decoded bytes"))
        << win::WideToAnsi(files.m_notes[0]);
    // The next answer on the connection is not disturbed.
    EXPECT_EQ(Utf16File(L"next"), files.m_files.at(L"next"));
    // The absolute limit.
    const CRecordingFiles capped = Capture({L"bomb"}, {stream}, CDecodeLimits{1000000, 0, 1000000});
    EXPECT_LE(capped.m_files.at(L"bomb").size(), 1000000u);
    ASSERT_EQ(1u, capped.m_notes.size());
    EXPECT_NE(std::wstring::npos, capped.m_notes[0].find(L"the most that is saved"));
}

TEST(BodyDecoderTest, ALongBodyDecodesWithinBoundedMemoryOfCodedBytes) {
    // More coded bytes than are kept for a fallback: the body still decodes whole.
    const std::string data = test::NoisyBytes(CBodyDecoder::kKeepCoded + 100000, 9);
    const std::string coded = test::Zstd(data);
    ASSERT_GT(coded.size(), CBodyDecoder::kKeepCoded);
    const std::string stream =
        Response("Content-Type: application/octet-stream\r\nContent-Encoding: zstd\r\n", coded);
    std::vector<std::string_view> blocks;
    for (std::size_t nPos = 0; nPos < stream.size(); nPos += 65536) {
        blocks.push_back(std::string_view(stream).substr(nPos, 65536));
    }
    const CRecordingFiles files = Capture({L"f"}, blocks);
    EXPECT_TRUE(data == files.m_files.at(L"f"));
    // Stopping short past the kept part: what was decoded stays, and the note says so.
    const std::string late = coded.substr(0, coded.size() - 1000);
    const CRecordingFiles broken =
        Capture({L"f"}, {Response("Content-Type: image/x\r\nContent-Encoding: zstd\r\n", late)});
    ASSERT_EQ(1u, broken.m_notes.size());
    EXPECT_NE(std::wstring::npos, broken.m_notes[0].find(L"what was decoded before"));
    EXPECT_GT(broken.m_files.at(L"f").size(), CBodyDecoder::kKeepCoded);
}

TEST(BodyDecoderTest, CompleteUtf8LengthHoldsBackOnlyCutSequences) {
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
