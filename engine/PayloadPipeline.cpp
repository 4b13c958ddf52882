#include "engine/PayloadPipeline.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "app/Config.h"
#include "app/FailureLog.h"
#include "app/FileSystem.h"
#include "app/Log.h"
#include "app/RunLimits.h"
#include "app/ScopedWin.h"
#include "app/Text.h"
#include "engine/Download.h"
#include "app/InstallLocations.h"
#include "engine/PayloadExtraction.h"
#include "system/ProcessControl.h"
#include "engine/RunJournal.h"

namespace tessara {
namespace {

constexpr int kRemovalTrials = 10;

// The temporary artefacts of one run, removed whatever happened.
struct PipelineFiles {
    std::wstring downloadFile;
    std::wstring extractionFolder;
};

// Reads up to `size` bytes, fewer only at the end of the file; -1 on a read error.
long ReadChunk(HANDLE file, char* buffer, DWORD size) {
    DWORD total = 0;
    while (total < size) {
        DWORD read = 0;
        if (!::ReadFile(file, buffer + total, size - total, &read, nullptr)) return -1;
        if (read == 0) break;
        total += read;
    }
    return static_cast<long>(total);
}

bool SameFileContent(const std::wstring& first, const std::wstring& second) {
    const std::optional<uint64_t> firstSize = FileSizeOf(first);
    if (!IsRegularFile(second) || !firstSize || firstSize != FileSizeOf(second)) return false;
    const auto open = [](const std::wstring& path) {
        return unique_file_handle(::CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    };
    const unique_file_handle a = open(first), b = open(second);
    if (!a || !b) return false;
    constexpr DWORD kChunk = 1 << 16;
    std::vector<char> bufferA(kChunk), bufferB(kChunk);
    for (;;) {
        const long readA = ReadChunk(a.get(), bufferA.data(), kChunk);
        const long readB = ReadChunk(b.get(), bufferB.data(), kChunk);
        if (readA < 0 || readA != readB ||
            !std::equal(bufferA.begin(), bufferA.begin() + readA, bufferB.begin()))
            return false;
        if (readA < static_cast<long>(kChunk)) return true;
    }
}

bool CopyOneFile(const std::wstring& source, const std::wstring& target, bool overwrite) {
    if (::CopyFileW(ExtendedLengthPath(source).c_str(), ExtendedLengthPath(target).c_str(),
                    overwrite ? FALSE : TRUE))
        return true;
    LogFileOperationFailure("copy a file to", target, ::GetLastError());
    return false;
}

// A link or junction is never followed by a copy: what it points to is not part of the folder, may be
// anywhere (the whole profile, or the folder itself), and is not ours to duplicate.
bool SkipLink(const std::wstring& path, const FolderEntry& entry) {
    if (entry.isLink) LogFormat("Not copying the link %S", path);
    return entry.isLink;
}

// Copies every file and folder below source into target, creating target when missing; an existing
// target file is an error.
bool CopyTree(const std::wstring& source, const std::wstring& target) {
    std::vector<FolderEntry> entries;
    if (!IsDirectory(source) || !CreateFolders(target) || !ListFolder(source, entries)) return false;
    for (const FolderEntry& entry : entries) {
        const std::wstring from = JoinPath(source, entry.name), to = JoinPath(target, entry.name);
        if (SkipLink(from, entry)) continue;
        if (!(entry.isDirectory ? CopyTree(from, to) : CopyOneFile(from, to, false))) return false;
    }
    return true;
}

// A rename on the same volume; false across volumes or when something inside is held open.
bool MoveFolder(const std::wstring& source, const std::wstring& target) {
    return ::MoveFileExW(ExtendedLengthPath(source).c_str(), ExtendedLengthPath(target).c_str(), 0) != FALSE;
}

// A file below the folder that another process holds open without letting it be deleted (the system
// answers ERROR_SHARING_VIOLATION); empty when there is none. Windows then refuses to rename the
// folder; checking first gives the same outcome where the system would rename it anyway and leave the
// other process working on a file that moved away.
std::wstring FindFileInUse(const std::wstring& folder) {
    std::wstring found;
    WalkFolder(folder, [&found](const std::wstring& path, const FolderEntry& entry, int) {
        if (entry.isDirectory) return true;
        const unique_file_handle file(::CreateFileW(ExtendedLengthPath(path).c_str(), DELETE,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file || ::GetLastError() != ERROR_SHARING_VIOLATION) return true;
        found = path;
        return false;
    });
    return found;
}

bool HasFileInUse(const std::wstring& folder) { return !FindFileInUse(folder).empty(); }

// Moves source to target, which must not exist yet, copying where a rename cannot be done. A copy is
// made under a staging name that takes the target's name only once complete, so that whoever finds
// the target knows it whole; the source is deleted last (its removal is not examined, as a file held
// open may stay behind).
bool MoveOrCopyFolder(const std::wstring& source, const std::wstring& target, bool mayBeInUse) {
    if (!(mayBeInUse && HasFileInUse(source)) && MoveFolder(source, target)) return true;
    const std::wstring staging = StagingCopyOf(target);
    RemoveTree(staging);
    if (!CopyTree(source, staging) || !MoveFolder(staging, target)) {
        RemoveTree(staging);
        return false;
    }
    RemoveTree(source);
    return true;
}

// Makes target hold exactly what source holds. Files that already match are left alone, so a file that
// another process keeps open, and that therefore was never replaced, does not fail the restore.
bool MirrorFolder(const std::wstring& source, const std::wstring& target) {
    std::vector<FolderEntry> existing, wanted;
    if (!CreateFolders(target) || !ListFolder(target, existing)) return false;

    bool complete = true;
    for (const FolderEntry& entry : existing) {
        const std::wstring counterpart = JoinPath(source, entry.name);
        // A link is never written through: it goes, and what it points to stays as it is.
        if (!entry.isLink && PathExists(counterpart) && IsDirectory(counterpart) == entry.isDirectory)
            continue;
        complete = RemoveTree(JoinPath(target, entry.name)) && complete;
    }

    const bool listed = ListFolder(source, wanted);
    for (const FolderEntry& entry : wanted) {
        const std::wstring from = JoinPath(source, entry.name), to = JoinPath(target, entry.name);
        if (SkipLink(from, entry)) continue;
        if (entry.isDirectory) {
            complete = MirrorFolder(from, to) && complete;
        } else if (!SameFileContent(from, to)) {
            complete = CopyOneFile(from, to, true) && complete;
        }
    }
    return complete && listed;
}

void RemoveOldInstallFolder(const std::wstring& installFolder) {
    for (int trial = 0; trial < kRemovalTrials; ++trial) {
        if (!IsDirectory(installFolder)) return;
        LogFormat("Removing old install folder trial %d", trial);
        if (RemoveTree(installFolder)) return;
        LogFormat("Could not remove old install folder on trial #%d", trial + 1);
        ::Sleep(100);
    }
    if (const std::wstring held = FindFileInUse(installFolder); !held.empty())
        LogFileOperationFailure("remove", held, ERROR_SHARING_VIOLATION);
}

// Moves the previous installation and the legacy add-in folder into a new backup root; false when
// either could not be backed up completely (what was backed up is put back when the run ends).
bool BackUpPreviousInstallation(CRunJournal& journal, const std::wstring& installFolder) {
    const std::wstring backupRoot = CreateTempFolder();
    if (backupRoot.empty() || !journal.NoteBackupRoot(backupRoot)) return false;
    const std::wstring legacyFolder = GetLegacyAddinFolder();
    const bool legacyPresent = IsDirectory(legacyFolder);
    const bool installPresent = IsDirectory(installFolder);
    if (!journal.NoteReplacedFolder(legacyFolder, legacyPresent) ||
        !journal.NoteReplacedFolder(installFolder, installPresent))
        return false;
    if (legacyPresent && !BackupFolder(backupRoot, legacyFolder)) return false;
    PassStopPoint("backed-up-legacy");
    return !installPresent || BackupFolder(backupRoot, installFolder);
}

// Replaces the previous installation with the verified files; the stage code is already StageReplace.
void ReplaceInstallFolder(CInstallerSession& session, CRunJournal& journal,
                          const std::wstring& extractionFolder, const std::wstring& installFolder) {
    LogWrite("Stopping tessara processes");
    StopApplicationProcesses();
    LogWrite("Stopping detector process");
    StopDetectorProcess();

    if (!BackUpPreviousInstallation(journal, installFolder)) {
        // Nothing is replaced without a complete backup; the end of the run puts back what was moved.
        LogWrite("Could not back up the previous installation");
        session.SetError(true);
        return;
    }
    PassStopPoint("backed-up");
    RemoveOldInstallFolder(installFolder);

    LogFormat("Creating base directories at %S", installFolder);
    CreateFolders(ParentFolderOf(installFolder));

    LogFormat("Copy payload from %S to %S", extractionFolder, installFolder);
    const bool placed = !installFolder.empty() && MoveOrCopyFolder(extractionFolder, installFolder, false);
    PassStopPoint("replaced");
    if (placed) {
        LogWrite("Payload copy success");
        session.SetProgress(90);
        // Cleared first, so that a successful retry never shows the failure of the run before it.
        session.SetError(false);
        session.OnFinished();
    } else {
        session.SetError(true);
    }
    ClearApplicationCache();
}

// Unpacks the signed files of the download into the extraction folder and checks them against their
// manifest, with the stage codes, progress and log lines of both steps. True when the folder holds the
// verified payload.
bool ExtractAndCheckPayload(CInstallerSession& session, const std::wstring& downloadFile,
                            const std::wstring& extractionFolder, const std::wstring& installFolder) {
    session.SetStage(StageExtract);
    session.SetProgress(0);

    LogWrite("Extracting files");
    const PayloadExtraction extraction =
        extractionFolder.empty() ? PayloadExtraction::ExtractionFailed
                                 : ExtractVerifiedPayload(downloadFile, extractionFolder, installFolder);
    if (extraction == PayloadExtraction::ExtractionFailed) {
        LogWrite("Failed to extract files");
        session.SetError(true);
        return false;
    }
    // The signature is checked before anything is written, the file digest after: either failure is
    // the payload check's.
    if (extraction == PayloadExtraction::CheckFailed) {
        session.SetStage(StageVerify);
        LogWrite("Payload check failed");
        session.SetError(true);
        return false;
    }
    LogWrite("Extracting files success");
    PassStopPoint("extracted");
    if (!ContinueUnlessCancelled(session)) return false;
    session.SetStage(StageVerify);
    session.SetProgress(80);
    LogWrite("Checking payload");
    LogWrite("Payload check success");
    return true;
}

void RunPipelineSteps(CInstallerSession& session, CRunJournal& journal, PipelineFiles& files) {
    const std::wstring installFolder = GetInstallFolder();
    session.SetStage(StageDownload);
    files.downloadFile = CreateTempFileName();

    const std::wstring url = SelectPayloadUrl();
    LogFormat("Starting file download from %S", url);
    if (files.downloadFile.empty() || !journal.NoteTemporary(files.downloadFile) ||
        !journal.NoteDownloadUrl(url) || !DownloadPayload(&session, url, files.downloadFile)) {
        session.SetError(true);
        return;
    }
    PassStopPoint("downloaded");
    if (!ContinueUnlessCancelled(session)) return;

    files.extractionFolder = CreateTempFolder();
    if (!files.extractionFolder.empty() && !journal.NoteTemporary(files.extractionFolder))
        files.extractionFolder.clear();
    if (!ExtractAndCheckPayload(session, files.downloadFile, files.extractionFolder, installFolder)) return;
    PassStopPoint("verified");
    if (!ContinueUnlessCancelled(session)) return;
    session.SetStage(StageReplace);
    session.SetProgress(85);

    ReplaceInstallFolder(session, journal, files.extractionFolder, installFolder);
}

void RemoveTemporaryFiles(const PipelineFiles& files) {
    if (!files.extractionFolder.empty()) {
        LogFormat("Removing extracted payload from %S", files.extractionFolder);
        RemoveTree(files.extractionFolder);
    }
    if (!files.downloadFile.empty()) RemoveFile(files.downloadFile);
}

}  // namespace

bool ContinueUnlessCancelled(CInstallerSession& session) {
    if (!session.IsCancelled()) return true;
    LogWrite("Installation cancelled");
    session.SetError(true);
    return false;
}

bool RunPayloadPipeline(CInstallerSession& session, CRunJournal& journal) {
    PipelineFiles files;
    try {
        RunPipelineSteps(session, journal, files);
    } catch (const std::exception& error) {
        // Whatever the file system refused fails the current step; the caller restores the backup.
        LogFormat("File system error: %s", error.what());
        session.SetError(true);
    }
    RemoveTemporaryFiles(files);
    session.OnFinished();
    return !session.error.load();
}

std::wstring StagingCopyOf(const std::wstring& target) { return target + L".partial"; }

std::wstring BackupCopyOf(const std::wstring& backupRoot, const std::wstring& folder) {
    return JoinPath(backupRoot, LastComponentOf(folder));
}

bool BackupFolder(std::wstring backupRoot, std::wstring folder) {
    LogFormat("Backing up %S to %S", folder, backupRoot);
    if (backupRoot.empty() || folder.empty() ||
        !MoveOrCopyFolder(folder, BackupCopyOf(backupRoot, folder), true))
        return false;
    LogFormat("Backing up %S to %S done", folder, backupRoot);
    LogFormat("Removed %S done", folder);
    return true;
}

bool RestoreBackup(std::wstring backupRoot, std::wstring folder) {
    LogFormat("Restoring backup from %s to %s", NarrowForLog(backupRoot), NarrowForLog(folder));
    if (backupRoot.empty() || folder.empty()) return false;
    const std::wstring copy = BackupCopyOf(backupRoot, folder);
    // Whatever the failed run left there goes first; a folder that cannot be cleared is made equal to
    // the backup file by file instead.
    if (RemoveTree(folder)) {
        CreateFolders(ParentFolderOf(folder));
        if (MoveOrCopyFolder(copy, folder, false)) return true;
    }
    return MirrorFolder(copy, folder);
}

}  // namespace tessara
