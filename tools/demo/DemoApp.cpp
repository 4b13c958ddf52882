// Tessara.exe of the demo payload: says that the demo application is installed and shows how it was
// started ("/uninstall" from the list of installed programs, or a tessarapro: link).
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "app/ScopedWin.h"
#include "tools/demo/DemoResource.h"

namespace {

std::wstring DescribeStart() {
    int count = 0;
    const tessara::unique_hlocal arguments(::CommandLineToArgvW(::GetCommandLineW(), &count));
    if (!arguments || count < 2) return L"Started without arguments.";
    const auto* argv = static_cast<wchar_t**>(arguments.get());
    const std::wstring first = argv[1];
    if (first == L"/uninstall") return L"Asked to uninstall (\"/uninstall\").";
    if (::_wcsnicmp(first.c_str(), L"tessarapro:", 11) == 0) return L"Opened the link:\n" + first;
    return L"Started with the argument:\n" + first;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    const std::wstring text = L"The Orvix Tessara demo application is installed.\n\n" + DescribeStart();
    MSGBOXPARAMSW box = {};
    box.cbSize = sizeof(box);
    box.hInstance = instance;
    box.lpszText = text.c_str();
    box.lpszCaption = L"Orvix Tessara";
    box.dwStyle = MB_OK | MB_USERICON;
    box.lpszIcon = MAKEINTRESOURCEW(IDI_DEMO_MAIN);
    ::MessageBoxIndirectW(&box);
    return 0;
}
