#pragma once
// The desktop and Start Menu shortcuts "Orvix Tessara.lnk" to the installed application.
#include <string>

namespace tessara {

constexpr const wchar_t* ShortcutFileName = L"Orvix Tessara.lnk";

// A true flag creates (or rewrites) the shortcut at that location, a false one removes it. Creating
// needs COM on the calling thread. Always true.
bool UpdateShortcuts(bool desktop, bool startMenu, std::wstring installFolder);
// Logs the creation, then saves a link to `target` with the description and nothing else, replacing
// an existing file. True when the link was saved.
bool CreateShortcut(const std::wstring& target, const std::wstring& linkPath,
                    const std::wstring& description);
// True when nothing is left at the path, including when nothing was there.
bool RemoveShortcut(const std::wstring& linkPath);

}  // namespace tessara
