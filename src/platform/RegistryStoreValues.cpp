// The registry store's keys and values: finding and creating keys, reading (through the
// process's read cache), writing and deleting values, listing subkeys.
#include <sqlite3.h>

#include <cstring>

#include "platform/RegistryStoreShared.h"
#include "platform/TextConv.h"
#include "platform/WinError.h"

namespace win {

using namespace store_detail;

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
