// Error codes of the pattern engine and the holder of the last error's text.
#pragma once

#include <string>

// The codes of the engine's errors. 1 to 9 come from matching, 10 to 24 from compiling and
// from the matcher object; 25 and 26 are the bounds that keep one match from exhausting the
// stack or running without end on a long subject.
enum ERegError : int {
    REGERR_NULL_SUBJECT = 1,
    REGERR_CORRUPTED_PROGRAM = 2,
    REGERR_CORRUPTION = 3,
    REGERR_CORRUPTED_POINTERS = 4,
    REGERR_BAD_REPEAT = 5,
    REGERR_CORRUPTED_OPCODE = 6,
    REGERR_NULL_SUBST = 7,
    REGERR_DAMAGED_SUBST = 8,
    REGERR_DAMAGED_MATCH = 9,
    REGERR_NULL_PATTERN = 10,
    REGERR_TOO_BIG = 11,
    REGERR_TOO_MANY_GROUPS = 12,
    REGERR_UNTERMINATED_GROUP = 13,
    REGERR_UNMATCHED_GROUP = 14,
    REGERR_JUNK_ON_END = 15,
    REGERR_EMPTY_OPERAND = 16,
    REGERR_NESTED_REPEAT = 17,
    REGERR_INVALID_RANGE = 18,
    REGERR_UNMATCHED_SET = 19,
    REGERR_UNEXPECTED_END = 20,
    REGERR_REPEAT_FOLLOWS_NOTHING = 21,
    REGERR_TRAILING_BACKSLASH = 22,
    REGERR_STRCSPN = 23,
    REGERR_NULL_PROGRAM = 24,
    REGERR_TOO_DEEP = 25,
    REGERR_TOO_COSTLY = 26,
};

class CRegErrorHandler {
public:
    // The text of a code; a code the table does not know gives "Unknown error".
    static const wchar_t* GetErrorTextOf(int nCode);

    // Replaces the last error's text with the text of the code.
    void SetError(int nCode) { m_strError = GetErrorTextOf(nCode); }
    void ClearError() { m_strError.clear(); }
    // Empty when no error happened since the last clear.
    const std::wstring& GetErrorText() const { return m_strError; }

protected:
    void SetErrorText(const std::wstring& strText) { m_strError = strText; }

private:
    std::wstring m_strError;
};
