// tessaradetector.exe of the demo payload: a windowless helper that stays running until it is ended,
// as the real detector does. It is started after each installation and at every logon, so a second
// start while one instance runs ends at once.
#include <windows.h>

#include "app/ScopedWin.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const tessara::unique_handle instance(::CreateMutexW(nullptr, FALSE, L"Local\\OrvixTessaraDemoDetector"));
    if (!instance || ::GetLastError() == ERROR_ALREADY_EXISTS) return 0;
    for (;;) ::Sleep(INFINITE);
}
