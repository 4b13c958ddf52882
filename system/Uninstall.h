#pragma once
// The registry half of removing an installation, and removing the setup program's own file once it
// has exited.
#include <string>

#include "system/RegistryTransaction.h"

namespace tessara {

// Deletes the uninstall entry and the protocol registration inside the transaction: false, when the
// uninstall entry is not there or a deletion failed, means there is no installation to remove.
bool DeleteRegistrations(IRegistryTransaction& transaction);
// The command line that runs the self-removal script on `target`: the script, "1" for a folder or
// "0" for a file, the target and the image name the script waits for, each one argument whatever
// blanks it holds.
std::wstring SelfRemovalCommandLine(const std::wstring& script, const std::wstring& target,
                                    bool targetIsFolder);
// Leaves a script behind that deletes the program file once the program has exited. Always true.
bool ScheduleSelfRemoval();

}  // namespace tessara
