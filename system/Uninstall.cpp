#include "system/Uninstall.h"

#include <windows.h>

#include <exception>
#include <filesystem>
#include <system_error>

#include "app/Config.h"
#include "app/ScopedWin.h"
#include "app/SystemLibrary.h"
#include "engine/InstallLocations.h"
#include "engine/ProcessControl.h"
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

void RemoveWorkFolder(const std::wstring& workFolder) {
    std::error_code ignored;
    std::filesystem::remove_all(workFolder, ignored);
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

    std::filesystem::path script = CreateTempFileName();
    if (script.empty()) return {};
    std::error_code ignored;
    std::filesystem::remove(script, ignored);
    script.replace_extension(L".bat");

    bool complete = false;
    {
        const unique_file_handle file(::CreateFileW(script.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        complete = file && ::WriteFile(file.get(), bytes, size, &written, nullptr) && written == size;
    }
    if (!complete) {
        std::filesystem::remove(script, ignored);
        return {};
    }
    return script.wstring();
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
        RemoveWorkFolder(workFolder);
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
    RemoveWorkFolder(workFolder);
    ClearCacheIfPossible();
    return committed;
}

bool RetireFolder(const std::wstring& workFolder, const std::wstring& folder) {
    if (workFolder.empty() || folder.empty()) return false;
    std::filesystem::path source = folder;
    if (!source.has_filename()) source = source.parent_path();  // a trailing separator
    if (!source.is_absolute() || !source.has_filename()) return false;

    std::error_code error;
    std::filesystem::copy(source, std::filesystem::path(workFolder) / source.filename(), error);
    if (error) return false;
    std::filesystem::remove_all(source, error);
    return !error;
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

    std::error_code error;
    std::wstring commandLine =
        SelfRemovalCommandLine(script, program, std::filesystem::is_directory(program, error));
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
