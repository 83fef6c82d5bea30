// The application exception: raised as a heap object by pointer (`throw new CException(...)`)
// and deleted by whoever catches it, once it has taken the text.
#pragma once

#include <string>
#include <string_view>

#include "platform/WinFormat.h"

class CException {
public:
    // Copies both texts; a missing text gives an empty string.
    explicit CException(const wchar_t* pszText, const wchar_t* pszText2 = nullptr);
    explicit CException(std::wstring strText, std::wstring strText2 = {});
    virtual ~CException();

    CException(const CException&) = delete;
    CException& operator=(const CException&) = delete;

    // The formatting constructor: printf rules into a 1,024-unit buffer; a longer result is
    // cut to its first 1,023 units.
    template <class... A>
    static CException* Format(std::wstring_view fmt, const A&... args) {
        const win::CFormatArg a[] = {win::CFormatArg(args)..., win::CFormatArg(0)};
        return FormatV(fmt, std::span<const win::CFormatArg>(a, sizeof...(A)));
    }
    static CException* FormatV(std::wstring_view fmt, std::span<const win::CFormatArg> args);

    const std::wstring& GetText() const { return m_strText; }
    const std::wstring& GetText2() const { return m_strText2; }

private:
    std::wstring m_strText;
    std::wstring m_strText2;
};

// Call only inside a catch handler: the text of the exception being handled, by the
// program's catch convention. An application exception gives its text and is deleted; a
// plain 8-bit text gives that text; anything else gives `pszUnknown`.
std::wstring TakeCaughtText(const wchar_t* pszUnknown);
