#pragma once
// One run of the setup program at a time per user: an installation, an uninstallation or the start-up
// recovery holds the lock while it changes the installation, and only then, so that a window resting
// on its result blocks nobody.
#include <windows.h>

#include <atomic>
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
    // Lets go of a lock this object holds.
    void Release();

private:
    CUserLock(const wchar_t* baseName, bool allSessions) : m_baseName(baseName), m_allSessions(allSessions) {}

    const wchar_t* m_baseName;
    bool m_allSessions;
    Outcome AcquireRunFile(DWORD waitMilliseconds, const std::function<bool()>& keepWaiting);

    unique_held_mutex m_held;
    unique_file_handle m_file;
};

// The user's run lock as every run takes it: one place decides whether a run waits for another, goes
// ahead, or ends at once, and says which in the log. Only another holder of the lock file is waited
// for; anything else that keeps the file from being opened will not pass by waiting.
class CRunLock {
public:
    enum class Result { Held, TimedOut, Left, Unusable };

    CRunLock() : m_lock(CUserLock::ForRuns()) {}

    // Waits up to waitMilliseconds (INFINITE for no bound) for another run to let go; onWaitingChanged
    // is called when the wait begins and when it ends. Left when the user left the run while it waited:
    // the lock is let go again and nothing begins, even when the other run ended at that moment.
    // `action` names the run in the log ("installation", "uninstallation").
    Result Take(DWORD waitMilliseconds, const char* action,
                const std::function<void()>& onWaitingChanged = {});
    // From another thread: leaves a run while it waits. False when it does not wait, or no longer: a run
    // that has taken its lock has begun, and only a cancel stops it.
    bool Leave();
    // The run waits for another run, or was left while it waited.
    bool IsWaiting() const { return m_state.load() != Idle; }
    // Lets go of the lock once the run is over.
    void Release() { m_lock.Release(); }

private:
    enum State { Idle, Waiting, LeftWaiting };
    CUserLock m_lock;
    std::atomic<int> m_state{Idle};
};

// How long a silent run or "/uninstall" waits for another run before it gives up: the seconds of
// "/waitLimit" when the command line has them, the program's run limit otherwise.
DWORD SilentRunLockWait();

}  // namespace tessara
