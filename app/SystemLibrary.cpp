#include "app/SystemLibrary.h"

#include <shlobj.h>
#include <shlwapi.h>

namespace tessara {

void RestrictLibrarySearchToSystemFolder() {
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Also takes the current folder out of the search of anything loaded by a plain search.
    ::SetDllDirectoryW(L"");
}

std::wstring GetSystemX86Folder() {
    wchar_t folder[MAX_PATH] = {};
    if (!::SHGetSpecialFolderPathW(nullptr, folder, CSIDL_SYSTEMX86, FALSE)) return {};
    return folder;
}

HMODULE LoadSystemLibrary(const wchar_t* libraryName) {
    // By full path where the folder is known; the flag keeps the library's own dependencies in the
    // system folder as well, and alone finds the library there when the folder is unknown.
    wchar_t path[MAX_PATH] = {};
    const std::wstring folder = GetSystemX86Folder();
    const bool joined = !folder.empty() && folder.size() < MAX_PATH && ::wcscpy(path, folder.c_str()) &&
                        ::PathAppendW(path, libraryName);
    return ::LoadLibraryExW(joined ? path : libraryName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

FARPROC GetSystemLibraryProc(const wchar_t* libraryName, const char* procName) {
    const HMODULE module = LoadSystemLibrary(libraryName);
    return module ? ::GetProcAddress(module, procName) : nullptr;
}

void FreeCertificateContext(PCCERT_CONTEXT context) {
    static const auto free =
        CryptoFunction<decltype(&::CertFreeCertificateContext)>("CertFreeCertificateContext");
    if (free) free(context);
}

void CloseCertificateStore(HCERTSTORE store) {
    static const auto close = CryptoFunction<decltype(&::CertCloseStore)>("CertCloseStore");
    if (close) close(store, 0);
}

void CloseAlgorithmProvider(BCRYPT_ALG_HANDLE provider) {
    static const auto close =
        CngFunction<decltype(&::BCryptCloseAlgorithmProvider)>("BCryptCloseAlgorithmProvider");
    if (close) close(provider, 0);
}

void DestroyHash(BCRYPT_HASH_HANDLE hash) {
    static const auto destroy = CngFunction<decltype(&::BCryptDestroyHash)>("BCryptDestroyHash");
    if (destroy) destroy(hash);
}

}  // namespace tessara
