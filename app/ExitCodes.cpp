#include "app/ExitCodes.h"

#include <atomic>

namespace tessara {
namespace {

// Written by the installer thread, read by the entry point once the thread has ended.
std::atomic<bool> g_notEnoughDiskSpace{false};

}  // namespace

void NoteNotEnoughDiskSpace() { g_notEnoughDiskSpace.store(true); }

int FailedRunExitCode() { return g_notEnoughDiskSpace.load() ? ExitNotEnoughDiskSpace : ExitInstallFailure; }

}  // namespace tessara
