#include "engine/InstallThread.h"

#include <memory>
#include <string>
#include <thread>

#include "app/Config.h"
#include "app/FileSystem.h"
#include "app/Log.h"
#include "app/RunLimits.h"
#include "app/RunLock.h"
#include "app/ScopedWin.h"
#include "app/InstallLocations.h"
#include "app/InstallStage.h"
#include "engine/PayloadPipeline.h"
#include "engine/Uninstallation.h"
#include "system/ProcessControl.h"
#include "engine/RunJournal.h"
#include "engine/RunRecovery.h"
#include "system/Registration.h"
#include "system/RegistryValues.h"
#include "system/RegistryTransaction.h"
#include "system/Shortcuts.h"

namespace tessara {
namespace {

enum class CloseOutcome { Stopped, Declined, CouldNotStop };

// Makes sure no process of the application runs, asking the user first when it is in use.
CloseOutcome CloseRunningApplication(CInstallerRun& run) {
    if (run.silent) {
        StopApplicationAndDetector("Silent install, Stopping the tessara processes",
                                   "Silent install, Stopping tessara detector");
    } else if (IsApplicationRunning()) {
        LogWrite("Tessara is running, asking the user to close the application");
        if (!run.AllowClosingApplication()) return CloseOutcome::Declined;
        LogWrite("User allowed us to close the application");
        for (int round = 0; IsApplicationRunning() || IsDetectorRunning(); ++round) {
            if (round == StopWaitRounds) return CloseOutcome::CouldNotStop;
            StopApplicationAndDetector("Stopping tessara processes", "Stopping tessara detector");
            ::Sleep(100);
        }
    }
    StopApplicationAndDetector("Stopping tessara processes", "Stopping detector process");
    return WaitUntilStopped() ? CloseOutcome::Stopped : CloseOutcome::CouldNotStop;
}

using Outcome = CInstallerRun::Outcome;

Outcome EndRun(CInstallerRun& run, Outcome outcome) {
    LogFormat("Installer thread finished: stage=%d error=%d", run.stage.load(), run.error.load());
    return outcome;
}

// The run goes ahead only with the lock; otherwise its outcome says what kept it.
Outcome WithoutLock(CRunLock::Result result) {
    switch (result) {
        case CRunLock::Result::Left:
            return Outcome::Left;
        case CRunLock::Result::TimedOut:
            return Outcome::TimedOut;
        case CRunLock::Result::Unusable:
            return Outcome::LockUnusable;
        case CRunLock::Result::Held:
            break;
    }
    return Outcome::Succeeded;
}

// Ends a run that failed before the pipeline began, with the step the window's failure screen names.
void FailBeforePipeline(CInstallerRun& run, InstallStage stage) {
    run.SetStage(stage);
    run.SetError(true);
}

// A run that did not complete leaves the previous installation as it was, and that includes its
// detector, which the run stopped.
void RestartDetectorOfRestoredInstallation(const std::wstring& installFolder) {
    if (IsDetectorRunning()) return;
    LogWrite("Starting the detector of the restored installation");
    StartDetector(installFolder);
}

using RegistrationStep = bool (*)(std::wstring, IRegistryTransaction&);

struct Registration {
    const char* before;
    InstallStage stage;
    RegistrationStep write;
    int progressAfter;
    const char* after;
};

const Registration kRegistrations[] = {
    {"Creating uninstall keys", StageUninstallKeys, WriteUninstallEntry, 95, "uninstall keys succcess=%d"},
    {"Creating protocol keys", StageProtocolKeys, WriteProtocolKeys, 99, "protocol keys success=%d"},
    {"Creating startup keys", StageStartupKeys, WriteStartupValue, 100, "Startup keys success=%d"},
};

bool WriteRegistrations(CInstallerRun& run, const std::wstring& installFolder,
                        IRegistryTransaction& transaction) {
    bool result = true;
    for (const Registration& step : kRegistrations) {
        LogWrite(step.before);
        run.SetStage(step.stage);
        if (!ContinueUnlessCancelled(run)) return false;
        bool written = false;
        try {
            written = step.write(installFolder, transaction);
        } catch (const std::exception& error) {
            LogFormat("File system error: %s", error.what());
        }
        run.SetError(!written);
        run.SetProgress(step.progressAfter);
        result = result && !run.error.load();
        LogFormat(step.after, result);
        if (!result) break;
    }
    return result;
}

// Beside the registrations, so that the version remembered is that of the installation the commit leaves.
bool RememberPayloadVersion(CInstallerRun& run, const std::string& version,
                            IRegistryTransaction& transaction) {
    const bool written = WritePayloadVersion(version, transaction);
    LogFormat("payload version remembered=%d", written);
    run.SetError(!written);
    return written;
}

// Makes the registry changes final together with the files: the journal's mark inside the
// transaction is the point after which the new installation stays, even when the process is killed
// right after.
bool CommitRun(CInstallerRun& run, IRegistryTransaction& transaction, CRunJournal& journal) {
    if (!ContinueUnlessCancelled(run)) return false;
    LogWrite("Committing transaction");
    if (!journal.Commit(transaction)) {
        LogWrite("Could not commit transaction");
        run.SetError(true);
        return false;
    }
    return true;
}

bool RunInstallation(CInstallerRun& run, IRegistryTransaction& transaction, const std::wstring& installFolder,
                     CRunJournal& journal) {
    LogWrite("Starting file download");
    std::string payloadVersion;
    bool result = RunPayloadPipeline(run, journal, payloadVersion);
    LogFormat("file download success=%d", result);
    if (result) result = WriteRegistrations(run, installFolder, transaction);
    if (result) result = RememberPayloadVersion(run, payloadVersion, transaction);
    if (result) result = CommitRun(run, transaction, journal);
    if (!result) {
        LogWrite("Rolling back transaction");
        transaction.Rollback();
    }
    return result;
}

// Joined however the run ends.
struct CJoinedThread {
    std::thread thread;
    ~CJoinedThread() {
        if (thread.joinable()) thread.join();
    }
};

Outcome Install(CInstallerRun& run) {
    LogWrite("Starting installer thread");
    run.SetStage(StageNone);
    run.refusedOlderVersion.exchange(false);
    run.SetProgress(0);

    const CRunLock::Result lock = run.TakeRunLock("installation");
    if (lock != CRunLock::Result::Held) {
        if (lock == CRunLock::Result::Unusable) run.SetError(true);
        return EndRun(run, WithoutLock(lock));
    }
    const bool detectorWasRunning = IsDetectorRunning();

    bool result = false;
    switch (CloseRunningApplication(run)) {
        case CloseOutcome::Declined:
            return Outcome::Declined;
        case CloseOutcome::CouldNotStop:
            LogWrite("Could not stop the running application");
            FailBeforePipeline(run, StageReplace);
            break;
        case CloseOutcome::Stopped: {
            const std::wstring installFolder = GetInstallFolder();
            CRunJournal journal;
            if (!journal.Begin(RunKind::Install)) {
                LogWrite("Could not start the installation journal");
                FailBeforePipeline(run, StageReplace);
                break;
            }
            const std::unique_ptr<IRegistryTransaction> transaction =
                journal.CreateTransaction(L"Installing Orvix Tessara Application");
            if (transaction) {
                result = RunInstallation(run, *transaction, installFolder, journal);
            } else {
                LogWrite("Could not create the registry transaction");
                FailBeforePipeline(run, StageUninstallKeys);
            }
            // The system waits for a new process to come up; meanwhile the run is settled.
            CJoinedThread detectorStart;
            if (result) {
                LogWrite("Starting Detector process");
                detectorStart.thread = std::thread([installFolder] { StartDetector(installFolder); });
            }
            // Puts back the previous installation unless the run committed, and discards the backup.
            journal.Complete();
            if (result) {
                run.SetStage(StageComplete);
            } else if (detectorWasRunning) {
                RestartDetectorOfRestoredInstallation(installFolder);
            }
            break;
        }
    }

    return EndRun(run, result ? Outcome::Succeeded : Outcome::Failed);
}

}  // namespace

Outcome InstallApplication(CInstallerRun& run) {
    // Read before the run begins, so that what the file says at the start is what counts.
    const std::wstring configFile = GetConfigFilePath();
    const bool desktop =
        ::GetPrivateProfileIntW(L"shortcutConfig", L"desktopShortcut", 0, configFile.c_str()) != 0;
    const bool startMenu =
        ::GetPrivateProfileIntW(L"shortcutConfig", L"startMenuShortcut", 1, configFile.c_str()) != 0;
    Outcome outcome = Install(run);
    // In the window the shortcuts are the user's choice on its result screen; a silent run that could
    // not make the ones its configuration asks for does not report a whole installation.
    if (outcome == Outcome::Succeeded && run.silent) {
        ScopedCom com;
        if (!UpdateShortcuts(desktop, startMenu, GetInstallFolder())) outcome = Outcome::Failed;
    }
    // A user who would not have the application closed is not shown a result: the window closes.
    if (outcome != Outcome::Declined) run.OnFinished();
    return outcome;
}

// A removal that found nothing registered any more (another run removed it) is done all the same; one
// that rolled back left the installation as it was.
Outcome RemoveApplication(CInstallerRun& run) {
    const CRunLock::Result lock = run.TakeRunLock("uninstallation");
    if (lock != CRunLock::Result::Held) return WithoutLock(lock);
    if (run.Mode() == RunMode::Uninstall) RecoverInterruptedRun();
    const bool removed = RunUninstall();
    LogFormat("Uninstall success=%d", removed);
    if (removed || !IsApplicationInstalled()) {
        run.finished.exchange(true);
        return Outcome::Succeeded;
    }
    // The program stays too, so that the removal can be tried again.
    LogWrite("The application is still installed: the uninstallation failed");
    return Outcome::Failed;
}

}  // namespace tessara
