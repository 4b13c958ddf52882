#include "system/Registration.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "app/SystemLibrary.h"
#include "engine/InstallLocations.h"
#include "system/CommandLine.h"

namespace tessara {
namespace {

constexpr const wchar_t* DisplayName = L"Orvix Tessara";
constexpr const wchar_t* Publisher = L"Orvix Systems Inc.";
constexpr const wchar_t* HelpLink = L"http://help.orvix.example/orvix-tessara.html";
constexpr const wchar_t* ProtocolDescription = L"URL:Orvix Tessara";
constexpr DWORD AllBitsSet = 0xFFFFFFFF;

// Strings are stored without terminating NUL: two bytes per character, nothing more.
void SetString(ITransactedKey& key, const std::wstring& name, const std::wstring& text) {
    key.SetValue(name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() * sizeof(wchar_t)));
}

void SetDword(ITransactedKey& key, const std::wstring& name, DWORD value) {
    key.SetValue(name, REG_DWORD, &value, sizeof value);
}

// Symbolic links, junctions and mount points lead elsewhere, or back into the folder itself, where
// following them would never end; only what really lies in the folder counts. The standard
// library's symlink_status does not see links on this platform, so the attribute is read here.
bool IsReparsePoint(const std::filesystem::path& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        throw std::filesystem::filesystem_error(
            "cannot read the file attributes", path,
            std::error_code(static_cast<int>(::GetLastError()), std::system_category()));
    }
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

bool WriteUninstallEntry(std::wstring installFolder, IRegistryTransaction& transaction) {
    const std::wstring executable = JoinFixedName(installFolder, AppExecutableName);
    if (executable.empty() || !std::filesystem::exists(executable)) return false;
    const std::unique_ptr<ITransactedKey> key = transaction.CreateKey(HKEY_CURRENT_USER, UninstallKeyPath);
    if (!key) return false;

    std::wstring location = installFolder;
    std::replace(location.begin(), location.end(), L'\\', L'/');
    SetString(*key, L"DisplayName", DisplayName);
    SetString(*key, L"UninstallString", Quoted(executable) + L" /uninstall");
    SetString(*key, L"InstallLocation", location);
    SetDword(*key, L"NoModify", AllBitsSet);
    SetDword(*key, L"NoRepair", AllBitsSet);
    SetString(*key, L"Publisher", Publisher);
    SetString(*key, L"DisplayIcon", executable + L",0");
    SetString(*key, L"HelpLink", HelpLink);
    SetDword(*key, L"EstimatedSize", GetFolderSize(installFolder) / 1024);
    SetString(*key, L"DisplayVersion", GetInstalledProductVersion(installFolder));
    return true;
}

bool WriteProtocolKeys(std::wstring installFolder, IRegistryTransaction& transaction) {
    const std::wstring executable = JoinFixedName(installFolder, AppExecutableName);
    if (executable.empty() || !std::filesystem::exists(executable)) return false;
    const std::unique_ptr<ITransactedKey> protocol =
        transaction.CreateKey(HKEY_CURRENT_USER, ProtocolKeyPath);
    if (!protocol) return false;
    SetString(*protocol, L"", ProtocolDescription);
    SetString(*protocol, L"URL Protocol", L"");

    // The icon is a nicety; the protocol works without it.
    if (const std::unique_ptr<ITransactedKey> icon = protocol->CreateSubKey(L"DefaultIcon")) {
        SetString(*icon, L"", executable + L",1");
    }
    const std::unique_ptr<ITransactedKey> shell = protocol->CreateSubKey(L"shell");
    if (!shell) return false;
    const std::unique_ptr<ITransactedKey> open = shell->CreateSubKey(L"open");
    if (!open) return false;
    const std::unique_ptr<ITransactedKey> command = open->CreateSubKey(L"command");
    if (!command) return false;
    SetString(*command, L"", Quoted(executable) + L" " + Quoted(L"%1"));
    return true;
}

bool WriteStartupValue(std::wstring installFolder, IRegistryTransaction& transaction) {
    const std::wstring detector = JoinFixedName(installFolder, DetectorExecutableName);
    if (detector.empty() || !std::filesystem::exists(detector)) return false;
    // Opened, not created: a profile without a Run key is not one to add start-up programs to.
    const std::unique_ptr<ITransactedKey> run =
        transaction.OpenKey(HKEY_CURRENT_USER, RunKeyPath, KEY_SET_VALUE);
    if (!run) return false;
    const std::wstring data = Quoted(detector);
    return run->SetValue(RunValueName, REG_SZ, data.c_str(),
                         static_cast<DWORD>(data.size() * sizeof(wchar_t)));
}

unsigned int GetFolderSize(const std::wstring& folder) {
    unsigned int total = 0;
    for (const std::filesystem::directory_entry& entry : std::filesystem::directory_iterator(folder)) {
        const std::wstring name = entry.path().filename().wstring();
        if (name == L"." || name == L".." || IsReparsePoint(entry.path())) continue;
        if (entry.is_directory()) {
            total += GetFolderSize(entry.path().wstring());
        } else {
            total += static_cast<unsigned int>(entry.file_size());
        }
    }
    return total;
}

std::wstring GetInstalledProductVersion(const std::wstring& installFolder) {
    using GetFileVersionInfoSizeWFn = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
    using GetFileVersionInfoWFn = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
    using VerQueryValueWFn = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
    const auto getSize =
        ProcAs<GetFileVersionInfoSizeWFn>(GetSystemLibraryProc(L"version.dll", "GetFileVersionInfoSizeW"));
    const auto getInfo =
        ProcAs<GetFileVersionInfoWFn>(GetSystemLibraryProc(L"version.dll", "GetFileVersionInfoW"));
    const auto queryValue = ProcAs<VerQueryValueWFn>(GetSystemLibraryProc(L"version.dll", "VerQueryValueW"));
    if (!getSize || !getInfo || !queryValue) return {};

    const std::wstring file = JoinFixedName(installFolder, AppExecutableName);
    DWORD handle = 0;
    const DWORD size = getSize(file.c_str(), &handle);
    if (size == 0) return {};
    std::vector<BYTE> info(size);
    if (!getInfo(file.c_str(), handle, size, info.data())) return {};
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!queryValue(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || !fixed ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        return {};
    }
    return std::to_wstring(HIWORD(fixed->dwProductVersionMS)) + L"." +
           std::to_wstring(LOWORD(fixed->dwProductVersionMS)) + L"." +
           std::to_wstring(HIWORD(fixed->dwProductVersionLS)) + L"." +
           std::to_wstring(LOWORD(fixed->dwProductVersionLS));
}

}  // namespace tessara
