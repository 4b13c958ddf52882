// Process entry: hardens the library search path, opens the log, picks the run mode from the
// command line and returns its exit code.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "app/Arguments.h"
#include "app/Config.h"
#include "app/ExitCodes.h"
#include "app/InstallStage.h"
#include "app/Log.h"
#include "app/RunLock.h"
#include "app/SystemLibrary.h"
#include "engine/Backup.h"
#include "engine/InstallThread.h"
#include "engine/Uninstallation.h"
#include "engine/RunRecovery.h"
#include "system/PackageRecord.h"
#include "system/SelfRemoval.h"
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

int RunWindowMode(HINSTANCE instance, bool silent, bool forPackage = false) {
    tessara::CTessaraAppInstallerWindow window(instance, silent);
    return window.Run(silent, forPackage);
}

// A run that never began ends its log as every failed run does, before its first step.
int NoRunBegan(int exitCode) {
    tessara::LogFailedRun(tessara::StageNone, exitCode);
    return exitCode;
}

// The package passes the remembered URL back on a repair: it is remembered only once it has served.
int RunPackageMode(HINSTANCE instance, const std::vector<std::wstring>& arguments) {
    // The package that wraps us must never report an installation that did not happen, so the
    // outcome of the run is passed on, and a run that never began is a failed installation.
    const int result = RunWindowMode(instance, true, true);
    if (result == tessara::ExitSuccess && tessara::ZipUrlArgument(arguments))
        tessara::RememberPackageUrl(tessara::SelectPayloadUrl());
    if (result != tessara::ExitNoRunStarted) return result;
    tessara::LogWrite("No installation run began; the package is told that the installation failed");
    return NoRunBegan(tessara::ExitInstallFailure);
}

// An installer refused the package before anything ran; the log of the program says so as well.
void LogRefusedPackage(const std::wstring& packageVersion) {
    const std::wstring installed = tessara::RecordedPackageVersion();
    tessara::LogFormat(
        "The package of version %S was refused: version %S of the application's package is "
        "installed, which is newer. Remove it before installing this older one",
        packageVersion.c_str(), installed.empty() ? L"(unknown)" : installed.c_str());
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

int RunChosenMode(HINSTANCE instance, const std::vector<std::wstring>& arguments) {
    switch (ChooseRunMode(arguments)) {
        case RunMode::UninstallSelf:
            tessara::ScheduleSelfRemoval();
            return 0;
        case RunMode::Uninstall:
            return RunUninstallMode();
        case RunMode::Msi:
            return RunPackageMode(instance, arguments);
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
    // Run by a package that its installer refused: nothing is to be done but saying why.
    if (const std::optional<std::wstring> refused = tessara::RefusedPackageArgument(switches)) {
        LogRefusedPackage(*refused);
        tessara::LogClose();
        return 0;
    }
    tessara::RemoveLeftoversOfSelfRemoval();
    {
        // Whatever an earlier run left half done is settled first, unless another run is going on now:
        // its journal is its own, and a run that was killed let go of the lock.
        tessara::CUserLock runLock = tessara::CUserLock::ForRuns();
        if (runLock.Acquire(0) == tessara::CUserLock::Outcome::Held) tessara::RecoverInterruptedRun();
    }
    const int result = RunChosenMode(instance, switches);
    tessara::LogClose();
    return result;
}
