#pragma once
#include <mutex>
#include <thread>

#include "app/SlimLock.h"
#include "engine/BindStatusCallback.h"

namespace tessara {

// Looks at one download for silence and cancellation, at most once a period, and aborts its binding
// when either is found; after one abort it looks no more, as an aborted binding may take a moment to
// unwind. Stop waits for a look in progress, so that nothing is looked at once the download returned.
class CStallCheck {
public:
    static constexpr DWORD kPeriodMilliseconds = 200;

    CStallCheck(CBindStatusCallback& callback, DWORD stallMilliseconds)
        : m_callback(callback), m_stallMilliseconds(stallMilliseconds) {}
    // False once it aborted the binding or was stopped.
    bool Look();
    void Stop();

private:
    CBindStatusCallback& m_callback;
    const DWORD m_stallMilliseconds;
    CSlimMutex m_lock;
    bool m_looking = true;
    ULONGLONG m_nextLook = 0;
};

// Watches one download from a thread of its own: the download service blocks the installer thread and
// may wait forever on a server that sends nothing, so silence and cancellation are acted on from here.
class CDownloadWatchdog {
public:
    CDownloadWatchdog(CBindStatusCallback& callback, DWORD stallMilliseconds)
        : m_check(callback, stallMilliseconds), m_thread([this] { Watch(); }) {}
    CDownloadWatchdog(const CDownloadWatchdog&) = delete;
    CDownloadWatchdog& operator=(const CDownloadWatchdog&) = delete;
    ~CDownloadWatchdog() {
        {
            std::lock_guard<CSlimMutex> lock(m_lock);
            m_done = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

private:
    void Watch();

    CStallCheck m_check;
    CSlimMutex m_lock;
    CSlimCondition m_wake;
    bool m_done = false;
    std::thread m_thread;
};

}  // namespace tessara
