// The texts that describe the program and the system it runs on: the version text and the
// system description, which the About box shows and the problem report mails.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the kernel says of itself (uname).
struct CKernelFacts {
    std::string strSysName;  // "Linux"
    std::string strRelease;  // "6.1.0-18-amd64"
    std::string strMachine;  // "x86_64"
};

// The error text that stands for the whole description when a source cannot be read.
inline constexpr const wchar_t* kDescribeSystemFailed =
    L"ERROR: OSVersion() Unhandled exception.\n";

// The files that name the operating system, in the order they are tried.
std::vector<std::string> DefaultOsReleaseFiles();

// Never throws. "\r\n", then the family line "\r\n<kernel name>: <PRETTY_NAME>", then
// "\r\nversion <major>.<minor> (Build <patch>) <architecture>"; the kernel error text when a
// source cannot be read. Built afresh on every call.
std::wstring DescribeSystem();
// The same with the os-release files given (the first that exists is read).
std::wstring DescribeSystem(const std::vector<std::string>& osReleaseFiles);
// The same from facts already read; raises a CException* when they are unusable.
std::wstring DescribeSystemFrom(const CKernelFacts& kernel, std::string_view osReleaseText);

// The value of `key` in the text of an os-release file, its quotes and escapes undone;
// nothing when the key is absent.
std::optional<std::string> OsReleaseValue(std::string_view text, std::string_view key);

// "x64" for x86_64, otherwise the machine name as uname gives it.
std::string ArchitectureName(std::string_view machine);

// The full path of the running program ("" when the system does not tell).
std::wstring ProgramPath();

// A time as the version text writes it: "%A, %B %d, %Y %H:%M.%S" in local time with the C
// library's English day and month names.
std::wstring FormatVersionDate(std::time_t t);

// The program's version as the version text writes it: "0, 1, 0, 0".
std::wstring VersionNumberText();

// "Tapvane. Version <v>.\r\nRelease <platform> <date>\r\n<path>" for the program file at
// `strModulePath` (the running program when empty): the date is the file's last-write
// time, empty when the file cannot be examined.
std::wstring GetVersionText(const std::wstring& strModulePath = {});
