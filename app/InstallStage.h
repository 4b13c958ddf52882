#pragma once
// The stage codes of an installation run, and the interfaces through which a run reports to the one
// who shows it.
#include <cstdint>

namespace tessara {

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

// The one who shows a run (the window): besides the progress, it learns of every change of the run's
// state and asks the user the run's questions. Called on the run's thread.
class IRunView : public IProgressReport {
public:
    // A step began, or the run started or stopped waiting for another run.
    virtual void OnRunStatusChanged() = 0;
    // Asks whether the running application may be closed for the installation; true for Yes.
    virtual bool AllowClosingApplication() = 0;

protected:
    ~IRunView() = default;
};

}  // namespace tessara
