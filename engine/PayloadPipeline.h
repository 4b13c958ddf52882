#pragma once
// The file half of an installation run, and the backup that stands in for a transaction on the
// file side.
#include <string>

#include "engine/InstallStage.h"

namespace tessara {

// Downloads, extracts and verifies the payload and copies it into the install folder. Sets the stage
// code, the error flag and the progress; true when the new files are in place.
bool RunPayloadPipeline(CInstallerSession& session);

// Moves a folder into the backup root under its last path component. True only when the whole folder
// was copied; the source has then been deleted.
bool BackupFolder(std::wstring backupRoot, std::wstring folder);
// Makes the folder's content exactly the backed-up copy again. False when some file could not be put
// back, in which case the backup root must be kept.
bool RestoreBackup(std::wstring backupRoot, std::wstring folder);

// True when the path is an existing directory; false on any error.
bool IsExistingDirectory(const std::wstring& path);

}  // namespace tessara
