#include "system/Shortcuts.h"

#include <windows.h>
#include <shlobj.h>

#include <filesystem>
#include <system_error>

#include "app/Log.h"
#include "app/ScopedWin.h"
#include "engine/InstallLocations.h"

namespace tessara {
namespace {

constexpr const wchar_t* ShortcutDescription = L"Orvix Tessara";

void UpdateShortcut(bool wanted, const std::wstring& target, const std::filesystem::path& folder) {
    const std::wstring linkPath = (folder / ShortcutFileName).wstring();
    if (wanted) {
        CreateShortcut(target, linkPath, ShortcutDescription);
    } else {
        RemoveShortcut(linkPath);
    }
}

}  // namespace

bool UpdateShortcuts(bool desktop, bool startMenu, std::wstring installFolder) {
    const std::wstring target = JoinFixedName(installFolder, AppExecutableName);

    wchar_t desktopFolder[MAX_PATH] = {};
    if (::SHGetSpecialFolderPathW(nullptr, desktopFolder, CSIDL_DESKTOP, FALSE)) {
        UpdateShortcut(desktop, target, desktopFolder);
    }
    unique_cotaskmem_string programsFolder;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_Programs, 0, nullptr, programsFolder.put()))) {
        UpdateShortcut(startMenu, target, programsFolder.get());
    }
    return true;
}

bool CreateShortcut(const std::wstring& target, const std::wstring& linkPath,
                    const std::wstring& description) {
    LogFormat("Creating shortcut target=\"%S\", path=\"%S\", descr=\"%S\"", target, linkPath, description);
    ComPtr<IShellLinkW> link;
    if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  link.put_void()))) {
        return false;
    }
    link->SetPath(target.c_str());
    link->SetDescription(description.c_str());
    ComPtr<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, file.put_void()))) return false;
    return SUCCEEDED(file->Save(linkPath.c_str(), TRUE));
}

bool RemoveShortcut(const std::wstring& linkPath) {
    std::error_code error;
    if (!std::filesystem::exists(linkPath, error) && !error) return true;
    std::filesystem::remove_all(linkPath, error);
    return !error;
}

}  // namespace tessara
