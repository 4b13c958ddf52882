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
#include "app/Text.h"
#include "app/InstallLocations.h"
#include "app/InstallStage.h"
#include "engine/PayloadPipeline.h"
#include "system/ProcessControl.h"
#include "engine/RunJournal.h"
#include "res/resource.h"
#include "system/Registration.h"
#include "system/RegistryValues.h"
#include "system/RegistryTransaction.h"
#include "system/Shortcuts.h"

namespace tessara {
namespace {

enum class CloseOutcome { Stopped, Declined, CouldNotStop };

// Makes sure no process of the application runs, asking the user first when it is in use.
CloseOutcome CloseRunningApplication(CInstallerSession& session) {
    if (session.silent) {
        StopApplicationAndDetector("Silent install, Stopping the tessara processes",
                                   "Silent install, Stopping tessara detector");
    } else if (IsApplicationRunning()) {
        const std::wstring prompt = LoadResourceText(::GetModuleHandleW(nullptr), IDS_CLOSE_PROMPT_TEXT);
        LogWrite("Tessara is running, asking the user to close the application");
        if (::MessageBoxW(session.window.load(), prompt.c_str(), session.closePromptCaption.c_str(),
                          MB_YESNO | MB_ICONQUESTION) != IDYES)
            return CloseOutcome::Declined;
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

}  // namespace

// Held for one run alone, so that a window resting on its result screen blocks no other run. The window
// shows that the run waits meanwhile; a silent run gives up after a while, an interactive one only when
// the user leaves it.
bool TakeRunLock(CInstallerSession& session, CUserLock& lock) {
    const DWORD wait = session.silent ? SilentRunLockWait() : INFINITE;
    // Asked only while another run holds the lock.
    const auto keepWaiting = [&session] {
        session.SetWaiting(true);
        return !session.IsCancelled();
    };
    const CUserLock::Outcome outcome = lock.Acquire(wait, keepWaiting);
    session.SetWaiting(false);
    // No run goes ahead without the lock, whatever kept it from being taken.
    if (outcome == CUserLock::Outcome::Held) return true;
    ContinueUnlessCancelled(session);
    return false;
}

namespace {

DWORD EndThread(CInstallerSession& session, DWORD exitCode) {
    LogFormat("Installer thread finished: stage=%d error=%d", session.stage.load(), session.error.load());
    ::PostMessageW(session.window.load(), WM_SET_CLOSE_BOX, 1, 0);
    // The run's one report of its end, after everything it changed is final: the window shows the
    // result screen only for what really happened.
    session.OnFinished();
    return exitCode;
}

// Ends a run that failed before the pipeline began, with the step the window's failure screen names.
void FailBeforePipeline(CInstallerSession& session, InstallStage stage) {
    session.SetStage(stage);
    session.SetError(true);
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

bool WriteRegistrations(CInstallerSession& session, const std::wstring& installFolder,
                        IRegistryTransaction& transaction) {
    bool result = true;
    for (const Registration& step : kRegistrations) {
        LogWrite(step.before);
        session.SetStage(step.stage);
        if (!ContinueUnlessCancelled(session)) return false;
        bool written = false;
        try {
            written = step.write(installFolder, transaction);
        } catch (const std::exception& error) {
            LogFormat("File system error: %s", error.what());
        }
        session.SetError(!written);
        session.SetProgress(step.progressAfter);
        result = result && !session.error.load();
        LogFormat(step.after, result);
        if (!result) break;
    }
    return result;
}

// Beside the registrations, so that the version remembered is that of the installation the commit leaves.
bool RememberPayloadVersion(CInstallerSession& session, const std::string& version,
                            IRegistryTransaction& transaction) {
    const bool written = WritePayloadVersion(version, transaction);
    LogFormat("payload version remembered=%d", written);
    session.SetError(!written);
    return written;
}

// Makes the registry changes final together with the files: the journal's mark inside the
// transaction is the point after which the new installation stays, even when the process is killed
// right after.
bool CommitRun(CInstallerSession& session, IRegistryTransaction& transaction, CRunJournal& journal) {
    if (!ContinueUnlessCancelled(session)) return false;
    LogWrite("Committing transaction");
    if (!journal.Commit(transaction)) {
        LogWrite("Could not commit transaction");
        session.SetError(true);
        return false;
    }
    return true;
}

bool RunInstallation(CInstallerSession& session, IRegistryTransaction& transaction,
                     const std::wstring& installFolder, CRunJournal& journal) {
    LogWrite("Starting file download");
    std::string payloadVersion;
    bool result = RunPayloadPipeline(session, journal, payloadVersion);
    LogFormat("file download success=%d", result);
    if (result) result = WriteRegistrations(session, installFolder, transaction);
    if (result) result = RememberPayloadVersion(session, payloadVersion, transaction);
    if (result) result = CommitRun(session, transaction, journal);
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

}  // namespace

DWORD WINAPI InstallThreadProc(LPVOID parameter) {
    CInstallerSession& session = *static_cast<CInstallerSession*>(parameter);
    LogWrite("Starting installer thread");
    session.SetStage(StageNone);
    session.refusedOlderVersion.exchange(false);
    session.SetProgress(0);
    ::PostMessageW(session.window.load(), WM_SET_CLOSE_BOX, 0, 0);

    CUserLock runLock = CUserLock::ForRuns();
    if (!TakeRunLock(session, runLock)) {
        // A silent run just ends; an interactive one was cancelled while it waited.
        if (!session.silent) FailBeforePipeline(session, StageReplace);
        return EndThread(session, kRunBlocked);
    }
    const bool detectorWasRunning = IsDetectorRunning();

    bool result = false;
    switch (CloseRunningApplication(session)) {
        case CloseOutcome::Declined:
            session.finished.exchange(true);
            ::PostMessageW(session.window.load(), WM_CLOSE, 0, 0);
            return 0;
        case CloseOutcome::CouldNotStop:
            LogWrite("Could not stop the running application");
            FailBeforePipeline(session, StageReplace);
            break;
        case CloseOutcome::Stopped: {
            const std::wstring installFolder = GetInstallFolder();
            CRunJournal journal;
            if (!journal.Begin(RunKind::Install)) {
                LogWrite("Could not start the installation journal");
                FailBeforePipeline(session, StageReplace);
                break;
            }
            const std::unique_ptr<IRegistryTransaction> transaction =
                journal.CreateTransaction(L"Installing Orvix Tessara Application");
            if (transaction) {
                result = RunInstallation(session, *transaction, installFolder, journal);
            } else {
                LogWrite("Could not create the registry transaction");
                FailBeforePipeline(session, StageUninstallKeys);
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
                session.SetStage(StageComplete);
            } else if (detectorWasRunning) {
                RestartDetectorOfRestoredInstallation(installFolder);
            }
            break;
        }
    }

    return EndThread(session, result ? 1 : 0);
}

DWORD WINAPI SilentInstallThreadProc(LPVOID parameter) {
    CInstallerSession& session = *static_cast<CInstallerSession*>(parameter);
    const std::wstring configFile = GetConfigFilePath();
    const bool desktop =
        ::GetPrivateProfileIntW(L"shortcutConfig", L"desktopShortcut", 0, configFile.c_str()) != 0;
    const bool startMenu =
        ::GetPrivateProfileIntW(L"shortcutConfig", L"startMenuShortcut", 1, configFile.c_str()) != 0;

    const DWORD run = InstallThreadProc(parameter);
    bool result = run == 1;
    if (result) {
        ScopedCom com;
        result = UpdateShortcuts(desktop, startMenu, GetInstallFolder());
    }
    ::SendMessageW(session.window.load(), WM_CLOSE, 0, 0);
    return run == kRunBlocked ? kRunBlocked : result ? 1 : 0;
}

}  // namespace tessara
