// Process entry: hardens the library search path, opens the log, picks the run mode from the
// command line and returns its exit code.
#include <windows.h>

#include <string>
#include <vector>

#include "app/Arguments.h"
#include "app/ExitCodes.h"
#include "app/InstallStage.h"
#include "app/Log.h"
#include "app/RunLock.h"
#include "app/SystemLibrary.h"
#include "engine/Backup.h"
#include "engine/InstallThread.h"
#include "engine/Uninstallation.h"
#include "engine/RunJournal.h"
#include "system/Uninstall.h"
#include "ui/InstallerWindow.h"

namespace {

enum class RunMode { UninstallSelf, Uninstall, Msi, Silent, Interactive };

// Switches are read from the arguments one by one, never from inside a URL or another value.
RunMode ChooseRunMode(const std::vector<std::wstring>& arguments) {
    const auto has = [&arguments](const wchar_t* name) { return tessara::HasSwitch(arguments, name); };
    if (has(L"/uninstallSelf")) return RunMode::UninstallSelf;
    if (has(L"/uninstall")) return RunMode::Uninstall;
    if (has(L"/msi")) return RunMode::Msi;
    if (has(L"/silent")) return RunMode::Silent;
    return RunMode::Interactive;
}

int RunWindowMode(HINSTANCE instance, bool silent) {
    tessara::CTessaraAppInstallerWindow window(instance, silent);
    return window.Run(silent);
}

// A run that never began ends its log as every failed run does, before its first step.
int NoRunBegan(int exitCode) {
    tessara::LogFailedRun(tessara::StageNone, exitCode);
    return exitCode;
}

int RunInstallMode(HINSTANCE instance, bool silent) {
    const int result = RunWindowMode(instance, silent);
    return result == tessara::ExitNoRunStarted ? NoRunBegan(result) : result;
}

// 0 only when the application is gone afterwards; 1603, with the reason in the log, when it is still
// installed, so that a deployment tool or a package's removal never takes a failure for a removal.
int RunUninstallMode() {
    {
        // Nothing is removed while another run changes the installation, nor without the lock.
        tessara::CUserLock runLock = tessara::CUserLock::ForRuns();
        if (runLock.Acquire(tessara::SilentRunLockWait()) != tessara::CUserLock::Outcome::Held) {
            tessara::LogWrite("The uninstallation did not start: another setup run holds the lock");
            return tessara::ExitAnotherRunInProgress;
        }
        tessara::RecoverInterruptedRun();
        if (!tessara::RunUninstall() && tessara::IsApplicationInstalled()) {
            // The program stays too, so that the removal can be tried again.
            tessara::LogWrite("The application is still installed: the uninstallation failed");
            return tessara::ExitInstallFailure;
        }
    }
    tessara::ScheduleSelfRemoval();
    return tessara::ExitSuccess;
}

int RunChosenMode(HINSTANCE instance) {
    switch (ChooseRunMode(tessara::SplitArguments(::GetCommandLineW()))) {
        case RunMode::UninstallSelf:
            tessara::ScheduleSelfRemoval();
            return 0;
        case RunMode::Uninstall:
            return RunUninstallMode();
        case RunMode::Msi: {
            // The package that wraps us must never report an installation that did not happen, so the
            // outcome of the run is passed on, and a run that never began is a failed installation.
            const int result = RunWindowMode(instance, true);
            if (result != tessara::ExitNoRunStarted) return result;
            tessara::LogWrite("No installation run began; the package is told that the installation failed");
            return NoRunBegan(tessara::ExitInstallFailure);
        }
        case RunMode::Silent:
            return RunInstallMode(instance, true);
        case RunMode::Interactive:
            break;
    }
    // One window per user and session: a second start shows the first one instead.
    tessara::CUserLock windowClaim = tessara::CUserLock::ForWindow();
    if (windowClaim.Acquire(0) == tessara::CUserLock::Outcome::Busy && tessara::BringInstallerWindowToFront())
        return 0;
    return RunInstallMode(instance, false);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR arguments, int) {
    tessara::RestrictLibrarySearchToSystemFolder();
    const std::vector<std::wstring> switches = tessara::SplitArguments(::GetCommandLineW());
    // Started by a run that has reported its result: the log is that run's, so none is opened.
    if (tessara::HasSwitch(switches, tessara::RemoveDiscardedSwitch)) {
        tessara::RemoveDiscardedBackup();
        return 0;
    }
    tessara::LogOpen(tessara::LogPathArgument(switches));
    const wchar_t* args = arguments ? arguments : L"";
    tessara::LogFormat("Installer with command line = \"%S\"", args);
    tessara::RemoveLeftoversOfSelfRemoval();
    {
        // Whatever an earlier run left half done is settled first, unless another run is going on now:
        // its journal is its own, and a run that was killed let go of the lock.
        tessara::CUserLock runLock = tessara::CUserLock::ForRuns();
        if (runLock.Acquire(0) == tessara::CUserLock::Outcome::Held) tessara::RecoverInterruptedRun();
    }
    const int result = RunChosenMode(instance);
    tessara::LogClose();
    return result;
}
