// TEMPORARY: minimal stand-ins for platform calls that are being written elsewhere, so that
// the file classes link and can be tested. Removed once the real ones are on this branch.
#include <string>

#include "platform/Handles.h"
#include "platform/Kernel.h"
#include "platform/SystemText.h"
#include "platform/TextConv.h"
#include "platform/WinError.h"
#include "platform/WinFormat.h"

namespace win {

namespace {
thread_local DWORD t_dwLastError = 0;
}

DWORD GetLastError() {
    return t_dwLastError;
}
void SetLastError(DWORD dwError) {
    t_dwLastError = dwError;
}

BOOL CloseHandle(HANDLE h) {
    if (!KernelHandles().Remove(h)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

std::wstring GetSystemMessage(DWORD dwCode) {
    switch (dwCode) {
        case 2:
            return L"The system cannot find the file specified.\r\n";
        case 3:
            return L"The system cannot find the path specified.\r\n";
        case 5:
            return L"Access is denied.\r\n";
        default:
            return {};
    }
}

std::int64_t CFormatArg::AsSigned() const {
    return m_kind == Kind::Signed ? m_i : static_cast<std::int64_t>(m_u);
}

// Handles "%s", "%d", "%ld", "%u", "%lu" and "%%" only, without width or cut.
HRESULT FormatBoundedV(std::wstring& out, std::size_t cchMax, std::wstring_view fmt,
                       std::span<const CFormatArg> args) {
    out.clear();
    std::size_t nArg = 0;
    for (std::size_t i = 0; i < fmt.size(); ++i) {
        if (fmt[i] != L'%' || i + 1 >= fmt.size()) {
            out.push_back(fmt[i]);
            continue;
        }
        ++i;
        if (fmt[i] == L'%') {
            out.push_back(L'%');
            continue;
        }
        if (fmt[i] == L'l' && i + 1 < fmt.size()) {
            ++i;
        }
        if (nArg >= args.size()) {
            return STRSAFE_E_INVALID_PARAMETER;
        }
        const CFormatArg& a = args[nArg++];
        if (fmt[i] == L's') {
            out.append(a.Wide());
        } else {
            out.append(std::to_wstring(a.AsSigned()));
        }
    }
    if (cchMax != 0 && out.size() >= cchMax) {
        out.resize(cchMax - 1);
        return STRSAFE_E_INSUFFICIENT_BUFFER;
    }
    return 0;
}

std::string WideToAnsi(std::wstring_view text) {
    std::string s;
    for (wchar_t wc : text) {
        const auto c = static_cast<std::uint32_t>(wc);
        if (c < 0x80) {
            s.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            s.push_back(static_cast<char>(0xC0 | (c >> 6)));
            s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            s.push_back(static_cast<char>(0xE0 | (c >> 12)));
            s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            s.push_back(static_cast<char>(0xF0 | (c >> 18)));
            s.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return s;
}

}  // namespace win
