// The per-user registry with the Win32 calling conventions and status codes.
//
// Linux has no registry, so the program keeps its own: a tree of keys with named values in
// one SQLite database per user, $XDG_CONFIG_HOME/Velmor/Tapvane/registry.db (with
// ~/.config when the variable is unset or not an absolute path). That tree is
// HKEY_CURRENT_USER; the other predefined roots are empty and cannot be written (opens below
// them give ERROR_FILE_NOT_FOUND, creations ERROR_ACCESS_DENIED).
//
// - Key and value names compare without regard to case; the spelling of the first creation
//   is kept and shown by the enumeration. Subkeys enumerate in ascending order of their
//   upper-cased names.
// - Every write is one transaction of its own. Any number of threads and processes may read
//   and write at once; a process killed while writing loses nothing it had committed.
//   Nothing is cached: a read sees the last committed write of any thread or process.
// - A store that cannot be written (read-only file or folder, read-only file system)
//   answers writes, and opens that ask for write access, with ERROR_ACCESS_DENIED; reads
//   still work.
// - A damaged store file is never replaced: every call answers ERROR_BADDB and the trace
//   names the file once per process.
//
// Each thread keeps its own connection to the store, opened on its first call and closed
// when the thread ends. The environment (XDG_CONFIG_HOME, HOME) is read on every call, so
// changing it moves every thread to the new store; change it only while no other thread
// uses the registry. A handle opened in one store answers ERROR_KEY_DELETED once the
// process has moved to another. A child made by fork may use the registry only when no
// thread of the parent had the same store open at that moment (fork and exec is fine).
#pragma once

#include <cstdint>
#include <string>

#include "platform/WinFile.h"
#include "platform/WinTypes.h"

// A registry key handle: one of the predefined roots below or a handle of the registry's
// own table (never 0, never in the range of the roots).
using HKEY = std::uint32_t;
using REGSAM = DWORD;

namespace win {

constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000u;
constexpr HKEY HKEY_CURRENT_USER = 0x80000001u;
constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;
constexpr HKEY HKEY_USERS = 0x80000003u;
constexpr HKEY HKEY_PERFORMANCE_DATA = 0x80000004u;
constexpr HKEY HKEY_CURRENT_CONFIG = 0x80000005u;
constexpr HKEY HKEY_DYN_DATA = 0x80000006u;
constexpr HKEY HKEY_PERFORMANCE_TEXT = 0x80000050u;
constexpr HKEY HKEY_PERFORMANCE_NLSTEXT = 0x80000060u;

// Access rights of a key handle.
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM DELETE = 0x00010000;
constexpr REGSAM READ_CONTROL = 0x00020000;
constexpr REGSAM WRITE_DAC = 0x00040000;
constexpr REGSAM WRITE_OWNER = 0x00080000;
constexpr REGSAM KEY_READ = 0x00020019;
constexpr REGSAM KEY_WRITE = 0x00020006;
constexpr REGSAM KEY_EXECUTE = KEY_READ;
constexpr REGSAM KEY_ALL_ACCESS = 0x000F003F;

// Value types. Every type is stored as the bytes given; text types hold wchar_t units.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_LINK = 6;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;

// Dispositions of RegCreateKeyExW.
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Longest key name (one part of a path) and value name, in characters.
constexpr DWORD kMaxKeyNameLength = 255;
constexpr DWORD kMaxValueNameLength = 16383;

// Every call returns a Win32 status code (0 on success) and leaves the last error alone.
// Paths are backslash-separated names below `hKey`; a null or empty path means `hKey`
// itself, a trailing backslash is ignored, and an empty part never names a key.

// Opens an existing key. ERROR_FILE_NOT_FOUND when it does not exist, ERROR_ACCESS_DENIED
// when write access is asked of a store that cannot be written. `*phkResult` is 0 on failure.
LONG RegOpenKeyExW(HKEY hKey, const wchar_t* pszSubKey, DWORD ulOptions, REGSAM samDesired,
                   HKEY* phkResult);

// Opens a key, creating it and every missing key above it first. `pszClass` is ignored;
// only REG_OPTION_NON_VOLATILE and no security attributes are supported
// (ERROR_INVALID_PARAMETER otherwise). A name part longer than kMaxKeyNameLength gives
// ERROR_INVALID_PARAMETER, an empty part ERROR_BAD_PATHNAME. `pdwDisposition` may be null.
LONG RegCreateKeyExW(HKEY hKey, const wchar_t* pszSubKey, DWORD dwReserved, const wchar_t* pszClass,
                     DWORD dwOptions, REGSAM samDesired, const void* pSecurityAttributes,
                     HKEY* phkResult, DWORD* pdwDisposition);

// Stores `cbData` bytes as the value `pszValueName` (null or empty: the key's default
// value) with the type `dwType`. The handle needs KEY_SET_VALUE.
LONG RegSetValueExW(HKEY hKey, const wchar_t* pszValueName, DWORD dwReserved, DWORD dwType,
                    const BYTE* pData, DWORD cbData);

// Reads a value. `*pdwType` gets its type when given. Without `pData` only the size in
// bytes goes to `*pcbData`; with it, `*pcbData` is the room on entry and the size on
// return, and a value larger than the room gives ERROR_MORE_DATA with nothing copied.
// ERROR_FILE_NOT_FOUND when there is no such value. The handle needs KEY_QUERY_VALUE.
LONG RegQueryValueExW(HKEY hKey, const wchar_t* pszValueName, DWORD* pdwReserved, DWORD* pdwType,
                      BYTE* pData, DWORD* pcbData);

// The name of the subkey at `dwIndex` in ascending order, with its terminator, into
// `pszName` of `*pcchName` characters; `*pcchName` gets its length without terminator.
// ERROR_MORE_DATA when it does not fit, ERROR_NO_MORE_ITEMS past the last subkey. The
// class is always empty. The handle needs KEY_ENUMERATE_SUB_KEYS.
LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, wchar_t* pszName, DWORD* pcchName, DWORD* pdwReserved,
                   wchar_t* pszClass, DWORD* pcchClass, FILETIME* pftLastWriteTime);

// Removes a value; ERROR_FILE_NOT_FOUND when there is none. The handle needs KEY_SET_VALUE.
LONG RegDeleteValueW(HKEY hKey, const wchar_t* pszValueName);

// Closes a handle; the predefined roots need no closing. ERROR_INVALID_HANDLE when `hKey`
// is neither.
LONG RegCloseKey(HKEY hKey);

// The store file the calling thread uses now (from the environment).
std::wstring RegStorePath();

// Closes the calling thread's connection and makes every other thread open its own again on
// its next call; with `bForceReadOnly` the new connections treat the store as one that
// cannot be written. For tests.
void RegResetStoreConnections(bool bForceReadOnly = false);

// A number that changes after every successful write of this process (a value set or
// deleted) and every reset of the store connections: a cache of values read may be kept
// while it stays the same (writes of other processes it does not see).
std::uint64_t RegWriteGeneration();

}  // namespace win
