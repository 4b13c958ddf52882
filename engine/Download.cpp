#include "engine/Download.h"

#include <wininet.h>

#include <condition_variable>
#include <cstdio>
#include <thread>
#include <vector>

#include "app/RunLimits.h"
#include "app/SystemLibrary.h"

namespace tessara {

namespace {

constexpr DWORD HttpNotModified = 304;

constexpr DWORD WatchdogPeriodMilliseconds = 200;

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

uint64_t FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool IsRegularFile(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
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
                                                          LPCWSTR) {
    if (Cancelled()) return E_ABORT;
    if (progress != m_lastProgress) {
        m_received += static_cast<ULONG>(progress - m_lastProgress);
        m_lastProgress = progress;
        NoteActivity();
    }
    if (m_received > m_sizeLimit) {
        m_overrun.store(true);
        return E_ABORT;
    }
    if (statusCode == BINDSTATUS_ENDDOWNLOADDATA && progress < progressMax) m_endedShort = true;
    if (progressMax != 0 && m_report) {
        m_report->SetProgress(
            static_cast<int>(static_cast<double>(progress) * 100.0 / static_cast<double>(progressMax)));
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CBindStatusCallback::OnStopBinding(HRESULT, LPCWSTR) {
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
    if (IsRegularFile(safetyCopy)) DeleteFileIfPresent(safetyCopy);
    if (IsRegularFile(downloadFile) && !::MoveFileW(downloadFile.c_str(), safetyCopy.c_str())) return false;

    CBindStatusCallback callback(report, DownloadSizeLimit());
    if (report) report->SetProgressRange(100);
    HRESULT result = E_FAIL;
    {
        const CDownloadWatchdog watchdog(callback, DownloadStallMilliseconds());
        result = download(nullptr, url.c_str(), downloadFile.c_str(), 0, &callback);
    }
    RemoveUrlCacheEntry(url);

    // The service may finish a download that a callback asked to abort; the file's size tells.
    if (SUCCEEDED(result) && !callback.Overrun() && callback.ReceivedCompleteResponse() &&
        IsRegularFile(downloadFile) && FileSize(downloadFile) <= DownloadSizeLimit()) {
        DeleteFileIfPresent(safetyCopy);
        return true;
    }
    // A failed or cancelled download may leave a partial file; it must never pass for the payload.
    DeleteFileIfPresent(downloadFile);
    ::MoveFileW(safetyCopy.c_str(), downloadFile.c_str());
    return false;
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
    if (!cachedFile.empty()) DeleteFileIfPresent(cachedFile);
}

bool DeleteFileIfPresent(const std::wstring& path) {
    ::DeleteFileW(path.c_str());
    if (IsRegularFile(path)) ::_wremove(path.c_str());
    return !IsRegularFile(path);
}

}  // namespace tessara
