#include "capture/BodyDecoder.h"

#include "platform/Charset.h"
#include "platform/TextConv.h"

namespace {

std::wstring Widen(std::string_view text) {
    return win::AnsiToWide(text);
}

std::wstring Count(std::uint64_t n) {
    return std::to_wstring(n);
}

}  // namespace

std::size_t CompleteUtf8Length(std::string_view bytes) {
    const std::size_t n = bytes.size();
    for (std::size_t k = 1; k <= 3 && k <= n; ++k) {
        const auto c = static_cast<unsigned char>(bytes[n - k]);
        if ((c & 0xC0) == 0x80) {
            continue;  // a continuation byte: its lead byte is further back
        }
        if (c >= 0xC0) {
            const std::size_t nNeed = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
            return nNeed > k ? n - k : n;
        }
        return n;  // ASCII: no sequence runs past it
    }
    return n;
}

CBodyDecoder::CBodyDecoder(IResponseBody& body, CDecodeLimits limits)
    : m_body(body), m_limits(limits) {}

CBodyDecoder::~CBodyDecoder() = default;

void CBodyDecoder::Note(const std::wstring& strText) {
    m_body.OnBodyNote(L"\nSave to \"" + m_strFile + L"\": " + strText + L"\n");
}

void CBodyDecoder::OnResponseHead(const CResponseHead& head) {
    m_strFile = head.strFile;
    m_decoder.reset();
    m_pCharset.reset();
    m_strAnsiTail.clear();
    m_strCoded.clear();
    m_bCodedKept = true;
    m_nCoded = 0;
    m_nDecoded = 0;
    m_body.OnBodyStart(m_strFile);

    std::string strUnknown;
    if (!head.codings.empty()) {
        m_decoder = CContentDecoder::Create(head.codings, &strUnknown);
    }
    if (!head.codings.empty() && !m_decoder) {
        // Not removable: the bytes as they came, never through the text conversion.
        m_mode = Mode::Direct;
        m_bText = false;
        Note(L"content coding '" + Widen(strUnknown) + L"' kept as it came");
        return;
    }
    m_mode = m_decoder ? Mode::Decode : Mode::Direct;
    m_bText = head.bText;
    if (m_bText) {
        const std::string strCharset = ContentTypeCharset(head.strContentType);
        if (!strCharset.empty()) {
            m_pCharset = CCharsetConverter::Create(strCharset);
        }
    }
}

void CBodyDecoder::OnResponseBody(std::string_view bytes) {
    switch (m_mode) {
        case Mode::Direct:
            if (m_bText) {
                WriteDecoded(bytes);
            } else {
                m_body.OnBodyBinary(bytes);
            }
            break;
        case Mode::Decode:
            m_nCoded += bytes.size();
            if (m_bCodedKept) {
                if (m_strCoded.size() + bytes.size() <= kKeepCoded) {
                    m_strCoded.append(bytes);
                } else {
                    m_bCodedKept = false;
                    std::string().swap(m_strCoded);
                }
            }
            if (!m_decoder->Feed(bytes, [this](std::string_view piece) { return Output(piece); }) &&
                !m_decoder->FailedCoding().empty()) {
                DecodeFailed();
            }
            break;
        default:
            break;
    }
}

void CBodyDecoder::OnResponseEnd(bool bWhole) {
    if (m_mode == Mode::Decode) {
        const bool bFinished =
            m_decoder->Finish([this](std::string_view piece) { return Output(piece); });
        // A body cut by the connection keeps what it decoded to; a whole one whose coded
        // stream stops short is corrupt.
        if (!bFinished && bWhole && !m_decoder->FailedCoding().empty()) {
            DecodeFailed();
        }
    }
    if (m_bText && (m_mode == Mode::Decode || m_mode == Mode::Direct)) {
        std::u16string text;
        if (m_pCharset) {
            m_pCharset->Finish(text);
        } else if (!m_strAnsiTail.empty()) {
            text = win::WideToUtf16(win::AnsiToWide(m_strAnsiTail));
        }
        if (!text.empty()) {
            m_body.OnBodyText(text);
        }
    }
    m_strAnsiTail.clear();
    m_decoder.reset();
    m_pCharset.reset();
    std::string().swap(m_strCoded);
    m_mode = Mode::None;
    m_body.OnBodyEnd();
}

void CBodyDecoder::OnResponseNote(const std::string& strText) {
    Note(Widen(strText));
}

bool CBodyDecoder::Output(std::string_view piece) {
    const std::uint64_t nLimit =
        std::min(m_limits.nMax, m_limits.nRatio * m_nCoded + m_limits.nAllowance);
    if (m_nDecoded + piece.size() > nLimit) {
        m_mode = Mode::Stopped;
        if (nLimit == m_limits.nMax) {
            Note(L"stopped after " + Count(m_nDecoded) + L" decoded bytes, the most that is saved");
        } else {
            Note(L"stopped after " + Count(m_nDecoded) + L" decoded bytes, more than " +
                 Count(m_limits.nRatio) + L" times the " + Count(m_nCoded) +
                 L" coded bytes so far");
        }
        return false;
    }
    m_nDecoded += piece.size();
    WriteDecoded(piece);
    return true;
}

void CBodyDecoder::WriteDecoded(std::string_view bytes) {
    if (!m_bText) {
        m_body.OnBodyBinary(bytes);
        return;
    }
    std::u16string text;
    if (m_pCharset) {
        m_pCharset->Convert(bytes, text);
    } else {
        std::string joined;
        if (!m_strAnsiTail.empty()) {
            joined = std::move(m_strAnsiTail);
            m_strAnsiTail.clear();
            joined.append(bytes);
            bytes = joined;
        }
        const std::size_t nComplete = CompleteUtf8Length(bytes);
        m_strAnsiTail.assign(bytes.substr(nComplete));
        text = win::WideToUtf16(win::AnsiToWide(bytes.substr(0, nComplete)));
    }
    if (!text.empty()) {
        m_body.OnBodyText(text);
    }
}

void CBodyDecoder::DecodeFailed() {
    const std::wstring strCoding = Widen(m_decoder->FailedCoding());
    if (m_bCodedKept) {
        m_body.OnBodyRestart();
        m_bText = false;
        m_pCharset.reset();
        m_strAnsiTail.clear();
        m_body.OnBodyBinary(m_strCoded);
        std::string().swap(m_strCoded);
        m_mode = Mode::Direct;
        Note(L"content coding '" + strCoding + L"' kept as it came (its data does not decode)");
    } else {
        m_mode = Mode::Stopped;
        Note(L"content coding '" + strCoding + L"' does not decode after " + Count(m_nCoded) +
             L" coded bytes; the file holds what was decoded before");
    }
}
