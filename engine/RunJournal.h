#pragma once
// The journal of an installation run: which folders the run replaces and whether each was there,
// where their backup and the run's temporary files are, and whether the new installation is final.
// It lives in a fixed place of the user's profile, so that whatever ends a run (a failure, a kill, a
// power loss), the run's own end or the next start of the program, in any mode, leaves exactly the
// previous installation or exactly the new one, with the registry to match, and nothing else.
#include <string>

namespace tessara {

// Appends to the journal of the current run; every note is on disk before the call returns.
class CRunJournal {
public:
    // Starts the journal of a new run, first completing one that is left over. False when no journal
    // can be kept, or a previous run still could not be put back: the run must then not start.
    bool Begin();
    // A temporary file or folder of the run, removed when the run ends whatever happened.
    bool NoteTemporary(const std::wstring& path);
    // A URL whose copy in the user's Internet cache is removed when the run ends.
    bool NoteDownloadUrl(const std::wstring& url);
    // The folder that holds the backups; removed with the run's temporary files.
    bool NoteBackupRoot(const std::wstring& path);
    // A folder the run is about to replace, and whether it existed. Noted before anything is moved.
    bool NoteReplacedFolder(const std::wstring& folder, bool present);
    // The registry changes are applied and the new installation is final.
    bool NoteCommitted();
    // Where the registry transaction keeps the undo record of its commit.
    std::wstring RegistryUndoRecord() const;

private:
    bool Note(const wchar_t* kind, const std::wstring& value);
};

// Ends the run in the journal: when it was not committed, undoes its registry changes and puts back
// each replaced folder (the backup where one was made completely, nothing where the folder did not
// exist); then removes the backups, the temporary files, the cache entries and the journal. False
// when something could not be put back: the journal and the backup then stay for the next start.
bool CompleteRun();
// At every start, under the run lock: completes or undoes a run that did not end.
void RecoverInterruptedRun();

}  // namespace tessara
