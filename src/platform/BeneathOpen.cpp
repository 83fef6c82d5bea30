#include "platform/BeneathOpen.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace win {

namespace {

std::atomic<BeneathOpenHook> g_hook{nullptr};
std::atomic<bool> g_bOpenat2{true};

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK;
// O_NONBLOCK: a named pipe without a reader fails at once instead of waiting for one.
constexpr int kFileFlags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

// A descriptor closed when it goes out of scope.
class CFd {
public:
    explicit CFd(int fd = -1) : m_fd(fd) {}
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    ~CFd() { Reset(); }
    int Get() const { return m_fd; }
    int Release() { return std::exchange(m_fd, -1); }
    void Reset(int fd = -1) {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = fd;
    }

private:
    int m_fd;
};

int Openat2(int dirfd, const char* pszPath, int flags, mode_t mode) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.mode = (flags & O_CREAT) != 0 ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(::syscall(SYS_openat2, dirfd, pszPath, &how, sizeof how));
}

// Opens `pszPath` below `dirfd` without following a link; openat2 when the kernel has it.
int OpenNoLinks(int dirfd, const char* pszPath, int flags, mode_t mode) {
    if (g_bOpenat2.load(std::memory_order_relaxed)) {
        const int fd = Openat2(dirfd, pszPath, flags, mode);
        if (fd >= 0 || errno != ENOSYS) {
            return fd;
        }
        g_bOpenat2 = false;  // an older kernel: the walk below from now on
    }
    // One component at a time (the callers never pass more than one here).
    const int fd = ::openat(dirfd, pszPath, flags | O_NOFOLLOW, mode);
    struct stat st {};
    if (fd < 0 && errno == ENOTDIR && (flags & O_DIRECTORY) != 0 &&
        ::fstatat(dirfd, pszPath, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
        errno = ELOOP;  // a link where a folder was expected, as openat2 reports it
    }
    return fd;
}

std::string Reason(int nErrno) {
    switch (nErrno) {
        case ELOOP:
            return "a symbolic link is in the way (links below the data folder are not "
                   "followed)";
        case EXDEV:
            return "the path leads out of the data folder";
        case ENOTDIR:
            return "a part of the path is not a folder";
        case EISDIR:
            return "the name is taken by a folder";
        case ENXIO:
        case ENODEV:
        case EOPNOTSUPP:
            return "the name is taken by something that is not a regular file";
        case EWOULDBLOCK:
            return "the file is being written by another session";
        default: {
            const char* pszText = ::strerrordesc_np(nErrno);
            return pszText != nullptr ? pszText : "error " + std::to_string(nErrno);
        }
    }
}

CBeneathOpen Failure(int nErrno) {
    CBeneathOpen result;
    result.nErrno = nErrno;
    result.strWhy = Reason(nErrno);
    return result;
}

// The components of a relative path; false when one would climb out (or mean nothing).
bool Components(std::string_view path, std::vector<std::string>& parts) {
    for (std::size_t nStart = 0; nStart <= path.size();) {
        const std::size_t nSlash = std::min(path.find('/', nStart), path.size());
        const std::string_view part = path.substr(nStart, nSlash - nStart);
        if (part == "." || part == "..") {
            return false;
        }
        if (!part.empty()) {
            parts.emplace_back(part);
        }
        nStart = nSlash + 1;
    }
    return !parts.empty();
}

// The root folder, created when missing; links in it are the user's and are followed.
int OpenRoot(const std::string& strRoot, mode_t nFolderMode) {
    int fd = ::open(strRoot.c_str(), kFolderFlags);
    if (fd >= 0 || errno != ENOENT) {
        return fd;
    }
    for (std::size_t i = 1; i <= strRoot.size(); ++i) {
        if (i == strRoot.size() || strRoot[i] == '/') {
            if (::mkdir(strRoot.substr(0, i).c_str(), nFolderMode) != 0 && errno != EEXIST) {
                return -1;
            }
        }
    }
    return ::open(strRoot.c_str(), kFolderFlags);
}

// The first part of a folder's path that exists and is not a folder ("path not found"
// alone would not say what is in the way); empty when there is none.
std::string FileInTheWay(const std::string& strFolder) {
    for (std::size_t i = 1; i <= strFolder.size(); ++i) {
        if (i != strFolder.size() && strFolder[i] != '/') {
            continue;
        }
        const std::string strPart = strFolder.substr(0, i);
        struct stat st {};
        if (::stat(strPart.c_str(), &st) != 0) {
            return {};
        }
        if (!S_ISDIR(st.st_mode)) {
            return strPart;
        }
    }
    return {};
}

// The folder that holds the last component, folders created when `bCreate`.
int OpenParent(int rootfd, const std::vector<std::string>& parts, bool bCreate,
               mode_t nFolderMode) {
    if (parts.size() == 1) {
        return ::fcntl(rootfd, F_DUPFD_CLOEXEC, 0);
    }
    if (g_bOpenat2.load(std::memory_order_relaxed)) {
        std::string strFolders;
        for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
            strFolders += (i == 0 ? "" : "/") + parts[i];
        }
        const int fd = Openat2(rootfd, strFolders.c_str(), kFolderFlags, 0);
        if (fd >= 0) {
            return fd;
        }
        if (errno == ENOSYS) {
            g_bOpenat2 = false;
        } else if (errno != ENOENT || !bCreate) {
            return -1;
        }
    }
    CFd current(::fcntl(rootfd, F_DUPFD_CLOEXEC, 0));
    for (std::size_t i = 0; current.Get() >= 0 && i + 1 < parts.size(); ++i) {
        const char* pszName = parts[i].c_str();
        int fd = OpenNoLinks(current.Get(), pszName, kFolderFlags, 0);
        if (fd < 0 && errno == ENOENT && bCreate) {
            if (::mkdirat(current.Get(), pszName, nFolderMode) != 0 && errno != EEXIST) {
                return -1;
            }
            fd = OpenNoLinks(current.Get(), pszName, kFolderFlags, 0);
        }
        if (fd < 0) {
            return -1;
        }
        current.Reset(fd);
    }
    return current.Release();
}

}  // namespace

CBeneathOpen OpenBeneath(const std::string& strRoot, const std::string& strRelative,
                         unsigned nFileMode, unsigned nFolderMode) {
    std::vector<std::string> parts;
    if (!Components(strRelative, parts)) {
        return Failure(EXDEV);
    }
    const CFd root(OpenRoot(strRoot, nFolderMode));
    if (root.Get() < 0) {
        CBeneathOpen result = Failure(errno);
        result.strWhy = "the data folder \"" + strRoot + "\" cannot be used: " + result.strWhy;
        if (const std::string strPart = FileInTheWay(strRoot); !strPart.empty()) {
            result.strWhy += " '" + strPart + "' is a file, not a folder.";
        }
        return result;
    }
    const CFd parent(OpenParent(root.Get(), parts, true, nFolderMode));
    if (parent.Get() < 0) {
        return Failure(errno);
    }
    if (const BeneathOpenHook hook = g_hook.load()) {
        hook();
    }
    CFd file(OpenNoLinks(parent.Get(), parts.back().c_str(), kFileFlags, nFileMode));
    if (file.Get() < 0) {
        return Failure(errno);
    }
    struct stat st {};
    if (::fstat(file.Get(), &st) != 0) {
        return Failure(errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return Failure(S_ISDIR(st.st_mode) ? EISDIR : ENXIO);
    }
    // One writer per file: a second session saving the same name at the same time is
    // refused instead of mixing its bytes in.
    if (::flock(file.Get(), LOCK_EX | LOCK_NB) != 0) {
        return Failure(errno);
    }
    if (::ftruncate(file.Get(), 0) != 0) {
        return Failure(errno);
    }
    const int flags = ::fcntl(file.Get(), F_GETFL);
    if (flags >= 0) {
        ::fcntl(file.Get(), F_SETFL, flags & ~O_NONBLOCK);
    }
    CBeneathOpen result;
    result.fd = file.Release();
    return result;
}

bool RenameBeneath(const std::string& strRoot, const std::string& strFrom,
                   const std::string& strTo) {
    std::vector<std::string> from;
    std::vector<std::string> to;
    if (!Components(strFrom, from) || !Components(strTo, to) || from.size() != to.size() ||
        !std::equal(from.begin(), from.end() - 1, to.begin())) {
        return false;
    }
    const CFd root(::open(strRoot.c_str(), kFolderFlags));
    if (root.Get() < 0) {
        return false;
    }
    const CFd parent(OpenParent(root.Get(), from, false, 0));
    return parent.Get() >= 0 &&
           ::renameat(parent.Get(), from.back().c_str(), parent.Get(), to.back().c_str()) == 0;
}

void SetBeneathOpenHook(BeneathOpenHook hook) {
    g_hook = hook;
}

void UseOpenat2(bool bUse) {
    g_bOpenat2 = bUse;
}

}  // namespace win
