#pragma once
// One run of the setup program at a time per user: an installation, an uninstallation or the start-up
// recovery holds the lock while it changes the installation, and only then, so that a window resting
// on its result blocks nobody.
#include <windows.h>

#include <functional>
#include <string>

#include "app/ScopedWin.h"

namespace tessara {

// A lock of this user's. The run lock is a file in the user's own machine-local profile folder, opened
// for this process alone: no other account can reach it, every session of the user sees the same
// file, and the system lets go of it when its holder ends, however it ends. The window's claim is a
// mutex of the session, in a name built from the user's SID and made with access for the user alone.
class CUserLock {
public:
    enum class Outcome { Held, Busy, Unavailable };

    // The lock of a run, across all the user's sessions.
    static CUserLock ForRuns();
    // The claim of the user's installer window, in this session.
    static CUserLock ForWindow();

    // Waits up to waitMilliseconds (INFINITE for no bound) for the holder to let go, saying so in the
    // log. keepWaiting, when given, is asked about four times a second; false ends the wait. Busy when
    // another process or thread still holds the lock; Unavailable when no lock could be made (a run then
    // does not go ahead). The lock is held until this object is destroyed.
    Outcome Acquire(DWORD waitMilliseconds, const std::function<bool()>& keepWaiting = {});

private:
    CUserLock(const wchar_t* baseName, bool allSessions) : m_baseName(baseName), m_allSessions(allSessions) {}

    const wchar_t* m_baseName;
    bool m_allSessions;
    Outcome AcquireRunFile(DWORD waitMilliseconds, const std::function<bool()>& keepWaiting);

    unique_held_mutex m_held;
    unique_file_handle m_file;
};

// How long a silent run or "/uninstall" waits for another run before it gives up: the seconds of
// "/waitLimit" when the command line has them, the program's run limit otherwise.
DWORD SilentRunLockWait();

}  // namespace tessara
