#include "system/Registration.h"

#include <algorithm>
#include <cwchar>

#include "app/FileSystem.h"
#include "app/SystemLibrary.h"
#include "app/InstallLocations.h"
#include "app/Text.h"
#include "res/Version.h"
#include "system/CommandLine.h"
#include "system/RegistryValues.h"

namespace tessara {
namespace {

constexpr const wchar_t* DisplayName = L"Orvix Tessara";
constexpr const wchar_t* Publisher = L"Orvix Systems Inc.";
constexpr const wchar_t* HelpLink = L"http://help.orvix.example/orvix-tessara.html";
constexpr const wchar_t* ProtocolDescription = L"URL:Orvix Tessara";
constexpr DWORD AllBitsSet = 0xFFFFFFFF;
constexpr const wchar_t* SetupProgramVersion = L"" TESSARA_VERSION_TEXT;
constexpr const wchar_t* PayloadVersionValueName = L"PayloadVersion";

void SetDword(ITransactedKey& key, const std::wstring& name, DWORD value) {
    key.SetValue(name, REG_DWORD, &value, sizeof value);
}

}  // namespace

bool WriteUninstallEntry(std::wstring installFolder, IRegistryTransaction& transaction) {
    const std::wstring executable = JoinFixedName(installFolder, AppExecutableName);
    if (executable.empty() || !PathExists(executable)) return false;
    const std::optional<unsigned int> size = GetFolderSize(installFolder);
    if (!size) return false;
    const std::unique_ptr<ITransactedKey> key = transaction.CreateKey(HKEY_CURRENT_USER, UninstallKeyPath);
    if (!key) return false;

    std::wstring location = installFolder;
    std::replace(location.begin(), location.end(), L'\\', L'/');
    SetStringValue(*key, L"DisplayName", DisplayName);
    SetStringValue(*key, L"UninstallString", Quoted(executable) + L" /uninstall");
    SetStringValue(*key, L"InstallLocation", location);
    SetDword(*key, L"NoModify", AllBitsSet);
    SetDword(*key, L"NoRepair", AllBitsSet);
    SetStringValue(*key, L"Publisher", Publisher);
    SetStringValue(*key, L"DisplayIcon", executable + L",0");
    SetStringValue(*key, L"HelpLink", HelpLink);
    SetDword(*key, L"EstimatedSize", *size / 1024);
    // An application without a version still shows one: that of the setup program that installed it.
    const std::wstring version = GetInstalledProductVersion(installFolder);
    SetStringValue(*key, L"DisplayVersion", version.empty() ? SetupProgramVersion : version);
    return true;
}

bool WriteProtocolKeys(std::wstring installFolder, IRegistryTransaction& transaction) {
    const std::wstring executable = JoinFixedName(installFolder, AppExecutableName);
    if (executable.empty() || !PathExists(executable)) return false;
    const std::unique_ptr<ITransactedKey> protocol =
        transaction.CreateKey(HKEY_CURRENT_USER, ProtocolKeyPath);
    if (!protocol) return false;
    SetStringValue(*protocol, L"", ProtocolDescription);
    SetStringValue(*protocol, L"URL Protocol", L"");

    // The icon is a nicety; the protocol works without it.
    if (const std::unique_ptr<ITransactedKey> icon = protocol->CreateSubKey(L"DefaultIcon")) {
        SetStringValue(*icon, L"", executable + L",1");
    }
    const std::unique_ptr<ITransactedKey> shell = protocol->CreateSubKey(L"shell");
    if (!shell) return false;
    const std::unique_ptr<ITransactedKey> open = shell->CreateSubKey(L"open");
    if (!open) return false;
    const std::unique_ptr<ITransactedKey> command = open->CreateSubKey(L"command");
    if (!command) return false;
    SetStringValue(*command, L"", Quoted(executable) + L" " + Quoted(L"%1"));
    return true;
}

bool WriteStartupValue(std::wstring installFolder, IRegistryTransaction& transaction) {
    const std::wstring detector = JoinFixedName(installFolder, DetectorExecutableName);
    if (detector.empty() || !PathExists(detector)) return false;
    // Opened, not created: a profile without a Run key is not one to add start-up programs to.
    const std::unique_ptr<ITransactedKey> run =
        transaction.OpenKey(HKEY_CURRENT_USER, RunKeyPath, KEY_SET_VALUE);
    if (!run) return false;
    return SetStringValue(*run, RunValueName, Quoted(detector));
}

bool WritePayloadVersion(const std::string& version, IRegistryTransaction& transaction) {
    const std::unique_ptr<ITransactedKey> key = transaction.CreateKey(HKEY_CURRENT_USER, UninstallKeyPath);
    if (!key) return false;
    if (version.empty()) return key->DeleteValue(PayloadVersionValueName);
    const std::optional<std::wstring> text = WidenText(version, CP_UTF8);
    return text && SetStringValue(*key, PayloadVersionValueName, *text);
}

std::string ReadInstalledPayloadVersion() {
    const unique_hkey key = OpenKeyOutside(HKEY_CURRENT_USER, UninstallKeyPath, KEY_QUERY_VALUE);
    std::optional<ValueImage> value;
    if (!key || !ReadValue(key.get(), PayloadVersionValueName, value) || !value || value->type != REG_SZ)
        return {};
    std::wstring text(value->data.size() / sizeof(wchar_t), L'\0');
    std::copy(value->data.begin(), value->data.begin() + text.size() * sizeof(wchar_t),
              reinterpret_cast<BYTE*>(text.data()));
    text.resize(std::wcslen(text.c_str()));
    return NarrowText(text, CP_UTF8).value_or(std::string());
}

// Symbolic links, junctions and mount points lead elsewhere, or back into the folder itself, where
// following them would never end; only what really lies in the folder counts.
std::optional<unsigned int> GetFolderSize(const std::wstring& folder) {
    std::vector<FolderEntry> entries;
    if (!ListTree(folder, entries)) return std::nullopt;
    unsigned int total = 0;
    for (const FolderEntry& entry : entries) {
        if (!entry.isDirectory && !entry.isLink) total += static_cast<unsigned int>(entry.size);
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

bool DeleteRegistrations(IRegistryTransaction& transaction) {
    // A protocol that was never registered (or was removed by hand) is nothing to delete.
    if (OpenKeyOutside(HKEY_CURRENT_USER, ProtocolKeyPath,
                       DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE)) {
        const bool tree = DeleteKeyTree(HKEY_CURRENT_USER, ProtocolKeyPath, transaction);
        const bool key = transaction.DeleteKey(HKEY_CURRENT_USER, ProtocolKeyPath);
        if (!tree || !key) return false;
    }
    return transaction.DeleteKey(HKEY_CURRENT_USER, UninstallKeyPath);
}

}  // namespace tessara
