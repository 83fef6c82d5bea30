#include "support/FileException.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "support/ResourceStrings.h"

namespace {

// String table numbers: the cause texts follow one another from the "none" text.
constexpr UINT kFirstCauseText = 61856;
constexpr UINT kUnnamedFileText = 61446;

}  // namespace

CFileException::CFileException(int cause, LONG lOsError, std::wstring strFileName)
    : m_cause(cause), m_lOsError(lOsError), m_strFileName(std::move(strFileName)) {}

CFileException::~CFileException() = default;

BOOL CFileException::GetErrorMessage(wchar_t* pszBuffer, UINT nCapacity,
                                     UINT* pnHelpContext) const {
    if (pszBuffer == nullptr || nCapacity == 0) {
        return FALSE;
    }
    const UINT nId = kFirstCauseText + static_cast<UINT>(m_cause);
    if (pnHelpContext != nullptr) {
        *pnHelpContext = nId;
    }
    std::wstring strMessage;
    AfxFormatString(strMessage, nId,
                    m_strFileName.empty() ? LoadResourceString(kUnnamedFileText) : m_strFileName);
    const std::size_t n = std::min<std::size_t>(strMessage.size(), nCapacity - 1);
    std::copy_n(strMessage.begin(), n, pszBuffer);
    pszBuffer[n] = L'\0';
    return TRUE;
}

std::wstring CFileException::GetErrorMessage(UINT nCapacity) const {
    if (nCapacity == 0) {
        return {};
    }
    std::vector<wchar_t> buffer(nCapacity);
    GetErrorMessage(buffer.data(), nCapacity);
    return std::wstring(buffer.data());
}

void CFileException::ThrowOsError(LONG lOsError, const std::wstring& strFileName) {
    if (lOsError != 0) {
        throw new CFileException(OsErrorToCause(lOsError), lOsError, strFileName);
    }
}

int CFileException::OsErrorToCause(LONG lOsError) {
    switch (lOsError) {
        case 0:
            return none;
        case 2:
        case 6:
        case 18:
        case 107:
            return fileNotFound;
        case 3:
        case 15:
        case 17:
        case 34:
        case 52:
        case 53:
        case 55:
        case 67:
        case 70:
        case 85:
        case 111:
        case 123:
        case 124:
        case 125:
        case 144:
        case 154:
        case 161:
        case 206:
        case 208:
        case 267:
            return badPath;
        case 4:
        case 36:
        case 68:
        case 113:
            return tooManyOpenFiles;
        case 5:
        case 12:
        case 19:
        case 29:
        case 54:
        case 58:
        case 64:
        case 65:
        case 71:
        case 80:
        case 82:
        case 86:
        case 170:
        case 183:
        case 999:
            return accessDenied;
        case 11:
        case 26:
        case 60:
        case 66:
        case 114:
        case 182:
        case 191:
        case 193:
            return invalidFile;
        case 16:
        case 145:
            return removeCurrentDir;
        case 62:
            return directoryFull;
        case 24:
        case 25:
        case 27:
        case 30:
        case 131:
        case 132:
            return badSeek;
        case 20:
        case 21:
        case 22:
        case 23:
        case 57:
        case 59:
        case 88:
        case 117:
        case 995:
        case 996:
        case 997:
            return hardIO;
        case 32:
            return sharingViolation;
        case 33:
        case 108:
        case 167:
            return lockViolation;
        case 39:
        case 112:
            return diskFull;
        case 38:
            return endOfFile;
        default:
            return generic;
    }
}
