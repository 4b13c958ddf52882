#pragma once
// The exit codes of the silent modes, in the Windows Installer's numbers, so that deployment tools can
// tell a failure to retry later from one to report. The interactive mode shows its outcome instead.

namespace tessara {

constexpr int ExitSuccess = 0;
// No installation run began: "/zipUrl" without its value, a payload URL that is too long, or no window.
// "/msi" reports this as ExitInstallFailure: a package must never take it for an installation.
constexpr int ExitNoRunStarted = 1;
// The run needed more disk space than the drive had (ERROR_DISK_FULL).
constexpr int ExitNotEnoughDiskSpace = 112;
// Every other failed installation or removal, and a run lock that cannot be used (ERROR_INSTALL_FAILURE).
constexpr int ExitInstallFailure = 1603;
// Another run of the setup program for this user did not end in time (ERROR_INSTALL_ALREADY_RUNNING).
constexpr int ExitAnotherRunInProgress = 1618;

// Notes that a step failed for want of disk space; a failed run then ends with ExitNotEnoughDiskSpace
// (the run decides its exit code, engine/InstallerRun.h).
void NoteNotEnoughDiskSpace();
bool RanOutOfDiskSpace();

}  // namespace tessara
