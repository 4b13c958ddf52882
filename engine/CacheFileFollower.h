#pragma once
// Following the body of a download while the download service writes it into its cache file.
#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "app/ScopedWin.h"
#include "app/SlimLock.h"
#include "archive/LocalEntries.h"
#include "engine/BindStatusCallback.h"
#include "engine/DownloadWatchdog.h"

namespace tessara {

// Sees the body of a download while it arrives, on a thread of its own that ends with the attempt: it
// may read what has arrived, wait for more, and learn whether all of it came.
using BodyFollower = std::function<void(IArrivingArchive& body)>;

// The body of one attempt as the download service writes it into its cache file, for a reader on
// another thread. The reader waits for bytes until the attempt ends; then only a complete attempt
// still answers. While it reads and waits, it also watches the download for silence and cancellation.
class CArrivingBody : public IArrivingArchive {
public:
    CArrivingBody(CBindStatusCallback& callback, std::wstring url, const FILETIME& start,
                  DWORD stallMilliseconds);

    bool Read(uint64_t offset, unsigned char* into, size_t size) override;
    std::optional<uint64_t> FinalSize() override;
    std::string Interruption() override;
    // From the download's thread, when the attempt has ended; why, in words, when it failed.
    void End(bool complete, const std::string& failure);
    // The reader's thread, once it has read what it wanted: watches the download until it ends.
    void WatchUntilEnd() { EndingWithin(INFINITE); }
    // From the download's thread, when the download service has returned.
    void StopWatching() { m_check.Stop(); }

private:
    static constexpr DWORD kArrivalPollMilliseconds = 5;
    static constexpr ULONGLONG kSearchPeriodMilliseconds = 50;

    // Whether the attempt ended complete, waiting at most this long for its end; nothing while it goes on.
    std::optional<bool> EndingWithin(DWORD milliseconds);
    uint64_t Arrived();
    bool ReadAt(uint64_t offset, unsigned char* into, size_t size);
    // The file the service fills: the one it named, or else the one cache file named after the URL that
    // was written since the attempt began. Wine names its file only once the whole body is in it.
    std::wstring FilledFile();

    CBindStatusCallback& m_callback;
    CStallCheck m_check;
    const std::wstring m_url;
    const FILETIME m_start;
    const std::wstring m_cacheFolder;
    ULONGLONG m_nextSearch = 0;
    unique_file_handle m_file;
    CSlimMutex m_lock;
    CSlimCondition m_ended;
    std::optional<bool> m_complete;
    std::string m_failure;
};

// A follower of the body on a thread of its own for one attempt; it ends with the attempt. The same
// thread is the download's watchdog, before, while and after it follows: a thread costs about a
// mebibyte of working set under Wine.
class CFollowedBody {
public:
    CFollowedBody(CBindStatusCallback& callback, const BodyFollower& follow, const std::wstring& url,
                  const FILETIME& start, DWORD stallMilliseconds);
    CFollowedBody(const CFollowedBody&) = delete;
    CFollowedBody& operator=(const CFollowedBody&) = delete;
    ~CFollowedBody();
    void End(bool complete, const std::string& failure);
    void StopWatching() { m_body.StopWatching(); }

private:
    CArrivingBody m_body;
    std::thread m_thread;
};

}  // namespace tessara
