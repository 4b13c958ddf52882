#include "engine/BindStatusCallback.h"

#include <cstddef>
#include <cstring>

#include "app/FailureLog.h"
#include "app/FileSystem.h"
#include "app/Log.h"
#include "app/HttpText.h"
#include "app/RunLimits.h"
#include "app/Text.h"

namespace tessara {

CBindStatusCallback::CBindStatusCallback(IProgressReport* report, uint64_t sizeLimit,
                                         std::wstring targetFolder)
    : m_report(report),
      m_sizeLimit(sizeLimit),
      m_targetFolder(std::move(targetFolder)),
      m_lastActivity(::GetTickCount64()) {}

void CBindStatusCallback::Address(std::wstring url, const COriginCredentials* credentials) {
    m_url = std::move(url);
    m_credentials = credentials;
}

bool CBindStatusCallback::RefuseRedirect(const std::wstring& to) {
    const std::wstring& from = m_redirectedUrl.empty() ? m_url : m_redirectedUrl;
    m_refusal = RedirectRefusal(from, to);
    // The service sends the request's own headers on to wherever it is redirected.
    if (m_refusal.empty() && m_credentials && m_credentials->MaySendTo(from) && !m_credentials->MaySendTo(to))
        m_refusal = "the server redirected the download to another origin (" + DescribeOrigin(to) +
                    ") while it carried the user name and password of the URL, which is refused";
    return !m_refusal.empty();
}

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
        if (statusText && RefuseRedirect(statusText)) {
            m_overrun.store(true);
            return E_ABORT;
        }
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
        NoteData();
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

HRESULT STDMETHODCALLTYPE CBindStatusCallback::GetBindInfo(DWORD* bindFlags, BINDINFO* bindInfo) {
    if (Cancelled()) return E_ABORT;
    // The payload is fetched once and deleted after the run: a copy in the user's cache only costs space.
    if (bindFlags) *bindFlags |= BINDF_NOWRITECACHE | BINDF_GETNEWESTVERSION;
    // A redirect would take the credentials along before this callback hears of it. (Wine's service
    // ignores this and follows all the same; the walk along the redirects before the download is
    // what keeps them at home there.)
    if (bindInfo && bindInfo->cbSize >= offsetof(BINDINFO, dwOptions) + sizeof bindInfo->dwOptions &&
        m_credentials && m_credentials->MaySendTo(m_url))
        bindInfo->dwOptions |= BINDINFO_OPTIONS_DISABLEAUTOREDIRECTS;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CBindStatusCallback::OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) {
    if (Cancelled()) return E_ABORT;
    NoteData();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CBindStatusCallback::OnObjectAvailable(REFIID, IUnknown*) {
    return NotImplementedUnlessCancelled();
}

HRESULT STDMETHODCALLTYPE CBindStatusCallback::BeginningTransaction(LPCWSTR url, LPCWSTR, DWORD,
                                                                    LPWSTR* additionalHeaders) {
    if (!additionalHeaders) return S_OK;
    *additionalHeaders = nullptr;
    const std::wstring authorization =
        m_credentials ? m_credentials->AuthorizationFor(url ? std::wstring(url) : m_url) : std::wstring();
    if (authorization.empty()) return S_OK;
    // The service frees what it is handed with CoTaskMemFree.
    const size_t bytes = (authorization.size() + 1) * sizeof(wchar_t);
    auto* copy = static_cast<LPWSTR>(::CoTaskMemAlloc(bytes));
    if (!copy) return E_OUTOFMEMORY;
    std::memcpy(copy, authorization.c_str(), bytes);
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
            NoteData();
        }
    }
    // Activity noted after `now` was read (just above, or by the download's own thread) is no silence;
    // the unsigned difference would wrap to a stall.
    const ULONGLONG lastActivity = m_lastActivity.load();
    const ULONGLONG silence = now > lastActivity ? now - lastActivity : 0;
    // The silence of this attempt is charged to the budget only when the attempt ends.
    const bool stalled =
        silence > 0 && (silence >= stallMilliseconds || (m_budget && silence >= m_budget->Remaining()));
    if (!stalled && !Cancelled() && !m_overrun.load()) return false;
    std::lock_guard<std::mutex> lock(m_bindingLock);
    if (!m_binding) return false;
    if (stalled) {
        m_silence.store(silence);
        m_stalled.store(true);
        m_overrun.store(true);
    }
    m_binding->Abort();
    return true;
}

void CBindStatusCallback::NoteEnd(ULONGLONG now) {
    const ULONGLONG lastActivity = m_lastActivity.load();
    if (!m_stalled.load()) m_silence.store(now > lastActivity ? now - lastActivity : 0);
}

std::wstring CBindStatusCallback::GrowingFile() {
    std::lock_guard<std::mutex> lock(m_bindingLock);
    return m_growingFile;
}

bool CBindStatusCallback::Cancelled() const { return m_report && m_report->IsCancelled(); }

HRESULT CBindStatusCallback::NotImplementedUnlessCancelled() const {
    return Cancelled() ? E_ABORT : E_NOTIMPL;
}

}  // namespace tessara
