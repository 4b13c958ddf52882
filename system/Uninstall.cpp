#include "system/Uninstall.h"

#include <windows.h>

#include "app/Config.h"
#include "app/FileSystem.h"
#include "app/ScopedWin.h"
#include "app/SystemLibrary.h"
#include "app/Text.h"
#include "app/InstallLocations.h"
#include "res/resource.h"
#include "system/CommandLine.h"
#include "system/Registration.h"
#include "system/RegistryTransaction.h"
#include "system/RegistryValues.h"

namespace tessara {
namespace {

constexpr REGSAM TreeAccess = DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE;

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

bool DeleteRegistrations(IRegistryTransaction& transaction) {
    // A protocol that was never registered (or was removed by hand) is nothing to delete.
    if (OpenKeyOutside(HKEY_CURRENT_USER, ProtocolKeyPath, TreeAccess)) {
        const bool tree = DeleteKeyTree(HKEY_CURRENT_USER, ProtocolKeyPath, transaction);
        const bool key = transaction.DeleteKey(HKEY_CURRENT_USER, ProtocolKeyPath);
        if (!tree || !key) return false;
    }
    return transaction.DeleteKey(HKEY_CURRENT_USER, UninstallKeyPath);
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
