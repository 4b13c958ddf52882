#pragma once
// The recovery of a run that did not end: whatever ended it (a failure, a kill, a power loss), the run's
// own end or the next start of the program, in any mode, leaves exactly the previous state or exactly
// the new one, with the registry to match, and nothing of the run left behind.
#include "engine/JournalFormat.h"

namespace tessara {

// At every start, under the run lock: completes or undoes a run that did not end. A journal or undo
// record that this program could not have written is set aside, untouched, with a log line.
void RecoverInterruptedRun();
// Settles the journal a run left, if any; a journal that is not ours is set aside, never followed, and
// nothing is deleted on its account. False when a previous run still could not be put back.
bool SettleLeftOverRun();
// Completes or undoes the run. filesAreItsOwn is false for a backup's marker settled while the journal
// folder holds another run's journal: that journal, its undo record and its commit mark are left to it.
// byItsRun is true at the end of the run itself, false when a later start settles it.
bool SettleRun(const Journal& written, bool filesAreItsOwn = true, bool byItsRun = false);

}  // namespace tessara
