#pragma once
// System libraries that are not linked at build time are loaded by full path from the 32-bit
// system folder, never by bare name, so a planted DLL beside the program is never picked up.
#include <windows.h>

#include <string>

namespace tessara {

// The 32-bit system folder (C:\Windows\SysWOW64 on 64-bit Windows); empty when unknown.
std::wstring GetSystemX86Folder();
// Loads the library from that folder; null when the folder is unknown or the load fails.
HMODULE LoadSystemLibrary(const wchar_t* libraryName);
// Loads the library from that folder (it stays loaded for the process) and looks up the entry point.
FARPROC GetSystemLibraryProc(const wchar_t* libraryName, const char* procName);

// Entry points found at run time, typed without the compiler's function-cast warning.
template <typename Fn>
Fn ProcAs(FARPROC proc) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
}

}  // namespace tessara
