// Files and folders with the Win32 calling conventions and error codes.
//
// A file handle is a kernel handle (see Handles.h), so win::CloseHandle closes it. The
// Win32 share modes are kept between the opens of this process: an open whose access the
// share mode of an open handle of the same file does not allow, or whose own share mode
// does not allow the access of such a handle, fails with ERROR_SHARING_VIOLATION. Opens of
// other processes are not seen. Paths are wide texts; on disk they are UTF-8.
#pragma once

#include "platform/WinTypes.h"

namespace win {

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;

constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;

constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;

constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFFu;

// 100-nanosecond intervals since 1 January 1601 (UTC).
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

// Opens or creates a file. `dwAccess` is GENERIC_READ and/or GENERIC_WRITE (0 opens for
// queries only), `dwShare` what later opens may do meanwhile. The handle is passed on to
// child programs only when `bInherit` is set. With CREATE_ALWAYS or OPEN_ALWAYS the last
// error is ERROR_ALREADY_EXISTS when the file was there, else 0. A new file gets the mode
// 0666 less the umask (0444 with FILE_ATTRIBUTE_READONLY). 0 on failure, with the last
// error set; a folder cannot be opened (ERROR_ACCESS_DENIED).
HANDLE CreateFileW(const wchar_t* pszPath, DWORD dwAccess, DWORD dwShare, bool bInherit,
                   DWORD dwCreation, DWORD dwAttributes);

// Reads up to `nToRead` bytes at the file position. Fewer only at the end of the file (0
// there) or, for a pipe or device, what one read gives. `pnRead` may be null.
BOOL ReadFile(HANDLE hFile, void* pBuffer, DWORD nToRead, DWORD* pnRead);

// Writes `nToWrite` bytes at the file position. When the disk refuses the rest after part
// of the bytes was written, the call succeeds with the smaller count; it fails only when
// nothing could be written. `pnWritten` may be null.
BOOL WriteFile(HANDLE hFile, const void* pBuffer, DWORD nToWrite, DWORD* pnWritten);

// Moves the file position by `lDistance` (with `plDistanceHigh`, by the 64-bit value of
// both) from FILE_BEGIN, FILE_CURRENT or FILE_END. Returns the low 32 bits of the new
// position, the high ones going to `*plDistanceHigh`. Without `plDistanceHigh` a position
// of 4 GiB or more fails (ERROR_INVALID_PARAMETER); a position before the start fails with
// ERROR_NEGATIVE_SEEK. On failure INVALID_SET_FILE_POINTER with the last error set; when a
// valid position has that low part, the last error is 0.
DWORD SetFilePointer(HANDLE hFile, LONG lDistance, LONG* plDistanceHigh, DWORD dwMoveMethod);

// Writes the file's buffered data to the disk; the handle needs GENERIC_WRITE.
BOOL FlushFileBuffers(HANDLE hFile);

// Low 32 bits of the size, the high ones to `pdwHigh` when given. INVALID_FILE_SIZE on
// failure; when a valid size has that low part, the last error is 0.
DWORD GetFileSize(HANDLE hFile, DWORD* pdwHigh);

// The creation (here: last status change), last access and last write time; any pointer
// may be null.
BOOL GetFileTime(HANDLE hFile, FILETIME* pCreation, FILETIME* pLastAccess, FILETIME* pLastWrite);

// FILE_ATTRIBUTE_DIRECTORY for a folder, FILE_ATTRIBUTE_READONLY when nobody may write,
// FILE_ATTRIBUTE_NORMAL when neither; INVALID_FILE_ATTRIBUTES with the last error when the
// path cannot be read.
DWORD GetFileAttributesW(const wchar_t* pszPath);

// Creates one folder (mode 0777 less the umask). Fails with ERROR_ALREADY_EXISTS when the
// name is taken (by a folder or a file) and ERROR_PATH_NOT_FOUND when its parent is missing.
// `pSecurity` must be null.
BOOL CreateDirectoryW(const wchar_t* pszPath, void* pSecurity);

// FILE_ATTRIBUTE_DIRECTORY when the path names a folder, else FALSE.
BOOL PathIsDirectoryW(const wchar_t* pszPath);

// Copies the name part of `pszFile` (what follows its last '/') into `pszTitle`. Returns 0
// on success; the needed size with the terminator when the buffer is too small or null; a
// negative value when there is no name part.
short GetFileTitleW(const wchar_t* pszFile, wchar_t* pszTitle, WORD cchSize);

// The descriptor behind a file handle, -1 when `hFile` is not an open file. It stays the
// handle's: the caller must not close it.
int FileDescriptorOf(HANDLE hFile);

}  // namespace win
