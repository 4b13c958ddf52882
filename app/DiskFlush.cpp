#include "app/DiskFlush.h"

#include <deque>
#include <thread>

#include "app/FailureLog.h"
#include "app/FileSystem.h"
#include "app/RunLimits.h"
#include "app/SlimLock.h"

namespace tessara {
namespace {

// A flush waits for the disk, not the processor, and the disk takes flushes that arrive together about as
// fast as one; a second thread keeps one flush arriving while another waits. Each thread costs about a
// mebibyte of working set, and more of them made no install faster.
constexpr int kFlushThreads = 2;

struct FlushJob {
    unique_file_handle file;  // empty: open `path` again
    std::wstring path;
};

// Lives as long as the process: its threads wait for work and end with it.
class CBackgroundFlusher {
public:
    void Add(FlushJob job) {
        {
            std::lock_guard<CSlimMutex> lock(m_lock);
            if (!m_started) Start();
            m_waiting.push_back(std::move(job));
            ++m_unfinished;
        }
        m_work.notify_one();
    }
    bool Wait() {
        std::unique_lock<CSlimMutex> lock(m_lock);
        m_done.wait(lock, [this] { return m_unfinished == 0; });
        const bool flushed = m_allFlushed;
        m_allFlushed = true;
        return flushed;
    }

private:
    void Start() {
        m_started = true;
        for (int i = 0; i < kFlushThreads; ++i) std::thread([this] { FlushHandedOver(); }).detach();
    }
    void FlushHandedOver() {
        std::unique_lock<CSlimMutex> lock(m_lock);
        for (;;) {
            m_work.wait(lock, [this] { return !m_waiting.empty(); });
            FlushJob job = std::move(m_waiting.front());
            m_waiting.pop_front();
            lock.unlock();
            const bool flushed = Flush(job);
            lock.lock();
            m_allFlushed = m_allFlushed && flushed;
            if (--m_unfinished == 0) m_done.notify_all();
        }
    }
    static bool Flush(FlushJob& job) {
        if (!job.file) {
            job.file.reset(::CreateFileW(ExtendedLengthPath(job.path).c_str(), GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!job.file) {
                LogFileOperationFailure("open for flushing", job.path, ::GetLastError());
                return false;
            }
        }
        return FlushNow(job.file.get(), job.path);
    }

    CSlimMutex m_lock;
    // Flushing threads wait here for files, and those who wait for the flushes for the last to end.
    CSlimCondition m_work;
    CSlimCondition m_done;
    std::deque<FlushJob> m_waiting;
    size_t m_unfinished = 0;
    bool m_allFlushed = true;
    bool m_started = false;
};

CBackgroundFlusher& Flusher() {
    // Never destroyed: its threads may still wait on it while the process ends.
    static CBackgroundFlusher* const flusher = new CBackgroundFlusher;
    return *flusher;
}

}  // namespace

void FlushInBackground(unique_file_handle file, const std::wstring& path) {
    Flusher().Add({std::move(file), path});
}

void FlushInBackground(const std::wstring& path) { Flusher().Add({unique_file_handle(), path}); }

bool WaitUntilOnDisk() { return Flusher().Wait(); }

bool FlushNow(HANDLE file, const std::wstring& path) {
    if (!::FlushFileBuffers(file)) {
        LogFileOperationFailure("flush", path, ::GetLastError());
        return false;
    }
    NoteFileFlushed(path);
    return true;
}

bool FlushRegistry() {
    const bool flushed = ::RegFlushKey(HKEY_CURRENT_USER) == ERROR_SUCCESS;
    if (flushed) NoteRegistryFlushed();
    return flushed;
}

}  // namespace tessara
