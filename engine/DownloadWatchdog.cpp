#include "engine/DownloadWatchdog.h"

namespace tessara {

bool CStallCheck::Look() {
    std::lock_guard<CSlimMutex> lock(m_lock);
    if (!m_looking) return false;
    const ULONGLONG now = ::GetTickCount64();
    if (now < m_nextLook) return true;
    m_nextLook = now + kPeriodMilliseconds;
    if (m_callback.AbortIfStalledOrCancelled(now, m_stallMilliseconds)) m_looking = false;
    return m_looking;
}

void CStallCheck::Stop() {
    std::lock_guard<CSlimMutex> lock(m_lock);
    m_looking = false;
}

void CDownloadWatchdog::Watch() {
    std::unique_lock<CSlimMutex> lock(m_lock);
    while (!m_wake.wait_for(lock, CStallCheck::kPeriodMilliseconds, [this] { return m_done; })) {
        if (!m_check.Look()) return;
    }
}

}  // namespace tessara
