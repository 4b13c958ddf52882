#pragma once
// Removing an installation, and removing the setup program's own file once it has exited.
#include <string>

namespace tessara {

// Deletes the registrations inside one transaction, stops the detector, removes the folders and
// shortcuts, commits and clears the cache. True when the transaction was committed.
bool RunUninstall();
// Leaves a script behind that deletes the program file once the program has exited. Always true.
bool ScheduleSelfRemoval();

}  // namespace tessara
