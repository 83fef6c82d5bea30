#include "support/Exception.h"

#include <utility>

#include "platform/TextConv.h"

CException::CException(const wchar_t* pszText, const wchar_t* pszText2)
    : m_strText(pszText ? pszText : L""), m_strText2(pszText2 ? pszText2 : L"") {}

CException::CException(std::wstring strText, std::wstring strText2)
    : m_strText(std::move(strText)), m_strText2(std::move(strText2)) {}

CException::~CException() = default;

CException* CException::FormatV(std::wstring_view fmt, std::span<const win::CFormatArg> args) {
    std::wstring text;
    // A result that does not fit is kept cut to 1,023 units, as the fixed buffer would.
    win::FormatBoundedV(text, 1024, fmt, args);
    return new CException(std::move(text));
}

std::wstring TakeCaughtText(const wchar_t* pszUnknown) {
    try {
        throw;
    } catch (const char* psz) {
        return win::AnsiToWide(psz ? psz : "");
    } catch (CException* e) {
        std::wstring strText = e->GetText();
        delete e;
        return strText;
    } catch (...) {
        return pszUnknown ? pszUnknown : L"";
    }
}
