#include "app/ExitCodes.h"

#include <atomic>

#include "app/InstallStage.h"
#include "app/Log.h"

namespace tessara {
namespace {

// Written by the installer thread, read by the entry point once the thread has ended.
std::atomic<bool> g_notEnoughDiskSpace{false};

}  // namespace

void NoteNotEnoughDiskSpace() { g_notEnoughDiskSpace.store(true); }

bool RanOutOfDiskSpace() { return g_notEnoughDiskSpace.load(); }

void LogFailedRun(int32_t stage, int exitCode) {
    LogFormat("Installation failed at the %s step, exit code %d", StageName(stage), exitCode);
}

}  // namespace tessara
