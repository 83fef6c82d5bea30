// The file into which the body of one server response is saved.
//
// Binary mode: the body bytes as they arrive. Text mode: the byte-order mark FF FE, then
// every body line as UTF-16LE. Like CFile, the object does not close its file when it is
// destroyed.
#pragma once

#include <string>
#include <string_view>

#include "support/MyFile.h"

class CResponseFile : public CMyFile {
public:
    CResponseFile() = default;
    ~CResponseFile() override;

    // Nothing unless the file is open; then CFile's.
    void Write(const void* pBuffer, UINT nCount) override;
    void Close() override;

    // Nothing when the file is open already. Otherwise creates the folders of `strPath`,
    // creates the file (emptying one that is there) for writing, shared with nobody,
    // writes FF FE with `bText`, and logs "\nSave to \"<path>\"\n" in bold. A failure is
    // logged as "\nOpen \"<path>\" failed! <message>\n" in bold instead, the file stays
    // closed and nothing is raised. Module lock: taken for the log lines.
    void OpenResponse(const std::wstring& strPath, bool bText);

    // Writes every character of `line` as UTF-16LE (a character above U+FFFF as its
    // surrogate pair), zero characters included, without a terminator; nothing unless the
    // file is open.
    void WriteText(std::wstring_view line);
    // Writes UTF-16 code units as UTF-16LE; nothing unless the file is open.
    void WriteUtf16(std::u16string_view text);
};
