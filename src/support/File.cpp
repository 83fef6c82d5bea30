#include "support/File.h"

#include <cstdint>

#include "platform/Kernel.h"
#include "platform/WinFile.h"

namespace {

// Longest name that GetFileName and GetFileTitle give.
constexpr std::size_t kMaxNameLength = 255;

std::time_t TimeFrom(const win::FILETIME& ft) {
    constexpr std::uint64_t kEpochDelta = 116444736000000000ULL;  // 1601 to 1970 in 100 ns
    const std::uint64_t t =
        (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return t < kEpochDelta ? 0 : static_cast<std::time_t>((t - kEpochDelta) / 10000000ULL);
}

}  // namespace

CFile::~CFile() = default;

BOOL CFile::Open(const wchar_t* pszFileName, UINT nOpenFlags, CFileException* pError) {
    if (m_hFile != 0) {
        win::CloseHandle(m_hFile);
        m_hFile = 0;
        m_strFileName.clear();
    }
    const std::wstring strName = pszFileName != nullptr ? pszFileName : L"";

    DWORD dwAccess = 0;
    switch (nOpenFlags & 3) {
        case modeRead:
            dwAccess = win::GENERIC_READ;
            break;
        case modeWrite:
            dwAccess = win::GENERIC_WRITE;
            break;
        case modeReadWrite:
            dwAccess = win::GENERIC_READ | win::GENERIC_WRITE;
            break;
        default:
            break;  // no access rights
    }

    DWORD dwShare = 0;
    switch (nOpenFlags & 0x70) {
        case shareDenyWrite:
            dwShare = win::FILE_SHARE_READ;
            break;
        case shareDenyRead:
            dwShare = win::FILE_SHARE_WRITE;
            break;
        case shareDenyNone:
            dwShare = win::FILE_SHARE_READ | win::FILE_SHARE_WRITE;
            break;
        default:
            break;  // shareExclusive and the values without a meaning
    }

    DWORD dwCreation = win::OPEN_EXISTING;
    if ((nOpenFlags & modeCreate) != 0) {
        dwCreation = (nOpenFlags & modeNoTruncate) != 0 ? win::OPEN_ALWAYS : win::CREATE_ALWAYS;
    }

    const bool bInherit = (nOpenFlags & modeNoInherit) == 0;
    const HANDLE h = win::CreateFileW(strName.c_str(), dwAccess, dwShare, bInherit, dwCreation,
                                      win::FILE_ATTRIBUTE_NORMAL);
    if (h == 0) {
        const auto lError = static_cast<LONG>(win::GetLastError());
        if (pError == nullptr) {
            throw new CFileException(CFileException::OsErrorToCause(lError), lError, strName);
        }
        pError->m_cause = CFileException::OsErrorToCause(lError);
        pError->m_lOsError = lError;
        pError->m_strFileName = strName;
        return FALSE;
    }
    m_hFile = h;
    m_strFileName = strName.substr(0, kMaxPathLength);
    return TRUE;
}

DWORD CFile::Seek(LONG lDistance, UINT nFrom) {
    const DWORD dwPos = win::SetFilePointer(m_hFile, lDistance, nullptr, nFrom);
    if (dwPos == win::INVALID_SET_FILE_POINTER) {
        // A position of 0xFFFFFFFF is valid when the last error is 0; ThrowOsError ignores 0.
        CFileException::ThrowOsError(static_cast<LONG>(win::GetLastError()));
    }
    return dwPos;
}

UINT CFile::Read(void* pBuffer, UINT nCount) {
    if (nCount == 0) {
        return 0;
    }
    DWORD nRead = 0;
    if (!win::ReadFile(m_hFile, pBuffer, nCount, &nRead)) {
        CFileException::ThrowOsError(static_cast<LONG>(win::GetLastError()));
    }
    return nRead;
}

void CFile::Write(const void* pBuffer, UINT nCount) {
    if (nCount == 0) {
        return;
    }
    DWORD nWritten = 0;
    if (!win::WriteFile(m_hFile, pBuffer, nCount, &nWritten)) {
        CFileException::ThrowOsError(static_cast<LONG>(win::GetLastError()), m_strFileName);
    }
    if (nWritten < nCount) {
        throw new CFileException(CFileException::diskFull, -1, m_strFileName);
    }
}

void CFile::Close() {
    if (m_hFile == 0) {
        return;
    }
    const bool bClosed = win::CloseHandle(m_hFile) != FALSE;
    const DWORD dwError = bClosed ? 0 : win::GetLastError();
    m_hFile = 0;
    m_strFileName.clear();
    if (!bClosed) {
        CFileException::ThrowOsError(static_cast<LONG>(dwError));
    }
}

DWORD CFile::GetLength() {
    const DWORD dwPos = Seek(0, current);
    const DWORD dwEnd = Seek(0, end);
    Seek(static_cast<LONG>(dwPos), begin);
    return dwEnd;
}

void CFile::Flush() {
    if (m_hFile == 0) {
        return;
    }
    if (!win::FlushFileBuffers(m_hFile)) {
        CFileException::ThrowOsError(static_cast<LONG>(win::GetLastError()));
    }
}

std::wstring CFile::GetFileName() const {
    const std::size_t pos = m_strFileName.find_last_of(L"\\/:");
    const std::wstring strName =
        pos == std::wstring::npos ? m_strFileName : m_strFileName.substr(pos + 1);
    return strName.substr(0, kMaxNameLength);
}

std::wstring CFile::GetFileTitle() const {
    wchar_t szTitle[kMaxNameLength + 1] = {};
    if (win::GetFileTitleW(m_strFileName.c_str(), szTitle, kMaxNameLength + 1) == 0) {
        return szTitle;
    }
    return GetFileName();
}

std::wstring CFile::GetFilePath() const {
    return m_strFileName;
}

bool CFile::GetStatus(CFileStatus& status) const {
    status = CFileStatus{};
    status.m_strFullName = m_strFileName;

    win::FILETIME ftCreation{}, ftAccess{}, ftWrite{};
    if (!win::GetFileTime(m_hFile, &ftCreation, &ftAccess, &ftWrite)) {
        return false;
    }
    status.m_ctime = TimeFrom(ftCreation);
    status.m_atime = TimeFrom(ftAccess);
    status.m_mtime = TimeFrom(ftWrite);

    const DWORD dwSize = win::GetFileSize(m_hFile, nullptr);
    if (dwSize == win::INVALID_FILE_SIZE && win::GetLastError() != 0) {
        return false;
    }
    status.m_size = dwSize;

    if (!m_strFileName.empty()) {
        const DWORD dwAttributes = win::GetFileAttributesW(m_strFileName.c_str());
        status.m_attribute = dwAttributes == win::INVALID_FILE_ATTRIBUTES ? 0 : dwAttributes;
    }
    return true;
}

void CFile::WriteByteOrderMark() {
    static constexpr unsigned char kMark[2] = {0xFF, 0xFE};
    DWORD nWritten = 0;
    win::WriteFile(m_hFile, kMark, sizeof kMark, &nWritten);
}
