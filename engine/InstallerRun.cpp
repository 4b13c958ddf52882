#include "engine/InstallerRun.h"

#include "app/ExitCodes.h"
#include "app/Log.h"
#include "engine/InstallThread.h"

namespace tessara {
namespace {

// The last line of every failed run, so that an administrator sees where to look without reading the
// rest.
void LogFailedRun(int32_t stage, int exitCode) {
    LogFormat("Installation failed at the %s step, exit code %d", StageName(stage), exitCode);
}

}  // namespace

void CInstallerRun::SetProgressRange(int range) { m_progressRange = range; }

void CInstallerRun::SetProgress(int percent) {
    // The download reports every few kilobytes; the view hears only of a figure that moves, as each
    // report is a round trip to the window's thread.
    if (progress.exchange(percent) == percent) return;
    if (IRunView* view = m_view.load()) view->SetProgress(percent);
}

void CInstallerRun::OnFinished() {
    SetProgress(100);
    finished.exchange(true);
}

void CInstallerRun::SetStage(InstallStage value) {
    if (stage.exchange(value) != value) NotifyStatusChanged();
}

void CInstallerRun::NotifyStatusChanged() {
    if (IRunView* view = m_view.load()) view->OnRunStatusChanged();
}

bool CInstallerRun::AllowClosingApplication() {
    IRunView* view = m_view.load();
    return view && view->AllowClosingApplication();
}

CRunLock::Result CInstallerRun::TakeRunLock(const char* action) {
    // A silent run gives up after a while; the window waits until the user leaves the run.
    const DWORD wait = m_mode == RunMode::Interactive ? INFINITE : SilentRunLockWait();
    return m_lock.Take(wait, action, [this] { NotifyStatusChanged(); });
}

bool CInstallerRun::Start(Procedure procedure) {
    WaitForWorker();
    finished.exchange(false);
    error.exchange(false);
    cancelRequested.exchange(false);
    m_procedure = procedure;
    const HANDLE thread = ::CreateThread(nullptr, 0, Worker, this, 0, nullptr);
    if (!thread) {
        LogWrite("Could not start the run's thread");
        return false;
    }
    m_worker.reset(thread);
    return true;
}

DWORD WINAPI CInstallerRun::Worker(LPVOID parameter) {
    auto& run = *static_cast<CInstallerRun*>(parameter);
    run.Perform(run.m_procedure);
    return 0;
}

bool CInstallerRun::StartInstallation() { return Start(InstallApplication); }

bool CInstallerRun::StartRemoval() { return Start(RemoveApplication); }

void CInstallerRun::RemoveNow() { Perform(RemoveApplication); }

void CInstallerRun::Perform(Procedure procedure) {
    const Outcome outcome = procedure(*this);
    // Let go before the end is shown: a window resting on its result blocks no other run.
    m_lock.Release();
    m_outcome.store(outcome);
    // The run's one report of its end, after everything it changed is final.
    if (IRunView* view = m_view.load()) view->OnFinished();
}

void CInstallerRun::WaitForWorker() {
    if (m_worker) ::WaitForSingleObject(m_worker.get(), INFINITE);
}

int CInstallerRun::ExitCode(bool shown) const {
    const Outcome outcome = m_outcome.load();
    if (m_mode == RunMode::Interactive && (shown || outcome != Outcome::NotBegun)) return ExitSuccess;
    if (outcome == Outcome::Succeeded) return ExitSuccess;
    int exitCode = ExitInstallFailure;
    switch (outcome) {
        case Outcome::NotBegun:
            // A package must never take a run that never began for an installation.
            if (m_mode == RunMode::Package) {
                LogWrite("No installation run began; the package is told that the installation failed");
            } else {
                exitCode = ExitNoRunStarted;
            }
            break;
        case Outcome::TimedOut:
            exitCode = ExitAnotherRunInProgress;
            break;
        case Outcome::Failed:
        case Outcome::Declined:
        case Outcome::Left:
            if (m_mode != RunMode::Uninstall && RanOutOfDiskSpace()) exitCode = ExitNotEnoughDiskSpace;
            break;
        case Outcome::Succeeded:
        case Outcome::LockUnusable:
            break;
    }
    // The removal's own lines say why it did not go through.
    if (m_mode != RunMode::Uninstall) LogFailedRun(stage.load(), exitCode);
    return exitCode;
}

}  // namespace tessara
