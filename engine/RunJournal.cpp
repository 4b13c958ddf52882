#include "engine/RunJournal.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <optional>
#include <vector>

#include "app/Config.h"
#include "app/DiskFlush.h"
#include "app/FileSystem.h"
#include "app/HttpText.h"
#include "app/InstallLocations.h"
#include "app/Log.h"
#include "app/RunLimits.h"
#include "app/ScopedWin.h"
#include "app/Text.h"
#include "engine/Backup.h"
#include "engine/Download.h"
#include "engine/JournalFormat.h"
#include "system/Registration.h"
#include "system/RegistryValues.h"
#include "system/Shortcuts.h"

namespace tessara {
namespace {

constexpr int TempNameAttempts = 64;

// The download service is handed the URL without the user name and password written into it, and its
// cache knows the download by that name: all the clean-up needs, and no password lands on the disk.
// Journals of earlier versions kept the URL whole.
std::wstring CacheNameOfUrl(const std::wstring& url) { return SplitUrlCredentials(url).url; }

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

void RemoveTemporaries(const Journal& journal) {
    for (const JournalEntry& entry : journal.entries) {
        if (entry.kind == TemporaryNote) {
            RemoveTree(entry.value);
            RemoveFile(entry.value + SafetyCopySuffix);
        } else if (entry.kind == DownloadNote) {
            const uint64_t start =
                std::wcstoull(entry.value.substr(0, DownloadTimeDigits).c_str(), nullptr, 16);
            RemoveDownloadLeftovers(CacheNameOfUrl(entry.value.substr(DownloadTimeDigits + 1)),
                                    FILETIME{static_cast<DWORD>(start), static_cast<DWORD>(start >> 32)});
        }
    }
}

// The backup in its place is the run's own: its marker names the run, or the run began discarding a
// backup it made, which may have lost its marker on the way.
bool OwnsBackup(const Journal& journal, const std::optional<Journal>& marker) {
    if (marker) return marker->runId == journal.runId;
    return journal.Has(DiscardingNote) &&
           std::any_of(journal.entries.begin(), journal.entries.end(), IsFolderNote);
}

// Completes or undoes the run. filesAreItsOwn is false for a backup's marker settled while the journal
// folder holds another run's journal: that journal, its undo record and its commit mark are left to it.
// byItsRun is true at the end of the run itself, false when a later start settles it.
bool Settle(const Journal& written, bool filesAreItsOwn = true, bool byItsRun = false) {
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
        if (filesAreItsOwn &&
            RevertRegistryUndoRecord(undoRecord, IsRegistrationStep) != UndoRecordOutcome::Reverted) {
            SetAside(undoRecord, "registry undo record");
        }
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

// A backup that no readable journal of its run describes. With its marker, it is settled as its run's
// journal would be: kept changes when the run committed, put back otherwise. Without one, a folder of
// it is put back where the folder is missing; the rest is kept, with a log line, until a run completes.
bool SettleBackupWithoutJournal(const std::optional<Journal>& marker, bool anotherRunsJournal) {
    const std::wstring backupRoot = BackupRoot();
    if (!IsDirectory(backupRoot)) return true;
    if (marker && !marker->runId.empty()) {
        LogFormat("Settling the backup of the interrupted run %S", marker->runId);
        return Settle(*marker, !anotherRunsJournal);
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

// Settles the journal a run left, if any; a journal that is not ours is set aside, never followed,
// and nothing is deleted on its account.
bool SettleLeftOverRun() {
    RemoveTree(DiscardFolder());
    RemoveStaleFiles();
    const std::wstring path = JournalFile();
    std::optional<Journal> journal;
    bool emptied = false;
    if (!path.empty() && PathExists(path)) {
        journal = ReadJournal(path);
        if (!journal) {
            SetAside(path, "run journal");
            if (PathExists(UndoRecordFile())) SetAside(UndoRecordFile(), "registry undo record");
        } else if (journal->runId.empty()) {
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
    return !journal || Settle(*journal);
}

}  // namespace

bool CRunJournal::Begin(RunKind kind) {
    if (!SettleLeftOverRun()) return false;
    if (!CreateFolders(JournalFolder())) return false;
    RemoveFile(UndoRecordFile());
    m_runId = NewRunId();
    m_kind = kind;
    return WriteJournalLine(JournalFile(), kind == RunKind::Install ? InstallRunNote : UninstallRunNote,
                            m_runId, CREATE_ALWAYS);
}

std::wstring CRunJournal::NewTemporaryFile() { return NewTemporary(false); }

std::wstring CRunJournal::NewTemporaryFolder() { return NewTemporary(true); }

std::wstring CRunJournal::NewTemporary(bool folder) {
    for (int attempt = 0; attempt < TempNameAttempts; ++attempt) {
        const std::wstring path = NewTempName();
        if (path.empty()) return {};
        if (PathExists(path + SafetyCopySuffix)) continue;
        // The journal has the name before anything exists under it.
        if (!Note(TemporaryNote, path)) return {};
        PassDurableStep("create");
        const bool made =
            folder
                ? ::CreateDirectoryW(path.c_str(), nullptr) != FALSE
                : static_cast<bool>(unique_file_handle(::CreateFileW(
                      path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)));
        if (made) return path;
    }
    return {};
}

bool CRunJournal::NoteDownload(const std::wstring& url) {
    return Note(DownloadNote, Hex(FileTimeNumber(DownloadStartTime()), 16) + L" " + CacheNameOfUrl(url));
}

bool CRunJournal::BackUpInstallation() {
    const std::wstring backupRoot = BackupRoot();
    // A backup that no journal refers to any more (its journal was set aside) is neither ours to restore
    // nor to delete: it is kept under a name of its own, so that it blocks no run.
    std::vector<FolderEntry> stale;
    if (ListFolder(backupRoot, stale) && !stale.empty()) {
        const std::wstring kept = backupRoot + L"-" + m_runId;
        LogFormat("An earlier backup that no journal refers to is kept as %S", kept);
        if (!MoveFolder(backupRoot, kept)) return false;
    }
    if (backupRoot.empty() || !CreateFolders(backupRoot)) return false;
    // Out of sight like the journal: nobody is meant to open it.
    ::SetFileAttributesW(backupRoot.c_str(), FILE_ATTRIBUTE_HIDDEN);
    // The backup knows itself: its marker names the run and holds the folder notes before the journal
    // does, so that it is recognised with the journal lost, torn or left on another machine.
    if (!WriteJournalLine(BackupMarkerFile(), m_kind == RunKind::Install ? InstallRunNote : UninstallRunNote,
                          m_runId, CREATE_ALWAYS))
        return false;
    const std::wstring installFolder = GetInstallFolder(), legacyFolder = GetLegacyAddinFolder();
    const bool legacyPresent = IsDirectory(legacyFolder);
    const bool installPresent = IsDirectory(installFolder);
    if (!NoteFolder(legacyPresent ? PresentFolderNote : AbsentFolderNote, legacyFolder) ||
        !NoteFolder(installPresent ? PresentFolderNote : AbsentFolderNote, installFolder))
        return false;
    const auto backUp = [this, &backupRoot](const std::wstring& folder) {
        return BackupFolder(backupRoot, folder, [this, &folder] { return NoteFolder(BackedUpNote, folder); });
    };
    if (legacyPresent && !backUp(legacyFolder)) return false;
    PassStopPoint("backed-up-legacy");
    return !installPresent || backUp(installFolder);
}

std::unique_ptr<IRegistryTransaction> CRunJournal::CreateTransaction(const std::wstring& description) const {
    return CreateRegistryTransaction(description, UndoRecordFile());
}

bool CRunJournal::Commit(IRegistryTransaction& transaction) {
    const std::unique_ptr<ITransactedKey> mark = transaction.CreateKey(HKEY_CURRENT_USER, CommitMarkKeyPath);
    if (!mark || !SetStringValue(*mark, CommitMarkValueName, m_runId)) return false;
    // After the commit the backup may go at any moment: whatever the run wrote is on the disk before.
    if (!WaitUntilOnDisk()) return false;
    PassStopPoint("committing");
    if (!transaction.Commit()) return false;
    PassStopPoint("registry-committed");
    // The mark already tells; the note only saves the next start a look into the registry.
    Note(CommittedNote, L"");
    PassStopPoint("committed");
    return true;
}

bool CRunJournal::Complete() {
    const std::optional<Journal> journal = ReadJournal(JournalFile());
    return journal && Settle(*journal, true, true);
}

bool CRunJournal::NoteFolder(const wchar_t* kind, const std::wstring& folder) {
    return !folder.empty() && WriteJournalLine(BackupMarkerFile(), kind, folder, OPEN_EXISTING) &&
           Note(kind, folder);
}

bool CRunJournal::Note(const wchar_t* kind, const std::wstring& value) {
    return (!value.empty() || kind == CommittedNote) &&
           WriteJournalLine(JournalFile(), kind, value, OPEN_EXISTING);
}

void RecoverInterruptedRun() {
    if (::GetFileAttributesW(JournalFile().c_str()) != INVALID_FILE_ATTRIBUTES)
        LogWrite("Completing an interrupted installation run");
    SettleLeftOverRun();
}

}  // namespace tessara
