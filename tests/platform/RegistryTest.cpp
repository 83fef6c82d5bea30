#include "platform/Registry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "RegistryTestSupport.h"
#include "platform/FaultInjection.h"
#include "platform/WinError.h"

using namespace win;

namespace {

// A key handle closed at the end of the scope.
class CKey {
public:
    CKey() = default;
    ~CKey() { Close(); }
    CKey(const CKey&) = delete;
    CKey& operator=(const CKey&) = delete;
    HKEY* operator&() { return &m_h; }
    operator HKEY() const { return m_h; }
    void Close() {
        if (m_h != 0) {
            RegCloseKey(m_h);
            m_h = 0;
        }
    }

private:
    HKEY m_h = 0;
};

LONG Create(HKEY hParent, const wchar_t* pszPath, HKEY* ph, DWORD* pdwDisposition = nullptr,
            REGSAM sam = KEY_ALL_ACCESS) {
    return RegCreateKeyExW(hParent, pszPath, 0, nullptr, REG_OPTION_NON_VOLATILE, sam, nullptr, ph,
                           pdwDisposition);
}

LONG SetDword(HKEY h, const wchar_t* pszName, DWORD dw) {
    return RegSetValueExW(h, pszName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dw), sizeof dw);
}

// The DWORD value, or `dwMissing` when it cannot be read as one.
DWORD GetDword(HKEY h, const wchar_t* pszName, DWORD dwMissing = 0xDEADBEEF) {
    DWORD dw = 0;
    DWORD dwType = 0;
    DWORD cb = sizeof dw;
    const LONG l =
        RegQueryValueExW(h, pszName, nullptr, &dwType, reinterpret_cast<BYTE*>(&dw), &cb);
    return l == ERROR_SUCCESS && dwType == REG_DWORD && cb == 4 ? dw : dwMissing;
}

std::vector<std::wstring> SubKeys(HKEY h) {
    std::vector<std::wstring> names;
    for (DWORD i = 0;; ++i) {
        wchar_t sz[256];
        DWORD cch = 256;
        const LONG l = RegEnumKeyExW(h, i, sz, &cch, nullptr, nullptr, nullptr, nullptr);
        if (l != ERROR_SUCCESS) {
            EXPECT_EQ(l, static_cast<LONG>(ERROR_NO_MORE_ITEMS));
            return names;
        }
        names.emplace_back(sz, cch);
    }
}

class RegistryTest : public ::testing::Test {
protected:
    CTempRegistry m_registry;
};

TEST_F(RegistryTest, OpenAndCreateFollowTheWin32Rules) {
    CKey key;
    HKEY hStale = 0x1234;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Velmor", 0, KEY_READ, &hStale),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(hStale, 0u);

    DWORD dwDisposition = 0;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, L"SOFTWARE\\Velmor\\Tapvane\\Config", &key, &dwDisposition),
              ERROR_SUCCESS);
    EXPECT_EQ(dwDisposition, REG_CREATED_NEW_KEY);
    EXPECT_EQ(key & 0x80000000u, 0u);
    key.Close();
    ASSERT_EQ(
        Create(HKEY_CURRENT_USER, L"software\\VELMOR\\tapvane\\config\\", &key, &dwDisposition),
        ERROR_SUCCESS);
    EXPECT_EQ(dwDisposition, REG_OPENED_EXISTING_KEY);
    key.Close();
    // The keys above were made on the way, and each opens relative to its parent.
    CKey parent;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Velmor", 0, KEY_READ, &parent),
              ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(parent, L"Tapvane\\Config", 0, KEY_READ, &key), ERROR_SUCCESS);
    key.Close();
    EXPECT_EQ(RegOpenKeyExW(parent, nullptr, 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_NE(static_cast<HKEY>(key), static_cast<HKEY>(parent));
    key.Close();

    // Empty names and names beyond 255 characters.
    EXPECT_EQ(Create(HKEY_CURRENT_USER, L"SOFTWARE\\\\Empty", &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(Create(HKEY_CURRENT_USER, L"\\SOFTWARE", &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\\\Velmor", 0, KEY_READ, &key),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    const std::wstring strLong(256, L'n');
    EXPECT_EQ(Create(HKEY_CURRENT_USER, (L"SOFTWARE\\" + strLong).c_str(), &key),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Create(HKEY_CURRENT_USER, (L"SOFTWARE\\" + strLong.substr(1)).c_str(), &key),
              ERROR_SUCCESS);
    key.Close();

    // Handles.
    EXPECT_EQ(RegOpenKeyExW(0x1234, L"SOFTWARE", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
    HKEY hClosed = 0;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE", 0, KEY_READ, &hClosed), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(hClosed), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(hClosed), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExW(hClosed, L"Velmor", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);

    // The other roots hold nothing and take nothing.
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &key),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Create(HKEY_LOCAL_MACHINE, L"SOFTWARE", &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, nullptr, 0, KEY_WRITE, &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, nullptr, 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(SubKeys(key).size(), 0u);
    key.Close();

    // A parent opened for reading cannot make subkeys, but opens existing ones.
    CKey readOnly;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE", 0, KEY_READ, &readOnly), ERROR_SUCCESS);
    EXPECT_EQ(Create(readOnly, L"New", &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Create(readOnly, L"Velmor", &key, &dwDisposition), ERROR_SUCCESS);
    EXPECT_EQ(dwDisposition, REG_OPENED_EXISTING_KEY);
}

TEST_F(RegistryTest, ValuesKeepTheirTypeAndBytes) {
    CKey key;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, L"SOFTWARE\\Values", &key), ERROR_SUCCESS);

    // A DWORD: size query, a buffer too small, the right one.
    ASSERT_EQ(SetDword(key, L"Save Response", 0x01020304), ERROR_SUCCESS);
    DWORD dwType = 0;
    DWORD cb = 0;
    EXPECT_EQ(RegQueryValueExW(key, L"SAVE RESPONSE", nullptr, &dwType, nullptr, &cb),
              ERROR_SUCCESS);
    EXPECT_EQ(dwType, REG_DWORD);
    EXPECT_EQ(cb, 4u);
    BYTE small[2] = {0xAA, 0xAA};
    cb = sizeof small;
    EXPECT_EQ(RegQueryValueExW(key, L"save response", nullptr, &dwType, small, &cb),
              ERROR_MORE_DATA);
    EXPECT_EQ(cb, 4u);
    EXPECT_EQ(small[0], 0xAA);
    EXPECT_EQ(GetDword(key, L"Save Response"), 0x01020304u);

    // Text keeps its wchar_t units and terminator; another type replaces the value.
    const std::wstring strText = L"Hello \u00e9\U0001F600";
    ASSERT_EQ(RegSetValueExW(key, L"Save Response", 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(strText.c_str()),
                             static_cast<DWORD>((strText.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    std::vector<wchar_t> text(32, L'x');
    cb = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    ASSERT_EQ(RegQueryValueExW(key, L"Save Response", nullptr, &dwType,
                               reinterpret_cast<BYTE*>(text.data()), &cb),
              ERROR_SUCCESS);
    EXPECT_EQ(dwType, REG_SZ);
    EXPECT_EQ(cb, (strText.size() + 1) * sizeof(wchar_t));
    EXPECT_EQ(std::wstring(text.data()), strText);
    EXPECT_EQ(GetDword(key, L"Save Response"), 0xDEADBEEFu);

    // Bytes with zeros inside, an empty value, the default value.
    const BYTE binary[] = {0, 1, 0, 2, 0xFF};
    ASSERT_EQ(RegSetValueExW(key, L"Bin", 0, REG_BINARY, binary, sizeof binary), ERROR_SUCCESS);
    BYTE read[8] = {};
    cb = sizeof read;
    ASSERT_EQ(RegQueryValueExW(key, L"bin", nullptr, &dwType, read, &cb), ERROR_SUCCESS);
    EXPECT_EQ(dwType, REG_BINARY);
    ASSERT_EQ(cb, sizeof binary);
    EXPECT_EQ(std::memcmp(read, binary, sizeof binary), 0);
    ASSERT_EQ(RegSetValueExW(key, L"Empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    cb = sizeof read;
    EXPECT_EQ(RegQueryValueExW(key, L"Empty", nullptr, &dwType, read, &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, 0u);
    ASSERT_EQ(SetDword(key, nullptr, 7), ERROR_SUCCESS);
    EXPECT_EQ(GetDword(key, L""), 7u);

    // Missing and deleted values; the deletion is case-insensitive too.
    EXPECT_EQ(RegQueryValueExW(key, L"Nothing", nullptr, &dwType, nullptr, &cb),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(RegDeleteValueW(key, L"BIN"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(key, L"Bin"), static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(RegQueryValueExW(key, L"Bin", nullptr, &dwType, nullptr, &cb),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND));

    EXPECT_EQ(RegSetValueExW(key, L"V", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(SetDword(0x1234, L"V", 1), ERROR_INVALID_HANDLE);

    // The rights of the handle.
    CKey reader;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Values", 0, KEY_READ, &reader),
              ERROR_SUCCESS);
    EXPECT_EQ(SetDword(reader, L"V", 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(reader, L"Empty"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetDword(reader, L""), 7u);
    CKey writer;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Values", 0, KEY_SET_VALUE, &writer),
              ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(writer, L"", nullptr, nullptr, nullptr, &cb), ERROR_ACCESS_DENIED);
    wchar_t szName[8];
    DWORD cch = 8;
    EXPECT_EQ(RegEnumKeyExW(writer, 0, szName, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_ACCESS_DENIED);
}

TEST_F(RegistryTest, SubkeysEnumerateInCaseInsensitiveOrderWithTheirSpelling) {
    CKey parent;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, L"SOFTWARE\\Order", &parent), ERROR_SUCCESS);
    for (const wchar_t* psz : {L"b", L"\u00c4pfel", L"A", L"_x", L"c", L"B2"}) {
        CKey key;
        ASSERT_EQ(Create(parent, psz, &key), ERROR_SUCCESS) << psz;
    }
    CKey again;
    DWORD dwDisposition = 0;
    ASSERT_EQ(Create(parent, L"\u00e4PFEL", &again, &dwDisposition), ERROR_SUCCESS);
    EXPECT_EQ(dwDisposition, REG_OPENED_EXISTING_KEY);

    const std::vector<std::wstring> expected = {L"A", L"b", L"B2", L"c", L"_x", L"\u00c4pfel"};
    EXPECT_EQ(SubKeys(parent), expected);

    // The name buffer must hold the terminator too; the count excludes it.
    wchar_t sz[8] = {};
    DWORD cch = 2;
    EXPECT_EQ(RegEnumKeyExW(parent, 2, sz, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    cch = 3;
    wchar_t szClass[4] = {L'?', 0, 0, 0};
    DWORD cchClass = 4;
    FILETIME ft{};
    ASSERT_EQ(RegEnumKeyExW(parent, 2, sz, &cch, nullptr, szClass, &cchClass, &ft), ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(sz), L"B2");
    EXPECT_EQ(cch, 2u);
    EXPECT_EQ(szClass[0], L'\0');
    EXPECT_EQ(cchClass, 0u);
    const std::uint64_t nFileTime = (std::uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
    const auto nSeconds = static_cast<std::int64_t>(nFileTime / 10000000u) - 11644473600LL;
    EXPECT_LE(std::llabs(nSeconds - static_cast<std::int64_t>(std::time(nullptr))), 300);
    EXPECT_EQ(RegEnumKeyExW(parent, 6, sz, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryTest, EveryThreadSeesTheLastCommittedWrite) {
    constexpr int kWriters = 4;
    constexpr DWORD kWrites = 60;
    std::atomic<int> nFailures{0};
    std::atomic<int> nWritersDone{0};
    auto fail = [&nFailures] { nFailures.fetch_add(1); };

    std::vector<std::thread> threads;
    for (int k = 0; k < kWriters; ++k) {
        threads.emplace_back([&, k] {
            // Every thread makes the same key at the same moment.
            CKey key;
            if (Create(HKEY_CURRENT_USER, L"SOFTWARE\\Race\\Shared", &key) != ERROR_SUCCESS) {
                fail();
                return;
            }
            const std::wstring strOwn = L"Writer" + std::to_wstring(k);
            for (DWORD i = 1; i <= kWrites; ++i) {
                if (SetDword(key, strOwn.c_str(), i) != ERROR_SUCCESS ||
                    SetDword(key, L"Shared", static_cast<DWORD>(k) * 1000 + i) != ERROR_SUCCESS) {
                    fail();
                }
                if (GetDword(key, strOwn.c_str()) != i) {
                    fail();  // its own write must be seen at once
                }
                const DWORD dwShared = GetDword(key, L"Shared");
                if (dwShared / 1000 >= kWriters || dwShared % 1000 == 0 ||
                    dwShared % 1000 > kWrites) {
                    fail();  // only values that some writer wrote
                }
            }
            nWritersDone.fetch_add(1);
        });
    }
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&] {
            // Each writer's value only grows: a read never goes back to an older write.
            DWORD last[kWriters] = {};
            while (nWritersDone.load() < kWriters) {
                CKey key;
                if (RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Race\\Shared", 0, KEY_READ,
                                  &key) != ERROR_SUCCESS) {
                    std::this_thread::yield();
                    continue;
                }
                for (int k = 0; k < kWriters; ++k) {
                    const std::wstring strOwn = L"Writer" + std::to_wstring(k);
                    const DWORD dw = GetDword(key, strOwn.c_str(), 0);
                    if (dw < last[k] || dw > kWrites) {
                        fail();
                    }
                    last[k] = dw;
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(nFailures.load(), 0);

    CKey race;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Race", 0, KEY_READ, &race),
              ERROR_SUCCESS);
    EXPECT_EQ(SubKeys(race), std::vector<std::wstring>{L"Shared"});
    CKey key;
    ASSERT_EQ(RegOpenKeyExW(race, L"Shared", 0, KEY_READ, &key), ERROR_SUCCESS);
    for (int k = 0; k < kWriters; ++k) {
        EXPECT_EQ(GetDword(key, (L"Writer" + std::to_wstring(k)).c_str()), kWrites);
    }
}

// A child process that writes "V<i>" = i and then "Last" = i for i = nFirst, nFirst + 1, ...
// and reports each i through `fdReport` once both are committed. It never ends by itself.
pid_t StartWriter(DWORD nFirst, int& fdReport) {
    int fds[2];
    if (::pipe(fds) != 0) {
        ADD_FAILURE() << "pipe failed";
        return -1;
    }
    const pid_t pid = ::fork();
    if (pid != 0) {
        ::close(fds[1]);
        fdReport = fds[0];
        return pid;
    }
    ::close(fds[0]);
    HKEY hKey = 0;
    if (Create(HKEY_CURRENT_USER, L"SOFTWARE\\Killed", &hKey) != ERROR_SUCCESS) {
        ::_exit(2);
    }
    for (DWORD i = nFirst;; ++i) {
        const std::wstring strName = L"V" + std::to_wstring(i);
        if (SetDword(hKey, strName.c_str(), i) != ERROR_SUCCESS ||
            SetDword(hKey, L"Last", i) != ERROR_SUCCESS) {
            ::_exit(3);
        }
        if (::write(fds[1], &i, sizeof i) != static_cast<ssize_t>(sizeof i)) {
            ::_exit(4);
        }
    }
}

// Reads reports until `nCount` more have come or the pipe ends; the last one read.
DWORD ReadReports(int fd, int nCount, DWORD nLast) {
    for (int n = 0; nCount < 0 || n < nCount; ++n) {
        DWORD i = 0;
        if (::read(fd, &i, sizeof i) != static_cast<ssize_t>(sizeof i)) {
            break;
        }
        nLast = i;
    }
    return nLast;
}

// Kills the writer while it writes and returns the last value it reported.
DWORD KillWriter(pid_t pid, int fd, DWORD nLast) {
    ::kill(pid, SIGKILL);
    int nStatus = 0;
    ::waitpid(pid, &nStatus, 0);
    EXPECT_TRUE(WIFSIGNALED(nStatus) && WTERMSIG(nStatus) == SIGKILL)
        << "the writer ended by itself, status " << nStatus;
    nLast = ReadReports(fd, -1, nLast);
    ::close(fd);
    return nLast;
}

std::string IntegrityCheck(const std::string& strFile) {
    sqlite3* pDb = nullptr;
    std::string strResult = "cannot open";
    if (sqlite3_open_v2(strFile.c_str(), &pDb, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* p = nullptr;
        if (sqlite3_prepare_v2(pDb, "PRAGMA integrity_check", -1, &p, nullptr) == SQLITE_OK &&
            sqlite3_step(p) == SQLITE_ROW) {
            strResult = reinterpret_cast<const char*>(sqlite3_column_text(p, 0));
        }
        sqlite3_finalize(p);
    }
    sqlite3_close(pDb);
    return strResult;
}

TEST_F(RegistryTest, AKilledWriterLosesNothingItCommitted) {
    // Nothing of this process may have the store open while it forks: the first use is in
    // the children. The second child finds the journal the first one left behind.
    DWORD nLast = 0;
    for (int nRound = 0; nRound < 2; ++nRound) {
        int fd = -1;
        const DWORD nFirst = nRound == 0 ? 0 : nLast + 1;
        const pid_t pid = StartWriter(nFirst, fd);
        ASSERT_GT(pid, 0);
        const DWORD nReported = ReadReports(fd, 100, nFirst);
        ASSERT_GE(nReported, nFirst + 99) << "the writer stopped early";
        nLast = KillWriter(pid, fd, nReported);
    }

    EXPECT_EQ(IntegrityCheck(m_registry.StoreFile()), "ok");
    CKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Killed", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    int nLost = 0;
    for (DWORD i = 0; i <= nLast; ++i) {
        if (GetDword(key, (L"V" + std::to_wstring(i)).c_str()) != i) {
            ++nLost;
        }
    }
    EXPECT_EQ(nLost, 0) << "of " << nLast + 1 << " reported values";
    EXPECT_GE(GetDword(key, L"Last", 0), nLast);
    CKey writable;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Killed", 0, KEY_ALL_ACCESS, &writable),
              ERROR_SUCCESS);
    EXPECT_EQ(SetDword(writable, L"After", 1), ERROR_SUCCESS);
}

TEST_F(RegistryTest, SeveralProcessesWriteAtOnce) {
    constexpr int kProcesses = 3;
    constexpr DWORD kWrites = 60;
    std::vector<pid_t> pids;
    for (int c = 0; c < kProcesses; ++c) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            HKEY hKey = 0;
            if (Create(HKEY_CURRENT_USER, L"SOFTWARE\\Processes", &hKey) != ERROR_SUCCESS) {
                ::_exit(2);
            }
            for (DWORD i = 0; i < kWrites; ++i) {
                const std::wstring strName = L"P" + std::to_wstring(c) + L"_" + std::to_wstring(i);
                if (SetDword(hKey, strName.c_str(), i) != ERROR_SUCCESS ||
                    SetDword(hKey, L"Shared", i) != ERROR_SUCCESS ||
                    GetDword(hKey, L"Shared") > i + kWrites) {
                    ::_exit(3);
                }
            }
            ::_exit(0);
        }
        ASSERT_GT(pid, 0);
        pids.push_back(pid);
    }
    for (const pid_t pid : pids) {
        int nStatus = -1;
        ::waitpid(pid, &nStatus, 0);
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << "status " << nStatus;
    }
    CKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Processes", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    for (int c = 0; c < kProcesses; ++c) {
        for (DWORD i = 0; i < kWrites; ++i) {
            EXPECT_EQ(
                GetDword(key, (L"P" + std::to_wstring(c) + L"_" + std::to_wstring(i)).c_str()), i);
        }
    }
    EXPECT_EQ(GetDword(key, L"Shared"), kWrites - 1);
}

// Reads come from memory, but a value another process writes is seen at the next read.
TEST_F(RegistryTest, AReadSeesWhatAnotherProcessWroteSinceTheLastRead) {
    CKey key;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, L"SOFTWARE\\Shared", &key), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, L"Port", 80), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, L"Gone", 1), ERROR_SUCCESS);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(GetDword(key, L"Port"), 80u);  // read, and read again from memory
        EXPECT_EQ(GetDword(key, L"Gone"), 1u);
        EXPECT_EQ(GetDword(key, L"Added", 0), 0u);
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        HKEY hKey = 0;
        const bool bDone = Create(HKEY_CURRENT_USER, L"SOFTWARE\\Shared", &hKey) == ERROR_SUCCESS &&
                           SetDword(hKey, L"Port", 8080) == ERROR_SUCCESS &&
                           SetDword(hKey, L"Added", 7) == ERROR_SUCCESS &&
                           RegDeleteValueW(hKey, L"Gone") == ERROR_SUCCESS;
        ::_exit(bDone ? 0 : 3);
    }
    ASSERT_GT(pid, 0);
    int nStatus = -1;
    ::waitpid(pid, &nStatus, 0);
    ASSERT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << "status " << nStatus;
    EXPECT_EQ(GetDword(key, L"Port"), 8080u);
    EXPECT_EQ(GetDword(key, L"Added"), 7u);
    EXPECT_EQ(GetDword(key, L"Gone", 0), 0u);
    // And the other way round: what this process writes, it reads back at once.
    ASSERT_EQ(SetDword(key, L"Port", 443), ERROR_SUCCESS);
    EXPECT_EQ(GetDword(key, L"Port"), 443u);
}

// Checks what a store that cannot be written answers; the store holds
// SOFTWARE\Kept with Value = 5.
void ExpectReadOnlyAnswers() {
    CKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Kept", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(GetDword(key, L"Value"), 5u);
    EXPECT_EQ(SubKeys(HKEY_CURRENT_USER), std::vector<std::wstring>{L"SOFTWARE"});
    CKey refused;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Kept", 0, KEY_ALL_ACCESS, &refused),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Kept", 0, KEY_WRITE, &refused),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Missing", 0, KEY_WRITE, &refused),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Create(HKEY_CURRENT_USER, L"SOFTWARE\\Kept", &refused), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Create(HKEY_CURRENT_USER, L"SOFTWARE\\Kept", &refused, nullptr, KEY_READ),
              ERROR_SUCCESS);
    refused.Close();
    EXPECT_EQ(Create(HKEY_CURRENT_USER, L"SOFTWARE\\New", &refused, nullptr, KEY_READ),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetDword(HKEY_CURRENT_USER, L"Root", 1), ERROR_ACCESS_DENIED);
}

void WriteKeptValue() {
    CKey key;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, L"SOFTWARE\\Kept", &key), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, L"Value", 5), ERROR_SUCCESS);
}

TEST_F(RegistryTest, AStoreOpenedReadOnlyRefusesWritesAndAnswersReads) {
    WriteKeptValue();
    CKey before;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Kept", 0, KEY_ALL_ACCESS, &before),
              ERROR_SUCCESS);

    RegResetStoreConnections(true);
    ExpectReadOnlyAnswers();
    // A handle opened for writing before cannot write now either.
    EXPECT_EQ(SetDword(before, L"Value", 6), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(before, L"Value"), ERROR_ACCESS_DENIED);
    // Another thread's connection answers the same.
    std::thread([] {
        CKey key;
        EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Kept", 0, KEY_WRITE, &key),
                  ERROR_ACCESS_DENIED);
    }).join();

    RegResetStoreConnections(false);
    EXPECT_EQ(SetDword(before, L"Value", 6), ERROR_SUCCESS);
    EXPECT_EQ(GetDword(before, L"Value"), 6u);
}

// Makes a file or folder one that nobody may write: by its mode for a normal user, by the
// immutable flag for root (whom modes do not stop). Undone at the end of the scope.
class CWriteProtection {
public:
    explicit CWriteProtection(const std::string& strPath) : m_strPath(strPath) {
        struct stat st {};
        if (::stat(strPath.c_str(), &st) != 0) {
            return;
        }
        m_mode = st.st_mode;
        if (::geteuid() != 0) {
            m_bOn = ::chmod(strPath.c_str(), st.st_mode & ~0222u) == 0;
        } else {
            m_bOn = SetImmutable(true);
        }
    }
    ~CWriteProtection() {
        if (!m_bOn) {
            return;
        }
        if (::geteuid() != 0) {
            ::chmod(m_strPath.c_str(), m_mode);
        } else {
            SetImmutable(false);
        }
    }
    CWriteProtection(const CWriteProtection&) = delete;
    CWriteProtection& operator=(const CWriteProtection&) = delete;

    bool IsOn() const { return m_bOn; }

private:
    bool SetImmutable(bool bOn) {
        const int fd = ::open(m_strPath.c_str(), O_RDONLY | O_NONBLOCK);
        if (fd < 0) {
            return false;
        }
        int nFlags = 0;
        bool bDone = ::ioctl(fd, FS_IOC_GETFLAGS, &nFlags) == 0;
        if (bDone) {
            nFlags = bOn ? (nFlags | FS_IMMUTABLE_FL) : (nFlags & ~FS_IMMUTABLE_FL);
            bDone = ::ioctl(fd, FS_IOC_SETFLAGS, &nFlags) == 0;
        }
        ::close(fd);
        return bDone;
    }

    std::string m_strPath;
    mode_t m_mode = 0;
    bool m_bOn = false;
};

TEST_F(RegistryTest, AReadOnlyFileOrFolderOnDiskRefusesWrites) {
    WriteKeptValue();
    RegResetStoreConnections(false);  // closes this thread's connection: the journal goes
    {
        CWriteProtection file(m_registry.StoreFile());
        if (!file.IsOn()) {
            GTEST_SKIP() << "this file system cannot make a file read-only for this user";
        }
        SCOPED_TRACE("read-only file");
        ExpectReadOnlyAnswers();
        RegResetStoreConnections(false);
    }
    {
        CWriteProtection folder(m_registry.StoreFolder());
        ASSERT_TRUE(folder.IsOn());
        SCOPED_TRACE("read-only folder");
        ExpectReadOnlyAnswers();
        RegResetStoreConnections(false);
    }
    // Writable again.
    CKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Kept", 0, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(SetDword(key, L"Value", 6), ERROR_SUCCESS);
    key.Close();
    RegResetStoreConnections(false);

    // No store yet, and the folder for it cannot be written: an empty registry.
    std::filesystem::remove_all(m_registry.StoreFolder());
    std::filesystem::create_directories(m_registry.StoreFolder());
    CWriteProtection folder(m_registry.StoreFolder());
    ASSERT_TRUE(folder.IsOn());
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE", 0, KEY_READ, &key),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Create(HKEY_CURRENT_USER, L"SOFTWARE", &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(SubKeys(HKEY_CURRENT_USER).size(), 0u);
    DWORD cb = 0;
    EXPECT_EQ(RegQueryValueExW(HKEY_CURRENT_USER, L"V", nullptr, nullptr, nullptr, &cb),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(std::filesystem::exists(m_registry.StoreFile()));
    RegResetStoreConnections(false);
}

TEST_F(RegistryTest, ADamagedStoreIsReportedAndLeftAsItIs) {
    std::filesystem::create_directories(m_registry.StoreFolder());
    const std::string strGarbage(8192, '\x5a');
    m_registry.Folder().WriteFile("config/Velmor/Tapvane/registry.db", strGarbage);

    testing::internal::CaptureStdout();
    CKey key;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE", 0, KEY_READ, &key), ERROR_BADDB);
    EXPECT_EQ(Create(HKEY_CURRENT_USER, L"SOFTWARE", &key), ERROR_BADDB);
    EXPECT_EQ(SetDword(HKEY_CURRENT_USER, L"V", 1), ERROR_BADDB);
    const std::string strTrace = testing::internal::GetCapturedStdout();
    EXPECT_NE(strTrace.find("\"" + m_registry.StoreFile() + "\" is damaged"), std::string::npos)
        << strTrace;
    EXPECT_EQ(strTrace.find('\n'), strTrace.rfind('\n')) << "traced more than once: " << strTrace;
    EXPECT_EQ(m_registry.Folder().ReadFile("config/Velmor/Tapvane/registry.db"), strGarbage);
}

TEST_F(RegistryTest, AStoreThatCannotBeOpenedIsNamedInTheTrace) {
    std::filesystem::create_directories(m_registry.Folder().Path("config"));
    m_registry.Folder().WriteFile("config/Velmor", "a file where the folder belongs");

    testing::internal::CaptureStdout();
    CKey key;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE", 0, KEY_READ, &key),
              static_cast<LONG>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(SetDword(HKEY_CURRENT_USER, L"V", 1), static_cast<LONG>(ERROR_PATH_NOT_FOUND));
    const std::string strTrace = testing::internal::GetCapturedStdout();
    EXPECT_NE(strTrace.find("The registry store \"" + m_registry.StoreFile() +
                            "\" cannot be opened: 3 The system cannot find the path specified."),
              std::string::npos)
        << strTrace;
    EXPECT_EQ(strTrace.find('\n'), strTrace.rfind('\n')) << "traced more than once: " << strTrace;
}

// A store file that may not be created says so, not that it was not found.
TEST_F(RegistryTest, AStoreThatMayNotBeCreatedTellsAccessDenied) {
    win::ArmFault({.call = win::FaultCall::OpenFile, .nErrno = EACCES});
    testing::internal::CaptureStdout();
    CKey key;
    EXPECT_EQ(Create(HKEY_CURRENT_USER, L"SOFTWARE", &key), ERROR_ACCESS_DENIED);
    const std::string strTrace = testing::internal::GetCapturedStdout();
    win::DisarmFaults();
    EXPECT_NE(strTrace.find("The registry store \"" + m_registry.StoreFile() +
                            "\" cannot be opened: 5 Access is denied."),
              std::string::npos)
        << strTrace;
    EXPECT_FALSE(std::filesystem::exists(m_registry.StoreFile()));
    // Once it may, the store is created as before.
    win::RegResetStoreConnections(false);
    CKey created;
    EXPECT_EQ(Create(HKEY_CURRENT_USER, L"SOFTWARE", &created), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(created, L"V", 1), ERROR_SUCCESS);
}

TEST_F(RegistryTest, AnotherProgramsDatabaseIsNotTakenOver) {
    std::filesystem::create_directories(m_registry.StoreFolder());
    sqlite3* pDb = nullptr;
    ASSERT_EQ(sqlite3_open(m_registry.StoreFile().c_str(), &pDb), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(pDb, "CREATE TABLE other(x); INSERT INTO other VALUES(42);", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(pDb);
    const std::string strBefore = m_registry.Folder().ReadFile("config/Velmor/Tapvane/registry.db");

    testing::internal::CaptureStdout();
    CKey key;
    EXPECT_EQ(Create(HKEY_CURRENT_USER, L"SOFTWARE", &key), ERROR_BADDB);
    const std::string strTrace = testing::internal::GetCapturedStdout();
    EXPECT_NE(strTrace.find(m_registry.StoreFile()), std::string::npos) << strTrace;

    EXPECT_EQ(m_registry.Folder().ReadFile("config/Velmor/Tapvane/registry.db"), strBefore);
}

TEST_F(RegistryTest, TheStoreFollowsTheEnvironment) {
    EXPECT_EQ(RegStorePath(), m_registry.Folder().WPath("config/Velmor/Tapvane/registry.db"));
    CKey key;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, L"SOFTWARE\\Moved", &key), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, L"Where", 1), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(m_registry.StoreFile()));
    {
        CEnvironmentVariable other("XDG_CONFIG_HOME", m_registry.Folder().Path("other"));
        CKey missing;
        EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Moved", 0, KEY_READ, &missing),
                  static_cast<LONG>(ERROR_FILE_NOT_FOUND));
        // A handle of the store left behind acts on nothing.
        EXPECT_EQ(SetDword(key, L"Where", 2), ERROR_KEY_DELETED);
        EXPECT_EQ(GetDword(key, L"Where"), 0xDEADBEEFu);
        EXPECT_TRUE(
            std::filesystem::exists(m_registry.Folder().Path("other/Velmor/Tapvane/registry.db")));
    }
    EXPECT_EQ(GetDword(key, L"Where"), 1u);
    {
        // Without the variable (or with a relative one) the store is below ~/.config.
        CEnvironmentVariable relative("XDG_CONFIG_HOME", "relative/folder");
        EXPECT_EQ(RegStorePath(),
                  m_registry.Folder().WPath("home/.config/Velmor/Tapvane/registry.db"));
        CKey missing;
        EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Moved", 0, KEY_READ, &missing),
                  static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    }
}

}  // namespace
