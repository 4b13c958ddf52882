#pragma once
// The application's registrations with the shell, written inside the installation's transaction:
// the uninstall entry, the tessarapro URL protocol and the detector's start-up value.
#include <windows.h>

#include <optional>
#include <string>

#include "system/RegistryTransaction.h"

namespace tessara {

constexpr const wchar_t* UninstallKeyPath =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvix Tessara App";
constexpr const wchar_t* ProtocolKeyPath = L"Software\\Classes\\tessarapro";
constexpr const wchar_t* RunKeyPath = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const wchar_t* RunValueName = L"TessaraDetector";

// Each writer first checks that the executable it registers is in the install folder (false, nothing
// written, when it is not) and never commits or rolls back the caller's transaction.

// The entry in the per-user list of installed programs. True when the key was created or opened;
// the ten values are written whatever a single write reports, other values of the key stay. False,
// nothing written, when the install folder cannot be sized.
bool WriteUninstallEntry(std::wstring installFolder, IRegistryTransaction& transaction);
// tessarapro: links open Tessara.exe with the link as its one argument. False when the protocol key
// or its shell\open\command chain cannot be created; the icon is optional.
bool WriteProtocolKeys(std::wstring installFolder, IRegistryTransaction& transaction);
// Starts the detector at logon. The Run key is opened, never created; the result is that of the write.
bool WriteStartupValue(std::wstring installFolder, IRegistryTransaction& transaction);

// Deletes the uninstall entry and the protocol registration inside the transaction: false, when the
// uninstall entry is not there or a deletion failed, means there is no installation to remove.
bool DeleteRegistrations(IRegistryTransaction& transaction);

// The signed version of the installed payload, kept in the uninstall entry so that it goes with it.
// Written inside the installation's transaction; an installation without a version removes it.
bool WritePayloadVersion(const std::string& version, IRegistryTransaction& transaction);
// As committed; empty when the installation has none.
std::string ReadInstalledPayloadVersion();

// Sum of the sizes of all files under a folder, modulo 2^32. Links (symbolic links, junctions, mount
// points) are neither followed nor counted. Nothing when some folder under it cannot be listed.
std::optional<unsigned int> GetFolderSize(const std::wstring& folder);
// The product version of Tessara.exe in the install folder as "a.b.c.d"; empty without one.
std::wstring GetInstalledProductVersion(const std::wstring& installFolder);

}  // namespace tessara
