#include "engine/Download.h"

#include <shlobj.h>
#include <wininet.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <optional>
#include <thread>
#include <vector>

#include "app/Config.h"
#include "app/FailureLog.h"
#include "app/FileSystem.h"
#include "app/Log.h"
#include "app/RunLimits.h"
#include "app/SystemLibrary.h"
#include "app/Text.h"

namespace tessara {

namespace {

constexpr DWORD HttpNotModified = 304;

constexpr DWORD WatchdogPeriodMilliseconds = 200;

// The cache keeps its files in containers a level or two below its root (Content.IE5\<8 chars>\).
constexpr int CacheContainerDepth = 2;
// File systems stamp times from a coarser clock than the system time, so a file written just after
// the download started may carry a slightly earlier time. One second, in FILETIME units.
constexpr ULONGLONG FileTimeSlack = 10'000'000;
// After an abort the download service keeps its cache file open on a thread of its own until the
// server sends again or closes; the cache files of a download are waited for that long at most.
constexpr ULONGLONG CacheFileReleaseMilliseconds = 5000;
constexpr DWORD CacheFileRetryMilliseconds = 50;

using URLDownloadToFileWFn = HRESULT(WINAPI*)(LPUNKNOWN, LPCWSTR, LPCWSTR, DWORD, LPBINDSTATUSCALLBACK);
using DeleteUrlCacheEntryWFn = BOOL(WINAPI*)(LPCWSTR);
using UnlockUrlCacheEntryFileWFn = BOOL(WINAPI*)(LPCWSTR, DWORD);
using GetUrlCacheEntryInfoWFn = BOOL(WINAPI*)(LPCWSTR, LPINTERNET_CACHE_ENTRY_INFOW, LPDWORD);

// The file that holds a URL's cached copy; empty when there is none.
std::wstring CachedFileOf(const std::wstring& url) {
    const auto entryInfo =
        ProcAs<GetUrlCacheEntryInfoWFn>(GetSystemLibraryProc(L"wininet.dll", "GetUrlCacheEntryInfoW"));
    DWORD size = 0;
    if (!entryInfo || entryInfo(url.c_str(), nullptr, &size) || ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return {};
    std::vector<BYTE> buffer(size);
    const auto info = reinterpret_cast<LPINTERNET_CACHE_ENTRY_INFOW>(buffer.data());
    if (!entryInfo(url.c_str(), info, &size) || !info->lpszLocalFileName) return {};
    return info->lpszLocalFileName;
}

// How the cache names its copies of a URL: after the last path segment, without query or fragment,
// as "<stem>[N]<extension>" (Wine drops the extension). The stem is empty when the URL names no file.
struct CacheCopyName {
    std::wstring stem;
    std::wstring extension;
};

CacheCopyName CacheCopyNameOf(const std::wstring& url) {
    const std::wstring address = url.substr(0, url.find_first_of(L"?#"));
    const size_t scheme = address.find(L"://");
    const size_t pathStart = address.find(L'/', scheme == std::wstring::npos ? 0 : scheme + 3);
    if (pathStart == std::wstring::npos) return {};
    const std::wstring segment = address.substr(address.find_last_of(L"/\\") + 1);
    const size_t dot = segment.rfind(L'.');
    if (dot == 0 || dot == std::wstring::npos) return {segment, {}};
    return {segment.substr(0, dot), segment.substr(dot)};
}

bool IsCacheCopyOf(std::wstring_view fileName, const CacheCopyName& copy) {
    const size_t open = copy.stem.size();
    if (copy.stem.empty() || fileName.size() <= open || fileName[open] != L'[' ||
        !EqualsIgnoringCase(fileName.substr(0, open), copy.stem))
        return false;
    const size_t close = fileName.find_first_not_of(L"0123456789", open + 1);
    if (close == std::wstring_view::npos || close == open + 1 || fileName[close] != L']') return false;
    const std::wstring_view rest = fileName.substr(close + 1);
    return rest.empty() || EqualsIgnoringCase(rest, copy.extension);
}

bool WrittenSince(const std::wstring& path, const FILETIME& since) {
    const std::optional<WIN32_FILE_ATTRIBUTE_DATA> data = FileAttributesOf(path);
    return data && (data->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
           (::CompareFileTime(&data->ftCreationTime, &since) >= 0 ||
            ::CompareFileTime(&data->ftLastWriteTime, &since) >= 0);
}

void DeleteCacheFiles(const std::vector<std::wstring>& files) {
    const ULONGLONG deadline = ::GetTickCount64() + CacheFileReleaseMilliseconds;
    for (const std::wstring& file : files) {
        while (!RemoveFile(file) && ::GetTickCount64() < deadline) ::Sleep(CacheFileRetryMilliseconds);
    }
}

}  // namespace

FILETIME DownloadStartTime() {
    FILETIME now = {};
    ::GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER start = {};
    start.LowPart = now.dwLowDateTime;
    start.HighPart = now.dwHighDateTime;
    start.QuadPart -= FileTimeSlack;
    return {start.LowPart, start.HighPart};
}

namespace {

std::wstring InternetCacheFolder() {
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_INTERNET_CACHE, nullptr, SHGFP_TYPE_CURRENT, folder)))
        return {};
    return folder;
}

// The files of the cache's containers named as the cache names its copies of the URL.
std::vector<std::wstring> CacheFilesNamedAfter(const std::wstring& url, const std::wstring& cacheFolder) {
    std::vector<std::wstring> files;
    const CacheCopyName copy = CacheCopyNameOf(url);
    if (copy.stem.empty()) return files;
    WalkFolder(
        cacheFolder,
        [&](const std::wstring& path, const FolderEntry& entry, int) {
            if (IsCacheCopyOf(entry.name, copy)) files.push_back(path);
            return true;
        },
        CacheContainerDepth);
    return files;
}

// The download service writes into the cache while it downloads, whatever it was asked, and a
// download that fails leaves that file with no index entry leading to it. Taken besides the entry:
// files of the user's cache that the service reported as its copy or that are named after the URL,
// and only when written since the download started; everything else in the cache is someone else's.
void RemoveCachedCopies(const std::wstring& url, const std::vector<std::wstring>& reportedFiles,
                        const FILETIME& downloadStart) {
    RemoveUrlCacheEntry(url);
    const std::wstring cacheFolder = InternetCacheFolder();
    if (cacheFolder.empty()) return;
    std::vector<std::wstring> candidates = CacheFilesNamedAfter(url, cacheFolder);
    candidates.insert(candidates.end(), reportedFiles.begin(), reportedFiles.end());
    std::vector<std::wstring> files;
    for (const std::wstring& file : candidates) {
        if (IsInsideFolder(file, cacheFolder) && WrittenSince(file, downloadStart)) files.push_back(file);
    }
    DeleteCacheFiles(files);
}

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
    void Watch(CBindStatusCallback& callback, DWORD stallMilliseconds) {
        std::unique_lock<std::mutex> lock(m_lock);
        while (!m_wake.wait_for(lock, std::chrono::milliseconds(WatchdogPeriodMilliseconds),
                                [this] { return m_done; })) {
            // An aborted binding may take a moment to unwind; one abort is enough.
            if (callback.AbortIfStalledOrCancelled(::GetTickCount64(), stallMilliseconds)) return;
        }
    }

    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_done = false;
    std::thread m_thread;
};

// Why a download failed, for the administrator: the server's answer, the download service's result and
// how much of the body reached the file. A body cut short by a full drive is named as such.
void LogDownloadFailure(const CBindStatusCallback& callback, HRESULT result, const std::wstring& downloadFile,
                        uint64_t written) {
    LogFormat("Download failed: HTTP status %d, result 0x%08X, %s bytes received of %s announced, %s written",
              static_cast<int>(callback.HttpStatus()), static_cast<unsigned>(result),
              std::to_string(callback.Received()), std::to_string(callback.Announced()),
              std::to_string(written));
    const bool cutShort =
        IsDiskFullError(HRESULT_CODE(result)) || result == STG_E_MEDIUMFULL || written < callback.Received();
    if (cutShort)
        FitsOnVolume(ParentFolderOf(downloadFile),
                     std::max<uint64_t>(callback.Received(), callback.Announced()));
}

}  // namespace

CBindStatusCallback::CBindStatusCallback(IProgressReport* report, uint64_t sizeLimit)
    : m_report(report), m_sizeLimit(sizeLimit), m_lastActivity(::GetTickCount64()) {}

CBindStatusCallback::~CBindStatusCallback() {
    if (m_binding) m_binding->Release();
}

HRESULT STDMETHODCALLTYPE CBindStatusCallback::QueryInterface(REFIID riid, void** object) {
    if (!object) return E_POINTER;
    if (IsEqualIID(riid, IID_IBindStatusCallback) || IsEqualIID(riid, IID_IUnknown)) {
        *object = static_cast<IBindStatusCallback*>(this);
        return S_OK;
    }
    if (IsEqualIID(riid, IID_IHttpNegotiate)) {
        *object = static_cast<IHttpNegotiate*>(this);
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CBindStatusCallback::AddRef() { return 1; }

ULONG STDMETHODCALLTYPE CBindStatusCallback::Release() { return 1; }

HRESULT STDMETHODCALLTYPE CBindStatusCallback::OnStartBinding(DWORD, IBinding* binding) {
    if (binding) {
        std::lock_guard<std::mutex> lock(m_bindingLock);
        if (m_binding) m_binding->Release();
        m_binding = binding;
        m_binding->AddRef();
    }
    NoteActivity();
    return NotImplementedUnlessCancelled();
}

HRESULT STDMETHODCALLTYPE CBindStatusCallback::GetPriority(LONG*) { return NotImplementedUnlessCancelled(); }

HRESULT STDMETHODCALLTYPE CBindStatusCallback::OnLowResource(DWORD) {
    return NotImplementedUnlessCancelled();
}

HRESULT STDMETHODCALLTYPE CBindStatusCallback::OnProgress(ULONG progress, ULONG progressMax, ULONG statusCode,
                                                          LPCWSTR statusText) {
    if (statusCode == BINDSTATUS_CACHEFILENAMEAVAILABLE && statusText) m_cacheFiles.emplace_back(statusText);
    if (Cancelled()) return E_ABORT;
    if (progress != m_lastProgress) {
        m_received += static_cast<ULONG>(progress - m_lastProgress);
        m_lastProgress = progress;
        NoteActivity();
        if (progressMax != 0 && progress < progressMax) PassStopPoint("downloading");
    }
    if (m_received > m_sizeLimit) {
        m_overrun.store(true);
        return E_ABORT;
    }
    if (progressMax != 0) m_announced = progressMax;
    if (statusCode == BINDSTATUS_ENDDOWNLOADDATA && progress < progressMax) m_endedShort = true;
    if (progressMax != 0 && m_report) {
        m_report->SetProgress(
            static_cast<int>(static_cast<double>(progress) * 100.0 / static_cast<double>(progressMax)));
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CBindStatusCallback::OnStopBinding(HRESULT, LPCWSTR) {
    // The binding holds the cache file open; it must be let go before that file can be removed.
    {
        std::lock_guard<std::mutex> lock(m_bindingLock);
        if (m_binding) m_binding->Release();
        m_binding = nullptr;
    }
    return NotImplementedUnlessCancelled();
}

HRESULT STDMETHODCALLTYPE CBindStatusCallback::GetBindInfo(DWORD* bindFlags, BINDINFO*) {
    if (Cancelled()) return E_ABORT;
    // The payload is fetched once and deleted after the run: a copy in the user's cache only costs space.
    if (bindFlags) *bindFlags |= BINDF_NOWRITECACHE | BINDF_GETNEWESTVERSION;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CBindStatusCallback::OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) {
    if (Cancelled()) return E_ABORT;
    NoteActivity();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CBindStatusCallback::OnObjectAvailable(REFIID, IUnknown*) {
    return NotImplementedUnlessCancelled();
}

HRESULT STDMETHODCALLTYPE CBindStatusCallback::BeginningTransaction(LPCWSTR, LPCWSTR, DWORD,
                                                                    LPWSTR* additionalHeaders) {
    if (additionalHeaders) *additionalHeaders = nullptr;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CBindStatusCallback::OnResponse(DWORD responseCode, LPCWSTR, LPCWSTR,
                                                          LPWSTR* additionalRequestHeaders) {
    if (additionalRequestHeaders) *additionalRequestHeaders = nullptr;
    m_httpStatus = responseCode;
    return S_OK;
}

bool CBindStatusCallback::ReceivedCompleteResponse() const {
    // 304 confirms the service's cached copy, which is then what lands in the file.
    const bool httpSuccess =
        m_httpStatus == 0 || (m_httpStatus >= 200 && m_httpStatus < 300) || m_httpStatus == HttpNotModified;
    return httpSuccess && !m_endedShort;
}

bool CBindStatusCallback::AbortIfStalledOrCancelled(ULONGLONG now, DWORD stallMilliseconds) {
    const bool stalled = now - m_lastActivity.load() >= stallMilliseconds;
    if (!stalled && !Cancelled() && !m_overrun.load()) return false;
    std::lock_guard<std::mutex> lock(m_bindingLock);
    if (!m_binding) return false;
    if (stalled) m_overrun.store(true);
    m_binding->Abort();
    return true;
}

bool CBindStatusCallback::Cancelled() const { return m_report && m_report->IsCancelled(); }

HRESULT CBindStatusCallback::NotImplementedUnlessCancelled() const {
    return Cancelled() ? E_ABORT : E_NOTIMPL;
}

bool DownloadPayload(IProgressReport* report, std::wstring url, std::wstring downloadFile) {
    const auto download =
        ProcAs<URLDownloadToFileWFn>(GetSystemLibraryProc(L"urlmon.dll", "URLDownloadToFileW"));
    if (!download) return false;

    const std::wstring safetyCopy = downloadFile + L"_temp";
    if (IsRegularFile(safetyCopy)) RemoveFile(safetyCopy);
    if (IsRegularFile(downloadFile) && !::MoveFileW(downloadFile.c_str(), safetyCopy.c_str())) return false;

    CBindStatusCallback callback(report, DownloadSizeLimit());
    if (report) report->SetProgressRange(100);
    const FILETIME downloadStart = DownloadStartTime();
    HRESULT result = E_FAIL;
    {
        const CDownloadWatchdog watchdog(callback, DownloadStallMilliseconds());
        result = download(nullptr, url.c_str(), downloadFile.c_str(), 0, &callback);
    }
    RemoveCachedCopies(url, callback.CacheFiles(), downloadStart);

    // The service may finish a download that a callback asked to abort; the file's size tells.
    // The service also reports success when the drive filled up and the file holds part of the body.
    const std::optional<uint64_t> size = FileSizeOf(downloadFile);
    if (SUCCEEDED(result) && !callback.Overrun() && callback.ReceivedCompleteResponse() &&
        IsRegularFile(downloadFile) && size && *size <= DownloadSizeLimit() && *size >= callback.Received()) {
        RemoveFile(safetyCopy);
        return true;
    }
    LogDownloadFailure(callback, result, downloadFile, size.value_or(0));
    // A failed or cancelled download may leave a partial file; it must never pass for the payload.
    RemoveFile(downloadFile);
    ::MoveFileW(safetyCopy.c_str(), downloadFile.c_str());
    return false;
}

void RemoveDownloadLeftovers(const std::wstring& url, const FILETIME& downloadStart) {
    RemoveCachedCopies(url, {}, downloadStart);
}

void RemoveUrlCacheEntry(const std::wstring& url) {
    // The download service may still hold the entry locked, which would only mark it for deletion.
    const auto unlockEntry =
        ProcAs<UnlockUrlCacheEntryFileWFn>(GetSystemLibraryProc(L"wininet.dll", "UnlockUrlCacheEntryFileW"));
    const auto deleteEntry =
        ProcAs<DeleteUrlCacheEntryWFn>(GetSystemLibraryProc(L"wininet.dll", "DeleteUrlCacheEntryW"));
    // Some systems drop the entry from the index and leave its file behind.
    const std::wstring cachedFile = CachedFileOf(url);
    if (unlockEntry) unlockEntry(url.c_str(), 0);
    if (deleteEntry) deleteEntry(url.c_str());
    if (!cachedFile.empty()) RemoveFile(cachedFile);
}

}  // namespace tessara
