#include "engine/RunRecovery.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <optional>
#include <vector>

#include "app/Config.h"
#include "app/DiskFlush.h"
#include "app/FileSystem.h"
#include "app/InstallLocations.h"
#include "app/Log.h"
#include "app/RunId.h"
#include "app/RunLimits.h"
#include "app/ScopedWin.h"
#include "app/Text.h"
#include "engine/Backup.h"
#include "engine/InternetCacheCopies.h"
#include "engine/JournalFormat.h"
#include "engine/LocalSource.h"
#include "system/Registration.h"
#include "system/RegistryValues.h"
#include "system/Shortcuts.h"

namespace tessara {
namespace {

bool IsCommitMarked(const std::wstring& runId) {
    wchar_t value[64] = {};
    DWORD size = sizeof value;
    return ::RegGetValueW(HKEY_CURRENT_USER, CommitMarkKeyPath, CommitMarkValueName, RRF_RT_REG_SZ, nullptr,
                          value, &size) == ERROR_SUCCESS &&
           runId == value;
}

// The uninstall's removal is final once committed: what it had still to do goes now.
void FinishRemoval() {
    ScopedCom com;
    UpdateShortcuts(false, false, GetInstallFolder());
    ClearApplicationCache();
}

// A settled run leaves none of its bookkeeping: the commit mark counts only while the run's journal
// exists. The folders of the journal and of the installation go as well when nothing else is in them,
// as after an uninstallation.
void RemoveBookkeeping() {
    if (const unique_hkey mark = OpenKeyOutside(HKEY_CURRENT_USER, CommitMarkKeyPath, KEY_SET_VALUE)) {
        PassDurableStep("registry");
        ::RegDeleteValueW(mark.get(), CommitMarkValueName);
    }
    DeleteKeyIfEmpty(HKEY_CURRENT_USER, CommitMarkKeyPath);
    DeleteKeyIfEmpty(HKEY_CURRENT_USER, VendorKeyPath);
    for (const std::wstring& folder :
         {JournalFolder(), ParentFolderOf(JournalFolder()), ParentFolderOf(GetInstallFolder())})
        ::RemoveDirectoryW(folder.c_str());
}

constexpr int kRegistrations = 3;

// How many of the uninstall entry, the protocol and the start-up value are in the registry.
int RegistrationsPresent() {
    const bool runValue = ::RegGetValueW(HKEY_CURRENT_USER, RunKeyPath, RunValueName, RRF_RT_ANY, nullptr,
                                         nullptr, nullptr) == ERROR_SUCCESS;
    return static_cast<bool>(OpenKeyOutside(HKEY_CURRENT_USER, UninstallKeyPath, KEY_QUERY_VALUE)) +
           static_cast<bool>(OpenKeyOutside(HKEY_CURRENT_USER, ProtocolKeyPath, KEY_QUERY_VALUE)) + runValue;
}

// After a run that was cut off, whatever record of its registry changes was lost: the registrations
// are made to describe the folders as they are now, all of them or none.
void MatchRegistrationsToFiles() {
    const std::wstring installFolder = GetInstallFolder();
    const bool installed = IsRegularFile(JoinFixedName(installFolder, AppExecutableName));
    if (RegistrationsPresent() == (installed ? kRegistrations : 0)) return;
    LogWrite(installed ? "Registering the installation that is in place"
                       : "Removing the registrations of an installation that is not in place");
    const std::unique_ptr<IRegistryTransaction> transaction =
        CreateRegistryTransaction(L"Settling Orvix Tessara Application", UndoRecordFile());
    if (!transaction) return;
    bool written = true;
    if (installed) {
        written = WriteUninstallEntry(installFolder, *transaction) &&
                  WriteProtocolKeys(installFolder, *transaction) &&
                  WriteStartupValue(installFolder, *transaction);
    } else {
        if (OpenKeyOutside(HKEY_CURRENT_USER, ProtocolKeyPath, KEY_QUERY_VALUE)) {
            DeleteKeyTree(HKEY_CURRENT_USER, ProtocolKeyPath, *transaction);
            transaction->DeleteKey(HKEY_CURRENT_USER, ProtocolKeyPath);
        }
        if (OpenKeyOutside(HKEY_CURRENT_USER, UninstallKeyPath, KEY_QUERY_VALUE))
            transaction->DeleteKey(HKEY_CURRENT_USER, UninstallKeyPath);
        if (const std::unique_ptr<ITransactedKey> run =
                transaction->OpenKey(HKEY_CURRENT_USER, RunKeyPath, KEY_SET_VALUE))
            run->DeleteValue(RunValueName);
    }
    if (!written || !transaction->Commit()) transaction->Rollback();
    RemoveFile(UndoRecordFile());
}

// The folder notes of a run come from its backup's marker when the backup is the run's own: the marker
// has each of them before the journal does, and roams with the backup.
Journal WithBackupNotes(const Journal& journal, const std::optional<Journal>& marker) {
    if (!marker || marker->runId != journal.runId) return journal;
    Journal merged = journal;
    merged.entries.erase(std::remove_if(merged.entries.begin(), merged.entries.end(),
                                        [](const JournalEntry& entry) { return IsFolderNote(entry); }),
                         merged.entries.end());
    for (const JournalEntry& entry : marker->entries)
        if (IsFolderNote(entry)) merged.entries.push_back(entry);
    return merged;
}

// True when every cache copy of the journal's downloads is gone.
bool RemoveDownloadsOf(const Journal& journal) {
    bool gone = true;
    for (const JournalEntry& entry : journal.entries) {
        if (entry.kind != DownloadNote) continue;
        const std::wstring url = entry.value.substr(DownloadTimeDigits + 1);
        // A file copied from a folder or a share never passes through the Internet cache.
        if (LocalSourcePath(url)) continue;
        const uint64_t start = std::wcstoull(entry.value.substr(0, DownloadTimeDigits).c_str(), nullptr, 16);
        gone = RemoveDownloadLeftovers(CacheNameOfUrl(url), FILETIME{static_cast<DWORD>(start),
                                                                     static_cast<DWORD>(start >> 32)}) &&
               gone;
    }
    return gone;
}

// Removes a run's folder of temporaries. A cache copy that the download service still holds keeps the
// folder's note for a later start, which removes both once this process has let go of the copy.
void RemoveRunFolder(const std::wstring& folder, const std::optional<Journal>& note) {
    if (!note || RemoveDownloadsOf(*note)) {
        RemoveTree(folder);
        return;
    }
    std::vector<FolderEntry> entries;
    ListFolder(folder, entries);
    for (const FolderEntry& entry : entries)
        if (!SamePath(JoinPath(folder, entry.name), RunNoteFile(folder)))
            RemoveTree(JoinPath(folder, entry.name));
    LogFormat("A copy of the download is still held; it goes at a later start with %S", folder);
}

void RemoveTemporaries(const Journal& journal) {
    bool inRunFolder = false;
    for (const JournalEntry& entry : journal.entries) {
        if (entry.kind != TemporaryNote) continue;
        if (RunIdOfTemporaryFolder(LastComponentOf(entry.value)).empty()) {
            // A temporary of an earlier version, directly in the temporary folder.
            RemoveTree(entry.value);
            RemoveFile(entry.value + SafetyCopySuffix);
        } else {
            // The folder's own note holds the downloads as the journal does, unless it was torn.
            const std::optional<Journal> note = ReadJournal(RunNoteFile(entry.value));
            RemoveRunFolder(entry.value, note ? note : std::optional<Journal>(journal));
            inRunFolder = true;
        }
    }
    if (!inRunFolder) RemoveDownloadsOf(journal);
}

// What runs that ended without removing their temporaries left: each such run's folder, with what its
// note names in the Internet cache, found by its name alone. A run whose process still runs keeps its own.
void RemoveTemporariesOfEndedRuns() {
    const std::wstring temp = GetTempFolder();
    std::vector<FolderEntry> entries;
    if (temp.empty() || !ListFolder(temp, entries)) return;
    for (const FolderEntry& entry : entries) {
        const std::wstring runId = RunIdOfTemporaryFolder(entry.name);
        if (!entry.isDirectory || entry.isLink || runId.empty() || IsRunAlive(runId)) continue;
        const std::wstring folder = JoinPath(temp, entry.name);
        std::optional<Journal> note = ReadJournal(RunNoteFile(folder));
        if (note && note->runId != runId) note.reset();
        LogFormat("Removing the temporary files of the run %S, which ended without removing them", runId);
        RemoveRunFolder(folder, note);
    }
}

// The backup in its place is the run's own: its marker names the run, or the run began discarding a
// backup it made, which may have lost its marker on the way.
bool OwnsBackup(const Journal& journal, const std::optional<Journal>& marker) {
    if (marker) return marker->runId == journal.runId;
    return journal.Has(DiscardingNote) &&
           std::any_of(journal.entries.begin(), journal.entries.end(), IsFolderNote);
}

}  // namespace

bool SettleRun(const Journal& written, bool filesAreItsOwn, bool byItsRun) {
    const std::optional<Journal> marker = ReadBackupMarker();
    const Journal journal = WithBackupNotes(written, marker);
    // A backup whose discarding this run began may have lost its marker on the way.
    const bool ownBackup =
        marker ? marker->runId == journal.runId
               : journal.Has(DiscardingNote) &&
                     std::any_of(journal.entries.begin(), journal.entries.end(), IsFolderNote);
    const bool committed = journal.Has(CommittedNote) || IsCommitMarked(journal.runId);
    const std::wstring undoRecord = filesAreItsOwn ? UndoRecordFile() : std::wstring();
    if (!committed && !journal.Has(DiscardingNote)) {
        const UndoRecordOutcome undone = filesAreItsOwn
                                             ? RevertRegistryUndoRecord(undoRecord, IsRegistrationStep)
                                             : UndoRecordOutcome::Reverted;
        if (undone == UndoRecordOutcome::Unreadable) {
            // Held for now: everything stays for a later start, which puts back the registry first.
            LogFormat("The registry undo record %S cannot be read now; the run is settled at a later start",
                      undoRecord);
            return false;
        }
        if (undone == UndoRecordOutcome::Refused) SetAside(undoRecord, "registry undo record");
        if (!PutBackFolders(journal)) {
            LogFormat("The previous installation could not be restored completely; it is kept in %S",
                      BackupRoot());
            return false;
        }
    }
    RemoveFile(undoRecord);
    if (committed && journal.kind == RunKind::Uninstall) FinishRemoval();
    // Before the backup and its marker go, so that a cut here is settled again at the next start.
    MatchRegistrationsToFiles();
    // What stays is on the disk before the backup goes: files a restore copied, and the registry as
    // the commit or the settling left it.
    if (!WaitUntilOnDisk()) {
        LogFormat("The installation in place is not on the disk completely; the backup is kept in %S",
                  BackupRoot());
        return false;
    }
    FlushRegistry();
    if (filesAreItsOwn && !journal.Has(DiscardingNote))
        WriteJournalLine(JournalFile(), DiscardingNote, L"", OPEN_EXISTING);
    // A backup that another run made is not this run's to discard, whatever became of this run.
    // What an installation replaced need not hold up its result; a removal leaves nothing behind.
    if (ownBackup) DiscardBackup(byItsRun && committed && journal.kind == RunKind::Install);
    if (committed) DiscardEarlierBackups();
    RemoveTemporaries(journal);
    if (!filesAreItsOwn) return true;
    RemoveFile(JournalFile());
    RemoveBookkeeping();
    return true;
}

namespace {

// A backup that no readable journal of its run describes. With its marker, it is settled as its run's
// journal would be: kept changes when the run committed, put back otherwise. Without one, a folder of
// it is put back where the folder is missing; the rest is kept, with a log line, until a run completes.
bool SettleBackupWithoutJournal(const std::optional<Journal>& marker, bool anotherRunsJournal) {
    const std::wstring backupRoot = BackupRoot();
    if (!IsDirectory(backupRoot)) return true;
    if (marker && !marker->runId.empty()) {
        LogFormat("Settling the backup of the interrupted run %S", marker->runId);
        return SettleRun(*marker, !anotherRunsJournal);
    }
    for (const std::wstring& folder : {GetLegacyAddinFolder(), GetInstallFolder()}) {
        const std::wstring copy = JoinPath(backupRoot, LastComponentOf(folder));
        if (!PathExists(folder) && IsDirectory(copy)) RestoreBackup(backupRoot, folder);
    }
    std::vector<FolderEntry> content;
    if (ListFolder(backupRoot, content) &&
        std::all_of(content.begin(), content.end(), [](const FolderEntry& entry) {
            return SamePath(entry.name, LastComponentOf(BackupMarkerFile()));
        })) {
        RemoveTree(backupRoot);
    } else {
        LogFormat("An earlier backup is kept until a run completes: %S", backupRoot);
    }
    MatchRegistrationsToFiles();
    return true;
}

// What a cut-off write or discard leaves beside the journal: a half-written undo record that was never
// put in place, and files that were moved out of a discarded backup while still held open.
void RemoveStaleFiles() {
    RemoveFile(UndoRecordFile() + L".new");
    std::vector<FolderEntry> entries;
    ListFolder(JournalFolder(), entries);
    for (const FolderEntry& entry : entries)
        if (!entry.isDirectory && entry.name.compare(0, 10, L"discarded-") == 0)
            RemoveFile(JoinPath(JournalFolder(), entry.name));
}

}  // namespace

bool SettleLeftOverRun() {
    RemoveTree(DiscardFolder());
    RemoveStaleFiles();
    RemoveTemporariesOfEndedRuns();
    const std::wstring path = JournalFile();
    std::optional<Journal> journal;
    bool emptied = false;
    if (!path.empty()) {
        JournalReading reading = ReadJournalFile(path);
        if (reading.state == JournalState::Unreadable) {
            LogFormat(
                "The run journal %S cannot be read now (system error %d); it is settled at a later start",
                path, static_cast<int>(reading.error));
            return false;
        }
        if (reading.state == JournalState::Ours) journal = std::move(reading.journal);
        if (reading.state == JournalState::Foreign) {
            SetAside(path, "run journal");
            if (PathExists(UndoRecordFile())) SetAside(UndoRecordFile(), "registry undo record");
        } else if (journal && journal->runId.empty()) {
            // Not even its first record is whole: what the run did is told by its backup's marker and
            // by the folders themselves.
            emptied = true;
            journal.reset();
        }
    }
    const std::optional<Journal> marker = ReadBackupMarker();
    const bool backupOfJournal = journal && OwnsBackup(*journal, marker);
    if (!backupOfJournal && !SettleBackupWithoutJournal(marker, journal.has_value())) return false;
    if (emptied) {
        // The empty journal goes last, so that a cut meanwhile comes here again.
        MatchRegistrationsToFiles();
        RemoveFile(UndoRecordFile());
        RemoveFile(path);
    }
    return !journal || SettleRun(*journal);
}

void RecoverInterruptedRun() {
    if (::GetFileAttributesW(JournalFile().c_str()) != INVALID_FILE_ATTRIBUTES)
        LogWrite("Completing an interrupted installation run");
    SettleLeftOverRun();
}

}  // namespace tessara
