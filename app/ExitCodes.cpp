#include "app/ExitCodes.h"

#include <atomic>

namespace tessara {
namespace {

// Written by the run's thread, read by the run once that thread has ended.
std::atomic<bool> g_notEnoughDiskSpace{false};

}  // namespace

void NoteNotEnoughDiskSpace() { g_notEnoughDiskSpace.store(true); }

bool RanOutOfDiskSpace() { return g_notEnoughDiskSpace.load(); }

}  // namespace tessara
