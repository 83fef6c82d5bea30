#include "ui/ProblemReport.h"

#include "BuildInfo.h"
#include "support/MailtoUrl.h"
#include "support/ResourceStrings.h"
#include "support/ShowMessage.h"
#include "support/SystemDescription.h"
#include "ui/ExternalUrl.h"

namespace {

constexpr UINT kStrAppName = 128;
constexpr UINT kStrOfferReport = 11213;
constexpr UINT MB_ICONHAND = MB_ICONERROR;

}  // namespace

std::wstring AboutText() {
    return GetVersionText() + DescribeSystem();
}

std::string ProblemReportUrl(const std::wstring& strError) {
    return BuildMailtoUrl(TAPVANE_REPORT_ADDRESS, LoadResourceString(kStrAppName),
                          strError + L" \r\n\r\n" + AboutText());
}

int OfferProblemReport(const std::wstring& strError) {
    std::wstring strQuestion;
    FormatResource(strQuestion, kStrOfferReport, strError);
    if (ShowMessage(strQuestion, MB_YESNO | MB_ICONHAND) == IDNO) {
        return 0;
    }
    // Whether a mail program took it is not for us to report: there is nobody to tell.
    OpenExternalUrl(
        QUrl::fromEncoded(QByteArray::fromStdString(ProblemReportUrl(strError)), QUrl::StrictMode));
    return 1;
}
