#include "support/SystemDescription.h"

#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <iomanip>
#include <locale>
#include <sstream>

#include "BuildInfo.h"
#include "platform/TextConv.h"
#include "platform/WinFormat.h"
#include "support/Exception.h"
#include "support/ResourceStrings.h"

namespace {

// The leading number of `text` from `pos` on; moves `pos` behind it.
std::optional<unsigned> TakeNumber(std::string_view text, std::size_t& pos) {
    unsigned n = 0;
    const char* pBegin = text.data() + pos;
    const auto [ptr, ec] = std::from_chars(pBegin, text.data() + text.size(), n);
    if (ec != std::errc() || ptr == pBegin) {
        return std::nullopt;
    }
    pos += static_cast<std::size_t>(ptr - pBegin);
    return n;
}

// The text of the first file of `files` that exists; raises when none can be read.
std::string ReadFirstFile(const std::vector<std::string>& files) {
    for (const std::string& strFile : files) {
        std::ifstream in(strFile, std::ios::binary);
        if (in) {
            std::ostringstream text;
            text << in.rdbuf();
            if (in.bad()) {
                break;
            }
            return text.str();
        }
    }
    throw new CException(L"No os-release file can be read");
}

}  // namespace

std::vector<std::string> DefaultOsReleaseFiles() {
    // The operating system's file, then the vendor's copy that it may link to.
    return {"/etc/os-release", "/usr/lib/os-release"};
}

std::optional<std::string> OsReleaseValue(std::string_view text, std::string_view key) {
    std::optional<std::string> value;
    std::size_t nLineStart = 0;
    while (nLineStart < text.size()) {
        std::size_t nLineEnd = text.find('\n', nLineStart);
        if (nLineEnd == std::string_view::npos) {
            nLineEnd = text.size();
        }
        std::string_view line = text.substr(nLineStart, nLineEnd - nLineStart);
        nLineStart = nLineEnd + 1;
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            line.remove_prefix(1);
        }
        if (line.size() <= key.size() || line.substr(0, key.size()) != key ||
            line[key.size()] != '=') {
            continue;
        }
        line.remove_prefix(key.size() + 1);
        while (!line.empty() &&
               (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
            line.remove_suffix(1);
        }
        // Shell quoting: "..." with backslash escapes, '...' literally, or a bare word.
        std::string strValue;
        if (!line.empty() && line.front() == '"') {
            for (std::size_t i = 1; i < line.size() && line[i] != '"'; ++i) {
                if (line[i] == '\\' && i + 1 < line.size()) {
                    ++i;
                }
                strValue += line[i];
            }
        } else if (!line.empty() && line.front() == '\'') {
            const std::size_t nClose = line.find('\'', 1);
            strValue = std::string(line.substr(
                1, nClose == std::string_view::npos ? std::string_view::npos : nClose - 1));
        } else {
            strValue = std::string(line);
        }
        value = std::move(strValue);  // a later assignment wins, as in the shell
    }
    return value;
}

std::string ArchitectureName(std::string_view machine) {
    return machine == "x86_64" ? std::string("x64") : std::string(machine);
}

std::wstring DescribeSystemFrom(const CKernelFacts& kernel, std::string_view osReleaseText) {
    if (kernel.strSysName.empty() || kernel.strMachine.empty()) {
        throw new CException(L"The kernel does not name itself");
    }
    // The os-release format's own default when the file names no PRETTY_NAME.
    const std::string strName = OsReleaseValue(osReleaseText, "PRETTY_NAME").value_or("Linux");

    // The release: major.minor, and the patch number as the build.
    std::size_t pos = 0;
    const std::optional<unsigned> nMajor = TakeNumber(kernel.strRelease, pos);
    if (!nMajor || pos >= kernel.strRelease.size() || kernel.strRelease[pos] != '.') {
        throw new CException(L"The kernel release has no version number");
    }
    ++pos;
    const std::optional<unsigned> nMinor = TakeNumber(kernel.strRelease, pos);
    if (!nMinor) {
        throw new CException(L"The kernel release has no minor version number");
    }
    unsigned nBuild = 0;
    if (pos < kernel.strRelease.size() && kernel.strRelease[pos] == '.') {
        ++pos;
        nBuild = TakeNumber(kernel.strRelease, pos).value_or(0);
    }

    std::wstring strText = L"\r\n";
    strText += L"\r\n" + win::AnsiToWide(kernel.strSysName);
    strText += L": " + win::AnsiToWide(strName);
    strText += L"\r\n" + win::FormatW(L"version %d.%d (Build %d) %s", *nMajor, *nMinor,
                                      static_cast<int>(nBuild & 0xFFFF),
                                      win::AnsiToWide(ArchitectureName(kernel.strMachine)));
    // No service-pack line: this system has no such value.
    return strText;
}

std::wstring DescribeSystem(const std::vector<std::string>& osReleaseFiles) {
    try {
        utsname name{};
        if (::uname(&name) != 0) {
            throw new CException(L"uname failed");
        }
        const CKernelFacts kernel{name.sysname, name.release, name.machine};
        return DescribeSystemFrom(kernel, ReadFirstFile(osReleaseFiles));
    } catch (...) {
        TakeCaughtText(L"");
        return kDescribeSystemFailed;
    }
}

std::wstring DescribeSystem() {
    return DescribeSystem(DefaultOsReleaseFiles());
}

std::wstring ProgramPath() {
    std::string strPath(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", strPath.data(), strPath.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= strPath.size()) {
        return {};
    }
    strPath.resize(static_cast<std::size_t>(n));
    return win::AnsiToWide(strPath);
}

std::wstring FormatVersionDate(std::time_t t) {
    std::tm local{};
    if (::localtime_r(&t, &local) == nullptr) {
        return {};
    }
    // The C library's names whatever the user's locale is, as the text is mailed to us.
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << std::put_time(&local, "%A, %B %d, %Y %H:%M.%S");
    return out ? win::AnsiToWide(out.str()) : std::wstring();
}

std::wstring VersionNumberText() {
    return win::FormatW(L"%d, %d, %d, %d", TAPVANE_VERSION_MAJOR, TAPVANE_VERSION_MINOR,
                        TAPVANE_VERSION_PATCH, TAPVANE_VERSION_TWEAK);
}

std::wstring GetVersionText(const std::wstring& strModulePath) {
    const std::wstring strPath = strModulePath.empty() ? ProgramPath() : strModulePath;
    std::wstring strDate;
    struct stat st {};
    if (!strPath.empty() && ::stat(win::WideToAnsi(strPath).c_str(), &st) == 0) {
        strDate = FormatVersionDate(st.st_mtime);
    }
    const std::wstring strRelease =
        win::FormatW(L"Release %s %s", win::AnsiToWide(TAPVANE_BUILD_PLATFORM), strDate);
    return win::FormatW(L"%s. Version %s.\r\n%s", LoadResourceString(128), VersionNumberText(),
                        strRelease) +
           L"\r\n" + strPath;
}
