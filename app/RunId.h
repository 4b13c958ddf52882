#pragma once
// The name of one installation or uninstallation run: the process and the moment it began, so that no
// two runs share one, and whether the run's process still runs can be told from the name alone.
#include <string>

namespace tessara {

// "<process id, 8 hexadecimal digits>-<system time, 16 hexadecimal digits>".
std::wstring NewRunId();
// A name of that form.
bool IsRunId(const std::wstring& id);
// The process that named the run still runs, or cannot be told to have ended: a process of the same
// id that began after the run is another one.
bool IsRunAlive(const std::wstring& id);

}  // namespace tessara
