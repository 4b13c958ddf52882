#pragma once
// The program's command line as separate arguments, split the way the platform splits it, and the
// switches found in them. A switch is recognised only in an argument of its own, so text inside a URL
// never selects a run mode.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessara {

// The arguments after the program path; empty when the line cannot be split.
std::vector<std::wstring> SplitArguments(const wchar_t* commandLine);

// "/zipUrl" in any letter case, as a whole argument: the next argument is its value.
bool IsZipUrlSwitch(std::wstring_view argument);
// "/log" in any letter case, as a whole argument: the next argument is the log file's path.
bool IsLogSwitch(std::wstring_view argument);
// "/waitLimit" in any letter case, as a whole argument: the next argument is a number of seconds.
bool IsWaitLimitSwitch(std::wstring_view argument);
// "/refusedPackage" in any letter case, as a whole argument: the next argument is the version of a
// package that its installer refused; the program only logs why.
bool IsRefusedPackageSwitch(std::wstring_view argument);
// The URL after the last "/zipUrl"; nothing when there is none.
std::optional<std::wstring> ZipUrlArgument(const std::vector<std::wstring>& arguments);
// The version after the last "/refusedPackage"; nothing when there is none.
std::optional<std::wstring> RefusedPackageArgument(const std::vector<std::wstring>& arguments);
// The seconds after the last "/waitLimit"; nothing when there is none or its value is not a number.
std::optional<unsigned long> WaitLimitArgument(const std::vector<std::wstring>& arguments);
// The path after the last "/log"; empty when there is none.
std::wstring LogPathArgument(const std::vector<std::wstring>& arguments);

// Lets an installation put a payload over a newer installed one.
constexpr wchar_t AllowDowngradeSwitch[] = L"/allowDowngrade";

// For the program's own use: a run starts the program with it to remove the backup it discarded.
constexpr wchar_t RemoveDiscardedSwitch[] = L"/removeDiscarded";

// True when an argument begins with the switch (case-sensitive, so "/silentXYZ" counts as "/silent").
// The values after "/zipUrl", "/log" and "/waitLimit" are data and are never taken for switches.
bool HasSwitch(const std::vector<std::wstring>& arguments, std::wstring_view name);

}  // namespace tessara
