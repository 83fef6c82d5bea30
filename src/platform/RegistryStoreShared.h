// What the parts of the registry store share inside the platform layer: the process's
// pool of connections and its read cache, the retry of busy operations, and the statement
// helpers of CRegistryStore. Not for use outside src/platform.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/RegistryStore.h"
#include "platform/WinError.h"

namespace win::store_detail {

// How often an operation that still finds the store busy is tried again.
constexpr int kBusyAttempts = 5;

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

CStorePool& StorePool();

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

CReadCache& ReadCache();

// FILETIME value of the current time: 100-nanosecond steps since 1601.
std::int64_t NowAsFileTime();

// Whether an errno means the file or folder may not be written.
bool IsAccessErrno(int nErrno);

// Traces a problem of the store file once per file, code and process: every thread and
// every call meets it again, and the trace names the file for the user.
void ReportOnce(const std::string& strPath, DWORD dwCode, const std::wstring& strText);

template <class F>
DWORD RetryWhileBusy(F attempt) {
    DWORD dw = attempt();
    for (int i = 1; dw == ERROR_BUSY && i < kBusyAttempts; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(i));
        dw = attempt();
    }
    return dw;
}

}  // namespace win::store_detail

namespace win {

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

template <class F>
DWORD CRegistryStore::WriteTransaction(F body) {
    if (m_bReadOnly) {
        return ERROR_ACCESS_DENIED;
    }
    return store_detail::RetryWhileBusy([&]() -> DWORD {
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

}  // namespace win
