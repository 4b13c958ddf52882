#include "engine/CacheFileFollower.h"

#include <vector>

#include "app/FileSystem.h"
#include "engine/InternetCacheCopies.h"

namespace tessara {

CArrivingBody::CArrivingBody(CBindStatusCallback& callback, std::wstring url, const FILETIME& start,
                             DWORD stallMilliseconds)
    : m_callback(callback),
      m_check(callback, stallMilliseconds),
      m_url(std::move(url)),
      m_start(start),
      m_cacheFolder(InternetCacheFolder()) {}

bool CArrivingBody::Read(uint64_t offset, unsigned char* into, size_t size) {
    for (DWORD wait = 0;; wait = kArrivalPollMilliseconds) {
        const std::optional<bool> complete = EndingWithin(wait);
        if (complete == false) return false;
        if (Arrived() >= offset + size) return ReadAt(offset, into, size);
        if (complete.has_value()) return false;
    }
}

std::optional<uint64_t> CArrivingBody::FinalSize() {
    if (EndingWithin(INFINITE) != true) return std::nullopt;
    return Arrived();
}

std::string CArrivingBody::Interruption() {
    std::lock_guard<CSlimMutex> lock(m_lock);
    // The follower sees the first attempt only: what ended it is what the reader missed.
    return m_failure.empty() ? IArrivingArchive::Interruption()
                             : "the download's first attempt failed (" + m_failure + ")";
}

void CArrivingBody::End(bool complete, const std::string& failure) {
    {
        std::lock_guard<CSlimMutex> lock(m_lock);
        m_complete = complete;
        m_failure = failure;
    }
    m_ended.notify_all();
}

std::optional<bool> CArrivingBody::EndingWithin(DWORD milliseconds) {
    m_check.Look();
    std::unique_lock<CSlimMutex> lock(m_lock);
    const auto ended = [this] { return m_complete.has_value(); };
    // Even a wait of no time costs a tick of the system's timer; most reads find their bytes there.
    if (milliseconds == INFINITE) {
        while (!m_ended.wait_for(lock, CStallCheck::kPeriodMilliseconds, ended)) {
            lock.unlock();
            m_check.Look();
            lock.lock();
        }
    } else if (milliseconds != 0)
        m_ended.wait_for(lock, milliseconds, ended);
    return m_complete;
}

uint64_t CArrivingBody::Arrived() {
    if (!m_file) {
        const std::wstring name = FilledFile();
        if (name.empty()) return 0;
        m_file.reset(::CreateFileW(name.c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    LARGE_INTEGER size{};
    return m_file && ::GetFileSizeEx(m_file.get(), &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

bool CArrivingBody::ReadAt(uint64_t offset, unsigned char* into, size_t size) {
    return ReadFileAt(m_file.get(), offset, into, static_cast<DWORD>(size)) == size;
}

std::wstring CArrivingBody::FilledFile() {
    const std::wstring named = m_callback.GrowingFile();
    if (!named.empty() || ::GetTickCount64() < m_nextSearch) return named;
    m_nextSearch = ::GetTickCount64() + kSearchPeriodMilliseconds;
    std::vector<std::wstring> written;
    for (const std::wstring& file : CacheFilesNamedAfter(m_url, m_cacheFolder))
        if (WrittenSince(file, m_start)) written.push_back(file);
    return written.size() == 1 ? written.front() : std::wstring();
}

CFollowedBody::CFollowedBody(CBindStatusCallback& callback, const BodyFollower& follow,
                             const std::wstring& url, const FILETIME& start, DWORD stallMilliseconds)
    : m_body(callback, url, start, stallMilliseconds), m_thread([this, &follow] {
          follow(m_body);
          m_body.WatchUntilEnd();
      }) {}

CFollowedBody::~CFollowedBody() { End(false, {}); }

void CFollowedBody::End(bool complete, const std::string& failure) {
    if (!m_thread.joinable()) return;
    m_body.End(complete, failure);
    m_thread.join();
}

}  // namespace tessara
