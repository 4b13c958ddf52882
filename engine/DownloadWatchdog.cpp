#include "engine/DownloadWatchdog.h"

#include <chrono>

namespace tessara {
namespace {

constexpr DWORD WatchdogPeriodMilliseconds = 200;

}  // namespace

void CDownloadWatchdog::Watch(CBindStatusCallback& callback, DWORD stallMilliseconds) {
    std::unique_lock<std::mutex> lock(m_lock);
    while (!m_wake.wait_for(lock, std::chrono::milliseconds(WatchdogPeriodMilliseconds),
                            [this] { return m_done; })) {
        // An aborted binding may take a moment to unwind; one abort is enough.
        if (callback.AbortIfStalledOrCancelled(::GetTickCount64(), stallMilliseconds)) return;
    }
}

}  // namespace tessara
