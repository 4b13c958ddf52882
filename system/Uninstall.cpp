#include "system/Uninstall.h"

#include <windows.h>

#include <exception>
#include <vector>

#include "app/Config.h"
#include "app/FileSystem.h"
#include "app/ScopedWin.h"
#include "app/SystemLibrary.h"
#include "app/Text.h"
#include "app/InstallLocations.h"
#include "system/ProcessControl.h"
#include "res/resource.h"
#include "system/CommandLine.h"
#include "system/Registration.h"
#include "system/RegistryTransaction.h"
#include "system/RegistryValues.h"
#include "system/Shortcuts.h"

namespace tessara {
namespace {

constexpr REGSAM TreeAccess = DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE;

std::wstring CreateWorkFolder() {
    try {
        return CreateTempFolder();
    } catch (const std::exception&) {
        return {};
    }
}

// A path that starts at a drive's root or at a share, never one taken relative to the current folder.
bool IsAbsolutePath(const std::wstring& path) {
    const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    return (path.size() >= 3 && path[1] == L':' && separator(path[2])) ||
           (path.size() >= 2 && separator(path[0]) && separator(path[1]));
}

// A copy that never replaces a file already at the target.
bool CopyToNewFile(const std::wstring& source, const std::wstring& target) {
    return ::CopyFileW(ExtendedLengthPath(source).c_str(), ExtendedLengthPath(target).c_str(), TRUE) != FALSE;
}

// The cache is only a cache: what cannot be removed now does no harm to a finished uninstall.
void ClearCacheIfPossible() {
    try {
        ClearApplicationCache();
    } catch (const std::exception&) {
    }
}

// The registry deletions that decide whether there is an installation to remove at all.
bool DeleteRegistrations(IRegistryTransaction& transaction) {
    // A protocol that was never registered (or was removed by hand) is nothing to delete.
    if (OpenKeyOutside(HKEY_CURRENT_USER, ProtocolKeyPath, TreeAccess)) {
        const bool tree = DeleteKeyTree(HKEY_CURRENT_USER, ProtocolKeyPath, transaction);
        const bool key = transaction.DeleteKey(HKEY_CURRENT_USER, ProtocolKeyPath);
        if (!tree || !key) return false;
    }
    return transaction.DeleteKey(HKEY_CURRENT_USER, UninstallKeyPath);
}

// Writes the embedded script under a fresh temporary name with the extension ".bat"; empty when no
// complete script could be written, so that nothing half-written is ever run.
std::wstring WriteSelfRemovalScript() {
    const HMODULE module = ::GetModuleHandleW(nullptr);
    const HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(IDR_SELF_REMOVAL_SCRIPT), L"BAT");
    const HGLOBAL loaded = resource ? ::LoadResource(module, resource) : nullptr;
    const void* const bytes = loaded ? ::LockResource(loaded) : nullptr;
    const DWORD size = resource ? ::SizeofResource(module, resource) : 0;
    if (!bytes || size == 0) return {};

    std::wstring script = CreateTempFileName();
    if (script.empty()) return {};
    RemoveFile(script);
    // The unique name ends in ".tmp"; the interpreter runs only what ends in ".bat".
    const size_t dot = script.find_last_of(L"\\/.");
    if (dot != std::wstring::npos && script[dot] == L'.') script.erase(dot);
    script += L".bat";

    if (!WriteFileBytes(script, bytes, size)) {
        RemoveFile(script);
        return {};
    }
    return script;
}

}  // namespace

bool RunUninstall() {
    const std::unique_ptr<IRegistryTransaction> transaction =
        CreateRegistryTransaction(L"Uninstalling Orvix Tessara Application");
    if (!transaction) return false;
    // Without a work folder the folders could not be retired; better to remove nothing at all.
    const std::wstring workFolder = CreateWorkFolder();
    if (workFolder.empty()) return false;

    if (!DeleteRegistrations(*transaction)) {
        transaction->Rollback();
        RemoveTree(workFolder);
        return false;
    }
    StopDetectorProcess();
    if (const std::unique_ptr<ITransactedKey> run =
            transaction->OpenKey(HKEY_CURRENT_USER, RunKeyPath, KEY_SET_VALUE)) {
        run->DeleteValue(RunValueName);
    }
    RetireFolder(workFolder, GetLegacyAddinFolder());
    RetireFolder(workFolder, GetInstallFolder());
    UpdateShortcuts(false, false, GetInstallFolder());
    const bool committed = transaction->Commit();
    RemoveTree(workFolder);
    ClearCacheIfPossible();
    return committed;
}

bool RetireFolder(const std::wstring& workFolder, const std::wstring& folder) {
    const std::wstring source =
        folder.substr(0, folder.find_last_not_of(L"\\/") + 1);  // trailing separators dropped
    const std::wstring name = LastComponentOf(source);
    if (workFolder.empty() || !IsAbsolutePath(source) || name.empty()) return false;

    const std::wstring target = JoinPath(workFolder, name);
    if (IsDirectory(source)) {
        std::vector<FolderEntry> entries;
        if (!CreateFolders(target) || !ListFolder(source, entries)) return false;
        for (const FolderEntry& entry : entries) {
            if (!entry.isDirectory &&
                !CopyToNewFile(JoinPath(source, entry.name), JoinPath(target, entry.name)))
                return false;
        }
    } else if (!CopyToNewFile(source, target)) {
        return false;  // a folder that is not there at all ends here
    }
    return RemoveTree(source);
}

std::wstring SelfRemovalCommandLine(const std::wstring& script, const std::wstring& target,
                                    bool targetIsFolder) {
    // cmd /C drops the first and the last quote of a line that starts with one, so the whole command
    // is wrapped in one more pair; the script and the target then arrive as one argument each,
    // blanks and all, and the script's del and rd take the quoted target path as it is.
    return L"cmd.exe /C \"" + Quoted(script) + (targetIsFolder ? L" 1 " : L" 0 ") + Quoted(target) + L" " +
           SetupImageName + L"\"";
}

bool ScheduleSelfRemoval() {
    // The script deletes whatever it is given; it must never be given an empty or partial path.
    const std::wstring program = GetExecutablePath();
    const std::wstring systemFolder = GetSystemX86Folder();
    if (program.empty() || systemFolder.empty()) return true;
    const std::wstring script = WriteSelfRemovalScript();
    if (script.empty()) return true;

    std::wstring commandLine = SelfRemovalCommandLine(script, program, IsDirectory(program));
    // The interpreter comes from the system folder, never from a search that starts beside the program.
    const std::wstring interpreter = systemFolder + L"\\cmd.exe";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (::CreateProcessW(interpreter.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                         CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &started)) {
        const unique_handle process(started.hProcess);
        const unique_handle thread(started.hThread);
    }
    return true;
}

}  // namespace tessara
