#include "app/InstallLocations.h"

#include <windows.h>
#include <shlobj.h>

#include <atomic>
#include <cstring>
#include <cwchar>

#include "app/FileSystem.h"
#include "app/RunId.h"
#include "app/ScopedWin.h"
#include "app/Text.h"

namespace tessara {

namespace {

constexpr const wchar_t* InstallFolderSuffix = L"\\Orvix\\Tessara";
// Where the add-in of the older product generation lived; every successful installation moves it
// into the run's backup so that it disappears with the backup.
constexpr const wchar_t* LegacyAddinFolderSuffix =
    L"\\Cindervale\\Gleam Player\\www.gleamplayer.example\\bin\\orvixtessaraaddin";
constexpr int TempNameAttempts = 64;
constexpr const wchar_t* ApplicationCacheName = L"TessaraAppCache";
constexpr const wchar_t* RunFolderPrefix = L"TessaraRun-";

}  // namespace

std::wstring GetInstallFolder() {
    wchar_t folder[MAX_PATH] = {};
    if (!::SHGetSpecialFolderPathW(nullptr, folder, CSIDL_APPDATA, FALSE)) return {};
    return std::wstring(folder) + InstallFolderSuffix;
}

std::wstring GetLegacyAddinFolder() {
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) return {};
    return std::wstring(folder) + LegacyAddinFolderSuffix;
}

std::wstring GetTempFolder() {
    wchar_t folder[MAX_PATH] = {};
    // A result above the buffer size means the folder did not fit and the buffer holds nothing.
    const DWORD length = ::GetTempPathW(MAX_PATH, folder);
    if (length == 0 || length > MAX_PATH) return {};
    return JoinPath(folder, L"");
}

std::wstring NewTempName() {
    const std::wstring folder = GetTempFolder();
    if (folder.empty()) return {};
    // With a number of its own, the unique-name service only forms the name and creates nothing.
    static std::atomic<UINT> unique{static_cast<UINT>(::GetTickCount64() ^ ::GetCurrentProcessId() << 16)};
    for (int attempt = 0; attempt < TempNameAttempts; ++attempt) {
        const UINT number = unique.fetch_add(0x9E37) * 1103515245u + 12345u;
        wchar_t name[MAX_PATH] = {};
        if (!::GetTempFileNameW(folder.c_str(), TempNamePrefix, 1 + (number >> 16) % 0xFFFF, name)) return {};
        if (!PathExists(name)) return name;
    }
    return {};
}

bool IsTempNameForm(const std::wstring& name, const wchar_t* extension) {
    // The unique-name service takes three letters of the prefix, then up to four hexadecimal digits.
    constexpr size_t letters = 3;
    const size_t digitsEnd = name.find_first_not_of(L"0123456789ABCDEFabcdef", letters);
    return name.size() > letters &&
           EqualsIgnoringCase(std::wstring_view(name).substr(0, letters),
                              std::wstring_view(TempNamePrefix).substr(0, letters)) &&
           digitsEnd != std::wstring::npos && digitsEnd > letters && digitsEnd <= letters + 4 &&
           EqualsIgnoringCase(std::wstring_view(name).substr(digitsEnd), extension);
}

std::wstring RunTemporaryFolder(const std::wstring& runId) {
    const std::wstring folder = GetTempFolder();
    return folder.empty() || !IsRunId(runId) ? std::wstring() : folder + RunFolderPrefix + runId;
}

std::wstring RunIdOfTemporaryFolder(const std::wstring& name) {
    const size_t prefix = std::wcslen(RunFolderPrefix);
    if (name.size() <= prefix ||
        !EqualsIgnoringCase(std::wstring_view(name).substr(0, prefix), RunFolderPrefix))
        return {};
    const std::wstring id = name.substr(prefix);
    return IsRunId(id) ? id : std::wstring();
}

std::wstring CreateTempFileName() {
    for (int attempt = 0; attempt < TempNameAttempts; ++attempt) {
        const std::wstring name = NewTempName();
        if (name.empty()) return {};
        if (unique_file_handle(::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                             FILE_ATTRIBUTE_NORMAL, nullptr)))
            return name;
    }
    return {};
}

std::wstring CreateTempFolder() {
    for (int attempt = 0; attempt < TempNameAttempts; ++attempt) {
        const std::wstring path = NewTempName();
        if (path.empty()) return {};
        // Only a folder made here is new.
        if (::CreateDirectoryW(ExtendedLengthPath(path).c_str(), nullptr)) return path;
    }
    return {};
}

bool ClearApplicationCache() {
    wchar_t documents[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, documents)))
        return true;
    return RemoveTree(JoinPath(documents, ApplicationCacheName));
}

std::wstring JoinFixedName(const std::wstring& folder, const char* name) {
    // A fixed name in an unknown folder would resolve against the current drive or folder.
    if (folder.empty()) return {};
    // The fixed names are ASCII, so widening is a plain character copy.
    return JoinPath(folder, std::wstring(name, name + std::strlen(name)));
}

}  // namespace tessara
