#include "system/Shortcuts.h"

#include <windows.h>
#include <shlobj.h>

#include "app/FileSystem.h"
#include "app/Log.h"
#include "app/ScopedWin.h"
#include "app/Text.h"
#include "app/InstallLocations.h"

namespace tessara {
namespace {

constexpr const wchar_t* ShortcutDescription = L"Orvix Tessara";

void UpdateShortcut(bool wanted, const std::wstring& target, const std::wstring& folder) {
    const std::wstring linkPath = JoinPath(folder, ShortcutFileName);
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

bool RemoveShortcut(const std::wstring& linkPath) { return RemoveTree(linkPath); }

}  // namespace tessara
