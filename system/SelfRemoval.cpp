#include "system/SelfRemoval.h"

#include <windows.h>

#include <cwchar>
#include <optional>
#include <string_view>
#include <vector>

#include "app/Config.h"
#include "app/Log.h"
#include "app/FileSystem.h"
#include "app/SystemLibrary.h"
#include "app/Text.h"
#include "app/InstallLocations.h"
#include "app/RunId.h"
#include "app/RunLimits.h"
#include "res/resource.h"
#include "system/CommandLine.h"
#include "system/ProcessControl.h"

namespace tessara {
namespace {

// The embedded script; empty when the resource is missing.
std::string_view SelfRemovalScript() {
    const HMODULE module = ::GetModuleHandleW(nullptr);
    const HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(IDR_SELF_REMOVAL_SCRIPT), L"BAT");
    const HGLOBAL loaded = resource ? ::LoadResource(module, resource) : nullptr;
    const char* const bytes = loaded ? static_cast<const char*>(::LockResource(loaded)) : nullptr;
    return bytes ? std::string_view(bytes, ::SizeofResource(module, resource)) : std::string_view();
}

// A script is named after the process it serves, "TessaraRemoval-<run id>.bat" in the temporary folder,
// and ends, after the embedded script's last line, in a remark that names the file it deletes: a later
// start tells from the name alone whether the process is gone, and then does what the script was to do.
constexpr const wchar_t* ScriptPrefix = L"TessaraRemoval-";
constexpr const wchar_t* ScriptExtension = L".bat";
constexpr std::string_view TargetRemark = "\r\nrem ";
constexpr std::string_view ScriptEnd = "\r\n";

// The script's bytes for the target; empty when the resource is missing or the path cannot be written.
std::string ScriptFor(const std::wstring& target) {
    const std::string_view bytes = SelfRemovalScript();
    const std::optional<std::string> path = NarrowText(target, CP_UTF8);
    if (bytes.empty() || !path) return {};
    return std::string(bytes) + std::string(TargetRemark) + *path + std::string(ScriptEnd);
}

// Writes the script for the target in the temporary folder; empty when no complete script could be
// written, so that nothing half-written is ever run.
std::wstring WriteSelfRemovalScript(const std::wstring& target) {
    const std::string bytes = ScriptFor(target);
    const std::wstring temp = GetTempFolder();
    if (bytes.empty() || temp.empty()) return {};
    const std::wstring script = temp + ScriptPrefix + NewRunId() + ScriptExtension;
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

// What a self-removal script in the temporary folder, written whole or torn by a cut, leaves to do once
// the process it serves is gone: the script and its target go (a script still running then finds its work
// done). Only a file that is our script, or its beginning where a cut tore its writing, and a target
// that is a program file set aside by that very process.
void RemoveScriptOfEndedProcess(const std::wstring& script, const std::wstring& runId) {
    const std::string_view ours = SelfRemovalScript();
    const std::optional<std::vector<unsigned char>> read = ReadFileBytes(script, ours.size() + 4 * MAX_PATH);
    if (ours.empty() || !read) return;
    const std::string_view bytes(reinterpret_cast<const char*>(read->data()), read->size());
    std::wstring target;
    if (bytes.size() > ours.size()) {
        const size_t start = ours.size() + TargetRemark.size();
        if (bytes.substr(0, ours.size()) != ours ||
            bytes.substr(ours.size(), TargetRemark.size()) != TargetRemark ||
            bytes.size() < start + ScriptEnd.size() ||
            bytes.substr(bytes.size() - ScriptEnd.size()) != ScriptEnd)
            return;
        const std::optional<std::wstring> path =
            WidenText(std::string(bytes.substr(start, bytes.size() - start - ScriptEnd.size())), CP_UTF8);
        const std::wstring processId = std::to_wstring(std::wcstoul(runId.substr(0, 8).c_str(), nullptr, 16));
        if (!path || !HasPattern(LastComponentOf(*path), L"", (L"." + processId + SetAsideSuffix).c_str()))
            return;
        target = *path;
    } else if (bytes.empty() || bytes != ours.substr(0, bytes.size())) {
        return;
    }
    if (!target.empty() && RemoveFile(target))
        LogFormat("Removed the setup program that an earlier run set aside: %S", target);
    if (RemoveFile(script)) LogFormat("Removed a self-removal script that an earlier run left: %S", script);
}

// Scripts in the temporary folder whose process is gone, each with what it was to delete.
void RemoveLeftoverScripts() {
    const std::wstring temp = GetTempFolder();
    std::vector<FolderEntry> entries;
    if (temp.empty() || !ListFolder(temp, entries)) return;
    for (const FolderEntry& entry : entries) {
        if (entry.isDirectory || entry.isLink || !HasPattern(entry.name, ScriptPrefix, ScriptExtension))
            continue;
        const std::wstring runId =
            entry.name.substr(std::wcslen(ScriptPrefix),
                              entry.name.size() - std::wcslen(ScriptPrefix) - std::wcslen(ScriptExtension));
        if (IsRunId(runId) && !IsRunAlive(runId))
            RemoveScriptOfEndedProcess(JoinPath(temp, entry.name), runId);
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
    // The file is set aside under a name of its own before the script is told about it: a new copy put
    // at the program's path afterwards is not the file the script deletes.
    const std::wstring setAside = SetAsideNameFor(program, ::GetCurrentProcessId());
    const std::wstring script = WriteSelfRemovalScript(setAside);
    if (script.empty()) return true;
    // One under this name is what an earlier process of the same id left when its script was cut short.
    RemoveFile(setAside);
    if (!MoveFileNoReplace(program, setAside)) {
        LogFormat("Could not set the setup program aside for its removal: system error %d",
                  static_cast<int>(::GetLastError()));
        RemoveFile(script);
        return true;
    }
    PassStopPoint("self-removal-written");
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
