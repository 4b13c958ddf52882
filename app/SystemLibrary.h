#pragma once
// Libraries other than the known system ones are never imported at load time: the loader would look
// for them beside the program first, and a downloaded setup program shares its folder with whatever
// else was downloaded. They are loaded at run time from the 32-bit system folder, with their own
// dependencies searched there alone.
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <string>

namespace tessara {

// Makes the system folder the only place the process looks for libraries and their dependencies.
// The first thing the program does, before anything can load a library.
void RestrictLibrarySearchToSystemFolder();

// The 32-bit system folder (C:\Windows\SysWOW64 on 64-bit Windows); empty when unknown.
std::wstring GetSystemX86Folder();
// Loads the library from that folder; null when the load fails.
HMODULE LoadSystemLibrary(const wchar_t* libraryName);
// Loads the library from that folder (it stays loaded for the process) and looks up the entry point.
FARPROC GetSystemLibraryProc(const wchar_t* libraryName, const char* procName);

// Entry points found at run time, typed without the compiler's function-cast warning.
template <typename Fn>
Fn ProcAs(FARPROC proc) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
}

// An entry point as a function of its declared type, for example
// SystemFunction<decltype(&::BCryptHashData)>(L"bcrypt.dll", "BCryptHashData"); null when missing.
template <typename Fn>
Fn SystemFunction(const wchar_t* libraryName, const char* procName) {
    return ProcAs<Fn>(GetSystemLibraryProc(libraryName, procName));
}

// The entry points of CNG and of CryptoAPI, found that way.
template <typename Fn>
Fn CngFunction(const char* procName) {
    return SystemFunction<Fn>(L"bcrypt.dll", procName);
}
template <typename Fn>
Fn CryptoFunction(const char* procName) {
    return SystemFunction<Fn>(L"crypt32.dll", procName);
}

// The release functions of the certificate and CNG handles (see app/ScopedWin.h), found the same way.
void FreeCertificateContext(PCCERT_CONTEXT context);
void CloseCertificateStore(HCERTSTORE store);
void CloseAlgorithmProvider(BCRYPT_ALG_HANDLE provider);
void DestroyHash(BCRYPT_HASH_HANDLE hash);

}  // namespace tessara
