#pragma once
#include <condition_variable>
#include <mutex>
#include <thread>

#include "engine/BindStatusCallback.h"

namespace tessara {

// Watches one download from a thread of its own: the download service blocks the installer thread and
// may wait forever on a server that sends nothing, so silence and cancellation are acted on from here.
class CDownloadWatchdog {
public:
    CDownloadWatchdog(CBindStatusCallback& callback, DWORD stallMilliseconds)
        : m_thread([this, &callback, stallMilliseconds] { Watch(callback, stallMilliseconds); }) {}
    CDownloadWatchdog(const CDownloadWatchdog&) = delete;
    CDownloadWatchdog& operator=(const CDownloadWatchdog&) = delete;
    ~CDownloadWatchdog() {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_done = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

private:
    void Watch(CBindStatusCallback& callback, DWORD stallMilliseconds);

    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_done = false;
    std::thread m_thread;
};

}  // namespace tessara
