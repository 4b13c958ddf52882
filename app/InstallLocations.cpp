#include "app/InstallLocations.h"

#include <windows.h>
#include <shlobj.h>

#include <cstring>

#include "app/FileSystem.h"
#include "app/Text.h"

namespace tessara {

namespace {

constexpr const wchar_t* InstallFolderSuffix = L"\\Orvix\\Tessara";
// Where the add-in of the older product generation lived; every successful installation moves it
// into the run's backup so that it disappears with the backup.
constexpr const wchar_t* LegacyAddinFolderSuffix =
    L"\\Cindervale\\Gleam Player\\www.gleamplayer.example\\bin\\orvixtessaraaddin";
constexpr const wchar_t* TempNamePrefix = L"Tess";
constexpr const wchar_t* FallbackTempFolder = L".";
constexpr const wchar_t* ApplicationCacheName = L"TessaraAppCache";

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
    std::wstring path(folder, length);
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    return path;
}

std::wstring CreateTempFileName() {
    std::wstring folder = GetTempFolder();
    if (folder.empty()) folder = FallbackTempFolder;
    wchar_t name[MAX_PATH] = {};
    if (::GetTempFileNameW(folder.c_str(), TempNamePrefix, 0, name) == 0) return {};
    return name;
}

std::wstring CreateTempFolder() {
    const std::wstring path = CreateTempFileName();
    // The unique-name service reserves the name by creating a file; the folder takes its place, and
    // only a folder made here is new.
    if (path.empty() || !RemoveFile(path) || !::CreateDirectoryW(ExtendedLengthPath(path).c_str(), nullptr))
        return {};
    return path;
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
