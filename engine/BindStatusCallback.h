#pragma once
// The download service's notifications, seen by the download: progress, cancellation, the HTTP answer.
#include <urlmon.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "app/InstallStage.h"
#include "app/OriginCredentials.h"
#include "engine/WaitBudget.h"

namespace tessara {

// Confirms the service's cached copy, which is then what lands in the file.
constexpr DWORD HttpNotModified = 304;

// Bridges the download service's notifications to the window's progress report. Lives on the stack
// for exactly one download; not reference counted.
//
// It keeps the binding that the service hands to OnStartBinding, so that a watchdog on another thread
// can abort a download that has stalled or been cancelled while the server sends nothing, and it
// counts the body against a size limit. It asks the service not to keep the payload in the user's
// Internet cache, and notes the cache file the service names all the same, so that it can be removed.
//
// It also watches the HTTP response: the download service reports success for an error page (404,
// 500) and for a body cut short by the server, so the download must look at the status code
// (through IHttpNegotiate) and at the announced length itself. It sends the credentials the service
// would drop from the URL to their own origin only, refuses a redirect that would take them elsewhere
// or leave HTTPS for HTTP, and ends a chain of redirects that would never end.
class CBindStatusCallback : public IBindStatusCallback, public IHttpNegotiate {
public:
    // With a target folder, a body announced larger than the room left there ends the download at once.
    explicit CBindStatusCallback(IProgressReport* report, uint64_t sizeLimit = UINT64_MAX,
                                 std::wstring targetFolder = {});
    virtual ~CBindStatusCallback();

    // The URL handed to the service, and the credentials that its requests ask whether they may carry.
    void Address(std::wstring url, const COriginCredentials* credentials);
    // Bytes that arrive renew the budget; the watchdog ends the download when it is used up.
    void DrawOn(CWaitBudget* budget) { m_budget = budget; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD reserved, IBinding* binding) override;
    HRESULT STDMETHODCALLTYPE GetPriority(LONG* priority) override;
    HRESULT STDMETHODCALLTYPE OnLowResource(DWORD reserved) override;
    HRESULT STDMETHODCALLTYPE OnProgress(ULONG progress, ULONG progressMax, ULONG statusCode,
                                         LPCWSTR statusText) override;
    HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT result, LPCWSTR error) override;
    HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD* bindFlags, BINDINFO* bindInfo) override;
    HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD flags, DWORD size, FORMATETC* format,
                                              STGMEDIUM* medium) override;
    HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID riid, IUnknown* object) override;

    HRESULT STDMETHODCALLTYPE BeginningTransaction(LPCWSTR url, LPCWSTR headers, DWORD reserved,
                                                   LPWSTR* additionalHeaders) override;
    HRESULT STDMETHODCALLTYPE OnResponse(DWORD responseCode, LPCWSTR responseHeaders, LPCWSTR requestHeaders,
                                         LPWSTR* additionalRequestHeaders) override;

    // False when the server answered with an HTTP error status (anything but 2xx and 304), or the data
    // ended before the length the server announced. A transfer without HTTP (no status) counts as complete.
    bool ReceivedCompleteResponse() const;

    // Called from the watchdog thread: aborts the binding when the run was cancelled or no data has
    // arrived for stallMilliseconds. True when it aborted.
    bool AbortIfStalledOrCancelled(ULONGLONG now, DWORD stallMilliseconds);
    // True when the download was aborted for silence, for a body past the size limit, for a refused
    // redirect or for too many redirects; Stalled, Refusal and TooManyRedirects tell which.
    bool Overrun() const { return m_overrun.load(); }
    bool Stalled() const { return m_stalled.load(); }
    // How long the silence lasted that ended the download: the one the watchdog acted on, or else the
    // one before the end noted by NoteEnd.
    ULONGLONG SilenceMilliseconds() const { return m_silence.load(); }
    void NoteEnd(ULONGLONG now);
    // Why a redirect was refused, in words; empty when none was.
    const std::string& Refusal() const { return m_refusal; }
    bool TooManyRedirects() const { return m_redirects > MaxRedirects; }
    bool NoRoom() const { return m_noRoom; }
    // The server's HTTP status (0 before or without one), the bytes received, the length announced
    // (Content-Length, in 64 bits) and the headers of the last answer.
    DWORD HttpStatus() const { return m_httpStatus; }
    uint64_t Received() const { return m_received; }
    uint64_t Announced() const { return m_announced; }
    const std::string& ResponseHeaders() const { return m_responseHeaders; }
    // Where the last redirect led; empty when there was none.
    const std::wstring& RedirectedUrl() const { return m_redirectedUrl; }

    static constexpr int MaxRedirects = 10;
    // The files the download service said it keeps its cache copy in.
    const std::vector<std::wstring>& CacheFiles() const { return m_cacheFiles; }
    // The cache file the service fills as the body arrives; empty until it names one.
    std::wstring GrowingFile();

private:
    bool Cancelled() const;
    HRESULT NotImplementedUnlessCancelled() const;

    void NoteActivity() { m_lastActivity.store(::GetTickCount64()); }
    void NoteData() {
        NoteActivity();
        if (m_budget) m_budget->NoteProgress();
    }
    bool RefuseRedirect(const std::wstring& to);

    IProgressReport* m_report;
    const uint64_t m_sizeLimit;
    const std::wstring m_targetFolder;
    std::wstring m_url;
    const COriginCredentials* m_credentials = nullptr;
    CWaitBudget* m_budget = nullptr;
    std::string m_refusal;
    std::atomic<ULONGLONG> m_silence{0};
    bool m_noRoom = false;
    DWORD m_httpStatus = 0;
    bool m_endedShort = false;
    // The service counts in 32 bits; a body past 4 GiB wraps around.
    ULONG m_lastProgress = 0;
    uint64_t m_announced = 0;
    uint64_t m_received = 0;
    int m_redirects = 0;
    std::wstring m_redirectedUrl;
    std::string m_responseHeaders;
    std::atomic<bool> m_stalled{false};
    std::vector<std::wstring> m_cacheFiles;
    std::atomic<ULONGLONG> m_lastActivity;
    std::atomic<bool> m_overrun{false};
    std::mutex m_bindingLock;
    IBinding* m_binding = nullptr;
    // Under the binding lock: the cache file the service fills as the body arrives, and its last size.
    std::wstring m_growingFile;
    uint64_t m_growingSize = 0;
};

}  // namespace tessara
