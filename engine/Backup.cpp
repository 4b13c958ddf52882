#include "engine/Backup.h"

#include <vector>

#include "app/Arguments.h"
#include "app/Config.h"
#include "app/DiskFlush.h"
#include "app/FailureLog.h"
#include "app/FileSystem.h"
#include "app/InstallLocations.h"
#include "app/RunId.h"
#include "app/Log.h"
#include "app/RunLimits.h"
#include "app/SystemLibrary.h"
#include "app/Text.h"
#include "system/ProcessControl.h"

namespace tessara {
namespace {

constexpr const wchar_t* BackupSuffix = L".backup";
constexpr const wchar_t* DiscardSuffix = L".discard";

// Beside the install folder, hidden: on the same volume as the installation and the legacy folder,
// both in the roaming profile.
std::wstring SiblingOfInstallFolder(const wchar_t* suffix) {
    const std::wstring installFolder = GetInstallFolder();
    return installFolder.empty() ? std::wstring() : installFolder + suffix;
}

std::wstring BackupCopyOf(const std::wstring& backupRoot, const std::wstring& folder) {
    return JoinPath(backupRoot, LastComponentOf(folder));
}

// A file that another process holds open, with leave to delete it, keeps its folder from going until
// it is closed. Moved into the journal folder, on the same volume, it lets the folder go and vanishes
// there once it is closed.
void MoveOutHeldFiles(const std::wstring& folder) {
    std::vector<FolderEntry> left;
    ListTree(folder, left);
    // After its run the journal's folder may be gone.
    CreateFolders(JournalFolder());
    const std::wstring prefix = JoinPath(JournalFolder(), L"discarded-" + NewRunId() + L"-");
    int count = 0;
    for (const FolderEntry& entry : left) {
        if (entry.isDirectory) continue;
        const std::wstring aside = prefix + Hex(++count, 4);
        if (::MoveFileExW(ExtendedLengthPath(JoinPath(folder, entry.name)).c_str(), aside.c_str(), 0))
            ::DeleteFileW(aside.c_str());
    }
}

// This program again, in a process of its own that may outlive this one, from the system folder, so
// that it keeps no folder of ours in use as its current one.
bool StartDiscardedBackupRemoval() {
    const std::wstring program = GetExecutablePath(), systemFolder = GetSystemX86Folder();
    return !program.empty() && !systemFolder.empty() &&
           StartProcess(program, L"\"" + program + L"\" " + RemoveDiscardedSwitch, systemFolder);
}

}  // namespace

std::wstring BackupRoot() { return SiblingOfInstallFolder(BackupSuffix); }
std::wstring DiscardFolder() { return SiblingOfInstallFolder(DiscardSuffix); }

std::wstring BackupMarkerFile() {
    const std::wstring backupRoot = BackupRoot();
    return backupRoot.empty() ? std::wstring() : JoinPath(backupRoot, L"backup.journal");
}

std::optional<Journal> ReadBackupMarker() {
    const std::wstring marker = BackupMarkerFile();
    return marker.empty() || !PathExists(marker) ? std::nullopt : ReadJournal(marker);
}

void DiscardEarlierBackups() {
    const std::wstring backupRoot = BackupRoot();
    std::vector<FolderEntry> entries;
    if (backupRoot.empty() || !ListFolder(ParentFolderOf(backupRoot), entries)) return;
    const std::wstring prefix = LastComponentOf(backupRoot) + L"-";
    for (const FolderEntry& entry : entries) {
        if (!entry.isDirectory || entry.name.size() <= prefix.size() ||
            !EqualsIgnoringCase(std::wstring_view(entry.name).substr(0, prefix.size()), prefix))
            continue;
        const std::wstring earlier = JoinPath(ParentFolderOf(backupRoot), entry.name);
        if (RemoveTree(earlier)) LogFormat("Removed the earlier backup %S", earlier);
    }
}

// By renaming, or, where that cannot be done, by copying under a staging name and renaming that: a
// backup copy under the folder's name is always complete.
bool BackupFolder(const std::wstring& backupRoot, const std::wstring& folder,
                  const std::function<bool()>& noteWhole) {
    LogFormat("Backing up %S to %S", folder, backupRoot);
    if (backupRoot.empty() || folder.empty()) return false;
    // A file that another program holds without leave to delete it keeps the folder in place: nothing
    // is moved, and the reason is logged.
    if (const std::wstring held = FindFileInUse(folder); !held.empty()) {
        LogFileOperationFailure("move", held, ERROR_SHARING_VIOLATION);
        return false;
    }
    if (!MoveOrCopyFolder(folder, BackupCopyOf(backupRoot, folder), noteWhole)) return false;
    LogFormat("Backing up %S to %S done", folder, backupRoot);
    // Done only when the source is gone; what stays of it is put back from the whole copy.
    if (PathExists(folder)) {
        LogFormat("Could not remove %S", folder);
        return false;
    }
    LogFormat("Removed %S done", folder);
    return true;
}

// Puts back what the run replaced, newest first: a folder from its backup when the backup is whole
// (noted so, or moved there by a rename, which leaves nothing at the source), and removes what stands
// where nothing stood.
bool PutBackFolders(const Journal& journal) {
    const std::wstring backupRoot = BackupRoot();
    bool restored = true;
    for (auto entry = journal.entries.rbegin(); entry != journal.entries.rend(); ++entry) {
        const bool present = entry->kind == PresentFolderNote;
        if (!present && entry->kind != AbsentFolderNote) continue;
        const std::wstring& folder = entry->value;
        const std::wstring copy = BackupCopyOf(backupRoot, folder);
        RemoveTree(StagingCopyOf(folder));
        RemoveTree(StagingCopyOf(copy));
        const bool whole = journal.Has(BackedUpNote, folder) || (present && !PathExists(folder));
        if (present && whole && IsDirectory(copy)) {
            restored = RestoreBackup(backupRoot, folder) && restored;
        } else if (!present) {
            restored = RemoveTree(folder) && restored;
        }
    }
    return restored;
}

void DiscardBackup(bool afterTheRun) {
    const std::wstring backupRoot = BackupRoot(), discard = DiscardFolder();
    PassStopPoint("discarding");
    RemoveTree(discard);
    if (IsDirectory(backupRoot) && !MoveFolder(backupRoot, discard)) RemoveTree(backupRoot);
    // Under its discard name the backup is nobody's, and every start removes what is left of it, so its
    // removal may go on after the run has reported its result.
    if (afterTheRun && IsDirectory(discard) && StartDiscardedBackupRemoval()) return;
    RemoveDiscardedBackup();
}

void RemoveDiscardedBackup() {
    PassStopPoint("removing-discarded");
    const std::wstring discard = DiscardFolder();
    if (!RemoveTree(discard)) {
        MoveOutHeldFiles(discard);
        RemoveTree(discard);
    }
}

bool RestoreBackup(std::wstring backupRoot, std::wstring folder) {
    LogFormat("Restoring backup from %s to %s", NarrowForLog(backupRoot), NarrowForLog(folder));
    if (backupRoot.empty() || folder.empty()) return false;
    const std::wstring copy = BackupCopyOf(backupRoot, folder);
    // Whatever the failed run left there goes first; a folder that cannot be cleared is made equal to
    // the backup file by file instead.
    if (RemoveTree(folder)) {
        CreateFolders(ParentFolderOf(folder));
        if (MoveOrCopyFolder(copy, folder)) return true;
    }
    // The copies are on the disk before anything may count on them.
    return MirrorFolder(copy, folder) && WaitUntilOnDisk();
}

}  // namespace tessara
