#include "engine/RunJournal.h"

#include <windows.h>

#include <cwchar>
#include <optional>
#include <vector>

#include "app/Config.h"
#include "app/FileSystem.h"
#include "app/InstallLocations.h"
#include "app/Log.h"
#include "app/RunLimits.h"
#include "app/ScopedWin.h"
#include "engine/Backup.h"
#include "engine/Download.h"
#include "engine/JournalFormat.h"
#include "system/RegistryValues.h"
#include "system/Shortcuts.h"

namespace tessara {
namespace {

// The unique-name service takes three letters of the prefix, then up to four hexadecimal digits.
constexpr const wchar_t* TempNamePrefix = L"Tess";
constexpr int TempNameAttempts = 64;

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
    if (const unique_hkey mark = OpenKeyOutside(HKEY_CURRENT_USER, CommitMarkKeyPath, KEY_SET_VALUE))
        ::RegDeleteValueW(mark.get(), CommitMarkValueName);
    DeleteKeyIfEmpty(HKEY_CURRENT_USER, CommitMarkKeyPath);
    DeleteKeyIfEmpty(HKEY_CURRENT_USER, VendorKeyPath);
    for (const std::wstring& folder :
         {JournalFolder(), ParentFolderOf(JournalFolder()), ParentFolderOf(GetInstallFolder())})
        ::RemoveDirectoryW(folder.c_str());
}

bool Settle(const Journal& journal) {
    const bool committed = journal.Has(CommittedNote) || IsCommitMarked(journal.runId);
    const std::wstring undoRecord = UndoRecordFile();
    if (!committed && !journal.Has(DiscardingNote)) {
        if (RevertRegistryUndoRecord(undoRecord, IsRegistrationStep) != UndoRecordOutcome::Reverted) {
            SetAside(undoRecord, "registry undo record");
        }
        if (!PutBackFolders(journal)) {
            LogFormat("The previous installation could not be restored completely; it is kept in %S",
                      BackupRoot());
            return false;
        }
    }
    ::DeleteFileW(undoRecord.c_str());
    if (committed && journal.kind == RunKind::Uninstall) FinishRemoval();
    if (!journal.Has(DiscardingNote)) WriteJournalLine(JournalFile(), DiscardingNote, L"", OPEN_EXISTING);
    DiscardBackup();
    for (const JournalEntry& entry : journal.entries) {
        if (entry.kind == TemporaryNote) {
            RemoveTree(entry.value);
            RemoveFile(entry.value + SafetyCopySuffix);
        } else if (entry.kind == DownloadNote) {
            const uint64_t start =
                std::wcstoull(entry.value.substr(0, DownloadTimeDigits).c_str(), nullptr, 16);
            RemoveDownloadLeftovers(entry.value.substr(DownloadTimeDigits + 1),
                                    FILETIME{static_cast<DWORD>(start), static_cast<DWORD>(start >> 32)});
        }
    }
    ::DeleteFileW(JournalFile().c_str());
    RemoveBookkeeping();
    return true;
}

// Settles the journal a run left, if any; a journal that is not ours is set aside, never followed.
bool SettleLeftOverRun() {
    RemoveTree(DiscardFolder());
    const std::wstring path = JournalFile();
    if (path.empty() || ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
    const std::optional<Journal> journal = ReadJournal(path);
    if (!journal) {
        SetAside(path, "run journal");
        if (::GetFileAttributesW(UndoRecordFile().c_str()) != INVALID_FILE_ATTRIBUTES)
            SetAside(UndoRecordFile(), "registry undo record");
        return true;
    }
    return Settle(*journal);
}

}  // namespace

bool CRunJournal::Begin(RunKind kind) {
    if (!SettleLeftOverRun()) return false;
    if (!CreateFolders(JournalFolder())) return false;
    ::DeleteFileW(UndoRecordFile().c_str());
    m_runId = NewRunId();
    return WriteJournalLine(JournalFile(), kind == RunKind::Install ? InstallRunNote : UninstallRunNote,
                            m_runId, CREATE_ALWAYS);
}

std::wstring CRunJournal::NewTemporaryFile() { return NewTemporary(false); }

std::wstring CRunJournal::NewTemporaryFolder() { return NewTemporary(true); }

std::wstring CRunJournal::NewTemporary(bool folder) {
    const std::wstring temporaryFolder = TemporaryFolder();
    if (temporaryFolder.empty()) return {};
    LARGE_INTEGER seed{};
    ::QueryPerformanceCounter(&seed);
    UINT unique = static_cast<UINT>(seed.QuadPart ^ ::GetCurrentThreadId());
    for (int attempt = 0; attempt < TempNameAttempts; ++attempt) {
        unique = unique * 1103515245u + 12345u;
        wchar_t name[MAX_PATH] = {};
        // With a number of its own, the service only forms the name; the journal has it before it exists.
        if (!::GetTempFileNameW(temporaryFolder.c_str(), TempNamePrefix, 1 + (unique >> 16) % 0xFFFF, name))
            return {};
        const std::wstring path = name;
        if (PathExists(path) || PathExists(path + SafetyCopySuffix)) continue;
        if (!Note(TemporaryNote, path)) return {};
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
    return Note(DownloadNote, Hex(FileTimeNumber(DownloadStartTime()), 16) + L" " + url);
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
    const std::wstring installFolder = GetInstallFolder(), legacyFolder = GetLegacyAddinFolder();
    const bool legacyPresent = IsDirectory(legacyFolder);
    const bool installPresent = IsDirectory(installFolder);
    if (!Note(legacyPresent ? PresentFolderNote : AbsentFolderNote, legacyFolder) ||
        !Note(installPresent ? PresentFolderNote : AbsentFolderNote, installFolder))
        return false;
    const auto backUp = [this, &backupRoot](const std::wstring& folder) {
        return BackupFolder(backupRoot, folder, [this, &folder] { return Note(BackedUpNote, folder); });
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
    if (!mark || !mark->SetValue(CommitMarkValueName, REG_SZ, m_runId.data(),
                                 static_cast<DWORD>(m_runId.size() * sizeof(wchar_t))))
        return false;
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
    return journal && Settle(*journal);
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
