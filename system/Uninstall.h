#pragma once
// Removing an installation, and removing the setup program's own file once it has exited.
#include <string>

namespace tessara {

// Deletes the registrations inside one transaction, stops the detector, removes the folders and
// shortcuts, commits and clears the cache. True when the transaction was committed; without an
// uninstall entry (or without a work folder) nothing is removed and the result is false.
bool RunUninstall();
// Copies the files directly inside `folder` into a folder of the same name under `workFolder`, then
// removes `folder` with everything in it. False at the first file-system error, and for an empty,
// relative or root path, which never stands for a folder of ours.
bool RetireFolder(const std::wstring& workFolder, const std::wstring& folder);
// The command line that runs the self-removal script on `target`: the script, "1" for a folder or
// "0" for a file, the target and the image name the script waits for, each one argument whatever
// blanks it holds.
std::wstring SelfRemovalCommandLine(const std::wstring& script, const std::wstring& target,
                                    bool targetIsFolder);
// Leaves a script behind that deletes the program file once the program has exited. Always true.
bool ScheduleSelfRemoval();

}  // namespace tessara
