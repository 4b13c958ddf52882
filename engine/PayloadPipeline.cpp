#include "engine/PayloadPipeline.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "app/Config.h"
#include "app/Log.h"
#include "engine/Download.h"
#include "engine/InstallLocations.h"
#include "engine/PayloadExtraction.h"
#include "engine/ProcessControl.h"

namespace fs = std::filesystem;

namespace tessara {
namespace {

constexpr int kRemovalTrials = 10;

// The temporary artefacts of one run, removed whatever happened.
struct PipelineFiles {
    std::wstring downloadFile;
    std::wstring extractionFolder;
};

fs::path LastComponentOf(const std::wstring& folder) {
    fs::path path(folder);
    while (!path.empty() && path.filename().empty() && path.has_parent_path() && path != path.parent_path())
        path = path.parent_path();
    return path.filename();
}

bool SameFileContent(const fs::path& first, const fs::path& second) {
    std::error_code ec;
    if (!fs::is_regular_file(second, ec) || fs::file_size(first, ec) != fs::file_size(second, ec) || ec)
        return false;
    std::ifstream a(first, std::ios::binary), b(second, std::ios::binary);
    if (!a || !b) return false;
    std::vector<char> bufferA(65536), bufferB(65536);
    while (a && b) {
        a.read(bufferA.data(), bufferA.size());
        b.read(bufferB.data(), bufferB.size());
        if (a.gcount() != b.gcount() ||
            !std::equal(bufferA.begin(), bufferA.begin() + a.gcount(), bufferB.begin()))
            return false;
    }
    return a.eof() && b.eof();
}

// Copies every file and folder below source into target, creating target when missing; an existing
// target file is an error. (The library's recursive copy refuses an existing target folder here.)
bool CopyTree(const fs::path& source, const fs::path& target, std::error_code& ec) {
    if (!fs::is_directory(source, ec)) {
        if (!ec) ec = std::make_error_code(std::errc::no_such_file_or_directory);
        return false;
    }
    fs::create_directories(target, ec);
    if (ec) return false;
    for (fs::directory_iterator it(source, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path destination = target / it->path().filename();
        if (it->is_directory(ec)) {
            if (!CopyTree(it->path(), destination, ec)) return false;
        } else if (!ec) {
            fs::copy_file(it->path(), destination, fs::copy_options::none, ec);
        }
        if (ec) return false;
    }
    return !ec;
}

// Makes target hold exactly what source holds. Files that already match are left alone, so a file that
// another process keeps open, and that therefore was never replaced, does not fail the restore.
bool MirrorFolder(const fs::path& source, const fs::path& target) {
    std::error_code ec;
    fs::create_directories(target, ec);
    if (!fs::is_directory(target, ec)) return false;

    bool complete = true;
    std::vector<fs::directory_entry> existing;
    for (fs::directory_iterator it(target, ec), end; !ec && it != end; it.increment(ec))
        existing.push_back(*it);
    if (ec) return false;
    for (const auto& entry : existing) {
        const fs::path counterpart = source / entry.path().filename();
        std::error_code statusError;
        const bool keep = fs::exists(counterpart, statusError) &&
                          fs::is_directory(counterpart, statusError) == entry.is_directory(statusError);
        if (keep) continue;
        std::error_code removeError;
        fs::remove_all(entry.path(), removeError);
        complete = complete && !removeError;
    }

    for (fs::directory_iterator it(source, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path destination = target / it->path().filename();
        std::error_code entryError;
        if (it->is_directory(entryError)) {
            complete = MirrorFolder(it->path(), destination) && complete;
        } else if (!SameFileContent(it->path(), destination)) {
            // The library's overwriting copy takes any two files here for the same one and refuses.
            complete = ::CopyFileW(it->path().c_str(), destination.c_str(), FALSE) && complete;
        }
    }
    return complete && !ec;
}

void RemoveOldInstallFolder(const std::wstring& installFolder) {
    for (int trial = 0; trial < kRemovalTrials; ++trial) {
        try {
            if (fs::is_directory(installFolder)) {
                LogFormat("Removing old install folder trial %d", trial);
                fs::remove_all(installFolder);
            }
            return;
        } catch (const std::exception&) {
            LogFormat("Could not remove old install folder on trial #%d", trial + 1);
            ::Sleep(100);
        }
    }
}

// Copies the verified files into the install folder; the stage code is already StageReplace.
void ReplaceInstallFolder(CInstallerSession& session, const std::wstring& extractionFolder,
                          const std::wstring& installFolder) {
    LogWrite("Stopping tessara processes");
    StopApplicationProcesses();
    LogWrite("Stopping detector process");
    StopDetectorProcess();

    RemoveOldInstallFolder(installFolder);

    LogFormat("Creating base directories at %S", installFolder);
    std::error_code ec;
    fs::create_directories(installFolder, ec);

    LogFormat("Copy payload from %S to %S", extractionFolder, installFolder);
    ec.clear();
    if (installFolder.empty()) {
        ec = std::make_error_code(std::errc::no_such_file_or_directory);
    } else {
        CopyTree(extractionFolder, installFolder, ec);
    }
    if (!ec) {
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

void RunPipelineSteps(CInstallerSession& session, PipelineFiles& files) {
    const std::wstring installFolder = GetInstallFolder();
    session.SetStage(StageDownload);
    files.downloadFile = CreateTempFileName();

    const std::wstring url = SelectPayloadUrl();
    LogFormat("Starting file download from %S", url);
    if (files.downloadFile.empty() || !DownloadPayload(&session, url, files.downloadFile)) {
        session.SetError(true);
        return;
    }

    session.SetStage(StageExtract);
    session.SetProgress(0);

    LogWrite("Extracting files");
    files.extractionFolder = CreateTempFolder();
    const PayloadExtraction extraction =
        files.extractionFolder.empty()
            ? PayloadExtraction::ExtractionFailed
            : ExtractVerifiedPayload(files.downloadFile, files.extractionFolder, installFolder);
    if (extraction == PayloadExtraction::ExtractionFailed) {
        LogWrite("Failed to extract files");
        session.SetError(true);
        return;
    }
    // The signature is checked before anything is written, the file digest after: either failure is
    // the payload check's.
    if (extraction == PayloadExtraction::CheckFailed) {
        session.SetStage(StageVerify);
        LogWrite("Payload check failed");
        session.SetError(true);
        return;
    }
    LogWrite("Extracting files success");
    session.SetStage(StageVerify);
    session.SetProgress(80);
    LogWrite("Checking payload");
    LogWrite("Payload check success");
    session.SetStage(StageReplace);
    session.SetProgress(85);

    ReplaceInstallFolder(session, files.extractionFolder, installFolder);
}

void RemoveTemporaryFiles(const PipelineFiles& files) {
    if (!files.extractionFolder.empty()) {
        LogFormat("Removing extracted payload from %S", files.extractionFolder);
        std::error_code ignored;
        fs::remove_all(files.extractionFolder, ignored);
    }
    if (!files.downloadFile.empty()) {
        std::error_code ignored;
        fs::remove(files.downloadFile, ignored);
    }
}

}  // namespace

bool IsExistingDirectory(const std::wstring& path) {
    std::error_code ec;
    return !path.empty() && fs::is_directory(path, ec);
}

bool RunPayloadPipeline(CInstallerSession& session) {
    PipelineFiles files;
    try {
        RunPipelineSteps(session, files);
    } catch (const std::exception& error) {
        // Whatever the file system refused fails the current step; the caller restores the backup.
        LogFormat("File system error: %s", error.what());
        session.SetError(true);
    }
    RemoveTemporaryFiles(files);
    session.OnFinished();
    return !session.error.load();
}

bool BackupFolder(std::wstring backupRoot, std::wstring folder) {
    LogFormat("Backing up %S to %S", folder, backupRoot);
    if (backupRoot.empty() || folder.empty()) return false;
    std::error_code ec;
    if (!CopyTree(folder, fs::path(backupRoot) / LastComponentOf(folder), ec)) return false;
    LogFormat("Backing up %S to %S done", folder, backupRoot);
    fs::remove_all(folder, ec);
    LogFormat("Removed %S done", folder);
    return true;
}

bool RestoreBackup(std::wstring backupRoot, std::wstring folder) {
    LogFormat("Restoring backup from %s to %s", NarrowForLog(backupRoot), NarrowForLog(folder));
    if (backupRoot.empty() || folder.empty()) return false;
    return MirrorFolder(fs::path(backupRoot) / LastComponentOf(folder), folder);
}

}  // namespace tessara
