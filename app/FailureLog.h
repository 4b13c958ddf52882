#pragma once
// Log lines that say why a step failed, written after the step's own lines: the system's error for a
// file operation, the programs that hold a file open, and the space a step lacked. The failures that
// deployment tools must tell apart are also noted for the exit code (app/ExitCodes.h).
#include <windows.h>

#include <cstdint>
#include <string>

namespace tessara {

// The system's text for an error, without its closing full stop.
std::string SystemErrorText(DWORD error);

// "Could not <action> <path>: system error <code> (<text>)", followed by one line per process that
// holds the file, where the system can tell.
void LogFileOperationFailure(const char* action, const std::wstring& path, DWORD error);

// "<path> is in use by <program> (process <id>)" for each process the Restart Manager names.
void LogProcessesHolding(const std::wstring& path);

// False, with a line giving the free and the needed bytes, when fewer than `needed` bytes are free on
// the volume of `folder`. A volume whose free space cannot be read is not held against the step.
bool FitsOnVolume(const std::wstring& folder, uint64_t needed);

// True for the system errors of a full drive.
bool IsDiskFullError(DWORD error);

}  // namespace tessara
