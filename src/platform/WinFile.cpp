#include "platform/WinFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/FaultInjection.h"
#include "platform/Handles.h"
#include "platform/Kernel.h"
#include "platform/SystemText.h"
#include "platform/TextConv.h"
#include "platform/WinError.h"

namespace win {

namespace {

using CFileKey = std::pair<dev_t, ino_t>;

// The access and share modes of every open file handle of the process, by file.
class CShareTable {
public:
    // Registers an open of `key` unless it conflicts with one already there. Returns its
    // id (never 0), or 0 for a sharing violation. The caller holds Mutex().
    std::uint64_t TryAdd(const CFileKey& key, DWORD dwAccess, DWORD dwShare) {
        std::vector<CEntry>& entries = m_map[key];
        for (const CEntry& e : entries) {
            if (Conflicts(e.dwAccess, dwShare) || Conflicts(dwAccess, e.dwShare)) {
                return 0;
            }
        }
        const std::uint64_t id = m_nextId++;
        entries.push_back(CEntry{id, dwAccess, dwShare});
        return id;
    }

    void Remove(const CFileKey& key, std::uint64_t id) {
        std::lock_guard lock(m_mutex);
        auto it = m_map.find(key);
        if (it == m_map.end()) {
            return;
        }
        std::erase_if(it->second, [id](const CEntry& e) { return e.id == id; });
        if (it->second.empty()) {
            m_map.erase(it);
        }
    }

    std::mutex& Mutex() { return m_mutex; }

private:
    struct CEntry {
        std::uint64_t id;
        DWORD dwAccess;
        DWORD dwShare;
    };

    // Whether a handle with `dwAccess` may not coexist with one that shares `dwShare`.
    static bool Conflicts(DWORD dwAccess, DWORD dwShare) {
        return ((dwAccess & GENERIC_READ) != 0 && (dwShare & FILE_SHARE_READ) == 0) ||
               ((dwAccess & GENERIC_WRITE) != 0 && (dwShare & FILE_SHARE_WRITE) == 0);
    }

    std::mutex m_mutex;
    std::map<CFileKey, std::vector<CEntry>> m_map;
    std::uint64_t m_nextId = 1;
};

CShareTable& ShareTable() {
    static CShareTable s_table;
    return s_table;
}

// The object behind a file handle. It owns the descriptor and its entry in the share table.
class CFileObject final : public CKernelObject {
public:
    CFileObject(int fd, DWORD dwAccess, const CFileKey& key, std::uint64_t shareId)
        : m_fd(fd), m_dwAccess(dwAccess), m_key(key), m_shareId(shareId) {}

    ~CFileObject() override {
        // The entry goes first: once the descriptor is closed the inode number may name a
        // new file at once.
        if (m_shareId != 0) {
            ShareTable().Remove(m_key, m_shareId);
        }
        ::close(m_fd);
    }

    CFileObject(const CFileObject&) = delete;
    CFileObject& operator=(const CFileObject&) = delete;

    int Fd() const { return m_fd; }
    bool CanRead() const { return (m_dwAccess & GENERIC_READ) != 0; }
    bool CanWrite() const { return (m_dwAccess & GENERIC_WRITE) != 0; }

private:
    const int m_fd;
    const DWORD m_dwAccess;
    const CFileKey m_key;
    const std::uint64_t m_shareId;
};

// The file object of `h`, or null with ERROR_INVALID_HANDLE.
std::shared_ptr<CFileObject> FindFile(HANDLE h) {
    std::shared_ptr<CFileObject> p = FindKernelObject<CFileObject>(h);
    if (!p) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return p;
}

bool ParentFolderExists(const std::string& path) {
    const std::size_t pos = path.rfind('/');
    std::string parent;
    if (pos == std::string::npos) {
        parent = ".";
    } else if (pos == 0) {
        parent = "/";
    } else {
        parent = path.substr(0, pos);
    }
    struct stat st {};
    return ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The Win32 code of a failed call on `path`: a missing name is a missing file when its
// folder is there and a missing path when it is not.
DWORD ErrorForPath(int nErrno, const std::string& path) {
    if (nErrno == ENOENT) {
        return ParentFolderExists(path) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    }
    return Win32ErrorFromErrno(nErrno);
}

template <class T>
T Fail(DWORD dwError, T result) {
    SetLastError(dwError);
    return result;
}

// Open flags of the descriptor for the handle's access. Truncating needs write access on
// the descriptor even when the handle itself may only read.
int AccessFlags(DWORD dwAccess, bool bTruncate, bool bCreate) {
    const bool bRead = (dwAccess & GENERIC_READ) != 0;
    const bool bWrite = (dwAccess & GENERIC_WRITE) != 0 || bTruncate;
    if (bRead && bWrite) {
        return O_RDWR;
    }
    if (bWrite) {
        return O_WRONLY;
    }
    if (bRead || bCreate) {
        return O_RDONLY;
    }
    // Neither reading nor writing: a descriptor for queries, which needs no permission.
    return O_PATH;
}

FILETIME FileTimeFrom(const struct timespec& ts) {
    // Seconds from 1601-01-01 to 1970-01-01.
    constexpr std::int64_t kEpochDelta = 11644473600LL;
    const std::int64_t t =
        (static_cast<std::int64_t>(ts.tv_sec) + kEpochDelta) * 10000000LL + ts.tv_nsec / 100;
    const auto u = static_cast<std::uint64_t>(std::max<std::int64_t>(t, 0));
    return FILETIME{static_cast<DWORD>(u & 0xFFFFFFFFu), static_cast<DWORD>(u >> 32)};
}

}  // namespace

HANDLE CreateFileW(const wchar_t* pszPath, DWORD dwAccess, DWORD dwShare, bool bInherit,
                   DWORD dwCreation, DWORD dwAttributes) {
    if (pszPath == nullptr || dwCreation < CREATE_NEW || dwCreation > TRUNCATE_EXISTING ||
        (dwCreation == TRUNCATE_EXISTING && (dwAccess & GENERIC_WRITE) == 0)) {
        return Fail<HANDLE>(ERROR_INVALID_PARAMETER, 0);
    }
    const std::string path = WideToAnsi(pszPath);
    if (path.empty()) {
        return Fail<HANDLE>(ERROR_PATH_NOT_FOUND, 0);
    }
    dwAccess &= GENERIC_READ | GENERIC_WRITE;
    const bool bMayCreate =
        dwCreation == CREATE_NEW || dwCreation == CREATE_ALWAYS || dwCreation == OPEN_ALWAYS;
    const bool bTruncate = dwCreation == CREATE_ALWAYS || dwCreation == TRUNCATE_EXISTING;
    const int common = O_NOCTTY | (bInherit ? 0 : O_CLOEXEC);
    const mode_t mode = (dwAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;

    if (const int nFault = TakeFault(FaultCall::OpenFile)) {
        return Fail<HANDLE>(ErrorForPath(nFault, path), 0);
    }
    int fd = -1;
    bool bExisted = false;
    if (bMayCreate) {
        // Creating exclusively first tells whether the file was there.
        fd = ::open(path.c_str(), AccessFlags(dwAccess, false, true) | common | O_CREAT | O_EXCL,
                    mode);
        if (fd < 0 && errno != EEXIST) {
            return Fail<HANDLE>(ErrorForPath(errno, path), 0);
        }
        if (fd < 0 && dwCreation == CREATE_NEW) {
            return Fail<HANDLE>(ERROR_FILE_EXISTS, 0);
        }
    }
    if (fd < 0) {
        fd = ::open(path.c_str(), AccessFlags(dwAccess, bTruncate, false) | common);
        bExisted = fd >= 0;
        if (fd < 0 && errno == ENOENT && bMayCreate) {
            // Removed meanwhile, or a link to a missing file: create it through the link.
            fd = ::open(path.c_str(), AccessFlags(dwAccess, bTruncate, true) | common | O_CREAT,
                        mode);
        }
        if (fd < 0) {
            return Fail<HANDLE>(ErrorForPath(errno, path), 0);
        }
    }

    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        return Fail<HANDLE>(Win32ErrorFromErrno(e), 0);
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        return Fail<HANDLE>(ERROR_ACCESS_DENIED, 0);
    }

    std::shared_ptr<CFileObject> file;
    DWORD dwError = ERROR_SUCCESS;
    {
        std::lock_guard lock(ShareTable().Mutex());
        const CFileKey key(st.st_dev, st.st_ino);
        std::uint64_t shareId = 0;
        // An open that neither reads nor writes is not subject to sharing.
        if (dwAccess != 0) {
            shareId = ShareTable().TryAdd(key, dwAccess, dwShare);
            if (shareId == 0) {
                ::close(fd);
                return Fail<HANDLE>(ERROR_SHARING_VIOLATION, 0);
            }
        }
        file = std::make_shared<CFileObject>(fd, dwAccess, key, shareId);
        // Truncated only once the sharing allows it, and before anyone can use the handle.
        if (bTruncate && st.st_size != 0 && ::ftruncate(fd, 0) != 0) {
            dwError = Win32ErrorFromErrno(errno);
        }
    }
    if (dwError != ERROR_SUCCESS) {
        file.reset();  // leaves the share table, so outside its lock
        return Fail<HANDLE>(dwError, 0);
    }
    const HANDLE h = KernelHandles().Insert(std::move(file));
    const bool bReportExisting =
        bExisted && (dwCreation == CREATE_ALWAYS || dwCreation == OPEN_ALWAYS);
    SetLastError(bReportExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

BOOL ReadFile(HANDLE hFile, void* pBuffer, DWORD nToRead, DWORD* pnRead) {
    if (pnRead != nullptr) {
        *pnRead = 0;
    }
    const std::shared_ptr<CFileObject> file = FindFile(hFile);
    if (!file) {
        return FALSE;
    }
    if (!file->CanRead()) {
        return Fail<BOOL>(ERROR_ACCESS_DENIED, FALSE);
    }
    if (pBuffer == nullptr && nToRead != 0) {
        return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    }
    struct stat st {};
    const bool bRegular = ::fstat(file->Fd(), &st) == 0 && S_ISREG(st.st_mode);
    auto* p = static_cast<char*>(pBuffer);
    DWORD nDone = 0;
    while (nDone < nToRead) {
        const ssize_t n = ::read(file->Fd(), p + nDone, nToRead - nDone);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (nDone == 0) {
                return Fail<BOOL>(Win32ErrorFromErrno(errno), FALSE);
            }
            break;  // the bytes read so far are the result; the error shows next time
        }
        nDone += static_cast<DWORD>(n);
        // A pipe or device gives what it has; only a file is read on to the count.
        if (n == 0 || !bRegular) {
            break;
        }
    }
    if (pnRead != nullptr) {
        *pnRead = nDone;
    }
    return TRUE;
}

BOOL WriteFile(HANDLE hFile, const void* pBuffer, DWORD nToWrite, DWORD* pnWritten) {
    if (pnWritten != nullptr) {
        *pnWritten = 0;
    }
    const std::shared_ptr<CFileObject> file = FindFile(hFile);
    if (!file) {
        return FALSE;
    }
    if (!file->CanWrite()) {
        return Fail<BOOL>(ERROR_ACCESS_DENIED, FALSE);
    }
    if (pBuffer == nullptr && nToWrite != 0) {
        return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    }
    const auto* p = static_cast<const char*>(pBuffer);
    DWORD nDone = 0;
    while (nDone < nToWrite) {
        const int nFault = TakeFault(FaultCall::WriteFile);
        if (nFault != 0) {
            errno = nFault;
        }
        const ssize_t n = nFault != 0 ? -1 : ::write(file->Fd(), p + nDone, nToWrite - nDone);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (nDone == 0) {
                return Fail<BOOL>(Win32ErrorFromErrno(errno), FALSE);
            }
            break;  // part was written: the caller sees the short count
        }
        if (n == 0) {
            break;
        }
        nDone += static_cast<DWORD>(n);
    }
    if (pnWritten != nullptr) {
        *pnWritten = nDone;
    }
    return TRUE;
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistance, LONG* plDistanceHigh, DWORD dwMoveMethod) {
    const std::shared_ptr<CFileObject> file = FindFile(hFile);
    if (!file) {
        return INVALID_SET_FILE_POINTER;
    }
    const std::int64_t distance =
        plDistanceHigh != nullptr
            ? static_cast<std::int64_t>(
                  (static_cast<std::uint64_t>(static_cast<std::uint32_t>(*plDistanceHigh)) << 32) |
                  static_cast<std::uint32_t>(lDistance))
            : static_cast<std::int64_t>(lDistance);
    std::int64_t base = 0;
    if (dwMoveMethod == FILE_CURRENT) {
        const off_t cur = ::lseek(file->Fd(), 0, SEEK_CUR);
        if (cur < 0) {
            return Fail<DWORD>(Win32ErrorFromErrno(errno), INVALID_SET_FILE_POINTER);
        }
        base = cur;
    } else if (dwMoveMethod == FILE_END) {
        struct stat st {};
        if (::fstat(file->Fd(), &st) != 0) {
            return Fail<DWORD>(Win32ErrorFromErrno(errno), INVALID_SET_FILE_POINTER);
        }
        base = st.st_size;
    } else if (dwMoveMethod != FILE_BEGIN) {
        return Fail<DWORD>(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    }
    std::int64_t target = 0;
    if (__builtin_add_overflow(base, distance, &target)) {
        return Fail<DWORD>(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    }
    if (target < 0) {
        return Fail<DWORD>(ERROR_NEGATIVE_SEEK, INVALID_SET_FILE_POINTER);
    }
    if (plDistanceHigh == nullptr && target > 0xFFFFFFFFLL) {
        return Fail<DWORD>(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    }
    const off_t pos = ::lseek(file->Fd(), static_cast<off_t>(target), SEEK_SET);
    if (pos < 0) {
        return Fail<DWORD>(Win32ErrorFromErrno(errno), INVALID_SET_FILE_POINTER);
    }
    const auto upos = static_cast<std::uint64_t>(pos);
    if (plDistanceHigh != nullptr) {
        *plDistanceHigh = static_cast<LONG>(static_cast<std::uint32_t>(upos >> 32));
    }
    const auto low = static_cast<DWORD>(upos & 0xFFFFFFFFu);
    if (low == INVALID_SET_FILE_POINTER) {
        SetLastError(ERROR_SUCCESS);
    }
    return low;
}

BOOL FlushFileBuffers(HANDLE hFile) {
    const std::shared_ptr<CFileObject> file = FindFile(hFile);
    if (!file) {
        return FALSE;
    }
    if (!file->CanWrite()) {
        return Fail<BOOL>(ERROR_ACCESS_DENIED, FALSE);
    }
    if (::fsync(file->Fd()) != 0) {
        return Fail<BOOL>(Win32ErrorFromErrno(errno), FALSE);
    }
    return TRUE;
}

DWORD GetFileSize(HANDLE hFile, DWORD* pdwHigh) {
    const std::shared_ptr<CFileObject> file = FindFile(hFile);
    if (!file) {
        return INVALID_FILE_SIZE;
    }
    struct stat st {};
    if (::fstat(file->Fd(), &st) != 0) {
        return Fail<DWORD>(Win32ErrorFromErrno(errno), INVALID_FILE_SIZE);
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (pdwHigh != nullptr) {
        *pdwHigh = static_cast<DWORD>(size >> 32);
    }
    const auto low = static_cast<DWORD>(size & 0xFFFFFFFFu);
    if (low == INVALID_FILE_SIZE) {
        SetLastError(ERROR_SUCCESS);
    }
    return low;
}

BOOL GetFileTime(HANDLE hFile, FILETIME* pCreation, FILETIME* pLastAccess, FILETIME* pLastWrite) {
    const std::shared_ptr<CFileObject> file = FindFile(hFile);
    if (!file) {
        return FALSE;
    }
    struct stat st {};
    if (::fstat(file->Fd(), &st) != 0) {
        return Fail<BOOL>(Win32ErrorFromErrno(errno), FALSE);
    }
    if (pCreation != nullptr) {
        *pCreation = FileTimeFrom(st.st_ctim);
    }
    if (pLastAccess != nullptr) {
        *pLastAccess = FileTimeFrom(st.st_atim);
    }
    if (pLastWrite != nullptr) {
        *pLastWrite = FileTimeFrom(st.st_mtim);
    }
    return TRUE;
}

DWORD GetFileAttributesW(const wchar_t* pszPath) {
    if (pszPath == nullptr) {
        return Fail<DWORD>(ERROR_INVALID_PARAMETER, INVALID_FILE_ATTRIBUTES);
    }
    const std::string path = WideToAnsi(pszPath);
    if (path.empty()) {
        return Fail<DWORD>(ERROR_PATH_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return Fail<DWORD>(ErrorForPath(errno, path), INVALID_FILE_ATTRIBUTES);
    }
    DWORD dwAttributes = 0;
    if (S_ISDIR(st.st_mode)) {
        dwAttributes |= FILE_ATTRIBUTE_DIRECTORY;
    }
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        dwAttributes |= FILE_ATTRIBUTE_READONLY;
    }
    return dwAttributes != 0 ? dwAttributes : FILE_ATTRIBUTE_NORMAL;
}

BOOL CreateDirectoryW(const wchar_t* pszPath, void* pSecurity) {
    if (pszPath == nullptr || pSecurity != nullptr) {
        return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    }
    const std::string path = WideToAnsi(pszPath);
    // The folders this program makes are those of the saved responses (the data folder
    // and below): they hold traffic, so they are their owner's only.
    if (::mkdir(path.c_str(), 0700) != 0) {
        switch (errno) {
            case EEXIST:
                return Fail<BOOL>(ERROR_ALREADY_EXISTS, FALSE);
            case ENOENT:
                return Fail<BOOL>(ERROR_PATH_NOT_FOUND, FALSE);
            default:
                return Fail<BOOL>(Win32ErrorFromErrno(errno), FALSE);
        }
    }
    return TRUE;
}

BOOL PathIsDirectoryW(const wchar_t* pszPath) {
    if (pszPath == nullptr) {
        return FALSE;
    }
    struct stat st {};
    const std::string path = WideToAnsi(pszPath);
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return FALSE;
    }
    return static_cast<BOOL>(FILE_ATTRIBUTE_DIRECTORY);
}

short GetFileTitleW(const wchar_t* pszFile, wchar_t* pszTitle, WORD cchSize) {
    if (pszFile == nullptr) {
        return -1;
    }
    const std::wstring_view file(pszFile);
    const std::size_t slash = file.rfind(L'/');
    const std::wstring_view name = slash == std::wstring_view::npos ? file : file.substr(slash + 1);
    if (name.empty()) {
        return -1;
    }
    const std::size_t cchNeeded = name.size() + 1;
    if (pszTitle == nullptr || cchSize < cchNeeded) {
        return static_cast<short>(std::min<std::size_t>(cchNeeded, SHRT_MAX));
    }
    std::copy(name.begin(), name.end(), pszTitle);
    pszTitle[name.size()] = L'\0';
    return 0;
}

int FileDescriptorOf(HANDLE hFile) {
    const std::shared_ptr<CFileObject> file = FindKernelObject<CFileObject>(hFile);
    return file ? file->Fd() : -1;
}

}  // namespace win
