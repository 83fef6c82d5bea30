#include "capture/ContentDecoder.h"

#include <brotli/decode.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>

#include "platform/AsciiText.h"

namespace {

using PieceFn = CContentDecoder::PieceFn;
constexpr std::size_t kPiece = CContentDecoder::kPieceSize;

// zstd frames may ask for a window of up to this many bits (8 MiB), as the HTTP coding
// allows; a frame that wants more is not decoded (it would cost that much memory).
constexpr int kZstdWindowLogMax = 23;

// gzip (one member after another, as concatenated files are) or deflate (zlib, or raw deflate
// when the first two bytes are no zlib header).
class CZlibStage : public CContentDecoder::CStage {
public:
    explicit CZlibStage(bool bGzip) : m_bGzip(bGzip), m_buffer(kPiece, '\0') {}
    ~CZlibStage() override {
        if (m_bInit) {
            inflateEnd(&m_z);
        }
    }
    CZlibStage(const CZlibStage&) = delete;
    CZlibStage& operator=(const CZlibStage&) = delete;

    bool Feed(std::string_view in, const PieceFn& fnOut) override {
        if (!m_bInit) {
            if (!m_bGzip && m_strHead.size() + in.size() < 2) {
                m_strHead.append(in);  // the header decides which deflate this is
                return true;
            }
            if (!Init(in)) {
                return false;
            }
            if (!m_strHead.empty()) {
                const std::string strHead = std::move(m_strHead);
                m_strHead.clear();
                if (!Inflate(strHead, fnOut)) {
                    return false;
                }
            }
        }
        return Inflate(in, fnOut);
    }

    bool Finish(const PieceFn& fnOut) override {
        // Nothing came (an empty body is whole); one byte is no whole deflate stream.
        (void)fnOut;
        return m_bInit ? m_bEnded : m_strHead.empty();
    }

private:
    bool Init(std::string_view in) {
        int nBits = 15 + 16;  // gzip only
        if (!m_bGzip) {
            std::string first = m_strHead;
            first.append(in.substr(0, 2 - std::min<std::size_t>(2, first.size())));
            const auto b0 = static_cast<unsigned char>(first[0]);
            const auto b1 = static_cast<unsigned char>(first[1]);
            const bool bZlib = (b0 & 0x0F) == 8 && (b0 >> 4) <= 7 && ((b0 << 8) | b1) % 31 == 0;
            nBits = bZlib ? 15 : -15;
        }
        if (inflateInit2(&m_z, nBits) != Z_OK) {
            return false;
        }
        m_bInit = true;
        return true;
    }

    bool Inflate(std::string_view in, const PieceFn& fnOut) {
        m_z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        m_z.avail_in = static_cast<uInt>(in.size());
        while (m_z.avail_in > 0) {
            if (m_bEnded) {
                // Another gzip member follows; anything else after the end is left alone.
                if (!m_bGzip || *m_z.next_in != 0x1F || inflateReset(&m_z) != Z_OK) {
                    m_z.avail_in = 0;
                    return true;
                }
                m_bEnded = false;
            }
            m_z.next_out = reinterpret_cast<Bytef*>(m_buffer.data());
            m_z.avail_out = static_cast<uInt>(m_buffer.size());
            const int nResult = inflate(&m_z, Z_NO_FLUSH);
            const std::size_t nMade = m_buffer.size() - m_z.avail_out;
            if (nResult == Z_STREAM_END) {
                m_bEnded = true;
            } else if (nResult != Z_OK && !(nResult == Z_BUF_ERROR && nMade == 0)) {
                return false;  // a data error, or a stream that needs a dictionary
            }
            if (nMade > 0 && !fnOut(std::string_view(m_buffer.data(), nMade))) {
                return false;
            }
            if (nResult == Z_BUF_ERROR) {
                break;
            }
        }
        // Output the inflater still holds for the bytes it has taken.
        while (!m_bEnded && m_z.avail_out == 0) {
            m_z.next_out = reinterpret_cast<Bytef*>(m_buffer.data());
            m_z.avail_out = static_cast<uInt>(m_buffer.size());
            const int nResult = inflate(&m_z, Z_NO_FLUSH);
            const std::size_t nMade = m_buffer.size() - m_z.avail_out;
            if (nResult == Z_STREAM_END) {
                m_bEnded = true;
            } else if (nResult != Z_OK && nResult != Z_BUF_ERROR) {
                return false;
            }
            if (nMade > 0 && !fnOut(std::string_view(m_buffer.data(), nMade))) {
                return false;
            }
        }
        return true;
    }

    const bool m_bGzip;
    z_stream m_z{};
    bool m_bInit = false;
    bool m_bEnded = false;
    std::string m_strHead;  // deflate: the first byte, until the second tells the kind
    std::string m_buffer;
};

class CBrotliStage : public CContentDecoder::CStage {
public:
    CBrotliStage()
        : m_pState(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr)),
          m_buffer(kPiece, '\0') {}
    ~CBrotliStage() override {
        if (m_pState != nullptr) {
            BrotliDecoderDestroyInstance(m_pState);
        }
    }
    CBrotliStage(const CBrotliStage&) = delete;
    CBrotliStage& operator=(const CBrotliStage&) = delete;

    bool Feed(std::string_view in, const PieceFn& fnOut) override {
        if (m_pState == nullptr) {
            return false;
        }
        m_bAny = m_bAny || !in.empty();
        auto pIn = reinterpret_cast<const std::uint8_t*>(in.data());
        std::size_t nIn = in.size();
        while (!m_bEnded) {
            auto pOut = reinterpret_cast<std::uint8_t*>(m_buffer.data());
            std::size_t nOut = m_buffer.size();
            const BrotliDecoderResult result =
                BrotliDecoderDecompressStream(m_pState, &nIn, &pIn, &nOut, &pOut, nullptr);
            const std::size_t nMade = m_buffer.size() - nOut;
            if (result == BROTLI_DECODER_RESULT_ERROR) {
                return false;
            }
            if (nMade > 0 && !fnOut(std::string_view(m_buffer.data(), nMade))) {
                return false;
            }
            if (result == BROTLI_DECODER_RESULT_SUCCESS) {
                m_bEnded = true;  // anything after the end is left alone
            } else if (result == BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT) {
                break;
            }
        }
        return true;
    }

    bool Finish(const PieceFn&) override { return m_bEnded || !m_bAny; }

private:
    BrotliDecoderState* m_pState;
    bool m_bEnded = false;
    bool m_bAny = false;
    std::string m_buffer;
};

class CZstdStage : public CContentDecoder::CStage {
public:
    CZstdStage() : m_pContext(ZSTD_createDCtx()), m_buffer(kPiece, '\0') {
        if (m_pContext != nullptr) {
            ZSTD_DCtx_setParameter(m_pContext, ZSTD_d_windowLogMax, kZstdWindowLogMax);
        }
    }
    ~CZstdStage() override { ZSTD_freeDCtx(m_pContext); }
    CZstdStage(const CZstdStage&) = delete;
    CZstdStage& operator=(const CZstdStage&) = delete;

    bool Feed(std::string_view in, const PieceFn& fnOut) override {
        if (m_pContext == nullptr) {
            return false;
        }
        ZSTD_inBuffer input{in.data(), in.size(), 0};
        for (;;) {
            ZSTD_outBuffer output{m_buffer.data(), m_buffer.size(), 0};
            const std::size_t nResult = ZSTD_decompressStream(m_pContext, &output, &input);
            if (ZSTD_isError(nResult)) {
                return false;
            }
            if (input.pos > 0 || output.pos > 0) {
                m_bAny = true;
                m_nLeft = nResult;
            }
            if (output.pos > 0 && !fnOut(std::string_view(m_buffer.data(), output.pos))) {
                return false;
            }
            if (input.pos == input.size && output.pos < output.size) {
                return true;
            }
        }
    }

    // A frame that was begun must have ended (the decoder then wants nothing more).
    bool Finish(const PieceFn&) override { return !m_bAny || m_nLeft == 0; }

private:
    ZSTD_DCtx* m_pContext;
    bool m_bAny = false;
    std::size_t m_nLeft = 0;
    std::string m_buffer;
};

}  // namespace

std::vector<std::string> ParseCodings(std::string_view value) {
    std::vector<std::string> codings;
    std::size_t nStart = 0;
    while (nStart <= value.size()) {
        const std::size_t nComma = std::min(value.find(',', nStart), value.size());
        std::string_view item = value.substr(nStart, nComma - nStart);
        item = Trim(item.substr(0, item.find(';')));
        std::string lower(item);
        std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        });
        if (!lower.empty() && lower != "identity") {
            codings.push_back(std::move(lower));
        }
        nStart = nComma + 1;
    }
    return codings;
}

CContentDecoder::~CContentDecoder() = default;

std::optional<CContentDecoder> CContentDecoder::Create(const std::vector<std::string>& codings,
                                                       std::string* pstrUnknown) {
    CContentDecoder decoder;
    for (auto it = codings.rbegin(); it != codings.rend(); ++it) {
        const std::string& name = *it;
        std::unique_ptr<CStage> stage;
        if (name == "gzip" || name == "x-gzip") {
            stage = std::make_unique<CZlibStage>(true);
        } else if (name == "deflate") {
            stage = std::make_unique<CZlibStage>(false);
        } else if (name == "br") {
            stage = std::make_unique<CBrotliStage>();
        } else if (name == "zstd") {
            stage = std::make_unique<CZstdStage>();
        } else if (name == "identity") {
            continue;
        }
        if (!stage || decoder.m_stages.size() == kMaxCodings) {
            if (pstrUnknown != nullptr) {
                *pstrUnknown = name;
            }
            return std::nullopt;
        }
        decoder.m_stages.push_back(std::move(stage));
        decoder.m_names.push_back(name);
    }
    return decoder;
}

bool CContentDecoder::FeedFrom(std::size_t nStage, std::string_view in, const PieceFn& fnOut) {
    if (nStage == m_stages.size()) {
        if (!fnOut(in)) {
            m_bOutputStopped = true;
            return false;
        }
        return true;
    }
    const bool bOk = m_stages[nStage]->Feed(
        in, [&](std::string_view piece) { return FeedFrom(nStage + 1, piece, fnOut); });
    if (!bOk && m_strFailed.empty() && !m_bOutputStopped) {
        m_strFailed = m_names[nStage];  // a later stage would have named itself first
    }
    return bOk;
}

bool CContentDecoder::FinishFrom(std::size_t nStage, const PieceFn& fnOut) {
    if (nStage == m_stages.size()) {
        return true;
    }
    const bool bOk = m_stages[nStage]->Finish(
        [&](std::string_view piece) { return FeedFrom(nStage + 1, piece, fnOut); });
    if (!bOk) {
        if (m_strFailed.empty() && !m_bOutputStopped) {
            m_strFailed = m_names[nStage];
        }
        return false;
    }
    return FinishFrom(nStage + 1, fnOut);
}

bool CContentDecoder::Feed(std::string_view in, const PieceFn& fnOut) {
    if (m_bStopped) {
        return false;
    }
    if (in.empty()) {
        return true;
    }
    if (!FeedFrom(0, in, fnOut)) {
        m_bStopped = true;
        return false;
    }
    return true;
}

bool CContentDecoder::Finish(const PieceFn& fnOut) {
    if (m_bStopped) {
        return false;
    }
    m_bStopped = true;
    return FinishFrom(0, fnOut);
}
