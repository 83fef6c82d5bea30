#include "export/HarEntry.h"

#include <arpa/inet.h>

#include <algorithm>

#include "BuildInfo.h"
#include "capture/ContentDecoder.h"
#include "export/JsonText.h"

namespace {

using jsontext::AppendString;

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), s.begin(), [](char a, char b) {
               return (a >= 'A' && a <= 'Z' ? a + 32 : a) == (b >= 'A' && b <= 'Z' ? b + 32 : b);
           });
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// A query component with its %XX escapes (and '+' for a blank) decoded.
std::string UnescapeQuery(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') {
            out.push_back(' ');
        } else if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 &&
                   HexValue(s[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2])));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

void AppendPair(std::string& out, std::string_view name, std::string_view value) {
    out.append("{\"name\":");
    AppendString(out, name);
    out.append(",\"value\":");
    AppendString(out, value);
    out.push_back('}');
}

void AppendFields(std::string& out, const CHttpMessage& m) {
    out.append("\"headers\":[");
    for (std::size_t i = 0; i < m.fields.size(); ++i) {
        if (i > 0) {
            out.push_back(',');
        }
        AppendPair(out, m.fields[i].strName, m.fields[i].strValue);
    }
    out.push_back(']');
}

// Calls `fn(name, value)` for each non-empty "name=value" part of `text` between `cSep`s
// (value empty when the part has no '='); `bTrim` drops blanks around both.
template <typename Fn>
void ForEachPair(std::string_view text, char cSep, bool bTrim, Fn&& fn) {
    const auto trim = [bTrim](std::string_view s) { return bTrim ? TrimBlanks(s) : s; };
    while (!text.empty()) {
        const std::size_t nSep = text.find(cSep);
        const std::string_view part = trim(text.substr(0, nSep));
        text.remove_prefix(nSep == std::string_view::npos ? text.size() : nSep + 1);
        if (part.empty()) {
            continue;
        }
        const std::size_t nEq = part.find('=');
        fn(trim(part.substr(0, nEq)),
           nEq == std::string_view::npos ? std::string_view() : trim(part.substr(nEq + 1)));
    }
}

void AppendQuery(std::string& out, std::string_view target) {
    out.append("\"queryString\":[");
    const std::size_t nQuery = target.find('?');
    if (nQuery != std::string_view::npos) {
        std::string_view query = target.substr(nQuery + 1);
        query = query.substr(0, query.find('#'));
        bool bFirst = true;
        ForEachPair(query, '&', false, [&](std::string_view name, std::string_view value) {
            if (!bFirst) {
                out.push_back(',');
            }
            bFirst = false;
            AppendPair(out, UnescapeQuery(name), UnescapeQuery(value));
        });
    }
    out.push_back(']');
}

// The cookies of Cookie fields ("a=1; b=2").
void AppendRequestCookies(std::string& out, const CHttpMessage& m) {
    out.append("\"cookies\":[");
    bool bFirst = true;
    for (const CHttpField& f : m.fields) {
        if (!StartsWithNoCase(f.strName, "cookie") || f.strName.size() != 6) {
            continue;
        }
        ForEachPair(f.strValue, ';', true, [&](std::string_view name, std::string_view value) {
            if (!bFirst) {
                out.push_back(',');
            }
            bFirst = false;
            AppendPair(out, name, value);
        });
    }
    out.push_back(']');
}

// The cookies that Set-Cookie fields set, with their path, domain and flags.
void AppendResponseCookies(std::string& out, const CHttpMessage& m) {
    out.append("\"cookies\":[");
    bool bFirst = true;
    for (const CHttpField& f : m.fields) {
        if (!StartsWithNoCase(f.strName, "set-cookie") || f.strName.size() != 10) {
            continue;
        }
        std::string_view v = f.strValue;
        const std::size_t nSemi = v.find(';');
        const std::string_view pair = TrimBlanks(v.substr(0, nSemi));
        const std::size_t nEq = pair.find('=');
        if (!bFirst) {
            out.push_back(',');
        }
        bFirst = false;
        out.append("{\"name\":");
        AppendString(out, TrimBlanks(pair.substr(0, nEq)));
        out.append(",\"value\":");
        AppendString(out, nEq == std::string_view::npos ? std::string_view()
                                                        : TrimBlanks(pair.substr(nEq + 1)));
        v.remove_prefix(nSemi == std::string_view::npos ? v.size() : nSemi + 1);
        while (!v.empty()) {
            const std::size_t nNext = v.find(';');
            const std::string_view attr = TrimBlanks(v.substr(0, nNext));
            v.remove_prefix(nNext == std::string_view::npos ? v.size() : nNext + 1);
            const std::size_t nAttrEq = attr.find('=');
            const std::string_view name = TrimBlanks(attr.substr(0, nAttrEq));
            const std::string_view value = nAttrEq == std::string_view::npos
                                               ? std::string_view()
                                               : TrimBlanks(attr.substr(nAttrEq + 1));
            if (StartsWithNoCase(name, "path") && name.size() == 4) {
                out.append(",\"path\":");
                AppendString(out, value);
            } else if (StartsWithNoCase(name, "domain") && name.size() == 6) {
                out.append(",\"domain\":");
                AppendString(out, value);
            } else if (StartsWithNoCase(name, "httponly") && name.size() == 8) {
                out.append(",\"httpOnly\":true");
            } else if (StartsWithNoCase(name, "secure") && name.size() == 6) {
                out.append(",\"secure\":true");
            }
        }
        out.push_back('}');
    }
    out.push_back(']');
}

// Whether a body of this type, being UTF-8, is best shown as text.
bool IsTextual(std::string_view body, std::string_view mimeType) {
    if (!jsontext::IsUtf8(body)) {
        return false;
    }
    if (StartsWithNoCase(mimeType, "text/") || mimeType.find("json") != std::string_view::npos ||
        mimeType.find("xml") != std::string_view::npos ||
        mimeType.find("javascript") != std::string_view::npos ||
        mimeType.find("x-www-form-urlencoded") != std::string_view::npos) {
        return true;
    }
    return std::none_of(body.begin(), body.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\r' && c != '\n';
    });
}

std::string MimeType(const CHttpMessage& m) {
    const std::string* p = m.Field("Content-Type");
    return p != nullptr ? *p : std::string();
}

void AppendComment(std::string& out, const std::string& strComment) {
    if (!strComment.empty()) {
        out.append(",\"comment\":");
        AppendString(out, strComment);
    }
}

std::string BodyNote(const CHttpMessage& m, bool bDecoded) {
    std::string s;
    if (m.bBodyCut) {
        s = "Only the first " + std::to_string(m.strBody.size()) + " of " +
            std::to_string(m.nBodyLength) + " body bytes are kept.";
    }
    if (!bDecoded) {
        s += std::string(s.empty() ? "" : " ") + "The content coding could not be removed.";
    }
    if (!m.bComplete) {
        s += std::string(s.empty() ? "" : " ") + "The message did not end as its framing said.";
    }
    return s;
}

// `"text":` with the body as it is when it is text, else in base64 with `"<pszEncodingKey>":
// "base64"` after it.
void AppendBodyText(std::string& out, const std::string& strBody, const std::string& strMime,
                    const char* pszEncodingKey) {
    out.append(",\"text\":");
    if (IsTextual(strBody, strMime)) {
        AppendString(out, strBody);
        return;
    }
    std::string strBase64;
    jsontext::AppendBase64(strBase64, strBody);
    AppendString(out, strBase64);
    out.append(",\"").append(pszEncodingKey).append("\":\"base64\"");
}

void AppendRequest(std::string& out, const CHttpMessage& m, const CHarSession& session) {
    out.append("\"request\":{\"method\":");
    AppendString(out, m.strMethod);
    out.append(",\"url\":");
    AppendString(out, RequestUrl(m, session));
    out.append(",\"httpVersion\":");
    AppendString(out, m.strVersion);
    out.push_back(',');
    AppendRequestCookies(out, m);
    out.push_back(',');
    AppendFields(out, m);
    out.push_back(',');
    AppendQuery(out, m.strTarget);
    std::string strNote;
    if (m.nBodyLength > 0 || m.Field("Content-Type") != nullptr) {
        std::string strBody;
        const bool bDecoded = DecodedBody(m, strBody);
        const std::string strMime = MimeType(m);
        out.append(",\"postData\":{\"mimeType\":");
        AppendString(out, strMime);
        // The archive has no binary form of request data: base64, said so in a field of ours.
        AppendBodyText(out, strBody, strMime, "_encoding");
        AppendComment(out, BodyNote(m, bDecoded));
        out.push_back('}');
    } else if (!m.bComplete) {
        strNote = BodyNote(m, true);
    }
    out.append(",\"headersSize\":" + std::to_string(m.nHeadBytes));
    out.append(",\"bodySize\":" + std::to_string(m.nWireBytes));
    AppendComment(out, strNote);
    out.push_back('}');
}

void AppendResponse(std::string& out, const CHttpExchange& x) {
    const CHttpMessage& m = x.response;
    if (!x.bHasResponse) {
        out.append(
            "\"response\":{\"status\":0,\"statusText\":\"\",\"httpVersion\":\"\",\"cookies\":[],"
            "\"headers\":[],\"content\":{\"size\":0,\"mimeType\":\"\"},\"redirectURL\":\"\","
            "\"headersSize\":-1,\"bodySize\":-1,\"comment\":\"The server sent no answer.\"}");
        return;
    }
    out.append("\"response\":{\"status\":" + std::to_string(m.nStatus) + ",\"statusText\":");
    AppendString(out, m.strReason);
    out.append(",\"httpVersion\":");
    AppendString(out, m.strVersion);
    out.push_back(',');
    AppendResponseCookies(out, m);
    out.push_back(',');
    AppendFields(out, m);
    std::string strBody;
    const bool bDecoded = DecodedBody(m, strBody);
    const std::string strMime = MimeType(m);
    const std::uint64_t nSize = bDecoded && !m.bBodyCut ? strBody.size() : m.nBodyLength;
    out.append(",\"content\":{\"size\":" + std::to_string(nSize));
    if (bDecoded && strBody.size() > m.strBody.size()) {
        out.append(",\"compression\":" + std::to_string(strBody.size() - m.strBody.size()));
    }
    out.append(",\"mimeType\":");
    AppendString(out, strMime);
    if (!strBody.empty()) {
        AppendBodyText(out, strBody, strMime, "encoding");
    }
    AppendComment(out, BodyNote(m, bDecoded));
    out.append("},\"redirectURL\":");
    const std::string* pLocation = m.Field("Location");
    AppendString(out, pLocation != nullptr ? *pLocation : std::string());
    out.append(",\"headersSize\":" + std::to_string(m.nHeadBytes));
    out.append(",\"bodySize\":" + std::to_string(m.nWireBytes));
    out.push_back('}');
}

std::string AddressText(const CNetAddress& a) {
    char sz[INET6_ADDRSTRLEN] = {};
    if (a.nFamily == 4) {
        inet_ntop(AF_INET, a.addr, sz, sizeof sz);
    } else if (a.nFamily == 6) {
        inet_ntop(AF_INET6, a.addr, sz, sizeof sz);
    }
    return sz;
}

}  // namespace

std::string RequestUrl(const CHttpMessage& request, const CHarSession& session) {
    const std::string& target = request.strTarget;
    if (StartsWithNoCase(target, "http://") || StartsWithNoCase(target, "https://")) {
        return target;
    }
    std::string strUrl = session.bTls ? "https://" : "http://";
    if (request.strMethod == "CONNECT") {
        return strUrl + target;
    }
    const std::string* pHost = request.Field("Host");
    if (pHost != nullptr && !pHost->empty()) {
        strUrl += *pHost;
    } else {
        const bool bV6 = session.strHost.find(':') != std::string::npos;
        strUrl += bV6 ? "[" + session.strHost + "]" : session.strHost;
        const std::uint16_t nDefault = session.bTls ? 443 : 80;
        if (session.server.nPort != 0 && session.server.nPort != nDefault) {
            strUrl += ":" + std::to_string(session.server.nPort);
        }
    }
    if (target != "*") {
        strUrl += target.starts_with('/') ? target : "/" + target;
    }
    return strUrl;
}

bool DecodedBody(const CHttpMessage& message, std::string& out) {
    out.clear();
    const std::string* pCoding = message.Field("Content-Encoding");
    const std::vector<std::string> codings =
        pCoding != nullptr ? ParseCodings(*pCoding) : std::vector<std::string>();
    if (codings.empty() || message.strBody.empty()) {
        out = message.strBody;
        return true;
    }
    std::optional<CContentDecoder> decoder = CContentDecoder::Create(codings, nullptr);
    if (!decoder) {
        out = message.strBody;
        return false;
    }
    // A body that decodes to more than an archive can hold is cut there, as a long body is.
    const auto fnPiece = [&out](std::string_view piece) {
        const std::size_t nRoom =
            CHttpStream::kMaxBody * 4 - std::min(out.size(), CHttpStream::kMaxBody * 4);
        out.append(piece.substr(0, nRoom));
        return piece.size() <= nRoom;
    };
    const bool bFed = decoder->Feed(message.strBody, fnPiece);
    const bool bWhole = message.bBodyCut ? bFed : bFed && decoder->Finish(fnPiece);
    if (!bWhole && !decoder->IsStopped() && !decoder->FailedCoding().empty()) {
        out = message.strBody;
        return false;
    }
    return true;
}

std::string HarEntryJson(const CHttpExchange& x, const CHarSession& session, bool bFirst) {
    const CHttpMessage& rq = x.request;
    const CHttpMessage& rs = x.response;
    std::int64_t nStarted = rq.nFirstUs;
    std::int64_t nBlocked = -1;
    std::int64_t nConnect = -1;
    if (bFirst && session.nStartUs > 0 && session.nStartUs <= rq.nFirstUs) {
        // The first exchange carries the time the relay took to reach the server, and the
        // time the client took to send its request after that.
        nStarted = session.nStartUs;
        if (session.nConnectedUs >= session.nStartUs && session.nConnectedUs <= rq.nFirstUs) {
            nConnect = session.nConnectedUs - session.nStartUs;
            nBlocked = rq.nFirstUs - session.nConnectedUs;
        } else {
            nBlocked = rq.nFirstUs - session.nStartUs;
        }
    }
    const std::int64_t nSend = std::max<std::int64_t>(0, rq.nLastUs - rq.nFirstUs);
    const std::int64_t nWait =
        x.bHasResponse ? std::max<std::int64_t>(0, rs.nFirstUs - rq.nLastUs) : 0;
    const std::int64_t nReceive =
        x.bHasResponse ? std::max<std::int64_t>(0, rs.nLastUs - rs.nFirstUs) : 0;
    const std::int64_t nTotal = std::max<std::int64_t>(0, nBlocked) +
                                std::max<std::int64_t>(0, nConnect) + nSend + nWait + nReceive;

    std::string out;
    out.reserve(1024 + rq.strBody.size() + rs.strBody.size() * 4 / 3);
    out.append("{\"startedDateTime\":\"" + jsontext::IsoTime(nStarted) + "\"");
    out.append(",\"time\":" + jsontext::Milliseconds(nTotal) + ",");
    AppendRequest(out, rq, session);
    out.push_back(',');
    AppendResponse(out, x);
    out.append(",\"cache\":{},\"timings\":{\"blocked\":" + jsontext::Milliseconds(nBlocked) +
               ",\"dns\":-1,\"connect\":" + jsontext::Milliseconds(nConnect) + ",\"send\":" +
               jsontext::Milliseconds(nSend) + ",\"wait\":" + jsontext::Milliseconds(nWait) +
               ",\"receive\":" + jsontext::Milliseconds(nReceive) + ",\"ssl\":-1}");
    const std::string strIp = AddressText(session.server);
    if (!strIp.empty()) {
        out.append(",\"serverIPAddress\":\"" + strIp + "\"");
    }
    out.append(",\"connection\":\"" + std::to_string(session.nSessionId) + "\"");
    out.append(",\"_session\":" + std::to_string(session.nNumber));
    out.push_back('}');
    return out;
}

std::string HarLogBegin() {
    return "{\"log\":{\"version\":\"1.2\",\"creator\":{\"name\":\"Tapvane\",\"version\":"
           "\"" TAPVANE_VERSION_STRING "\"},\"pages\":[],\"entries\":[\n";
}

std::string HarLogEnd() {
    return "\n]}}\n";
}
