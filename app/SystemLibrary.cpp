#include "app/SystemLibrary.h"

#include <shlobj.h>
#include <shlwapi.h>

namespace tessara {

std::wstring GetSystemX86Folder() {
    wchar_t folder[MAX_PATH] = {};
    if (!::SHGetSpecialFolderPathW(nullptr, folder, CSIDL_SYSTEMX86, FALSE)) return {};
    return folder;
}

HMODULE LoadSystemLibrary(const wchar_t* libraryName) {
    wchar_t path[MAX_PATH] = {};
    const std::wstring folder = GetSystemX86Folder();
    if (folder.empty() || folder.size() >= MAX_PATH) return nullptr;
    ::wcscpy(path, folder.c_str());
    if (!::PathAppendW(path, libraryName)) return nullptr;
    return ::LoadLibraryW(path);
}

FARPROC GetSystemLibraryProc(const wchar_t* libraryName, const char* procName) {
    const HMODULE module = LoadSystemLibrary(libraryName);
    return module ? ::GetProcAddress(module, procName) : nullptr;
}

}  // namespace tessara
