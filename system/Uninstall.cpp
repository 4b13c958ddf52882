#include "system/Uninstall.h"

#include <windows.h>

#include <string_view>
#include <vector>

#include "app/Config.h"
#include "app/Log.h"
#include "app/FileSystem.h"
#include "app/SystemLibrary.h"
#include "app/Text.h"
#include "app/InstallLocations.h"
#include "res/resource.h"
#include "system/CommandLine.h"
#include "system/ProcessControl.h"
#include "system/Registration.h"
#include "system/RegistryTransaction.h"
#include "system/RegistryValues.h"

namespace tessara {
namespace {

constexpr REGSAM TreeAccess = DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE;

// A script that outlived its program cannot still be running after this long: it waits about a minute
// at most.
constexpr ULONGLONG LeftoverScriptAge = 10ull * 60 * 10000000;  // in 100-nanosecond ticks

// The embedded script; empty when the resource is missing.
std::string_view SelfRemovalScript() {
    const HMODULE module = ::GetModuleHandleW(nullptr);
    const HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(IDR_SELF_REMOVAL_SCRIPT), L"BAT");
    const HGLOBAL loaded = resource ? ::LoadResource(module, resource) : nullptr;
    const char* const bytes = loaded ? static_cast<const char*>(::LockResource(loaded)) : nullptr;
    return bytes ? std::string_view(bytes, ::SizeofResource(module, resource)) : std::string_view();
}

// Writes the embedded script under a fresh temporary name with the extension ".bat"; empty when no
// complete script could be written, so that nothing half-written is ever run.
std::wstring WriteSelfRemovalScript() {
    const std::string_view bytes = SelfRemovalScript();
    if (bytes.empty()) return {};

    // Only a name is formed, so that a cut here leaves nothing behind.
    std::wstring script = NewTempName();
    if (script.empty()) return {};
    // The unique name ends in ".tmp"; the interpreter runs only what ends in ".bat".
    const size_t dot = script.find_last_of(L"\\/.");
    if (dot != std::wstring::npos && script[dot] == L'.') script.erase(dot);
    script += L".bat";

    if (!WriteFileBytes(script, bytes.data(), bytes.size(), false)) {
        // One that stood there already is someone else's.
        if (::GetLastError() != ERROR_FILE_EXISTS) RemoveFile(script);
        return {};
    }
    return script;
}

bool StartSelfRemovalScript(const std::wstring& script, const std::wstring& setAside) {
    const std::wstring systemFolder = GetSystemX86Folder();
    // The interpreter comes from the system folder, never from a search that starts beside the program.
    return !systemFolder.empty() &&
           StartProcess(systemFolder + L"\\cmd.exe",
                        SelfRemovalCommandLine(script, ::GetCurrentProcessId(), setAside), {},
                        CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP);
}

bool MoveFileNoReplace(const std::wstring& from, const std::wstring& to) {
    return ::MoveFileExW(ExtendedLengthPath(from).c_str(), ExtendedLengthPath(to).c_str(), 0) != FALSE;
}

bool HasPattern(const std::wstring& name, const wchar_t* prefix, const wchar_t* suffix) {
    const size_t prefixLength = ::wcslen(prefix);
    const size_t suffixLength = ::wcslen(suffix);
    return name.size() >= prefixLength + suffixLength &&
           ::_wcsnicmp(name.c_str(), prefix, prefixLength) == 0 &&
           ::_wcsicmp(name.c_str() + name.size() - suffixLength, suffix) == 0;
}

// The name the program's file is set aside under for its removal: beside it, so that the rename never
// crosses a volume, and unique to the process.
constexpr const wchar_t* SetAsideSuffix = L".old";
std::wstring SetAsideNameFor(const std::wstring& program, DWORD processId) {
    return program + L"." + std::to_wstring(processId) + SetAsideSuffix;
}

ULONGLONG Ticks(const FILETIME& time) { return (ULONGLONG{time.dwHighDateTime} << 32) | time.dwLowDateTime; }

// Scripts in the temporary folder that a kill or a power cut stopped: only files that are byte for byte
// our script, or its beginning where a power cut tore its writing, and too old to be running still.
void RemoveLeftoverScripts() {
    const std::string_view ours = SelfRemovalScript();
    const std::wstring temp = GetTempFolder();
    std::vector<FolderEntry> entries;
    if (ours.empty() || temp.empty() || !ListFolder(temp, entries)) return;
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    for (const FolderEntry& entry : entries) {
        if (entry.isDirectory || entry.isLink || entry.size == 0 || entry.size > ours.size() ||
            !IsTempNameForm(entry.name, L".bat"))
            continue;
        const std::wstring path = JoinPath(temp, entry.name);
        const auto attributes = FileAttributesOf(path);
        const auto bytes = ReadFileBytes(path, ours.size());
        if (!attributes || Ticks(now) - Ticks(attributes->ftLastWriteTime) < LeftoverScriptAge || !bytes ||
            std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()) !=
                ours.substr(0, bytes->size()))
            continue;
        if (RemoveFile(path)) LogFormat("Removed a self-removal script that an earlier run left: %S", path);
    }
}

// What such a script was to delete: this program's file, set aside beside it by an earlier process. One
// that a process still runs from stays (the system refuses), and its script then finds nothing to do.
void RemoveSetAsideCopies() {
    const std::wstring program = GetExecutablePath();
    const std::wstring folder = ParentFolderOf(program);
    std::vector<FolderEntry> entries;
    if (program.empty() || folder.empty() || !ListFolder(folder, entries)) return;
    const std::wstring prefix = LastComponentOf(program) + L".";
    for (const FolderEntry& entry : entries) {
        if (entry.isDirectory || entry.isLink || !HasPattern(entry.name, prefix.c_str(), SetAsideSuffix))
            continue;
        const std::wstring id =
            entry.name.substr(prefix.size(), entry.name.size() - prefix.size() - ::wcslen(SetAsideSuffix));
        if (id.empty() || id.find_first_not_of(L"0123456789") != std::wstring::npos) continue;
        const std::wstring path = JoinPath(folder, entry.name);
        if (RemoveFile(path)) LogFormat("Removed the setup program that an earlier run set aside: %S", path);
    }
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

std::wstring SelfRemovalCommandLine(const std::wstring& script, DWORD processId, const std::wstring& target) {
    // cmd /C drops the first and the last quote of a line that starts with one, so the whole command
    // is wrapped in one more pair; the script and the target then arrive as one argument each,
    // blanks and all, and the script's del takes the quoted target path as it is.
    return L"cmd.exe /C \"" + Quoted(script) + L" " + std::to_wstring(processId) + L" " + Quoted(target) +
           L"\"";
}

bool ScheduleSelfRemoval() {
    // The script deletes whatever it is given; it must never be given an empty or partial path.
    const std::wstring program = GetExecutablePath();
    if (program.empty() || !IsRegularFile(program)) return true;
    const std::wstring script = WriteSelfRemovalScript();
    if (script.empty()) return true;
    // The file is set aside under a name of its own before the script is told about it: a new copy put
    // at the program's path afterwards is not the file the script deletes.
    const std::wstring setAside = SetAsideNameFor(program, ::GetCurrentProcessId());
    // One under this name is what an earlier process of the same id left when its script was cut short.
    RemoveFile(setAside);
    if (!MoveFileNoReplace(program, setAside)) {
        LogFormat("Could not set the setup program aside for its removal: system error %d",
                  static_cast<int>(::GetLastError()));
        RemoveFile(script);
        return true;
    }
    if (!StartSelfRemovalScript(script, setAside)) {
        LogFormat("Could not start the removal of the setup program: system error %d",
                  static_cast<int>(::GetLastError()));
        MoveFileNoReplace(setAside, program);
        RemoveFile(script);
        return true;
    }
    LogFormat("The setup program, set aside as %S, is deleted once this process has exited", setAside);
    return true;
}

void RemoveLeftoversOfSelfRemoval() {
    RemoveLeftoverScripts();
    RemoveSetAsideCopies();
}

}  // namespace tessara
