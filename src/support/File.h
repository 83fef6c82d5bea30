// A file opened through the platform's file calls, raising CFileException on failure.
//
// The object does not close its file when it is destroyed: Close() does. Errors of Read,
// Write, Seek, Flush and Close are raised as `CFileException*` (the catcher deletes it).
#pragma once

#include <ctime>
#include <string>

#include "platform/WinTypes.h"
#include "support/FileException.h"

// What GetStatus tells about an open file.
struct CFileStatus {
    std::time_t m_ctime = 0;  // last status change (the platform keeps no creation time)
    std::time_t m_mtime = 0;  // last write
    std::time_t m_atime = 0;  // last access
    DWORD m_size = 0;         // low 32 bits of the size
    DWORD m_attribute = 0;    // file attributes of the path, 0 when unknown
    std::wstring m_strFullName;
};

class CFile {
public:
    // Open flags. Bits 0-1: the access; bits 4-6: what other opens may do meanwhile (any
    // value but shareDenyNone, shareDenyRead and shareDenyWrite shares nothing).
    enum : UINT {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,
        shareDenyRead = 0x0030,
        shareDenyNone = 0x0040,
        modeNoInherit = 0x0080,   // child programs do not get the handle
        modeCreate = 0x1000,      // create the file, emptying one that is there...
        modeNoTruncate = 0x2000,  // ...unless this is given too
        typeBinary = 0x8000,      // no meaning: files are always binary
    };

    // Seek origins.
    enum : UINT { begin = 0, current = 1, end = 2 };

    static constexpr std::size_t kMaxPathLength = 259;

    CFile() = default;
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    virtual ~CFile();

    // Opens `pszFileName`. On failure: with `pError`, fills it and returns FALSE; without,
    // raises the exception. An object that is open already drops its earlier file first.
    virtual BOOL Open(const wchar_t* pszFileName, UINT nOpenFlags,
                      CFileException* pError = nullptr);

    // Moves the file position (origin begin, current or end); returns the new position.
    virtual DWORD Seek(LONG lDistance, UINT nFrom);

    // Reads up to nCount bytes; fewer only at the end of the file.
    virtual UINT Read(void* pBuffer, UINT nCount);

    // Writes all nCount bytes; a short write raises diskFull.
    virtual void Write(const void* pBuffer, UINT nCount);

    // Closes the file. The object is closed afterwards even when this raises.
    virtual void Close();

    virtual DWORD GetLength();

    // Writes the buffered data to the disk; nothing for a closed object.
    virtual void Flush();

    virtual std::wstring GetFileName() const;
    virtual std::wstring GetFileTitle() const;
    virtual std::wstring GetFilePath() const;

    bool IsOpen() const { return m_hFile != 0; }
    HANDLE GetHandle() const { return m_hFile; }

    // False when the file's times or size cannot be read (as for a closed object).
    bool GetStatus(CFileStatus& status) const;

    // Writes the UTF-16LE byte-order mark (FF FE) at the file position. The outcome is not
    // checked: this never raises.
    void WriteByteOrderMark();

private:
    HANDLE m_hFile = 0;
    std::wstring m_strFileName;  // the path as opened, at most kMaxPathLength characters
};
