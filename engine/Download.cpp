#include "engine/Download.h"

#include <shlobj.h>
#include <wininet.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "app/Config.h"
#include "app/FailureLog.h"
#include "app/FileSystem.h"
#include "app/HttpText.h"
#include "app/Log.h"
#include "app/RunLimits.h"
#include "app/ScopedWin.h"
#include "app/SystemLibrary.h"
#include "app/Text.h"
#include "engine/CertificateProblem.h"
#include "engine/LocalSource.h"
#include "engine/RangeRequest.h"

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

}  // namespace

CBindStatusCallback::CBindStatusCallback(IProgressReport* report, uint64_t sizeLimit,
                                         std::wstring extraHeaders, std::wstring targetFolder)
    : m_report(report),
      m_sizeLimit(sizeLimit),
      m_extraHeaders(std::move(extraHeaders)),
      m_targetFolder(std::move(targetFolder)),
      m_lastActivity(::GetTickCount64()) {}

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
    if (statusCode == BINDSTATUS_CACHEFILENAMEAVAILABLE && statusText) {
        m_cacheFiles.emplace_back(statusText);
        std::lock_guard<std::mutex> lock(m_bindingLock);
        if (m_growingFile.empty()) m_growingFile = statusText;
    }
    if (statusCode == BINDSTATUS_REDIRECTING) {
        if (statusText) m_redirectedUrl = statusText;
        // A server that redirects to itself would otherwise be asked again and again, without end.
        if (++m_redirects > MaxRedirects) {
            m_overrun.store(true);
            return E_ABORT;
        }
    }
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
    if (progressMax != 0 && m_announced < progressMax) m_announced = progressMax;
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
    if (!additionalHeaders) return S_OK;
    *additionalHeaders = nullptr;
    if (m_extraHeaders.empty()) return S_OK;
    // The service frees what it is handed with CoTaskMemFree.
    const size_t bytes = (m_extraHeaders.size() + 1) * sizeof(wchar_t);
    auto* copy = static_cast<LPWSTR>(::CoTaskMemAlloc(bytes));
    if (!copy) return E_OUTOFMEMORY;
    std::memcpy(copy, m_extraHeaders.c_str(), bytes);
    *additionalHeaders = copy;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CBindStatusCallback::OnResponse(DWORD responseCode, LPCWSTR responseHeaders,
                                                          LPCWSTR, LPWSTR* additionalRequestHeaders) {
    if (additionalRequestHeaders) *additionalRequestHeaders = nullptr;
    m_httpStatus = responseCode;
    m_responseHeaders = responseHeaders ? NarrowForLog(responseHeaders) : std::string();
    // The service's own count is 32 bits wide; the header tells sizes past 4 GiB.
    if (const auto length = ParseDecimal(HeaderValue(m_responseHeaders, "Content-Length").value_or(""))) {
        if (responseCode >= 200 && responseCode < 300) m_announced = *length;
    }
    // Receiving what cannot be written only delays the failure.
    if (m_announced != 0 && !m_targetFolder.empty() && !FitsOnVolume(m_targetFolder, m_announced)) {
        m_noRoom = true;
        m_overrun.store(true);
        return E_ABORT;
    }
    return S_OK;
}

bool CBindStatusCallback::ReceivedCompleteResponse() const {
    // 304 confirms the service's cached copy, which is then what lands in the file.
    const bool httpSuccess =
        m_httpStatus == 0 || (m_httpStatus >= 200 && m_httpStatus < 300) || m_httpStatus == HttpNotModified;
    return httpSuccess && !m_endedShort;
}

bool CBindStatusCallback::AbortIfStalledOrCancelled(ULONGLONG now, DWORD stallMilliseconds) {
    // Where the service reports progress only at the end, its cache file growing is the sign of data.
    {
        std::lock_guard<std::mutex> lock(m_bindingLock);
        const uint64_t size = m_growingFile.empty() ? 0 : FileSizeOf(m_growingFile).value_or(0);
        if (size > m_growingSize) {
            m_growingSize = size;
            NoteActivity();
        }
    }
    // Activity noted after `now` was read (just above, or by the download's own thread) is no silence;
    // the unsigned difference would wrap to a stall.
    const ULONGLONG lastActivity = m_lastActivity.load();
    const bool stalled = now > lastActivity && now - lastActivity >= stallMilliseconds;
    if (!stalled && !Cancelled() && !m_overrun.load()) return false;
    std::lock_guard<std::mutex> lock(m_bindingLock);
    if (!m_binding) return false;
    if (stalled) {
        m_stalled.store(true);
        m_overrun.store(true);
    }
    m_binding->Abort();
    return true;
}

std::wstring CBindStatusCallback::GrowingFile() {
    std::lock_guard<std::mutex> lock(m_bindingLock);
    return m_growingFile;
}

bool CBindStatusCallback::Cancelled() const { return m_report && m_report->IsCancelled(); }

HRESULT CBindStatusCallback::NotImplementedUnlessCancelled() const {
    return Cancelled() ? E_ABORT : E_NOTIMPL;
}

namespace {

using namespace std::string_literals;

constexpr int kMaxAttempts = 4;
// A server may ask for a longer pause than a user waits for; past this the run fails.
constexpr uint64_t kRetryAfterCapSeconds = 60;
constexpr ULONGLONG kRetryBoundMilliseconds = 3 * 60 * 1000;
constexpr DWORD kPausePollMilliseconds = 100;

// One attempt's end: what happened in words, whether trying again can help, and what a further attempt
// can build on.
struct AttemptOutcome {
    bool ok = false;
    bool transient = false;
    std::string reason;
    std::optional<uint64_t> retryAfterSeconds;
};

// What an interrupted attempt left for the next one: the first `kept` bytes of the file, and what is
// needed to ask for the rest of the very same file.
struct ResumePoint {
    uint64_t kept = 0;
    uint64_t total = 0;
    std::string validator;
    std::wstring url;
    bool Usable() const { return kept > 0 && kept < total && !validator.empty(); }
};

std::string Bytes(uint64_t count) { return std::to_string(count) + " bytes"; }

std::string HostOf(const std::wstring& url) {
    const size_t start = url.find(L"://");
    if (start == std::wstring::npos) return NarrowForLog(url);
    const size_t end = url.find_first_of(L"/?#", start + 3);
    return NarrowForLog(
        url.substr(start + 3, end == std::wstring::npos ? std::wstring::npos : end - start - 3));
}

// The proxy that WinINet's settings name for the user, if any.
std::string ConfiguredProxy() {
    const auto query =
        SystemFunction<decltype(&::InternetQueryOptionA)>(L"wininet.dll", "InternetQueryOptionA");
    DWORD size = 0;
    if (!query || query(nullptr, INTERNET_OPTION_PROXY, nullptr, &size) ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return {};
    std::vector<unsigned char> buffer(size);
    const auto info = reinterpret_cast<INTERNET_PROXY_INFO*>(buffer.data());
    if (!query(nullptr, INTERNET_OPTION_PROXY, info, &size) ||
        info->dwAccessType != INTERNET_OPEN_TYPE_PROXY || !info->lpszProxy)
        return {};
    // The narrow entry point fills the structure with narrow text, whatever the declared type says.
    return reinterpret_cast<const char*>(info->lpszProxy);
}

bool IsTransientStatus(DWORD status) {
    return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

// Why an attempt of the download service failed, for the administrator.
AttemptOutcome DescribeServiceFailure(const CBindStatusCallback& callback, HRESULT result,
                                      const std::wstring& url, bool withCredentials, uint64_t received) {
    const DWORD status = callback.HttpStatus();
    const bool httpError = status != 0 && !(status >= 200 && status < 300) && status != HttpNotModified;
    if (callback.TooManyRedirects()) return {false, false, "too many redirects (more than 10)", {}};
    if (callback.NoRoom())
        return {false, false, "the drive is full: " + Bytes(callback.Announced()) + " announced", {}};
    if (callback.Stalled())
        return {false,
                true,
                "no data for " + std::to_string(DownloadStallMilliseconds() / 1000) + " s after " +
                    Bytes(received),
                {}};
    if (callback.Overrun())
        return {false, false, "the body grew past the limit of " + Bytes(DownloadSizeLimit()), {}};
    if (httpError) {
        std::string reason = "server answered " + std::to_string(status);
        if (status == 401)
            reason += withCredentials ? ": it refused the user name and password in the URL"
                                      : ": it asks for a user name and password";
        if (status == 407) reason += ": the proxy asks for a user name and password";
        return {false, IsTransientStatus(status), reason,
                ParseRetryAfter(HeaderValue(callback.ResponseHeaders(), "Retry-After").value_or(""))};
    }
    const std::string host = HostOf(url);
    switch (static_cast<unsigned>(result)) {
        case static_cast<unsigned>(INET_E_CANNOT_CONNECT): {
            const std::string proxy = ConfiguredProxy();
            return {
                false,
                true,
                proxy.empty() ? "could not connect to " + host : "proxy " + proxy + " refused the connection",
                {}};
        }
        case static_cast<unsigned>(INET_E_RESOURCE_NOT_FOUND):
            return {false, true, "server " + host + " not found or not reachable", {}};
        case static_cast<unsigned>(INET_E_CONNECTION_TIMEOUT):
            return {false, true, "the connection to " + host + " timed out", {}};
        case static_cast<unsigned>(INET_E_DOWNLOAD_FAILURE):
            return {false, true, "connection reset after " + Bytes(received), {}};
        case static_cast<unsigned>(INET_E_UNKNOWN_PROTOCOL):
            return {false, false, "unsupported scheme " + NarrowForLog(UrlScheme(url)), {}};
        case static_cast<unsigned>(INET_E_SECURITY_PROBLEM):
        case static_cast<unsigned>(INET_E_INVALID_CERTIFICATE): {
            const std::wstring& secureUrl = callback.RedirectedUrl().empty() ? url : callback.RedirectedUrl();
            return {false,
                    false,
                    "the secure connection to " + HostOf(secureUrl) +
                        " failed: " + DescribeRefusedCertificate(secureUrl),
                    {}};
        }
        default:
            break;
    }
    if (callback.Announced() != 0 && received < callback.Announced())
        return {false,
                true,
                "connection reset after " + Bytes(received) + " of " + Bytes(callback.Announced()),
                {}};
    char code[16] = {};
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(result));
    return {
        false, true, "the download service failed with result "s + code + " after " + Bytes(received), {}};
}

// The bytes the service had received when the attempt ended: its own count, or its cache file, which
// it fills as the body arrives even where it reports progress only at the end.
uint64_t ReceivedByService(const CBindStatusCallback& callback) {
    uint64_t received = callback.Received();
    for (const std::wstring& file : callback.CacheFiles())
        received = std::max(received, FileSizeOf(file).value_or(0));
    return received;
}

// Keeps what the service received, for the next attempt to continue from, when the server offered
// ranges for a file it names by a validator.
ResumePoint KeepReceivedBytes(const CBindStatusCallback& callback, const std::wstring& url,
                              const std::wstring& downloadFile) {
    const std::string& headers = callback.ResponseHeaders();
    const std::string ranges = HeaderValue(headers, "Accept-Ranges").value_or("");
    std::string validator = HeaderValue(headers, "ETag").value_or("");
    if (validator.rfind("W/", 0) == 0) validator.clear();
    if (validator.empty()) validator = HeaderValue(headers, "Last-Modified").value_or("");
    ResumePoint point{0, callback.Announced(), validator,
                      callback.RedirectedUrl().empty() ? url : callback.RedirectedUrl()};
    if (ranges != "bytes" || point.validator.empty() || point.total == 0 || callback.HttpStatus() != 200)
        return {};
    for (const std::wstring& file : callback.CacheFiles()) {
        const uint64_t size = FileSizeOf(file).value_or(0);
        if (size > point.kept && size < point.total && ::CopyFileW(file.c_str(), downloadFile.c_str(), FALSE))
            point.kept = size;
    }
    return point;
}

// The body of one attempt as the download service writes it into its cache file, for a reader on
// another thread. The reader waits for bytes until the attempt ends; then only a complete attempt
// still answers.
class CArrivingBody : public IArrivingArchive {
public:
    CArrivingBody(CBindStatusCallback& callback, std::wstring url, const FILETIME& start)
        : m_callback(callback), m_url(std::move(url)), m_start(start) {}

    bool Read(uint64_t offset, unsigned char* into, size_t size) override {
        for (DWORD wait = 0;; wait = kArrivalPollMilliseconds) {
            const std::optional<bool> complete = EndingWithin(wait);
            if (complete == false) return false;
            if (Arrived() >= offset + size) return ReadAt(offset, into, size);
            if (complete.has_value()) return false;
        }
    }
    std::optional<uint64_t> FinalSize() override {
        if (EndingWithin(INFINITE) != true) return std::nullopt;
        return Arrived();
    }
    // From the download's thread, when the attempt has ended.
    void End(bool complete) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_complete = complete;
        }
        m_ended.notify_all();
    }

private:
    static constexpr DWORD kArrivalPollMilliseconds = 5;
    static constexpr ULONGLONG kSearchPeriodMilliseconds = 50;

    // Whether the attempt ended complete, waiting at most this long for its end; nothing while it goes on.
    std::optional<bool> EndingWithin(DWORD milliseconds) {
        std::unique_lock<std::mutex> lock(m_lock);
        const auto ended = [this] { return m_complete.has_value(); };
        // Even a wait of no time costs a tick of the system's timer; most reads find their bytes there.
        if (milliseconds == INFINITE)
            m_ended.wait(lock, ended);
        else if (milliseconds != 0)
            m_ended.wait_for(lock, std::chrono::milliseconds(milliseconds), ended);
        return m_complete;
    }
    uint64_t Arrived() {
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
    bool ReadAt(uint64_t offset, unsigned char* into, size_t size) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD read = 0;
        return ::ReadFile(m_file.get(), into, static_cast<DWORD>(size), &read, &at) && read == size;
    }

    // The file the service fills: the one it named, or else the one cache file named after the URL that
    // was written since the attempt began. Wine names its file only once the whole body is in it.
    std::wstring FilledFile() {
        const std::wstring named = m_callback.GrowingFile();
        if (!named.empty() || ::GetTickCount64() < m_nextSearch) return named;
        m_nextSearch = ::GetTickCount64() + kSearchPeriodMilliseconds;
        std::vector<std::wstring> written;
        for (const std::wstring& file : CacheFilesNamedAfter(m_url, m_cacheFolder))
            if (WrittenSince(file, m_start)) written.push_back(file);
        return written.size() == 1 ? written.front() : std::wstring();
    }

    CBindStatusCallback& m_callback;
    const std::wstring m_url;
    const FILETIME m_start;
    const std::wstring m_cacheFolder = InternetCacheFolder();
    ULONGLONG m_nextSearch = 0;
    unique_file_handle m_file;
    std::mutex m_lock;
    std::condition_variable m_ended;
    std::optional<bool> m_complete;
};

// A follower of the body on a thread of its own for one attempt; it ends with the attempt.
class CFollowedBody {
public:
    CFollowedBody(CBindStatusCallback& callback, const BodyFollower& follow, const std::wstring& url,
                  const FILETIME& start)
        : m_body(callback, url, start), m_thread([this, &follow] { follow(m_body); }) {}
    CFollowedBody(const CFollowedBody&) = delete;
    CFollowedBody& operator=(const CFollowedBody&) = delete;
    ~CFollowedBody() { End(false); }
    void End(bool complete) {
        if (!m_thread.joinable()) return;
        m_body.End(complete);
        m_thread.join();
    }

private:
    CArrivingBody m_body;
    std::thread m_thread;
};

// One attempt with the URL download service, from the first byte.
AttemptOutcome DownloadWithService(IProgressReport* report, const UrlCredentials& credentials,
                                   const std::wstring& downloadFile, ResumePoint& resume,
                                   const BodyFollower& follow) {
    static const auto download =
        ProcAs<URLDownloadToFileWFn>(GetSystemLibraryProc(L"urlmon.dll", "URLDownloadToFileW"));
    if (!download) return {false, false, "the URL download service is not available", {}};
    RemoveFile(downloadFile);
    CBindStatusCallback callback(report, DownloadSizeLimit(), BasicAuthorizationHeader(credentials),
                                 ParentFolderOf(downloadFile));
    if (report) report->SetProgressRange(100);
    const FILETIME downloadStart = DownloadStartTime();
    HRESULT result = E_FAIL;
    std::optional<CFollowedBody> followed;
    if (follow) followed.emplace(callback, follow, credentials.url, downloadStart);
    {
        const CDownloadWatchdog watchdog(callback, DownloadStallMilliseconds());
        result = download(nullptr, credentials.url.c_str(), downloadFile.c_str(), 0, &callback);
    }
    const uint64_t received = ReceivedByService(callback);
    // The service may finish a download that a callback asked to abort; the file's size tells.
    // The service also reports success when the drive filled up and the file holds part of the body.
    const std::optional<uint64_t> size = FileSizeOf(downloadFile);
    const bool ok = SUCCEEDED(result) && !callback.Overrun() && callback.ReceivedCompleteResponse() &&
                    IsRegularFile(downloadFile) && size && *size <= DownloadSizeLimit() &&
                    *size >= callback.Received();
    // The follower holds the service's cache file open, and that file goes with the attempt's leftovers
    // below: it ends, and lets go of the file, first.
    if (followed) followed->End(ok);
    followed.reset();
    AttemptOutcome outcome{true, false, {}, {}};
    if (!ok) {
        outcome = DescribeServiceFailure(callback, result, credentials.url, credentials.present, received);
        RemoveFile(downloadFile);
        const bool cutShort = IsDiskFullError(HRESULT_CODE(result)) || result == STG_E_MEDIUMFULL ||
                              size.value_or(0) < callback.Received();
        if (cutShort && !FitsOnVolume(ParentFolderOf(downloadFile), std::max(received, callback.Announced())))
            outcome = {false, false, "the drive is full", {}};
        else if (outcome.transient && !(report && report->IsCancelled()))
            resume = KeepReceivedBytes(callback, credentials.url, downloadFile);
    }
    RemoveCachedCopies(credentials.url, callback.CacheFiles(), downloadStart);
    return outcome;
}

// One attempt that asks for the rest of the file after the bytes kept, and appends it.
AttemptOutcome ResumeWithRange(IProgressReport* report, const UrlCredentials& credentials,
                               const std::wstring& downloadFile, ResumePoint& resume) {
    const unique_file_handle file(::CreateFileW(ExtendedLengthPath(downloadFile).c_str(), GENERIC_WRITE, 0,
                                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(resume.kept);
    if (!file || !::SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) || !::SetEndOfFile(file.get())) {
        resume = {};
        return {false, true, "the bytes received so far could not be kept", {}};
    }
    LogFormat("Resuming the download at byte %s of %s", std::to_string(resume.kept),
              std::to_string(resume.total));
    // A redirect target carries no credentials of its own; those of the URL go with it.
    CRangeClient client(resume.url, [report] { return report && report->IsCancelled(); });
    client.Authorize(credentials);
    client.Expect(resume.total, resume.validator);
    DWORD writeError = ERROR_SUCCESS;
    uint64_t written = resume.kept;
    const bool ok =
        client.Fetch(resume.kept, resume.total - resume.kept, [&](const unsigned char* data, size_t size) {
            if (!WriteToFile(file.get(), data, size)) {
                writeError = ::GetLastError();
                return false;
            }
            written += size;
            if (report)
                report->SetProgress(static_cast<int>(static_cast<double>(written) * 100.0 / resume.total));
            return true;
        });
    if (ok) return {true, false, {}, {}};
    if (client.SinkFailed()) {
        LogFileOperationFailure("write", downloadFile, writeError);
        return {false,
                !IsDiskFullError(writeError),
                IsDiskFullError(writeError) ? "the drive is full" : client.Failure(),
                {}};
    }
    if (client.WholeFileSent()) {
        resume = {};
        return {false, true, client.Failure() + "; starting over", {0}};
    }
    resume.kept = written;
    return {false, true, client.Failure(), {}};
}

// Waits the pause between two attempts; false when the user cancelled meanwhile.
bool PauseUnlessCancelled(IProgressReport* report, ULONGLONG milliseconds) {
    const ULONGLONG until = ::GetTickCount64() + milliseconds;
    for (ULONGLONG now = ::GetTickCount64(); now < until; now = ::GetTickCount64()) {
        if (report && report->IsCancelled()) return false;
        ::Sleep(static_cast<DWORD>(std::min<ULONGLONG>(kPausePollMilliseconds, until - now)));
    }
    return !(report && report->IsCancelled());
}

bool SupportedScheme(const std::wstring& scheme) { return scheme == L"http" || scheme == L"https"; }

// Tries until an attempt succeeds, one fails for good, or the attempts or the time are used up.
bool DownloadWithRetries(IProgressReport* report, const UrlCredentials& credentials,
                         const std::wstring& downloadFile, const BodyFollower& follow) {
    const ULONGLONG started = ::GetTickCount64();
    ResumePoint resume;
    ULONGLONG pause = DownloadRetryPauseMilliseconds();
    for (int attempt = 1;; ++attempt) {
        const AttemptOutcome outcome = resume.Usable()
                                           ? ResumeWithRange(report, credentials, downloadFile, resume)
                                           : DownloadWithService(report, credentials, downloadFile, resume,
                                                                 attempt == 1 ? follow : BodyFollower());
        if (outcome.ok) {
            if (attempt > 1) LogFormat("Download attempt %d succeeded", attempt);
            return true;
        }
        if (report && report->IsCancelled()) {
            LogFormat("Download attempt %d failed: cancelled by the user", attempt);
            return false;
        }
        ULONGLONG wait = outcome.retryAfterSeconds
                             ? std::min(*outcome.retryAfterSeconds, kRetryAfterCapSeconds) * 1000
                             : pause;
        const bool timeLeft = ::GetTickCount64() - started + wait < kRetryBoundMilliseconds;
        if (!outcome.transient || attempt >= kMaxAttempts || !timeLeft) {
            LogFormat("Download attempt %d failed: %s%s", attempt, outcome.reason,
                      outcome.transient ? "; giving up after " + std::to_string(attempt) + " attempts" : "");
            return false;
        }
        LogFormat("Download attempt %d failed: %s, %s", attempt, outcome.reason,
                  wait == 0 ? std::string("retrying now")
                            : "retrying in " + std::to_string((wait + 999) / 1000) + " s");
        if (!PauseUnlessCancelled(report, wait)) {
            LogWrite("Download cancelled by the user");
            return false;
        }
        if (!outcome.retryAfterSeconds) pause *= 2;
    }
}

}  // namespace

bool DownloadPayload(IProgressReport* report, std::wstring url, std::wstring downloadFile,
                     const BodyFollower& follow) {
    const std::optional<std::wstring> localSource = LocalSourcePath(url);
    const UrlCredentials credentials = SplitUrlCredentials(url);
    const std::wstring scheme = UrlScheme(credentials.url);
    if (!localSource && !SupportedScheme(scheme)) {
        LogFormat("Download failed: unsupported scheme %S",
                  scheme.empty() ? std::wstring(L"(none)") : scheme);
        return false;
    }
    // The download service follows a redirect loop without end, so the chain is walked first.
    if (!localSource && FollowRedirects(credentials, CBindStatusCallback::MaxRedirects).tooManyRedirects) {
        LogWrite("Download failed: too many redirects (more than 10)");
        return false;
    }
    const std::wstring safetyCopy = downloadFile + L"_temp";
    if (IsRegularFile(safetyCopy)) RemoveFile(safetyCopy);
    if (IsRegularFile(downloadFile) && !::MoveFileW(downloadFile.c_str(), safetyCopy.c_str())) return false;

    if (localSource ? CopyLocalSource(report, *localSource, downloadFile, follow)
                    : DownloadWithRetries(report, credentials, downloadFile, follow)) {
        RemoveFile(safetyCopy);
        return true;
    }
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
