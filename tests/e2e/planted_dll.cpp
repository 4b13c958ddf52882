// A library of ours under the name of a system library, as an attacker would leave it in a downloads
// folder: whichever process loads it leaves "<its own path>.loaded" beside it, holding "start" when the
// loader took it while starting the process and "run time" when a library load took it later.
#include <windows.h>

#include "app/ScopedWin.h"

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t path[MAX_PATH + 8] = {};
    const DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return TRUE;
    ::lstrcatW(path, L".loaded");
    const tessara::unique_file_handle marker(
        ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    // Windows passes a non-null value for a library loaded with the process, null for a later load.
    const char* when = reserved ? "start" : "run time";
    DWORD written = 0;
    if (marker) ::WriteFile(marker.get(), when, ::lstrlenA(when), &written, nullptr);
    return TRUE;
}
