#pragma once
// Where the program is, its "config.ini", and which URL the payload is downloaded from.
#include <string>

namespace tessara {

// The longest URL the platform's browsers and download services take; signed CDN links with their
// tokens run well past MAX_PATH.
constexpr size_t kMaxPayloadUrlLength = 2083;
constexpr size_t kPayloadUrlSlotSize = kMaxPayloadUrlLength + 1;
// The built-in address keeps the size it has always had, for whatever patches it in place.
constexpr size_t kBuiltInPayloadUrlSlotSize = 260;

// Full path of the running executable; empty when it cannot be determined.
std::wstring GetExecutablePath();
// "config.ini" in the folder of the given executable path (a bare "config.ini" for an empty path).
std::wstring GetConfigFilePathFor(const std::wstring& executablePath);
std::wstring GetConfigFilePath();

// Fills the configured payload URL slot from "config.ini" and then from every "/zipUrl" of the
// command line; the last one wins. False when a "/zipUrl" has no value, or when a URL from either
// source is longer than kMaxPayloadUrlLength: then no run may begin.
bool LoadPayloadUrl(const std::wstring& configFile, const wchar_t* commandLine);

// Puts another URL in the configured slot after LoadPayloadUrl: the same URL completed by the run, such
// as with the credentials remembered for it. False, with the slot unchanged, when it does not fit.
bool SetConfiguredPayloadUrl(const std::wstring& url);

// The configured URL under WoW64 (a 32-bit process on 64-bit Windows), the built-in fallback otherwise.
std::wstring SelectPayloadUrl();
std::wstring SelectPayloadUrlFor(bool underWow64);
bool IsRunningUnderWow64();

// Resets both slots to the built-in URL.
void ResetPayloadUrls();
std::wstring BuiltInPayloadUrl();

// The folder of a path: everything before its last separator (backslash or slash).
std::wstring ParentFolderOf(const std::wstring& path);

}  // namespace tessara
