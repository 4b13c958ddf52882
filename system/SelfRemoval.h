#pragma once
// Removing the setup program's own file once it has exited.
#include <windows.h>

#include <string>

namespace tessara {

// The command line that runs the self-removal script: the script, the id of the process to wait for
// and the file to delete then, each one argument whatever blanks it holds.
std::wstring SelfRemovalCommandLine(const std::wstring& script, DWORD processId, const std::wstring& target);
// Sets the program's file aside and leaves a script behind that deletes it once this process has
// exited, and then itself; a file put at the program's path meanwhile stays. Always true.
bool ScheduleSelfRemoval();
// Deletes what a self-removal cut short by a kill or a power cut left: its script in the temporary
// folder, whole or torn, once the process it serves is gone, with the program file it was to delete;
// and this program's file set aside beside it by an earlier process.
void RemoveLeftoversOfSelfRemoval();

}  // namespace tessara
