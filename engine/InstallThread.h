#pragma once
// One installation run on a worker thread: stop the application, back up the previous installation,
// fetch and verify the payload, put it in place and register it in one registry transaction, or roll
// everything back. And its counterpart, the removal of an installation.
#include <windows.h>

namespace tessara {

// Exit code of an installer thread whose run never began: another run of the user held the lock for
// as long as a silent run waits.
constexpr DWORD kRunBlocked = 2;

class CInstallerSession;
class CUserLock;

// Waits for the user's run lock, with the session's waiting flag set meanwhile; false when the wait
// ended without it (a silent run's time was up, or the user left the waiting run).
bool TakeRunLock(CInstallerSession& session, CUserLock& lock);

// The parameter is the CInstallerSession (the window object). Exit code 1 when the run succeeded.
DWORD WINAPI InstallThreadProc(LPVOID session);
// The silent modes: shortcut choices from "config.ini", the run, the shortcuts, then closes the window.
DWORD WINAPI SilentInstallThreadProc(LPVOID session);

}  // namespace tessara
