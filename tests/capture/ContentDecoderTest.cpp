#include "capture/ContentDecoder.h"

#include <gtest/gtest.h>

#include "CodingTestSupport.h"

namespace {

using namespace std::string_literals;

struct CDecoded {
    bool bFed = true;
    bool bFinished = false;
    std::string strOut;
    std::string strFailed;
    std::size_t nLargestPiece = 0;
};

// Decodes `coded` cut into the given pieces.
CDecoded Decode(const std::vector<std::string>& codings,
                const std::vector<std::string_view>& parts) {
    std::string strUnknown;
    std::optional<CContentDecoder> decoder = CContentDecoder::Create(codings, &strUnknown);
    EXPECT_TRUE(decoder.has_value()) << strUnknown;
    CDecoded result;
    const auto fnOut = [&](std::string_view piece) {
        EXPECT_FALSE(piece.empty());
        result.nLargestPiece = std::max(result.nLargestPiece, piece.size());
        result.strOut += piece;
        return true;
    };
    for (std::string_view part : parts) {
        result.bFed = decoder->Feed(part, fnOut) && result.bFed;
    }
    result.bFinished = decoder->Finish(fnOut);
    result.strFailed = decoder->FailedCoding();
    return result;
}

CDecoded DecodeWhole(const std::vector<std::string>& codings, std::string_view coded) {
    return Decode(codings, {coded});
}

const std::string kText =
    "<!doctype html>\r\n<p>caf\xc3\xa9 \xe2\x82\xac 5</p>\r\n" + std::string(300, 'x') + "\r\nend";

TEST(ContentDecoderTest, EveryCodingDecodesWholeAndCutAtEveryOffset) {
    for (const char* pszCoding : {"gzip", "deflate", "br", "zstd"}) {
        const std::string coded = test::Encode(pszCoding, kText);
        const CDecoded whole = DecodeWhole({pszCoding}, coded);
        EXPECT_TRUE(whole.bFed && whole.bFinished) << pszCoding;
        EXPECT_EQ(kText, whole.strOut) << pszCoding;
        for (std::size_t nCut = 0; nCut <= coded.size(); ++nCut) {
            const std::string_view c(coded);
            const CDecoded cut = Decode({pszCoding}, {c.substr(0, nCut), c.substr(nCut)});
            ASSERT_TRUE(cut.bFed && cut.bFinished) << pszCoding << " cut at " << nCut;
            ASSERT_EQ(kText, cut.strOut) << pszCoding << " cut at " << nCut;
        }
        // Byte by byte.
        std::vector<std::string_view> bytes;
        for (std::size_t i = 0; i < coded.size(); ++i) {
            bytes.push_back(std::string_view(coded).substr(i, 1));
        }
        EXPECT_EQ(kText, Decode({pszCoding}, bytes).strOut) << pszCoding;
    }
}

TEST(ContentDecoderTest, BinaryBodiesComeOutByteForByteInBoundedPieces) {
    const std::string data = test::NoisyBytes(300000, 7) + std::string(2000000, '\0');
    for (const char* pszCoding : {"gzip", "deflate", "br", "zstd"}) {
        const CDecoded decoded = DecodeWhole({pszCoding}, test::Encode(pszCoding, data));
        EXPECT_TRUE(decoded.bFinished) << pszCoding;
        EXPECT_TRUE(data == decoded.strOut) << pszCoding;
        EXPECT_LE(decoded.nLargestPiece, CContentDecoder::kPieceSize) << pszCoding;
    }
}

TEST(ContentDecoderTest, SeveralCodingsInARowAreRemovedLastFirst) {
    // Applied gzip first, then br: listed "gzip, br".
    const std::string coded = test::Brotli(test::Gzip(kText));
    EXPECT_EQ(kText, DecodeWhole({"gzip", "br"}, coded).strOut);
    const std::string three = test::Zstd(test::Zlib(test::Gzip(kText)));
    for (std::size_t nCut = 0; nCut <= three.size(); nCut += 3) {
        const std::string_view c(three);
        const CDecoded cut =
            Decode({"gzip", "deflate", "zstd"}, {c.substr(0, nCut), c.substr(nCut)});
        ASSERT_TRUE(cut.bFinished) << nCut;
        ASSERT_EQ(kText, cut.strOut) << nCut;
    }
    // Removed in the wrong order, the data is not of the coding that the first stage expects.
    const CDecoded wrong = DecodeWhole({"br", "gzip"}, coded);
    EXPECT_FALSE(wrong.bFed);
    EXPECT_EQ("gzip", wrong.strFailed);
}

TEST(ContentDecoderTest, UnknownCodingsAreNamed) {
    std::string strUnknown;
    EXPECT_FALSE(CContentDecoder::Create({"gzip", "compress"}, &strUnknown).has_value());
    EXPECT_EQ("compress", strUnknown);
    EXPECT_TRUE(CContentDecoder::Create({"x-gzip", "identity"}, &strUnknown).has_value());
    EXPECT_EQ(kText, DecodeWhole({"x-gzip"}, test::Gzip(kText)).strOut);
}

TEST(ContentDecoderTest, DataOfAnotherKindFailsAndNamesTheCoding) {
    for (const char* pszCoding : {"gzip", "deflate", "br", "zstd"}) {
        const CDecoded decoded = DecodeWhole({pszCoding}, "<html>not compressed at all</html>");
        EXPECT_FALSE(decoded.bFed && decoded.bFinished) << pszCoding;
        EXPECT_EQ(pszCoding, decoded.strFailed) << pszCoding;
    }
    // A gzip stream with a damaged middle.
    std::string corrupt = test::Gzip(test::NoisyBytes(5000, 3));
    for (std::size_t i = 100; i < 140; ++i) {
        corrupt[i] = static_cast<char>(~corrupt[i]);
    }
    const CDecoded decoded = DecodeWhole({"gzip"}, corrupt);
    EXPECT_FALSE(decoded.bFed && decoded.bFinished);
    EXPECT_EQ("gzip", decoded.strFailed);
}

TEST(ContentDecoderTest, AStreamThatStopsShortDoesNotFinish) {
    for (const char* pszCoding : {"gzip", "deflate", "br", "zstd"}) {
        const std::string coded = test::Encode(pszCoding, kText);
        const CDecoded decoded = DecodeWhole({pszCoding}, coded.substr(0, coded.size() - 3));
        EXPECT_TRUE(decoded.bFed) << pszCoding;
        EXPECT_FALSE(decoded.bFinished) << pszCoding;
        EXPECT_EQ(pszCoding, decoded.strFailed) << pszCoding;
    }
    // An empty body is whole in every coding.
    for (const char* pszCoding : {"gzip", "deflate", "br", "zstd"}) {
        const CDecoded empty = DecodeWhole({pszCoding}, "");
        EXPECT_TRUE(empty.bFinished) << pszCoding;
        EXPECT_TRUE(empty.strOut.empty());
    }
}

TEST(ContentDecoderTest, GzipMembersFollowOneAnotherAndTrailingBytesAreLeftAlone) {
    EXPECT_EQ("firstsecond",
              DecodeWhole({"gzip"}, test::Gzip("first") + test::Gzip("second")).strOut);
    const CDecoded trailing = DecodeWhole({"gzip"}, test::Gzip("first") + "\0\0junk"s);
    EXPECT_TRUE(trailing.bFed && trailing.bFinished);
    EXPECT_EQ("first", trailing.strOut);
}

TEST(ContentDecoderTest, DeflateAlsoTakesRawDeflate) {
    const std::string raw = test::RawDeflate(kText);
    for (std::size_t nCut = 0; nCut <= 3; ++nCut) {
        const std::string_view c(raw);
        const CDecoded decoded = Decode({"deflate"}, {c.substr(0, nCut), c.substr(nCut)});
        EXPECT_TRUE(decoded.bFinished) << nCut;
        EXPECT_EQ(kText, decoded.strOut) << nCut;
    }
    EXPECT_FALSE(DecodeWhole({"deflate"}, "x").bFinished);  // one byte is no stream
}

TEST(ContentDecoderTest, OutputThatAsksToStopStopsTheDecoderWithoutAFailure) {
    std::optional<CContentDecoder> decoder = CContentDecoder::Create({"gzip"}, nullptr);
    ASSERT_TRUE(decoder);
    std::size_t nPieces = 0;
    const auto fnStop = [&](std::string_view) { return ++nPieces < 2; };
    EXPECT_FALSE(decoder->Feed(test::Gzip(std::string(1000000, 'a')), fnStop));
    EXPECT_EQ(2u, nPieces);
    EXPECT_TRUE(decoder->FailedCoding().empty());
    EXPECT_TRUE(decoder->IsStopped());
    EXPECT_FALSE(decoder->Feed("more", fnStop));
    EXPECT_EQ(2u, nPieces);
}

TEST(ContentDecoderTest, CodingListsAreReadAsHttpWritesThem) {
    EXPECT_EQ((std::vector<std::string>{"gzip", "br"}), ParseCodings(" GZIP ,\tbr"));
    EXPECT_EQ((std::vector<std::string>{"deflate"}), ParseCodings("identity, , deflate;q=1"));
    EXPECT_TRUE(ParseCodings("").empty());
    EXPECT_TRUE(ParseCodings(" , identity").empty());
}

TEST(ContentDecoderTest, NoMoreCodingsThanTheLimitAreRemoved) {
    std::string coded = kText;
    std::vector<std::string> codings;
    for (std::size_t i = 0; i < CContentDecoder::kMaxCodings; ++i) {
        coded = test::Gzip(coded);
        codings.push_back("gzip");
    }
    EXPECT_EQ(kText, DecodeWhole(codings, coded).strOut);
    codings.push_back("br");
    std::string strUnknown;
    EXPECT_FALSE(CContentDecoder::Create(codings, &strUnknown).has_value());
    EXPECT_EQ("gzip", strUnknown);  // the one beyond the limit, counted from the last applied
}

}  // namespace
