#pragma once
// The troubleshooting page on the vendor's help site, in the user's language.
#include <windows.h>

namespace tessara {

// Opens the help page in the user's browser, owned by the given window.
void OpenHelpPage(HWND owner);

}  // namespace tessara
