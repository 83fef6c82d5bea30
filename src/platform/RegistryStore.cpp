#include "platform/RegistryStore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/FaultInjection.h"
#include "platform/ShellFolders.h"
#include "platform/SystemText.h"
#include "platform/TextConv.h"
#include "platform/WinError.h"
#include "support/Trace.h"

#include "platform/RegistryStoreShared.h"

namespace win {

namespace {

using namespace store_detail;

// Marks the file as this program's registry ("Tapv"); the version of its tables.
constexpr int kApplicationId = 0x54617076;
constexpr int kSchemaVersion = 1;

// How long one statement waits for another connection's lock.
constexpr int kBusyTimeoutMs = 5000;

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

}  // namespace

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

}  // namespace win
