#pragma once
// Finding, stopping and starting the installed application's processes by image name.
#include <string>
#include <vector>

namespace tessara {

extern const std::vector<std::wstring> ApplicationProcessNames;
extern const std::vector<std::wstring> RunningCheckNames;
extern const std::vector<std::wstring> DetectorProcessNames;

bool IsAnyProcessRunning(const std::vector<std::wstring>& names);
// Asks the system to end every process with one of the names; does not wait. True when at least one
// matching process could be opened for termination.
bool TerminateProcessesByName(const std::vector<std::wstring>& names);

bool IsApplicationRunning();
bool IsDetectorRunning();
bool StopApplicationProcesses();
bool StopDetectorProcess();
// Starts tessaradetector.exe from the install folder, without waiting. True when the process was
// started; callers do not depend on it.
bool StartDetector(std::wstring installFolder);

}  // namespace tessara
