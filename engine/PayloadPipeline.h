#pragma once
// The file half of an installation run, and the backup that stands in for a transaction on the
// file side.
#include <string>

#include "app/FileSystem.h"
#include "app/InstallStage.h"

namespace tessara {

class CRunJournal;

// Downloads, extracts and verifies the payload, and only then moves the previous installation and the
// legacy add-in folder into a backup and moves the verified files into the install folder. Sets the
// stage code, the error flag and the progress; true when the new files are in place. Every folder it
// replaces and every temporary artefact is noted in the journal first.
bool RunPayloadPipeline(CInstallerSession& session, CRunJournal& journal);

// Moves a folder into the backup root under its last path component: by renaming it, or, where that
// cannot be done, by copying it and deleting the source. True only when the whole folder is in the
// backup; a backup copy under that name is always complete.
bool BackupFolder(std::wstring backupRoot, std::wstring folder);
// Makes the folder's content exactly the backed-up copy again. False when some file could not be put
// back, in which case the backup root must be kept.
bool RestoreBackup(std::wstring backupRoot, std::wstring folder);
// Where BackupFolder puts the folder inside the backup root.
std::wstring BackupCopyOf(const std::wstring& backupRoot, const std::wstring& folder);

// Where a folder that cannot be renamed into place is copied first.
std::wstring StagingCopyOf(const std::wstring& target);

// At a step boundary: false, with the failure recorded, when the user has asked to cancel.
bool ContinueUnlessCancelled(CInstallerSession& session);

}  // namespace tessara
