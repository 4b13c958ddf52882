#pragma once
// One run of the setup program, an installation or a removal, whoever shows it: its state, its worker,
// its hold on the user's run lock, and the exit code the process ends with. The window shows a run and
// forwards the user's clicks to it; a silent run is the same object shown by nobody.
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "app/InstallStage.h"
#include "app/RunLock.h"
#include "app/ScopedWin.h"

namespace tessara {

// How the program was started: it decides how long a run waits for another, whether the user is
// asked, and what the exit code tells.
enum class RunMode { Interactive, Silent, Package, Uninstall };

class CInstallerRun final : public IProgressReport {
public:
    // How the last run ended. NotBegun until a run has ended.
    enum class Outcome { NotBegun, Succeeded, Failed, Declined, Left, TimedOut, LockUnusable };

    explicit CInstallerRun(RunMode mode) : silent(mode != RunMode::Interactive), m_mode(mode) {}
    CInstallerRun(const CInstallerRun&) = delete;
    CInstallerRun& operator=(const CInstallerRun&) = delete;
    // Whatever still runs reports into this object: it waits for the worker.
    ~CInstallerRun() { WaitForWorker(); }

    RunMode Mode() const { return m_mode; }
    // The one who shows the run, or nobody; it must outlive every worker it was shown.
    void ShowIn(IRunView* view) { m_view.store(view); }

    // The procedure of a run (engine/InstallThread.h), on the run's thread.
    using Procedure = Outcome (*)(CInstallerRun& run);

    // A run on a worker thread of its own, once the previous one has returned; false when none started.
    bool Start(Procedure procedure);
    bool StartInstallation();
    bool StartRemoval();
    // "/uninstall": the removal on the calling thread.
    void RemoveNow();
    // Never dispatches anything meanwhile: callers wait only once the run has reported its end, or once
    // nothing shows it any more, so the wait lasts no longer than the worker's return.
    void WaitForWorker();

    // The user's wishes, from the window's thread. Leave: a run that waits for another ends without
    // beginning; false when it does not wait. Cancel: a working run stops at its next step.
    bool Leave() { return m_lock.Leave(); }
    void Cancel() { cancelRequested.exchange(true); }

    bool IsWaiting() const { return m_lock.IsWaiting(); }
    Outcome LastOutcome() const { return m_outcome.load(); }

    // The process's exit code once the run has ended; `shown` tells whether the window came up. The
    // interactive mode shows its outcome and exits with 0; the silent modes tell deployment tools
    // (app/ExitCodes.h), and a failed run ends its log with the line that says where it failed.
    int ExitCode(bool shown) const;

    // For the steps of the run.
    void SetProgressRange(int range) override;
    void SetProgress(int percent) override;
    // The installation has ended; the window shows its result once the procedure has returned.
    void OnFinished() override;
    bool IsCancelled() override { return cancelRequested.load(); }
    // A new step is shown (and read to screen-reader users) as it begins, not at the next progress.
    void SetStage(InstallStage value);
    void SetError(bool value) { error.exchange(value); }
    bool AllowClosingApplication();
    // Takes the user's run lock for the run's action ("installation", "uninstallation"), waiting as
    // the run mode allows; the window shows the wait. Held until the run's procedure returns.
    CRunLock::Result TakeRunLock(const char* action);

    // Written by the worker, read by the window when it paints.
    std::atomic<int32_t> stage{StageNone};
    std::atomic<bool> finished{false};
    std::atomic<bool> error{false};
    std::atomic<bool> cancelRequested{false};
    std::atomic<int> progress{0};
    // The run failed because the payload's signed version is older than the installed one.
    std::atomic<bool> refusedOlderVersion{false};
    const bool silent;

private:
    static DWORD WINAPI Worker(LPVOID parameter);
    // Runs the procedure, lets go of the lock, and reports the run's end.
    void Perform(Procedure procedure);
    void NotifyStatusChanged();

    const RunMode m_mode;
    std::atomic<IRunView*> m_view{nullptr};
    std::atomic<Outcome> m_outcome{Outcome::NotBegun};
    Procedure m_procedure = nullptr;
    int m_progressRange = 0;
    CRunLock m_lock;
    unique_handle m_worker;
};

}  // namespace tessara
