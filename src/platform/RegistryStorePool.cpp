// The registry store's connections, shared by the whole process: a small pool of open
// connections lent to one call at a time, the read cache, the store's path, and what a fork
// must do about them.
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <set>

#include "platform/RegistryStoreShared.h"
#include "platform/ShellFolders.h"
#include "platform/SystemText.h"
#include "support/Trace.h"

namespace win {

namespace store_detail {

CStorePool& StorePool() {
    static auto* s_pPool = new CStorePool;
    return *s_pPool;
}

CReadCache& ReadCache() {
    static auto* s_pCache = new CReadCache;
    return *s_pCache;
}

std::int64_t NowAsFileTime() {
    using namespace std::chrono;
    const auto n = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return n / 100 + 116444736000000000LL;
}

bool IsAccessErrno(int nErrno) {
    return nErrno == EACCES || nErrno == EPERM || nErrno == EROFS;
}

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

}  // namespace store_detail

namespace {

using namespace store_detail;

constexpr const char* kStoreFolder = "/Velmor/Tapvane";
constexpr const char* kStoreFile = "/registry.db";

std::atomic<unsigned> g_nGeneration{0};
std::atomic<bool> g_bForceReadOnly{false};

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

}  // namespace

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

}  // namespace win
