#include "export/SessionText.h"

#include <cerrno>
#include <cstdio>

#include "logdoc/LogDocument.h"
#include "logdoc/SessionExport.h"

bool ForEachSessionText(const CLogDocument& doc, std::uint32_t nRow, std::string_view eol,
                        const std::function<void(std::string_view)>& fnPiece) {
    const auto ranges = SessionTextRanges(doc.GetRecords(), nRow);
    bool bFirst = true;
    for (const auto& [nFrom, nTo] : ranges) {
        std::string text = doc.ExtractText(nFrom, nTo, eol);
        if (bFirst) {
            // The marker line's leading break ends the line before it in the log.
            std::size_t nSkip = 0;
            while (text.compare(nSkip, eol.size(), eol) == 0 && !eol.empty()) {
                nSkip += eol.size();
            }
            text.erase(0, nSkip);
            bFirst = false;
        }
        fnPiece(text);
    }
    return !ranges.empty();
}

std::string SessionText(const CLogDocument& doc, std::uint32_t nRow, std::string_view eol,
                        std::size_t nMax) {
    std::string out;
    bool bFull = false;
    ForEachSessionText(doc, nRow, eol, [&](std::string_view piece) {
        if (bFull || (!out.empty() && out.size() + piece.size() > nMax)) {
            bFull = true;
            return;
        }
        out.append(piece);
    });
    return out;
}

int SaveSessionText(const CLogDocument& doc, std::uint32_t nRow, const std::string& strPath) {
    std::FILE* pFile = std::fopen(strPath.c_str(), "wb");
    if (pFile == nullptr) {
        return errno;
    }
    int nError = 0;
    const bool bAny = ForEachSessionText(doc, nRow, "\r\n", [&](std::string_view piece) {
        if (nError == 0 && std::fwrite(piece.data(), 1, piece.size(), pFile) != piece.size()) {
            nError = errno != 0 ? errno : EIO;
        }
    });
    if (std::fclose(pFile) != 0 && nError == 0) {
        nError = errno;
    }
    if (nError == 0 && !bAny) {
        nError = ENOENT;
    }
    if (nError != 0) {
        std::remove(strPath.c_str());
    }
    return nError;
}
