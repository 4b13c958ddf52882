#pragma once
// The application's registrations with the shell, written inside the installation's transaction:
// the uninstall entry, the tessarapro URL protocol and the detector's start-up value.
#include <windows.h>

#include <string>

#include "system/RegistryTransaction.h"

namespace tessara {

constexpr const wchar_t* UninstallKeyPath = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvix Tessara App";
constexpr const wchar_t* ProtocolKeyPath = L"Software\\Classes\\tessarapro";
constexpr const wchar_t* RunKeyPath = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const wchar_t* RunValueName = L"TessaraDetector";

bool WriteUninstallEntry(std::wstring installFolder, IRegistryTransaction& transaction);
bool WriteProtocolKeys(std::wstring installFolder, IRegistryTransaction& transaction);
bool WriteStartupValue(std::wstring installFolder, IRegistryTransaction& transaction);

// Sum of the sizes of all files under a folder, modulo 2^32.
unsigned int GetFolderSize(const std::wstring& folder);
// The product version of Tessara.exe in the install folder as "a.b.c.d"; empty without one.
std::wstring GetInstalledProductVersion(const std::wstring& installFolder);

}  // namespace tessara
