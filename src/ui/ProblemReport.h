// The problem report: an error is shown with the offer to mail it to us; on yes the user's
// mail program opens a message with the error, the version text and the system
// description. The dialogs' exception guards end here.
#pragma once

#include <string>

#include "ui/GuiGuard.h"

// The prefixes and fallback texts of the dialogs' guards.
inline constexpr const wchar_t* kAboutFailed = L"ERROR: CAboutDlg failed! ";
inline constexpr const wchar_t* kOptionsPageFailed =
    L"ERROR: CPageOptionsHTML message map failed! ";
inline constexpr const wchar_t* kOptionsSheetFailed =
    L"ERROR: CPropertyOptions message map failed! ";
inline constexpr const wchar_t* kUnhandled = L"Unhandled exception!!!";
inline constexpr const wchar_t* kUnhandledPageBase =
    L"Unhandled exception!!!\r\nCMyPropertyPageImpl";
inline constexpr const wchar_t* kUnhandledContextHelp =
    L"Unhandled exception!!!\r\nCContextualHelp";

// The version text followed by the system description: the body of the About box.
std::wstring AboutText();

// The mailto URL of a problem report about `strError` (already percent-encoded).
std::string ProblemReportUrl(const std::wstring& strError);

// GUI thread. Shows "<error>\r\n\r\nDo you want to email me the report about your
// problem?" with Yes and No; on Yes opens the mail program with the report. 1 when the
// mail program was asked to open a message, 0 when the user declined.
int OfferProblemReport(const std::wstring& strError);

// GUI thread. Runs `fn`; an exception that leaves it becomes a problem report of
// `pszPrefix` followed by the exception's text (or `pszUnknown` for an exception of another
// kind). Returns whether `fn` ran to its end.
template <class F>
bool ReportGuard(const wchar_t* pszPrefix, const wchar_t* pszUnknown, F&& fn) {
    try {
        fn();
        return true;
    } catch (...) {
        const std::wstring strText = pszPrefix + TakeCaughtGuiText(pszUnknown);
        try {
            OfferProblemReport(strText);
        } catch (...) {
            // A failing report must not take the event loop down either.
        }
        return false;
    }
}
