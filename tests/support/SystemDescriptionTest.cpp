// The version text, the system description and the mailto URL of the problem report.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include "BuildInfo.h"
#include "ProcessSupport.h"
#include "TempFolder.h"
#include "platform/TextConv.h"
#include "support/Exception.h"
#include "support/MailtoUrl.h"
#include "support/SystemDescription.h"

namespace {

using namespace std::chrono_literals;

std::wstring W(const std::string& s) {
    return win::AnsiToWide(s);
}

// Undoes percent-encoding, as a mail program reads the URL.
std::string PercentDecode(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string FieldOf(const std::string& strUrl, const std::string& strName) {
    const std::size_t nStart = strUrl.find(strName + "=");
    EXPECT_NE(std::string::npos, nStart) << strName;
    const std::size_t nValue = nStart + strName.size() + 1;
    const std::size_t nEnd = strUrl.find('&', nValue);
    return strUrl.substr(nValue, nEnd == std::string::npos ? std::string::npos : nEnd - nValue);
}

TEST(SystemDescriptionTest, DescribesThisSystemFromUnameAndOsRelease) {
    utsname name{};
    ASSERT_EQ(0, ::uname(&name));
    std::string strOsRelease;
    for (const char* psz : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::ifstream in(psz);
        if (in) {
            std::ostringstream text;
            text << in.rdbuf();
            strOsRelease = text.str();
            break;
        }
    }
    ASSERT_FALSE(strOsRelease.empty()) << "no os-release on this machine";
    // The pretty name as the shell would read it.
    std::string strPretty;
    std::istringstream lines(strOsRelease);
    for (std::string strLine; std::getline(lines, strLine);) {
        if (strLine.rfind("PRETTY_NAME=", 0) == 0) {
            strPretty = strLine.substr(12);
            if (strPretty.size() >= 2 && strPretty.front() == '"') {
                strPretty = strPretty.substr(1, strPretty.size() - 2);
            }
        }
    }
    int nMajor = 0, nMinor = 0, nPatch = 0;
    std::sscanf(name.release, "%d.%d.%d", &nMajor, &nMinor, &nPatch);
    const std::string strArch =
        std::string(name.machine) == "x86_64" ? "x64" : std::string(name.machine);
    const std::wstring strExpected =
        W("\r\n\r\n" + std::string(name.sysname) + ": " + strPretty + "\r\nversion " +
          std::to_string(nMajor) + "." + std::to_string(nMinor) + " (Build " +
          std::to_string(nPatch) + ") " + strArch);
    EXPECT_EQ(strExpected, DescribeSystem());
}

TEST(SystemDescriptionTest, LayoutFromGivenFacts) {
    const std::string os = "NAME=X\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n";
    EXPECT_EQ(L"\r\n\r\nLinux: Debian GNU/Linux 12 (bookworm)\r\nversion 6.1 (Build 0) x64",
              DescribeSystemFrom({"Linux", "6.1.0-18-amd64", "x86_64"}, os));
    // The patch number is the build; another machine keeps its own name.
    EXPECT_EQ(L"\r\n\r\nLinux: Debian GNU/Linux 12 (bookworm)\r\nversion 5.15 (Build 146) aarch64",
              DescribeSystemFrom({"Linux", "5.15.146.1-microsoft-standard", "aarch64"}, os));
    // No patch number: build 0. No PRETTY_NAME: the format's default "Linux".
    EXPECT_EQ(L"\r\n\r\nLinux: Linux\r\nversion 6.8 (Build 0) i686",
              DescribeSystemFrom({"Linux", "6.8-rc1", "i686"}, "NAME=Foo\n"));
    // Only the low 16 bits of the build, as the version record holds them.
    EXPECT_EQ(L"\r\n\r\nLinux: Linux\r\nversion 4.4 (Build 4) x64",
              DescribeSystemFrom({"Linux", "4.4.65540", "x86_64"}, ""));
    // A release without a version number cannot be described.
    try {
        DescribeSystemFrom({"Linux", "unknown", "x86_64"}, os);
        ADD_FAILURE() << "no exception";
    } catch (CException* e) {
        EXPECT_FALSE(e->GetText().empty());
        delete e;
    }
}

TEST(SystemDescriptionTest, AnUnreadableSourceGivesOnlyTheErrorText) {
    CTempFolder dir;
    EXPECT_EQ(L"ERROR: OSVersion() Unhandled exception.\n",
              DescribeSystem({dir.Path("missing"), dir.Path("missing-too")}));
    // The second file is used when the first is missing.
    dir.WriteFile("second", "PRETTY_NAME='Test OS 1.0'\n");
    const std::wstring strText = DescribeSystem({dir.Path("missing"), dir.Path("second")});
    EXPECT_EQ(0u, strText.find(L"\r\n\r\n"));
    EXPECT_NE(std::wstring::npos, strText.find(L": Test OS 1.0\r\nversion "));
    // No service-pack line: the text ends with the architecture.
    EXPECT_EQ(std::wstring::npos, strText.find(L"Service Pack"));
}

TEST(SystemDescriptionTest, OsReleaseValuesLoseTheirQuotes) {
    const std::string text =
        "# comment\nA=plain\nB=\"with \\\"quotes\\\" and \\\\ slash\"\nC='single $x'\n"
        "AB=not-a\nA=last wins\r\n";
    EXPECT_EQ("last wins", OsReleaseValue(text, "A").value_or("?"));
    EXPECT_EQ("with \"quotes\" and \\ slash", OsReleaseValue(text, "B").value_or("?"));
    EXPECT_EQ("single $x", OsReleaseValue(text, "C").value_or("?"));
    EXPECT_FALSE(OsReleaseValue(text, "D").has_value());
    EXPECT_EQ("x64", ArchitectureName("x86_64"));
    EXPECT_EQ("armv7l", ArchitectureName("armv7l"));
}

TEST(VersionTextTest, DateInTheCLibraryFormatWhateverTheLocale) {
    const char* pszOld = std::getenv("TZ");
    const std::string strOld = pszOld != nullptr ? pszOld : "";
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    // 6 December 2026, 14:05:09 UTC.
    EXPECT_EQ(L"Sunday, December 06, 2026 14:05.09", FormatVersionDate(1796565909));
    EXPECT_EQ(L"Friday, January 02, 2026 09:05.03", FormatVersionDate(1767344703));
    if (pszOld != nullptr) {
        ::setenv("TZ", strOld.c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
}

TEST(VersionTextTest, VersionBuildDateAndPathOfTheProgramFile) {
    CTempFolder dir;
    dir.WriteFile("prog", "x");
    const std::string strPath = dir.Path("prog");
    const std::wstring strText = GetVersionText(W(strPath));

    struct stat st {};
    ASSERT_EQ(0, ::stat(strPath.c_str(), &st));
    char szDate[128];
    std::tm local{};
    ::localtime_r(&st.st_mtime, &local);
    std::strftime(szDate, sizeof szDate, "%A, %B %d, %Y %H:%M.%S", &local);
    const std::string strVersion =
        std::to_string(TAPVANE_VERSION_MAJOR) + ", " + std::to_string(TAPVANE_VERSION_MINOR) +
        ", " + std::to_string(TAPVANE_VERSION_PATCH) + ", " + std::to_string(TAPVANE_VERSION_TWEAK);
    EXPECT_EQ(W("Tapvane. Version " + strVersion + ".\r\nRelease " TAPVANE_BUILD_PLATFORM " " +
                szDate + "\r\n" + strPath),
              strText);
    // A file that cannot be examined keeps the layout with an empty date.
    EXPECT_EQ(W("Tapvane. Version " + strVersion +
                ".\r\nRelease " TAPVANE_BUILD_PLATFORM " \r\n/no/such/file"),
              GetVersionText(L"/no/such/file"));
    // The running program by default.
    char szSelf[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", szSelf, sizeof szSelf - 1), 0);
    const std::wstring strOwn = GetVersionText();
    EXPECT_EQ(strOwn.size() - W(szSelf).size(), strOwn.rfind(W(szSelf)));
}

TEST(VersionTextTest, CliPrintsTheSameVersionText) {
    test::CChildProcess cli({TAPVANE_CLI_PATH, "--version"}, {});
    EXPECT_EQ(0, cli.Wait(10s));
    // The program and its version as tools print them, then the About box's text.
    std::string strExpected = "tapvane-cli " TAPVANE_VERSION_STRING "\n" +
                              win::WideToAnsi(GetVersionText(W(TAPVANE_CLI_PATH))) + "\n";
    std::erase(strExpected, '\r');
    EXPECT_EQ(strExpected, cli.Out());
}

TEST(MailtoUrlTest, SubjectAndBodyDecodeToTheSameTexts) {
    const std::wstring strBody =
        L"ERROR: a & b # c % d ? e = f + g\r\nsecond line\r\n\r\nü € 🙂 /path?x=1&y=2";
    const std::string strUrl = BuildMailtoUrl("problems@tapvane.example", L"Tap&vane #1", strBody);
    EXPECT_EQ(0u, strUrl.find("mailto:problems@tapvane.example?subject="));
    // Nothing in the fields can end them early or start a fragment.
    const std::string strQuery = strUrl.substr(strUrl.find('?') + 1);
    EXPECT_EQ(std::string::npos, strQuery.find('#'));
    EXPECT_EQ(std::string::npos, strQuery.find('?'));
    EXPECT_EQ(1, std::count(strQuery.begin(), strQuery.end(), '&'));
    EXPECT_EQ("Tap&vane #1", PercentDecode(FieldOf(strUrl, "subject")));
    EXPECT_EQ(win::WideToAnsi(strBody), PercentDecode(FieldOf(strUrl, "body")));
}

TEST(MailtoUrlTest, EveryLineBreakBecomesCrLf) {
    EXPECT_EQ("a%0D%0Ab%0D%0Ac%0D%0A%0D%0Ad", PercentEncodeMailField(L"a\nb\rc\r\n\nd"));
    EXPECT_EQ("A-z_0.9~%20%2B%25", PercentEncodeMailField(L"A-z_0.9~ +%"));
}

}  // namespace
