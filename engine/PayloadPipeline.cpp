#include "engine/PayloadPipeline.h"

#include <windows.h>

#include <memory>
#include <optional>
#include <vector>

#include "app/Arguments.h"
#include "app/Config.h"
#include "app/DiskFlush.h"
#include "app/FailureLog.h"
#include "app/FileSystem.h"
#include "app/InstallLocations.h"
#include "app/Log.h"
#include "app/RunLimits.h"
#include "engine/ArrivedContent.h"
#include "engine/ChangedEntries.h"
#include "engine/Download.h"
#include "engine/PayloadExtraction.h"
#include "engine/RunJournal.h"
#include "engine/WaitBudget.h"
#include "system/ProcessControl.h"
#include "system/Registration.h"
#include "verify/PayloadVersion.h"

namespace tessara {
namespace {

constexpr int kRemovalTrials = 10;

// The temporary artefacts of one run, removed whatever happened.
struct PipelineFiles {
    std::wstring downloadFile;
    std::wstring extractionFolder;
};

bool IsVersionAccepted(CInstallerRun& run, const std::string& version) {
    if (version.empty()) {
        LogWrite("The payload carries no signed version; it installs over any installed version");
        return true;
    }
    const std::optional<PayloadVersion> offered = ParsePayloadVersion(version);
    if (!offered) {
        LogFormat("Version check failed: the payload's signed version \"%s\" is not a version", version);
        return false;
    }
    const std::string installedText = ReadInstalledPayloadVersion();
    const std::optional<PayloadVersion> installed = ParsePayloadVersion(installedText);
    if (!installed || ComparePayloadVersions(*offered, *installed) >= 0) {
        LogFormat("Payload version %s, installed version %s", version,
                  installed ? installedText : std::string("none"));
        return true;
    }
    if (HasSwitch(SplitArguments(::GetCommandLineW()), AllowDowngradeSwitch)) {
        LogFormat(
            "The payload's version %s is older than the installed version %s; /allowDowngrade installs it",
            version, installedText);
        return true;
    }
    LogFormat("Version check failed: the payload's version %s is older than the installed version %s",
              version, installedText);
    run.refusedOlderVersion.exchange(true);
    return false;
}

// A validly signed but older payload would put back whatever the newer one mended, so it is refused
// unless the administrator allows it. Asked of the verified payload, before anything of the previous
// installation is touched; payloads published without a version install as they always have.
bool AcceptPayloadVersion(CInstallerRun& run, const std::wstring& extractionFolder, std::string& version) {
    const std::optional<std::string> signedVersion =
        SignedPayloadVersion(extractionFolder, PinnedCertificate());
    version = signedVersion.value_or(std::string());
    if (signedVersion && IsVersionAccepted(run, version)) return true;
    run.SetStage(StageVerify);
    run.SetError(true);
    return false;
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

// Replaces the previous installation with the verified files; the stage code is already StageReplace.
void ReplaceInstallFolder(CInstallerRun& run, CRunJournal& journal, const std::wstring& extractionFolder,
                          const std::wstring& installFolder) {
    LogWrite("Stopping tessara processes");
    StopApplicationProcesses();
    LogWrite("Stopping detector process");
    StopDetectorProcess();

    if (!journal.BackUpInstallation()) {
        // Nothing is replaced without a complete backup; the end of the run puts back what was moved.
        LogWrite("Could not back up the previous installation");
        run.SetError(true);
        return;
    }
    PassStopPoint("backed-up");
    RemoveOldInstallFolder(installFolder);

    LogFormat("Creating base directories at %S", installFolder);
    CreateFolders(ParentFolderOf(installFolder));

    LogFormat("Copy payload from %S to %S", extractionFolder, installFolder);
    const bool placed = !installFolder.empty() && MoveOrCopyFolder(extractionFolder, installFolder);
    PassStopPoint("replaced");
    if (placed) {
        LogWrite("Payload copy success");
        run.SetProgress(90);
        // Cleared first, so that a successful retry never shows the failure of the run before it.
        run.SetError(false);
    } else {
        run.SetError(true);
    }
    ClearApplicationCache();
}

// Before a payload is unpacked again into the folder: whatever an earlier attempt left there goes. Files an
// update placed may be second names of the installed ones, so nothing may be written over them.
bool EmptyStagingFolder(const std::wstring& folder) {
    // Files still being flushed keep the folder.
    WaitUntilOnDisk();
    std::vector<FolderEntry> entries;
    if (ListFolder(folder, entries) && entries.empty()) return true;
    return RemoveTree(folder) && CreateFolders(folder);
}

// The extraction step for a payload that may have been unpacked while it arrived: then only the
// check of the folder remains; otherwise what was unpacked goes and the finished archive is extracted.
PayloadExtraction ExtractUnlessArrived(CInstallerRun& run, const std::wstring& downloadFile,
                                       const std::wstring& extractionFolder,
                                       const std::wstring& installFolder,
                                       const std::vector<WrittenFile>& reused,
                                       const ArrivedPayload* arrived) {
    if (extractionFolder.empty()) return PayloadExtraction::ExtractionFailed;
    if (arrived && arrived->written) {
        LogFormat("The payload's %d files were unpacked while it downloaded",
                  static_cast<int>(arrived->written->files.size()));
        return CheckArrivedPayload(extractionFolder, PinnedCertificate(), *arrived->written);
    }
    if (arrived) {
        LogFormat("The payload is unpacked after its download: %s", arrived->stopped);
        if (arrived->wroteFiles && !EmptyStagingFolder(extractionFolder))
            return PayloadExtraction::ExtractionFailed;
    }
    return ExtractVerifiedPayload(
        downloadFile, extractionFolder, installFolder, [&run] { return run.IsCancelled(); }, reused);
}

// Unpacks the signed files of the download into the extraction folder and checks them against their
// manifest, with the stage codes, progress and log lines of both steps. True when the folder holds the
// verified payload.
bool ExtractAndCheckPayload(CInstallerRun& run, const std::wstring& downloadFile,
                            const std::wstring& extractionFolder, const std::wstring& installFolder,
                            const std::vector<WrittenFile>& reused, const ArrivedPayload* arrived = nullptr) {
    run.SetStage(StageExtract);
    run.SetProgress(0);

    LogWrite("Extracting files");
    const PayloadExtraction extraction =
        ExtractUnlessArrived(run, downloadFile, extractionFolder, installFolder, reused, arrived);
    if (!ContinueUnlessCancelled(run)) return false;
    if (extraction == PayloadExtraction::ExtractionFailed) {
        LogWrite("Failed to extract files");
        run.SetError(true);
        return false;
    }
    // The signature is checked before anything is written, the file digest after: either failure is
    // the payload check's.
    if (extraction == PayloadExtraction::CheckFailed) {
        run.SetStage(StageVerify);
        LogWrite("Payload check failed");
        run.SetError(true);
        return false;
    }
    LogWrite("Extracting files success");
    PassStopPoint("extracted");
    if (!ContinueUnlessCancelled(run)) return false;
    run.SetStage(StageVerify);
    run.SetProgress(80);
    LogWrite("Checking payload");
    LogWrite("Payload check success");
    return true;
}

// Fetches the whole payload and turns it into verified files, unpacking it while it arrives where it can.
bool DownloadAndExtractWholePayload(CInstallerRun& run, const std::wstring& url, PipelineFiles& files,
                                    const std::wstring& installFolder) {
    ArrivedPayload arrived;
    const auto unpackOnArrival = [&](IArrivingArchive& body) {
        arrived = ExtractArrivingPayload(body, files.extractionFolder, installFolder, PinnedCertificate(),
                                         [&run] { return run.IsCancelled(); });
    };
    if (!DownloadPayload(&run, url, files.downloadFile, unpackOnArrival)) {
        run.SetError(true);
        return false;
    }
    // A page that answered in the server's place is the download's failure, not the archive's.
    if (const std::string page = HtmlPageArrived(files.downloadFile); !page.empty()) {
        LogFormat("Download failed: %s", page);
        run.SetError(true);
        return false;
    }
    PassStopPoint("downloaded");
    if (!ContinueUnlessCancelled(run)) return false;
    return ExtractAndCheckPayload(run, files.downloadFile, files.extractionFolder, installFolder, {},
                                  &arrived);
}

// An update downloads only the files that differ from the installation's; should that go wrong in
// any way, the whole payload is downloaded and checked from the start.
bool DownloadAndExtractPayload(CInstallerRun& run, const std::wstring& url, PipelineFiles& files,
                               const std::wstring& installFolder) {
    // The update and the whole download that may follow it wait on the server within one limit.
    const CWaitBudgetScope waits;
    const std::optional<std::vector<WrittenFile>> reused = DownloadChangedEntries(
        &run, url, files.downloadFile, installFolder, files.extractionFolder, PinnedCertificate());
    if (!ContinueUnlessCancelled(run)) return false;
    if (!reused) {
        if (!EmptyStagingFolder(files.extractionFolder)) {
            run.SetError(true);
            return false;
        }
        return DownloadAndExtractWholePayload(run, url, files, installFolder);
    }
    PassStopPoint("downloaded");
    if (ExtractAndCheckPayload(run, files.downloadFile, files.extractionFolder, installFolder, *reused))
        return true;
    if (!ContinueUnlessCancelled(run)) return false;
    LogWrite("The update from changed files did not pass its checks; downloading the whole payload");
    run.SetStage(StageDownload);
    if (!EmptyStagingFolder(files.extractionFolder)) return false;
    run.SetError(false);
    return DownloadAndExtractWholePayload(run, url, files, installFolder);
}

void RunPipelineSteps(CInstallerRun& run, CRunJournal& journal, PipelineFiles& files,
                      std::string& payloadVersion) {
    const std::wstring installFolder = GetInstallFolder();
    run.SetStage(StageDownload);
    files.downloadFile = journal.NewTemporaryFile();
    // Made before the download: an update places the files it reuses there while it downloads.
    files.extractionFolder = journal.NewTemporaryFolder();

    const std::wstring url = SelectPayloadUrl();
    LogFormat("Starting file download from %S", url);
    if (files.downloadFile.empty() || files.extractionFolder.empty() || !journal.NoteDownload(url)) {
        run.SetError(true);
        return;
    }
    if (!DownloadAndExtractPayload(run, url, files, installFolder)) return;
    if (!AcceptPayloadVersion(run, files.extractionFolder, payloadVersion)) return;
    PassStopPoint("verified");
    if (!ContinueUnlessCancelled(run)) return;
    run.SetStage(StageReplace);
    run.SetProgress(85);

    ReplaceInstallFolder(run, journal, files.extractionFolder, installFolder);
}

void RemoveTemporaryFiles(const PipelineFiles& files) {
    // Files still being flushed keep the folder.
    WaitUntilOnDisk();
    if (!files.extractionFolder.empty()) {
        LogFormat("Removing extracted payload from %S", files.extractionFolder);
        RemoveTree(files.extractionFolder);
    }
    if (!files.downloadFile.empty()) RemoveFile(files.downloadFile);
}

}  // namespace

bool ContinueUnlessCancelled(CInstallerRun& run) {
    if (!run.IsCancelled()) return true;
    LogWrite("Installation cancelled");
    run.SetError(true);
    return false;
}

bool RunPayloadPipeline(CInstallerRun& run, CRunJournal& journal, std::string& payloadVersion) {
    PipelineFiles files;
    try {
        RunPipelineSteps(run, journal, files, payloadVersion);
    } catch (const std::exception& error) {
        // Whatever the file system refused fails the current step; the caller restores the backup.
        LogFormat("File system error: %s", error.what());
        run.SetError(true);
    }
    RemoveTemporaryFiles(files);
    return !run.error.load();
}

}  // namespace tessara
