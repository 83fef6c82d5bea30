// The file exception: raised as a heap object by pointer (`throw new CFileException(...)`)
// and deleted by whoever catches it. It tells what went wrong (the cause), the system's
// error code and the file concerned.
#pragma once

#include <string>

#include "platform/WinTypes.h"

class CFileException {
public:
    enum {
        none = 0,
        generic = 1,
        fileNotFound = 2,
        badPath = 3,
        tooManyOpenFiles = 4,
        accessDenied = 5,
        invalidFile = 6,
        removeCurrentDir = 7,
        directoryFull = 8,
        badSeek = 9,
        hardIO = 10,
        sharingViolation = 11,
        lockViolation = 12,
        diskFull = 13,
        endOfFile = 14,
    };

    explicit CFileException(int cause = none, LONG lOsError = -1, std::wstring strFileName = {});
    virtual ~CFileException();

    CFileException(const CFileException&) = delete;
    CFileException& operator=(const CFileException&) = delete;

    // The text of the cause naming the file ("an unnamed file" without a name), cut to
    // nCapacity - 1 characters and terminated. The help context is the text's number.
    // FALSE (and nothing written) only for a missing buffer or a capacity of 0.
    virtual BOOL GetErrorMessage(wchar_t* pszBuffer, UINT nCapacity,
                                 UINT* pnHelpContext = nullptr) const;

    // The same text as a string of at most nCapacity - 1 characters.
    std::wstring GetErrorMessage(UINT nCapacity = 255) const;

    // Raises the exception for a system error code; nothing for 0.
    static void ThrowOsError(LONG lOsError, const std::wstring& strFileName = {});

    // The cause of a system error code (generic for a code without a cause of its own).
    static int OsErrorToCause(LONG lOsError);

    int m_cause;
    LONG m_lOsError;  // -1 when there is none
    std::wstring m_strFileName;
};
