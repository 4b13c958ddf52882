#pragma once
// The journal of an installation or uninstallation run, and everything that lets a run be undone or
// finished by whoever comes next: which folders the run replaces and whether each was there, the
// backup they are moved into, the run's temporary files, the registry undo record and whether the
// registry changes were committed. It lives in a fixed place of the user's profile, so that whatever
// ends a run (a failure, a kill, a power loss), the run's own end or the next start of the program, in
// any mode, leaves exactly the previous state or exactly the new one, with the registry to match, and
// nothing else. A run that did not end is settled by engine/RunRecovery.
#include <memory>
#include <string>

#include "engine/JournalFormat.h"
#include "system/RegistryTransaction.h"

namespace tessara {

// Appends to the journal of the current run; every note is on disk before the call returns.
class CRunJournal {
public:
    // Starts the journal of a new run, first settling one that is left over. False when no journal
    // can be kept, or a previous run still could not be put back: the run must then not start.
    bool Begin(RunKind kind);
    // A new empty file, or folder, in the run's own folder of temporaries (noted before it exists),
    // which goes when the run ends, whatever happened, or at a later start once the run's process has
    // ended. Empty when none could be made.
    std::wstring NewTemporaryFile();
    std::wstring NewTemporaryFolder();
    // A download about to start: what it leaves of the URL in the Internet cache goes when the run ends.
    // The note names the URL as the cache does, without a user name and password.
    bool NoteDownload(const std::wstring& url);
    // Moves the legacy add-in folder and the install folder into the backup, each noted first; false
    // when either could not be backed up completely (the end of the run puts back what was moved).
    bool BackUpInstallation();
    // Creates the registry transaction of the run; with the journal's undo record where the system
    // keeps none of its own. Null when none can be created.
    std::unique_ptr<IRegistryTransaction> CreateTransaction(const std::wstring& description) const;
    // Marks the transaction as this run's and commits it: the mark is the commit point, found in the
    // registry after a kill at any moment. True when committed.
    bool Commit(IRegistryTransaction& transaction);
    // Ends the run: when it was not committed, undoes its registry changes and puts back each replaced
    // folder; then discards the backup and removes the temporary files, the cache copies and the
    // journal. False when something could not be put back: the journal and the backup then stay.
    bool Complete();

private:
    bool Note(const wchar_t* kind, const std::wstring& value);
    // A folder note goes into the backup's marker first, then into the journal.
    bool NoteFolder(const wchar_t* kind, const std::wstring& folder);
    std::wstring NewTemporary(bool folder);

    std::wstring m_runId;
    RunKind m_kind = RunKind::Install;
    std::wstring m_runFolder;
    int m_temporaries = 0;
};

}  // namespace tessara
