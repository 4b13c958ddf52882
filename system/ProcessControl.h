#pragma once
// Finding, stopping and starting the installed application's processes by image name. Only processes
// the user may end that run in this session or from the user's install folder count: what runs under
// the same name in another user's session is neither waited for nor stopped.
#include <windows.h>

#include <string>
#include <vector>

namespace tessara {

extern const std::vector<std::wstring> ApplicationProcessNames;
extern const std::vector<std::wstring> RunningCheckNames;
extern const std::vector<std::wstring> DetectorProcessNames;

bool IsAnyProcessRunning(const std::vector<std::wstring>& names);
// Asks the system to end every process of ours with one of the names; does not wait. True when there
// was at least one.
bool TerminateProcessesByName(const std::vector<std::wstring>& names);

bool IsApplicationRunning();
bool IsDetectorRunning();
bool StopApplicationProcesses();
bool StopDetectorProcess();
// How long a run waits for stopped processes to go away before it gives up: rounds of 100 ms.
constexpr int StopWaitRounds = 50;
// Logs the two lines and asks the application's processes, then the detector, to end; does not wait.
void StopApplicationAndDetector(const char* applicationLine, const char* detectorLine);
// Termination is asynchronous: waits, within StopWaitRounds, until no process is left that the user may
// end. Processes of other accounts are out of reach and, as with the stop itself, not waited for.
bool WaitUntilStopped();
// Starts the program with the command line in the folder (the parent's current one when empty), with
// the creation flags, inheriting no handle, and does not wait for it. True when it was started.
bool StartProcess(const std::wstring& program, std::wstring commandLine, const std::wstring& folder,
                  DWORD flags = 0);
// Starts tessaradetector.exe from the install folder, without waiting. True when the process was
// started; callers do not depend on it.
bool StartDetector(std::wstring installFolder);

}  // namespace tessara
