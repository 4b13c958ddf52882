#pragma once
// The backup of a run: the installation's folders moved aside before they are replaced or removed,
// put back when the run does not commit, and discarded once the run is settled.
//
// The backup lies beside the installation, on the same volume, so that folders move in and out of it
// by renaming and no cleaner of the temporary folder can take it. A folder reaches its name in the
// backup only whole, and a backup that is being discarded is noted so first: it is never restored from.
#include <functional>
#include <optional>
#include <string>

#include "engine/JournalFormat.h"

namespace tessara {

// %APPDATA%\Orvix\Tessara.backup, and the name it takes while it is discarded.
std::wstring BackupRoot();
std::wstring DiscardFolder();
// The backup's own marker: a journal of the run that made it, with its folder notes.
std::wstring BackupMarkerFile();
// The marker of the backup in its place; nothing when there is none or it is not ours.
std::optional<Journal> ReadBackupMarker();
// Backups kept from earlier runs that no journal described ("Tessara.backup-<run>"): removed once a run
// has completed, each with a log line.
void DiscardEarlierBackups();
// Moves a folder into the backup root under its last path component; noteWhole is called once the
// copy there is whole. True only when the whole folder is in the backup.
bool BackupFolder(const std::wstring& backupRoot, const std::wstring& folder,
                  const std::function<bool()>& noteWhole);
// Puts back what the journal's run replaced, newest first. False when something could not be put
// back, in which case the backup must be kept.
bool PutBackFolders(const Journal& journal);
// Makes the folder's content exactly the backed-up copy again. False when some file could not be put
// back, in which case the backup root must be kept.
bool RestoreBackup(std::wstring backupRoot, std::wstring folder);
// Out of reach of any restore first, then removed; what cannot go now goes at a later start. With
// afterTheRun, the removal goes on in a process of its own, after this one has reported its result.
void DiscardBackup(bool afterTheRun);
// What that process does: removes the discarded backup, moving files still held open out of its way.
void RemoveDiscardedBackup();

}  // namespace tessara
