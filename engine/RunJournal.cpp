#include "engine/RunJournal.h"

#include <windows.h>

#include <memory>
#include <optional>

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
#include "engine/RunRecovery.h"
#include "system/RegistryValues.h"

namespace tessara {

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
    if (m_runFolder.empty()) {
        const std::wstring runFolder = RunTemporaryFolder(m_runId);
        // The journal has the name before anything exists under it.
        if (runFolder.empty() || !Note(TemporaryNote, runFolder)) return {};
        PassDurableStep("create");
        if (!::CreateDirectoryW(runFolder.c_str(), nullptr) ||
            !WriteJournalLine(RunNoteFile(runFolder),
                              m_kind == RunKind::Install ? InstallRunNote : UninstallRunNote, m_runId,
                              CREATE_NEW))
            return {};
        m_runFolder = runFolder;
    }
    const std::wstring path =
        JoinPath(m_runFolder, (folder ? L"files" : L"download") + std::to_wstring(++m_temporaries) + L".tmp");
    PassDurableStep("create");
    const bool made =
        folder ? ::CreateDirectoryW(path.c_str(), nullptr) != FALSE
               : static_cast<bool>(unique_file_handle(::CreateFileW(
                     path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)));
    return made ? path : std::wstring();
}

bool CRunJournal::NoteDownload(const std::wstring& url) {
    const std::wstring value = Hex(FileTimeNumber(DownloadStartTime()), 16) + L" " + CacheNameOfUrl(url);
    return Note(DownloadNote, value) &&
           (m_runFolder.empty() ||
            WriteJournalLine(RunNoteFile(m_runFolder), DownloadNote, value, OPEN_EXISTING));
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
    return journal && SettleRun(*journal, true, true);
}

bool CRunJournal::NoteFolder(const wchar_t* kind, const std::wstring& folder) {
    return !folder.empty() && WriteJournalLine(BackupMarkerFile(), kind, folder, OPEN_EXISTING) &&
           Note(kind, folder);
}

bool CRunJournal::Note(const wchar_t* kind, const std::wstring& value) {
    return (!value.empty() || kind == CommittedNote) &&
           WriteJournalLine(JournalFile(), kind, value, OPEN_EXISTING);
}

}  // namespace tessara
