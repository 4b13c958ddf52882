#pragma once
// The state one installation run shares between the installer thread and the window, and the
// progress interface through which the run reports to the window.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace tessara {

// Posted by the worker side: the run has ended (rebuild the screen), and hide (0) or show (1) the
// window's close box around a run.
constexpr UINT WM_INSTALL_FINISHED = WM_USER + 1;
constexpr UINT WM_SET_CLOSE_BOX = WM_USER + 2;
// Posted by the worker side when the run begins a step or starts or stops waiting for another run.
constexpr UINT WM_RUN_STATUS_CHANGED = WM_USER + 4;

// Stable values: the error report and the window's screens rely on them. Append only.
enum InstallStage : int32_t {
    StageNone = 0,
    StageDownload = 1,
    StageExtract = 2,
    StageVerify = 3,
    StageReplace = 4,
    StageUninstallKeys = 5,
    StageProtocolKeys = 6,
    StageStartupKeys = 7,
    StagePlatform = 8,
    StageComplete = 9,
};

// The step a stage code stands for, in words for the log.
inline const char* StageName(int32_t stage) {
    static const char* const kNames[] = {"start",    "download",       "extraction",    "verification",
                                         "replace",  "uninstall keys", "protocol keys", "start-up keys",
                                         "platform", "complete"};
    return stage >= 0 && stage <= StageComplete ? kNames[stage] : "unknown";
}

class IProgressReport {
public:
    virtual void SetProgressRange(int range) = 0;
    virtual void SetProgress(int percent) = 0;
    virtual void OnFinished() = 0;
    virtual bool IsCancelled() = 0;

protected:
    ~IProgressReport() = default;
};

// What the installer thread reads and writes. The worker writes the atomics; the window thread reads
// them when it paints. Texts and handles are set by the window thread before a worker starts.
class CInstallerSession : public IProgressReport {
public:
    explicit CInstallerSession(bool silentMode) : silent(silentMode) {}
    CInstallerSession(const CInstallerSession&) = delete;
    CInstallerSession& operator=(const CInstallerSession&) = delete;

    bool IsCancelled() override { return cancelRequested.load(); }

    // A new step is shown (and read to screen-reader users) as it begins, not at the next progress.
    void SetStage(InstallStage value) {
        if (stage.exchange(value) != value) PostStatusChanged();
    }
    void SetError(bool value) { error.exchange(value); }
    // Set while the run waits for another run of the user to end; such a run has changed nothing yet.
    void SetWaiting(bool value) {
        if (waiting.exchange(value) != value) PostStatusChanged();
    }

    std::atomic<HWND> window{nullptr};
    std::atomic<int32_t> stage{StageNone};
    const bool silent;
    std::atomic<bool> finished{false};
    std::atomic<bool> error{false};
    std::atomic<bool> cancelRequested{false};
    std::atomic<int> progress{0};
    std::atomic<bool> waiting{false};
    // The run failed because the payload's signed version is older than the installed one.
    std::atomic<bool> refusedOlderVersion{false};
    std::wstring closePromptCaption;

protected:
    ~CInstallerSession() = default;

private:
    void PostStatusChanged() {
        if (const HWND target = window.load()) ::PostMessageW(target, WM_RUN_STATUS_CHANGED, 0, 0);
    }
};

}  // namespace tessara
