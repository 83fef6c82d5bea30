#include "platform/RegistryStore.h"

#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "platform/FaultInjection.h"
#include "platform/ShellFolders.h"
#include "platform/SystemText.h"
#include "platform/TextConv.h"
#include "platform/WinError.h"
#include "support/Trace.h"

namespace win {

namespace {

// Marks the file as this program's registry ("Tapv"); the version of its tables.
constexpr int kApplicationId = 0x54617076;
constexpr int kSchemaVersion = 1;

// How long one statement waits for another connection's lock, and how often an operation
// that still finds the store busy is tried again.
constexpr int kBusyTimeoutMs = 5000;
constexpr int kBusyAttempts = 5;

constexpr const char* kStoreFolder = "/Velmor/Tapvane";
constexpr const char* kStoreFile = "/registry.db";

// Keys form a tree by `parent`; `path` is the upper-cased path from the root (the root's is
// empty), so a key of any depth is found with one look-up. Values belong to a key and are
// found by their upper-cased name. Text is UTF-8; value data is stored as given.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    " id INTEGER PRIMARY KEY,"
    " parent INTEGER NOT NULL,"
    " name TEXT NOT NULL,"
    " fold TEXT NOT NULL,"
    " path TEXT NOT NULL UNIQUE,"
    " written INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS keys_by_parent ON keys(parent, fold);"
    "CREATE TABLE IF NOT EXISTS vals("
    " key INTEGER NOT NULL,"
    " fold TEXT NOT NULL,"
    " name TEXT NOT NULL,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " PRIMARY KEY(key, fold)) WITHOUT ROWID;";

constexpr const char* kStatementSql[] = {
    "SELECT id FROM keys WHERE path = ?1",
    "SELECT 1 FROM keys WHERE id = ?1",
    "INSERT INTO keys(parent, name, fold, path, written) VALUES(?1, ?2, ?3, ?4, ?5)",
    "UPDATE keys SET written = ?2 WHERE id = ?1",
    "SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2",
    "INSERT INTO vals(key, fold, name, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
    "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data",
    "DELETE FROM vals WHERE key = ?1 AND fold = ?2",
    "SELECT name, written FROM keys WHERE parent = ?1 ORDER BY fold LIMIT 1 OFFSET ?2",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    "PRAGMA data_version",
};

std::atomic<unsigned> g_nGeneration{0};
std::atomic<bool> g_bForceReadOnly{false};

// The connections of the process. Opening one (the file, its schema, the prepared
// statements) costs far more than a whole read, so they are kept and lent to one call at a
// time; at most kMaxConnections exist, so that sessions on many threads hold no descriptors
// of the store. Never destroyed, so that threads ending late find it.
struct CStorePool {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::unique_ptr<CRegistryStore>> idle;  // guarded by mutex
    std::size_t nOpen = 0;                              // lent and idle; guarded by mutex
};

CStorePool& StorePool() {
    static auto* s_pPool = new CStorePool;
    return *s_pPool;
}

// What was read from the store, for one store file and generation. Entries stay while no
// other connection or process commits to the file (its data version tells), and a write
// through this process drops the value it wrote. Keys are never removed, so a key found
// stays found.
struct CReadCache {
    std::mutex mutex;
    std::string strPath;
    unsigned nGeneration = 0;
    std::map<std::string, std::int64_t, std::less<>> keys;
    std::map<std::pair<std::int64_t, std::string>, std::optional<std::pair<DWORD, std::string>>>
        values;  // a missing value is kept as empty
    // (key, index) -> the subkey's name and last write time; past the last one, empty.
    std::map<std::pair<std::int64_t, DWORD>, std::optional<std::pair<std::string, std::uint64_t>>>
        subkeys;
    std::uint64_t nEpoch = 0;  // counts the times entries were dropped

    void Clear() {
        keys.clear();
        values.clear();
        subkeys.clear();
        ++nEpoch;
    }
};

CReadCache& ReadCache() {
    static auto* s_pCache = new CReadCache;
    return *s_pCache;
}

// Around a fork: no other thread may hold the pool's or the cache's lock in the child.
void LockStoreForFork() {
    StorePool().mutex.lock();
    ReadCache().mutex.lock();
}

void UnlockStoreAfterFork() {
    ReadCache().mutex.unlock();
    StorePool().mutex.unlock();
}

// In a child made by fork the parent's connections must not be used, not even closed:
// they are set aside, and the child opens its own.
void AbandonStoreAfterFork() {
    static std::vector<CRegistryStore*> s_abandoned;
    CStorePool& pool = StorePool();
    for (auto& p : pool.idle) {
        s_abandoned.push_back(p.release());
    }
    pool.idle.clear();
    pool.nOpen = 0;  // connections lent to the parent's other threads are not the child's
    ReadCache().Clear();
    UnlockStoreAfterFork();
}

// FILETIME value of the current time: 100-nanosecond steps since 1601.
std::int64_t NowAsFileTime() {
    using namespace std::chrono;
    const auto n = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return n / 100 + 116444736000000000LL;
}

std::string StorePath(const char* pszXdg, const char* pszHome) {
    std::string strBase;
    if (pszXdg != nullptr && pszXdg[0] == '/') {
        strBase = pszXdg;  // a relative value is not valid and is ignored
    } else {
        strBase = HomeFolder(pszHome);
        if (strBase.empty()) {
            return {};
        }
        strBase += "/.config";
    }
    while (strBase.size() > 1 && strBase.back() == '/') {
        strBase.pop_back();
    }
    return strBase + kStoreFolder + kStoreFile;
}

// Makes every folder of `strFolder`. 0, or the errno of the folder that could not be made.
int MakeFolders(const std::string& strFolder) {
    for (std::size_t i = 1; i <= strFolder.size(); ++i) {
        if ((i < strFolder.size() && strFolder[i] != '/') || strFolder[i - 1] == '/') {
            continue;
        }
        const std::string strPart = strFolder.substr(0, i);
        if (::mkdir(strPart.c_str(), 0700) == 0) {
            continue;
        }
        const int nErrno = errno;
        struct stat st {};
        if (::stat(strPart.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode)) {
                continue;
            }
            return ENOTDIR;
        }
        return nErrno;
    }
    return 0;
}

bool IsAccessErrno(int nErrno) {
    return nErrno == EACCES || nErrno == EPERM || nErrno == EROFS;
}

// `strPath` as the path part of a "file:" URI.
std::string UriPath(const std::string& strPath) {
    std::string out;
    for (const char c : strPath) {
        const auto b = static_cast<unsigned char>(c);
        if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
            b == '/' || b == '-' || b == '.' || b == '_' || b == '~') {
            out.push_back(c);
        } else {
            char sz[4];
            std::snprintf(sz, sizeof sz, "%%%02X", b);
            out += sz;
        }
    }
    return out;
}

// Traces a problem of the store file once per file, code and process: every thread and
// every call meets it again, and the trace names the file for the user.
void ReportOnce(const std::string& strPath, DWORD dwCode, const std::wstring& strText) {
    static std::mutex s_mutex;
    static std::set<std::pair<std::string, DWORD>> s_reported;
    {
        std::lock_guard lock(s_mutex);
        if (!s_reported.emplace(strPath, dwCode).second) {
            return;
        }
    }
    Trace(L"%s", strText);
}

template <class F>
DWORD RetryWhileBusy(F attempt) {
    DWORD dw = attempt();
    for (int i = 1; dw == ERROR_BUSY && i < kBusyAttempts; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(i));
        dw = attempt();
    }
    return dw;
}

}  // namespace

// A cached statement in use: reset, and its bindings cleared, when the use ends, so that no
// read transaction stays open between calls.
class CRegistryStore::CUse {
public:
    explicit CUse(sqlite3_stmt* p) : m_p(p) {}
    ~CUse() {
        sqlite3_reset(m_p);
        sqlite3_clear_bindings(m_p);
    }
    CUse(const CUse&) = delete;
    CUse& operator=(const CUse&) = delete;

private:
    sqlite3_stmt* m_p;
};

bool CRegistryStore::CEnvironment::Matches(const char* pszXdg, const char* pszHome) const {
    return (pszXdg != nullptr) == bHasXdg && (pszHome != nullptr) == bHasHome &&
           (pszXdg == nullptr || strXdg == pszXdg) && (pszHome == nullptr || strHome == pszHome);
}

CStoreLease::CStoreLease(std::unique_ptr<CRegistryStore> p) : m_p(std::move(p)) {}

CStoreLease& CStoreLease::operator=(CStoreLease&& other) noexcept {
    if (this != &other) {
        CStoreLease old(std::move(*this));
        m_p = std::move(other.m_p);
    }
    return *this;
}

CStoreLease::~CStoreLease() {
    if (!m_p) {
        return;
    }
    const char* pszXdg = std::getenv("XDG_CONFIG_HOME");
    const char* pszHome = std::getenv("HOME");
    const unsigned nGeneration = g_nGeneration.load(std::memory_order_acquire);
    std::unique_ptr<CRegistryStore> pClose;
    CStorePool& pool = StorePool();
    {
        std::lock_guard lock(pool.mutex);
        if (m_p->Matches(nGeneration, pszXdg, pszHome)) {
            pool.idle.push_back(std::move(m_p));
        } else {
            pClose = std::move(m_p);  // of an old generation or environment: closed
            --pool.nOpen;
        }
    }
    pool.cv.notify_one();
}

CStoreLease CRegistryStore::Lease(DWORD& dwError) {
    static const bool s_bAtFork = [] {
        pthread_atfork(&LockStoreForFork, &UnlockStoreAfterFork, &AbandonStoreAfterFork);
        return true;
    }();
    (void)s_bAtFork;

    const char* pszXdg = std::getenv("XDG_CONFIG_HOME");
    const char* pszHome = std::getenv("HOME");
    const unsigned nGeneration = g_nGeneration.load(std::memory_order_acquire);
    std::vector<std::unique_ptr<CRegistryStore>> stale;  // closed outside the lock
    CStorePool& pool = StorePool();
    {
        std::unique_lock lock(pool.mutex);
        for (;;) {
            while (!pool.idle.empty()) {
                std::unique_ptr<CRegistryStore> p = std::move(pool.idle.back());
                pool.idle.pop_back();
                if (p->Matches(nGeneration, pszXdg, pszHome)) {
                    lock.unlock();
                    return CStoreLease(std::move(p));
                }
                stale.push_back(std::move(p));
                --pool.nOpen;
            }
            if (pool.nOpen < kMaxConnections) {
                ++pool.nOpen;  // this caller opens one
                break;
            }
            pool.cv.wait(lock);
        }
    }
    stale.clear();

    auto giveUp = [&pool] {
        {
            std::lock_guard lock(pool.mutex);
            --pool.nOpen;
        }
        pool.cv.notify_one();
    };
    CEnvironment env;
    env.bHasXdg = pszXdg != nullptr;
    env.bHasHome = pszHome != nullptr;
    env.strXdg = pszXdg != nullptr ? pszXdg : "";
    env.strHome = pszHome != nullptr ? pszHome : "";
    std::string strPath = StorePath(pszXdg, pszHome);
    if (strPath.empty()) {
        giveUp();
        dwError = ERROR_PATH_NOT_FOUND;
        return {};
    }
    std::unique_ptr<CRegistryStore> pNew(new CRegistryStore(std::move(strPath), env, nGeneration));
    dwError = pNew->Open(g_bForceReadOnly.load(std::memory_order_acquire));
    if (dwError != ERROR_SUCCESS) {
        if (dwError != ERROR_BUSY) {
            std::wstring strText = GetSystemMessage(dwError);
            ReportOnce(pNew->m_strPath, dwError,
                       FormatW(L"The registry store \"%S\" cannot be opened: %ld %s",
                               pNew->m_strPath, static_cast<LONG>(dwError), strText));
        }
        pNew.reset();
        giveUp();
        return {};
    }
    return CStoreLease(std::move(pNew));
}

std::size_t CRegistryStore::OpenConnections() {
    CStorePool& pool = StorePool();
    std::lock_guard lock(pool.mutex);
    return pool.nOpen;
}

bool CRegistryStore::Matches(unsigned nGeneration, const char* pszXdg, const char* pszHome) const {
    return m_nGeneration == nGeneration && m_env.Matches(pszXdg, pszHome);
}

std::string CRegistryStore::PathFromEnvironment() {
    return StorePath(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
}

void CRegistryStore::ResetConnections(bool bForceReadOnly) {
    g_bForceReadOnly.store(bForceReadOnly, std::memory_order_release);
    g_nGeneration.fetch_add(1, std::memory_order_acq_rel);
    std::vector<std::unique_ptr<CRegistryStore>> idle;
    {
        // Lent connections are closed when they come back (their generation is old).
        CStorePool& pool = StorePool();
        std::lock_guard lock(pool.mutex);
        pool.nOpen -= pool.idle.size();
        idle.swap(pool.idle);
    }
    idle.clear();
    CReadCache& cache = ReadCache();
    std::lock_guard lock(cache.mutex);
    cache.Clear();
}

CRegistryStore::CRegistryStore(std::string strPath, CEnvironment env, unsigned nGeneration)
    : m_strPath(std::move(strPath)), m_env(std::move(env)), m_nGeneration(nGeneration) {}

CRegistryStore::~CRegistryStore() {
    Close();
}

DWORD CRegistryStore::Open(bool bForceReadOnly) {
    const std::string strFolder = m_strPath.substr(0, m_strPath.rfind('/'));
    const int nFolderErrno = MakeFolders(strFolder);
    if (nFolderErrno != 0 && !IsAccessErrno(nFolderErrno)) {
        return Win32ErrorFromErrno(nFolderErrno);
    }
    struct stat st {};
    const bool bExists = ::stat(m_strPath.c_str(), &st) == 0;
    const bool bWritable = !bForceReadOnly && nFolderErrno == 0 &&
                           ::access(strFolder.c_str(), W_OK) == 0 &&
                           (!bExists || ::access(m_strPath.c_str(), W_OK) == 0);
    m_bReadOnly = !bWritable;
    if (!bExists && m_bReadOnly) {
        // Nothing stored and nothing can be: a registry that holds only its root.
        m_bEmpty = true;
        return ERROR_SUCCESS;
    }

    if (!bExists && !m_bReadOnly) {
        // Create the file first: when that is refused, SQLite tries to open it read-only
        // and reports only that it does not exist, which hides the reason (access denied,
        // out of descriptors). An empty file is an empty database to SQLite.
        const int nFault = TakeFault(FaultCall::OpenFile);
        const int fd = nFault != 0
                           ? -1
                           : ::open(m_strPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        const int nErrno = nFault != 0 ? nFault : errno;
        if (fd < 0 && nErrno != EEXIST) {
            return Win32ErrorFromErrno(nErrno);
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }

    bool bEmpty = false;
    DWORD dw = OpenFile(m_bReadOnly, false);
    if (dw == ERROR_SUCCESS) {
        dw = CheckSchema(bEmpty);
    }
    if (dw != ERROR_SUCCESS && dw != ERROR_BADDB && m_bReadOnly) {
        // A folder that cannot be written lacks the journal files a reader needs: read
        // the file as it stands (nobody can change it meanwhile).
        Close();
        dw = OpenFile(true, true);
        if (dw == ERROR_SUCCESS) {
            dw = CheckSchema(bEmpty);
        }
    }
    if (dw == ERROR_SUCCESS && !m_bReadOnly) {
        dw = PrepareForWriting();
        if (dw == ERROR_SUCCESS && bEmpty) {
            dw = CreateSchema();
        }
    } else if (dw == ERROR_SUCCESS && bEmpty) {
        m_bEmpty = true;
        Close();
    }
    if (dw != ERROR_SUCCESS) {
        Close();
    }
    return dw;
}

DWORD CRegistryStore::OpenFile(bool bReadOnly, bool bImmutable) {
    int nFlags = SQLITE_OPEN_NOMUTEX;
    nFlags |= bReadOnly ? SQLITE_OPEN_READONLY : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    std::string strName = m_strPath;
    if (bImmutable) {
        nFlags |= SQLITE_OPEN_URI;
        strName = "file:" + UriPath(m_strPath) + "?immutable=1";
    }
    const int rc = sqlite3_open_v2(strName.c_str(), &m_pDb, nFlags, nullptr);
    if (rc != SQLITE_OK) {
        const DWORD dw = Fail(rc);
        Close();
        return dw;
    }
    sqlite3_extended_result_codes(m_pDb, 1);
    sqlite3_busy_timeout(m_pDb, kBusyTimeoutMs);
    return ERROR_SUCCESS;
}

DWORD CRegistryStore::CheckSchema(bool& bEmpty) {
    return RetryWhileBusy([&]() -> DWORD {
        sqlite3_stmt* p = nullptr;
        int rc = sqlite3_prepare_v2(m_pDb,
                                    "SELECT (SELECT count(*) FROM sqlite_master),"
                                    " (SELECT application_id FROM pragma_application_id),"
                                    " (SELECT user_version FROM pragma_user_version)",
                                    -1, &p, nullptr);
        sqlite3_int64 nObjects = 0;
        int nApplicationId = 0;
        int nVersion = 0;
        if (rc == SQLITE_OK) {
            rc = sqlite3_step(p);
            if (rc == SQLITE_ROW) {
                nObjects = sqlite3_column_int64(p, 0);
                nApplicationId = sqlite3_column_int(p, 1);
                nVersion = sqlite3_column_int(p, 2);
                rc = SQLITE_OK;
            }
        }
        sqlite3_finalize(p);
        if (rc != SQLITE_OK) {
            return Fail(rc);
        }
        bEmpty = nObjects == 0 && nVersion == 0;
        if (!bEmpty && (nApplicationId != kApplicationId || nVersion != kSchemaVersion)) {
            ReportOnce(m_strPath, ERROR_BADDB,
                       FormatW(L"The registry store \"%S\" is damaged or not a registry of this "
                               L"program version; it is left as it is.",
                               m_strPath));
            return ERROR_BADDB;
        }
        return ERROR_SUCCESS;
    });
}

DWORD CRegistryStore::PrepareForWriting() {
    // The journal mode stays with the file; switching it waits for other connections.
    DWORD dw = RetryWhileBusy([&]() -> DWORD {
        bool bWal = false;
        sqlite3_stmt* p = nullptr;
        int rc = sqlite3_prepare_v2(m_pDb, "PRAGMA journal_mode=WAL", -1, &p, nullptr);
        if (rc == SQLITE_OK) {
            rc = sqlite3_step(p);
            if (rc == SQLITE_ROW) {
                const auto* psz = reinterpret_cast<const char*>(sqlite3_column_text(p, 0));
                bWal = psz != nullptr && std::strcmp(psz, "wal") == 0;
                rc = SQLITE_OK;
            }
        }
        sqlite3_finalize(p);
        if (rc != SQLITE_OK) {
            return Fail(rc);
        }
        return bWal ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
    });
    if (dw != ERROR_SUCCESS) {
        return dw;
    }
    // Commits survive the end of the process at once; a power loss may take the last ones
    // back but never leaves the file damaged.
    const int rc = sqlite3_exec(m_pDb, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? ERROR_SUCCESS : Fail(rc);
}

DWORD CRegistryStore::CreateSchema() {
    // Another thread or process may be making the tables at the same moment: look again
    // inside the transaction.
    return WriteTransaction([&]() -> DWORD {
        bool bEmpty = false;
        DWORD dwCheck = CheckSchema(bEmpty);
        if (dwCheck != ERROR_SUCCESS || !bEmpty) {
            return dwCheck;
        }
        const std::string strSql =
            std::string(kSchema) +
            "INSERT OR IGNORE INTO keys(id, parent, name, fold, path, written) VALUES(" +
            std::to_string(kRootKeyId) + ", 0, '', '', '', " + std::to_string(NowAsFileTime()) +
            ");PRAGMA application_id=" + std::to_string(kApplicationId) +
            ";PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";";
        const int rcCreate = sqlite3_exec(m_pDb, strSql.c_str(), nullptr, nullptr, nullptr);
        return rcCreate == SQLITE_OK ? ERROR_SUCCESS : Fail(rcCreate);
    });
}

void CRegistryStore::Close() {
    for (sqlite3_stmt*& p : m_statements) {
        sqlite3_finalize(p);
        p = nullptr;
    }
    if (m_pDb != nullptr) {
        sqlite3_close_v2(m_pDb);
        m_pDb = nullptr;
    }
}

sqlite3_stmt* CRegistryStore::Statement(EStatement e) {
    sqlite3_stmt*& p = m_statements[e];
    if (p == nullptr) {
        sqlite3_prepare_v3(m_pDb, kStatementSql[e], -1, SQLITE_PREPARE_PERSISTENT, &p, nullptr);
    }
    return p;
}

DWORD CRegistryStore::Fail(int rc) {
    switch (rc & 0xFF) {
        case SQLITE_OK:
            return ERROR_SUCCESS;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return ERROR_BUSY;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return ERROR_ACCESS_DENIED;
        case SQLITE_NOMEM:
            return ERROR_OUTOFMEMORY;
        case SQLITE_FULL:
            return ERROR_DISK_FULL;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_FORMAT:
        case SQLITE_ERROR: {
            // SQLITE_ERROR here means tables that are not as this program made them.
            const char* pszWhy = m_pDb != nullptr ? sqlite3_errmsg(m_pDb) : sqlite3_errstr(rc);
            ReportOnce(m_strPath, ERROR_BADDB,
                       FormatW(L"The registry store \"%S\" is damaged (%S); it is "
                               L"left as it is.",
                               m_strPath, pszWhy));
            return ERROR_BADDB;
        }
        case SQLITE_CANTOPEN:
        case SQLITE_IOERR: {
            const int nErrno = m_pDb != nullptr ? sqlite3_system_errno(m_pDb) : 0;
            if (IsAccessErrno(nErrno)) {
                return ERROR_ACCESS_DENIED;
            }
            if (nErrno == ENOSPC || nErrno == EDQUOT) {
                return ERROR_DISK_FULL;
            }
            if ((rc & 0xFF) == SQLITE_CANTOPEN && nErrno != 0) {
                return Win32ErrorFromErrno(nErrno);
            }
            return ERROR_REGISTRY_IO_FAILED;
        }
        default:
            return ERROR_REGISTRY_IO_FAILED;
    }
}

template <class F>
DWORD CRegistryStore::WriteTransaction(F body) {
    if (m_bReadOnly) {
        return ERROR_ACCESS_DENIED;
    }
    return RetryWhileBusy([&]() -> DWORD {
        auto step = [this](EStatement e) -> DWORD {
            sqlite3_stmt* p = Statement(e);
            if (p == nullptr) {
                return Fail(sqlite3_errcode(m_pDb));
            }
            CUse use(p);
            const int rc = sqlite3_step(p);
            return rc == SQLITE_DONE ? ERROR_SUCCESS : Fail(rc);
        };
        DWORD dw = step(kBegin);
        if (dw != ERROR_SUCCESS) {
            return dw;
        }
        dw = body();
        if (dw == ERROR_SUCCESS) {
            dw = step(kCommit);
        }
        if (dw != ERROR_SUCCESS && sqlite3_get_autocommit(m_pDb) == 0) {
            step(kRollback);
        }
        return dw;
    });
}

template <class B, class R>
int CRegistryStore::Run(EStatement e, B bind, R onRow) {
    sqlite3_stmt* p = Statement(e);
    if (p == nullptr) {
        return sqlite3_errcode(m_pDb);
    }
    CUse use(p);
    bind(p);
    const int rc = sqlite3_step(p);
    if (rc == SQLITE_ROW) {
        onRow(p);
    }
    return rc;
}

DWORD CRegistryStore::CheckKey(std::int64_t nKeyId) {
    const int rc = Run(
        kKeyExists, [&](sqlite3_stmt* p) { sqlite3_bind_int64(p, 1, nKeyId); },
        [](sqlite3_stmt*) {});
    if (rc == SQLITE_ROW) {
        return ERROR_SUCCESS;
    }
    return rc == SQLITE_DONE ? ERROR_KEY_DELETED : Fail(rc);
}

DWORD CRegistryStore::TouchKey(std::int64_t nKeyId, std::int64_t nNow) {
    const int rc = Run(
        kTouchKey,
        [&](sqlite3_stmt* p) {
            sqlite3_bind_int64(p, 1, nKeyId);
            sqlite3_bind_int64(p, 2, nNow);
        },
        [](sqlite3_stmt*) {});
    return rc == SQLITE_DONE ? ERROR_SUCCESS : Fail(rc);
}

DWORD CRegistryStore::FindKeyOnce(const std::string& strFoldedPath, std::int64_t& nId) {
    const int rc = Run(
        kFindKey,
        [&](sqlite3_stmt* p) {
            sqlite3_bind_text(p, 1, strFoldedPath.data(), static_cast<int>(strFoldedPath.size()),
                              SQLITE_STATIC);
        },
        [&](sqlite3_stmt* p) { nId = sqlite3_column_int64(p, 0); });
    if (rc == SQLITE_ROW) {
        return ERROR_SUCCESS;
    }
    return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : Fail(rc);
}

DWORD CRegistryStore::FindKey(const std::string& strFoldedPath, std::int64_t& nId) {
    if (m_bEmpty) {
        if (!strFoldedPath.empty()) {
            return ERROR_FILE_NOT_FOUND;
        }
        nId = kRootKeyId;
        return ERROR_SUCCESS;
    }
    CReadCache& cache = ReadCache();
    std::unique_lock lock(cache.mutex);
    const bool bCacheUsable = NothingWrittenSinceLastLook();
    if (bCacheUsable) {
        if (auto it = cache.keys.find(strFoldedPath); it != cache.keys.end()) {
            nId = it->second;
            return ERROR_SUCCESS;
        }
    }
    const std::uint64_t nEpoch = cache.nEpoch;
    lock.unlock();
    const DWORD dw = RetryWhileBusy([&] { return FindKeyOnce(strFoldedPath, nId); });
    lock.lock();
    if (dw == ERROR_SUCCESS && bCacheUsable && cache.nEpoch == nEpoch) {
        cache.keys.emplace(strFoldedPath, nId);
    }
    return dw;
}

bool CRegistryStore::NothingWrittenSinceLastLook() {
    CReadCache& cache = ReadCache();
    if (cache.strPath != m_strPath || cache.nGeneration != m_nGeneration) {
        cache.Clear();
        cache.strPath = m_strPath;
        cache.nGeneration = m_nGeneration;
    }
    std::int64_t nVersion = -1;
    const int rc = Run(
        kDataVersion, [](sqlite3_stmt*) {},
        [&](sqlite3_stmt* p) { nVersion = sqlite3_column_int64(p, 0); });
    if (rc != SQLITE_ROW) {
        cache.Clear();
        m_nDataVersion = -1;
        return false;
    }
    if (nVersion != m_nDataVersion) {
        // Another connection or process committed since this one looked last (or this one
        // never looked): anything read before may be out of date.
        cache.Clear();
        m_nDataVersion = nVersion;
    }
    return true;
}

void CRegistryStore::ForgetValue(std::int64_t nKeyId, const std::string& strFold) {
    CReadCache& cache = ReadCache();
    std::lock_guard lock(cache.mutex);
    cache.values.erase({nKeyId, strFold});
    cache.subkeys.clear();  // the key's last write time changed
    ++cache.nEpoch;         // a read that began before the write must not store what it saw
}

DWORD CRegistryStore::CreateKey(std::int64_t nBaseId, const std::string& strBasePath,
                                const std::vector<CKeyPart>& parts, std::int64_t& nId,
                                bool& bCreated) {
    const DWORD dwResult = WriteTransaction([&]() -> DWORD {
        const std::int64_t nNow = NowAsFileTime();
        DWORD dw = CheckKey(nBaseId);
        if (dw != ERROR_SUCCESS) {
            return dw;
        }
        bCreated = false;
        std::int64_t nParent = nBaseId;
        std::string strPath = strBasePath;
        for (const CKeyPart& part : parts) {
            if (!strPath.empty()) {
                strPath += '\\';
            }
            strPath += part.strFold;
            std::int64_t nFound = 0;
            dw = FindKeyOnce(strPath, nFound);
            if (dw == ERROR_SUCCESS) {
                nParent = nFound;
                bCreated = false;
                continue;
            }
            if (dw != ERROR_FILE_NOT_FOUND) {
                return dw;
            }
            const int rc = Run(
                kInsertKey,
                [&](sqlite3_stmt* p) {
                    sqlite3_bind_int64(p, 1, nParent);
                    sqlite3_bind_text(p, 2, part.strName.data(),
                                      static_cast<int>(part.strName.size()), SQLITE_STATIC);
                    sqlite3_bind_text(p, 3, part.strFold.data(),
                                      static_cast<int>(part.strFold.size()), SQLITE_STATIC);
                    sqlite3_bind_text(p, 4, strPath.data(), static_cast<int>(strPath.size()),
                                      SQLITE_STATIC);
                    sqlite3_bind_int64(p, 5, nNow);
                },
                [](sqlite3_stmt*) {});
            if (rc != SQLITE_DONE) {
                return Fail(rc);
            }
            const std::int64_t nNew = sqlite3_last_insert_rowid(m_pDb);
            dw = TouchKey(nParent, nNow);
            if (dw != ERROR_SUCCESS) {
                return dw;
            }
            nParent = nNew;
            bCreated = true;
        }
        nId = nParent;
        return ERROR_SUCCESS;
    });
    ForgetValue(0, {});  // the new keys change the lists of subkeys
    return dwResult;
}

DWORD CRegistryStore::ReadValue(std::int64_t nKeyId, const std::string& strFold,
                                std::optional<CValue>& value) {
    return RetryWhileBusy([&]() -> DWORD {
        value.reset();
        const int rc = Run(
            kQueryValue,
            [&](sqlite3_stmt* p) {
                sqlite3_bind_int64(p, 1, nKeyId);
                sqlite3_bind_text(p, 2, strFold.data(), static_cast<int>(strFold.size()),
                                  SQLITE_STATIC);
            },
            [&](sqlite3_stmt* p) {
                const auto* pBlob = static_cast<const char*>(sqlite3_column_blob(p, 1));
                const auto cb = static_cast<std::size_t>(sqlite3_column_bytes(p, 1));
                value = CValue{static_cast<DWORD>(sqlite3_column_int64(p, 0)),
                               std::string(pBlob != nullptr ? pBlob : "", cb)};
            });
        if (rc == SQLITE_ROW) {
            return ERROR_SUCCESS;
        }
        return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : Fail(rc);
    });
}

DWORD CRegistryStore::QueryValue(std::int64_t nKeyId, const std::string& strFold, DWORD* pdwType,
                                 BYTE* pData, DWORD* pcbData) {
    if (m_bEmpty) {
        return ERROR_FILE_NOT_FOUND;
    }
    std::optional<CValue> value;
    DWORD dw = ERROR_SUCCESS;
    {
        CReadCache& cache = ReadCache();
        std::unique_lock lock(cache.mutex);
        const bool bCacheUsable = NothingWrittenSinceLastLook();
        const auto key = std::make_pair(nKeyId, strFold);
        auto it = bCacheUsable ? cache.values.find(key) : cache.values.end();
        if (it != cache.values.end()) {
            if (!it->second) {
                return ERROR_FILE_NOT_FOUND;
            }
            value = CValue{it->second->first, it->second->second};
        } else {
            const std::uint64_t nEpoch = cache.nEpoch;
            lock.unlock();
            dw = ReadValue(nKeyId, strFold, value);
            lock.lock();
            if ((dw == ERROR_SUCCESS || dw == ERROR_FILE_NOT_FOUND) && bCacheUsable &&
                cache.nEpoch == nEpoch) {
                cache.values[key] = value
                                        ? std::optional(std::make_pair(value->dwType, value->data))
                                        : std::nullopt;
            }
        }
    }
    if (dw != ERROR_SUCCESS) {
        return dw;
    }
    // RegQueryValueExW's buffer rules: the size is always told, the data only when it fits.
    const auto cb = static_cast<DWORD>(value->data.size());
    if (pdwType != nullptr) {
        *pdwType = value->dwType;
    }
    DWORD dwResult = ERROR_SUCCESS;
    if (pData != nullptr && *pcbData < cb) {
        dwResult = ERROR_MORE_DATA;
    } else if (pData != nullptr && cb != 0) {
        std::memcpy(pData, value->data.data(), cb);
    }
    if (pcbData != nullptr) {
        *pcbData = cb;
    }
    return dwResult;
}

DWORD CRegistryStore::SetValue(std::int64_t nKeyId, const CKeyPart& name, DWORD dwType,
                               const BYTE* pData, DWORD cbData) {
    const DWORD dw = WriteTransaction([&]() -> DWORD {
        DWORD dw = CheckKey(nKeyId);
        if (dw != ERROR_SUCCESS) {
            return dw;
        }
        const int rc = Run(
            kSetValue,
            [&](sqlite3_stmt* p) {
                sqlite3_bind_int64(p, 1, nKeyId);
                sqlite3_bind_text(p, 2, name.strFold.data(), static_cast<int>(name.strFold.size()),
                                  SQLITE_STATIC);
                sqlite3_bind_text(p, 3, name.strName.data(), static_cast<int>(name.strName.size()),
                                  SQLITE_STATIC);
                sqlite3_bind_int64(p, 4, dwType);
                if (cbData == 0) {
                    sqlite3_bind_zeroblob(p, 5, 0);  // a null pointer would bind NULL
                } else {
                    sqlite3_bind_blob(p, 5, pData, static_cast<int>(cbData), SQLITE_STATIC);
                }
            },
            [](sqlite3_stmt*) {});
        if (rc != SQLITE_DONE) {
            return Fail(rc);
        }
        return TouchKey(nKeyId, NowAsFileTime());
    });
    ForgetValue(nKeyId, name.strFold);  // also after a failure: the file may hold either
    return dw;
}

DWORD CRegistryStore::DeleteValue(std::int64_t nKeyId, const std::string& strFold) {
    const DWORD dw = WriteTransaction([&]() -> DWORD {
        const int rc = Run(
            kDeleteValue,
            [&](sqlite3_stmt* p) {
                sqlite3_bind_int64(p, 1, nKeyId);
                sqlite3_bind_text(p, 2, strFold.data(), static_cast<int>(strFold.size()),
                                  SQLITE_STATIC);
            },
            [](sqlite3_stmt*) {});
        if (rc != SQLITE_DONE) {
            return Fail(rc);
        }
        if (sqlite3_changes(m_pDb) == 0) {
            return ERROR_FILE_NOT_FOUND;
        }
        return TouchKey(nKeyId, NowAsFileTime());
    });
    ForgetValue(nKeyId, strFold);
    return dw;
}

DWORD CRegistryStore::EnumSubKey(std::int64_t nKeyId, DWORD dwIndex, std::string& strName,
                                 std::uint64_t& nWritten) {
    if (m_bEmpty) {
        return ERROR_NO_MORE_ITEMS;
    }
    CReadCache& cache = ReadCache();
    std::unique_lock lock(cache.mutex);
    const bool bCacheUsable = NothingWrittenSinceLastLook();
    const auto key = std::make_pair(nKeyId, dwIndex);
    if (auto it = cache.subkeys.find(key); bCacheUsable && it != cache.subkeys.end()) {
        if (!it->second) {
            return ERROR_NO_MORE_ITEMS;
        }
        strName = it->second->first;
        nWritten = it->second->second;
        return ERROR_SUCCESS;
    }
    const std::uint64_t nEpoch = cache.nEpoch;
    lock.unlock();
    const DWORD dw = RetryWhileBusy([&]() -> DWORD {
        const int rc = Run(
            kEnumSubKey,
            [&](sqlite3_stmt* p) {
                sqlite3_bind_int64(p, 1, nKeyId);
                sqlite3_bind_int64(p, 2, dwIndex);
            },
            [&](sqlite3_stmt* p) {
                const auto* psz = reinterpret_cast<const char*>(sqlite3_column_text(p, 0));
                strName.assign(psz != nullptr ? psz : "",
                               static_cast<std::size_t>(sqlite3_column_bytes(p, 0)));
                nWritten = static_cast<std::uint64_t>(sqlite3_column_int64(p, 1));
            });
        if (rc == SQLITE_ROW) {
            return ERROR_SUCCESS;
        }
        return rc == SQLITE_DONE ? ERROR_NO_MORE_ITEMS : Fail(rc);
    });
    lock.lock();
    if ((dw == ERROR_SUCCESS || dw == ERROR_NO_MORE_ITEMS) && bCacheUsable &&
        cache.nEpoch == nEpoch) {
        cache.subkeys[key] =
            dw == ERROR_SUCCESS ? std::optional(std::make_pair(strName, nWritten)) : std::nullopt;
    }
    return dw;
}

}  // namespace win
