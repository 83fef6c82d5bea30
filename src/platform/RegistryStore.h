// The SQLite file behind the registry calls (see Registry.h): a small pool of connections
// that the whole process shares, each lent to one call at a time, and a cache of what was
// read, kept while no other connection or process writes to the file.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/WinTypes.h"

struct sqlite3;
struct sqlite3_stmt;

namespace win {

// One part of a key path: the name as given and its upper-cased form (UTF-8).
struct CKeyPart {
    std::string strName;
    std::string strFold;
};

// Id of the HKEY_CURRENT_USER key in every store.
constexpr std::int64_t kRootKeyId = 1;

class CRegistryStore;

// A connection lent to one registry call; given back to the pool when the lease ends.
class CStoreLease {
public:
    CStoreLease() = default;
    explicit CStoreLease(std::unique_ptr<CRegistryStore> p);
    ~CStoreLease();
    CStoreLease(CStoreLease&& other) noexcept = default;
    CStoreLease& operator=(CStoreLease&& other) noexcept;
    CStoreLease(const CStoreLease&) = delete;
    CStoreLease& operator=(const CStoreLease&) = delete;

    CRegistryStore* get() const { return m_p.get(); }
    CRegistryStore* operator->() const { return m_p.get(); }
    explicit operator bool() const { return m_p != nullptr; }

private:
    std::unique_ptr<CRegistryStore> m_p;
};

// One connection to the store. Keys are never removed, so a key id stays valid for as long
// as its store file exists. Every operation returns a Win32 status code.
class CRegistryStore {
public:
    // At most this many connections are open at once (each holds the file, its write-ahead
    // log and its shared index): callers beyond them wait for one to be given back.
    static constexpr std::size_t kMaxConnections = 2;

    // Any thread. A connection to the store that the environment names now, taken from the
    // pool or opened; an empty lease with `dwError` set when the store cannot be used.
    static CStoreLease Lease(DWORD& dwError);

    // The store file that the environment names now; empty when there is no home folder.
    static std::string PathFromEnvironment();

    // Whether this connection is for the store that the generation and environment name.
    bool Matches(unsigned nGeneration, const char* pszXdg, const char* pszHome) const;

    // Closes the connections and forgets what was read: the next calls open them again.
    static void ResetConnections(bool bForceReadOnly);

    // Connections open now (lent or waiting in the pool).
    static std::size_t OpenConnections();

    ~CRegistryStore();
    CRegistryStore(const CRegistryStore&) = delete;
    CRegistryStore& operator=(const CRegistryStore&) = delete;

    const std::string& Path() const { return m_strPath; }

    // Whether writes are refused (ERROR_ACCESS_DENIED).
    bool IsReadOnly() const { return m_bReadOnly; }

    // The id of the key with the upper-cased path `strFoldedPath` ("" for the root).
    DWORD FindKey(const std::string& strFoldedPath, std::int64_t& nId);

    // Creates the missing keys of `parts` below the key `nBaseId` (path `strBasePath`), in one
    // transaction; `nId` gets the last one's id and `bCreated` whether it was new.
    DWORD CreateKey(std::int64_t nBaseId, const std::string& strBasePath,
                    const std::vector<CKeyPart>& parts, std::int64_t& nId, bool& bCreated);

    // RegQueryValueExW's buffer rules for the value `strFold` of the key `nKeyId`.
    DWORD QueryValue(std::int64_t nKeyId, const std::string& strFold, DWORD* pdwType, BYTE* pData,
                     DWORD* pcbData);

    DWORD SetValue(std::int64_t nKeyId, const CKeyPart& name, DWORD dwType, const BYTE* pData,
                   DWORD cbData);
    DWORD DeleteValue(std::int64_t nKeyId, const std::string& strFold);

    // The subkey at `dwIndex` in ascending order of upper-cased names, with its last write time
    // as a FILETIME value; ERROR_NO_MORE_ITEMS past the last one.
    DWORD EnumSubKey(std::int64_t nKeyId, DWORD dwIndex, std::string& strName,
                     std::uint64_t& nWritten);

private:
    friend class CStoreLease;

    // A value as stored: its type and data.
    struct CValue {
        DWORD dwType = 0;
        std::string data;
    };

    enum EStatement {
        kFindKey,
        kKeyExists,
        kInsertKey,
        kTouchKey,
        kQueryValue,
        kSetValue,
        kDeleteValue,
        kEnumSubKey,
        kBegin,
        kCommit,
        kRollback,
        kDataVersion,
        kStatementCount
    };

    class CUse;

    // The environment a connection was opened for.
    struct CEnvironment {
        bool bHasXdg = false;
        bool bHasHome = false;
        std::string strXdg;
        std::string strHome;
        bool Matches(const char* pszXdg, const char* pszHome) const;
    };

    CRegistryStore(std::string strPath, CEnvironment env, unsigned nGeneration);

    DWORD Open(bool bForceReadOnly);
    DWORD OpenFile(bool bReadOnly, bool bImmutable);
    DWORD CheckSchema(bool& bEmpty);
    DWORD PrepareForWriting();
    DWORD CreateSchema();
    void Close();

    // The cached statement `e`, prepared on first use; null on failure (see Fail).
    sqlite3_stmt* Statement(EStatement e);

    // Runs the cached statement `e`: `bind` gives its parameters, `onRow` sees its first
    // row. The SQLite result of the step (SQLITE_ROW, SQLITE_DONE or an error).
    template <class B, class R>
    int Run(EStatement e, B bind, R onRow);

    DWORD CheckKey(std::int64_t nKeyId);
    // The value from the file: ERROR_SUCCESS with `value` set, ERROR_FILE_NOT_FOUND with
    // it empty, or the failure.
    DWORD ReadValue(std::int64_t nKeyId, const std::string& strFold, std::optional<CValue>& value);
    // Cache lock held. False when another connection or process has committed since this
    // connection last looked (or it cannot tell): what was read may be out of date.
    bool NothingWrittenSinceLastLook();
    // After a write through this connection: the cached value is dropped.
    static void ForgetValue(std::int64_t nKeyId, const std::string& strFold);
    DWORD TouchKey(std::int64_t nKeyId, std::int64_t nNow);
    DWORD FindKeyOnce(const std::string& strFoldedPath, std::int64_t& nId);

    // The Win32 code of the SQLite result `rc`; a damaged file is traced once.
    DWORD Fail(int rc);

    // Runs `body` inside BEGIN IMMEDIATE ... COMMIT, rolling back when it fails, and tries
    // again while the store is busy.
    template <class F>
    DWORD WriteTransaction(F body);

    std::string m_strPath;
    CEnvironment m_env;
    unsigned m_nGeneration;
    sqlite3* m_pDb = nullptr;
    std::array<sqlite3_stmt*, kStatementCount> m_statements{};
    bool m_bReadOnly = false;
    std::int64_t m_nDataVersion = -1;  // cache lock: the data version last seen, -1 none
    // No file, or an empty one that cannot be written: only the root exists.
    bool m_bEmpty = false;
};

}  // namespace win
