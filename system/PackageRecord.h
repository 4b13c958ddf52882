#pragma once
// The record that the per-user MSI package keeps under HKCU: which package installed last and at which
// version, and the URL to install from again. The package writes its own values; the setup program, run
// by the package, writes the URL once an installation from it succeeded: "ZipUrl" without credentials,
// for the package to pass back on a repair, and the whole URL protected for the user when it carries a
// user name and password, so that no password is ever stored in clear.
#include <string>

namespace tessara {

constexpr wchar_t kPackageRecordKey[] = L"Software\\Orvix\\TessaraAppSetup Package";

// The URL to install from: a URL without credentials that the record remembers with credentials gets
// them back; any other URL comes back as it is.
std::wstring WithRememberedCredentials(const std::wstring& url);

// Remembers the URL an installation came from. False when the record could not be written.
bool RememberPackageUrl(const std::wstring& url);

// The version of the package recorded as installed (its first three fields); empty when none is.
std::wstring RecordedPackageVersion();

}  // namespace tessara
