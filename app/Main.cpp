// Process entry: hardens the library search path, opens the log, picks the run mode from the
// command line and returns its exit code.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "app/Arguments.h"
#include "app/Config.h"
#include "app/ExitCodes.h"
#include "app/Log.h"
#include "app/RunLock.h"
#include "app/SystemLibrary.h"
#include "engine/Backup.h"
#include "engine/InstallerRun.h"
#include "engine/RunJournal.h"
#include "system/PackageRecord.h"
#include "system/Uninstall.h"
#include "ui/InstallerWindow.h"

namespace {

enum class StartMode { UninstallSelf, Uninstall, Msi, Silent, Interactive };

// Switches are read from the arguments one by one, never from inside a URL or another value.
StartMode ChooseRunMode(const std::vector<std::wstring>& arguments) {
    const auto has = [&arguments](const wchar_t* name) { return tessara::HasSwitch(arguments, name); };
    if (has(L"/uninstallSelf")) return StartMode::UninstallSelf;
    if (has(L"/uninstall")) return StartMode::Uninstall;
    if (has(L"/msi")) return StartMode::Msi;
    if (has(L"/silent")) return StartMode::Silent;
    return StartMode::Interactive;
}

// The run decides the exit code; the window only shows the run.
int RunWindowMode(HINSTANCE instance, tessara::RunMode mode) {
    tessara::CInstallerRun run(mode);
    bool shown = false;
    {
        tessara::CTessaraAppInstallerWindow window(instance, run);
        shown = window.Run();
    }
    return run.ExitCode(shown);
}

// The package passes the remembered URL back on a repair: it is remembered only once it has served.
int RunPackageMode(HINSTANCE instance, const std::vector<std::wstring>& arguments) {
    const int result = RunWindowMode(instance, tessara::RunMode::Package);
    if (result == tessara::ExitSuccess && tessara::ZipUrlArgument(arguments))
        tessara::RememberPackageUrl(tessara::SelectPayloadUrl());
    return result;
}

// An installer refused the package before anything ran; the log of the program says so as well.
void LogRefusedPackage(const std::wstring& packageVersion) {
    const std::wstring installed = tessara::RecordedPackageVersion();
    tessara::LogFormat(
        "The package of version %S was refused: version %S of the application's package is "
        "installed, which is newer. Remove it before installing this older one",
        packageVersion.c_str(), installed.empty() ? L"(unknown)" : installed.c_str());
}

// 0 only when the application is gone afterwards; 1603, with the reason in the log, when it is still
// installed, so that a deployment tool or a package's removal never takes a failure for a removal
// (the run decides, engine/InstallerRun.h).
int RunUninstallMode() {
    tessara::CInstallerRun run(tessara::RunMode::Uninstall);
    run.RemoveNow();
    const int result = run.ExitCode(false);
    // Otherwise the program stays, so that the removal can be tried again.
    if (result == tessara::ExitSuccess) tessara::ScheduleSelfRemoval();
    return result;
}

int RunChosenMode(HINSTANCE instance, const std::vector<std::wstring>& arguments) {
    switch (ChooseRunMode(arguments)) {
        case StartMode::UninstallSelf:
            tessara::ScheduleSelfRemoval();
            return 0;
        case StartMode::Uninstall:
            return RunUninstallMode();
        case StartMode::Msi:
            return RunPackageMode(instance, arguments);
        case StartMode::Silent:
            return RunWindowMode(instance, tessara::RunMode::Silent);
        case StartMode::Interactive:
            break;
    }
    // One window per user and session: a second start shows the first one instead.
    tessara::CUserLock windowClaim = tessara::CUserLock::ForWindow();
    if (windowClaim.Acquire(0) == tessara::CUserLock::Outcome::Busy && tessara::BringInstallerWindowToFront())
        return 0;
    return RunWindowMode(instance, tessara::RunMode::Interactive);
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
        tessara::CRunLock runLock;
        if (runLock.Take(0, "recovery of an interrupted run") == tessara::CRunLock::Result::Held)
            tessara::RecoverInterruptedRun();
    }
    const int result = RunChosenMode(instance, switches);
    tessara::LogClose();
    return result;
}
