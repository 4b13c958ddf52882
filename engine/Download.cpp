#include "engine/Download.h"

#include <cstdio>

#include "app/SystemLibrary.h"

namespace tessara {

namespace {

constexpr DWORD HttpNotModified = 304;

using URLDownloadToFileWFn = HRESULT(WINAPI*)(LPUNKNOWN, LPCWSTR, LPCWSTR, DWORD, LPBINDSTATUSCALLBACK);

bool IsRegularFile(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

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

HRESULT STDMETHODCALLTYPE CBindStatusCallback::OnStartBinding(DWORD, IBinding*) {
    return NotImplementedUnlessCancelled();
}

HRESULT STDMETHODCALLTYPE CBindStatusCallback::GetPriority(LONG*) { return NotImplementedUnlessCancelled(); }

HRESULT STDMETHODCALLTYPE CBindStatusCallback::OnLowResource(DWORD) {
    return NotImplementedUnlessCancelled();
}

HRESULT STDMETHODCALLTYPE CBindStatusCallback::OnProgress(ULONG progress, ULONG progressMax, ULONG statusCode,
                                                          LPCWSTR) {
    if (Cancelled()) return E_ABORT;
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

HRESULT STDMETHODCALLTYPE CBindStatusCallback::GetBindInfo(DWORD*, BINDINFO*) {
    return NotImplementedUnlessCancelled();
}

HRESULT STDMETHODCALLTYPE CBindStatusCallback::OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) {
    return Cancelled() ? E_ABORT : S_OK;
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

    CBindStatusCallback callback(report);
    if (report) report->SetProgressRange(100);
    const HRESULT result = download(nullptr, url.c_str(), downloadFile.c_str(), 0, &callback);

    if (SUCCEEDED(result) && callback.ReceivedCompleteResponse() && IsRegularFile(downloadFile)) {
        DeleteFileIfPresent(safetyCopy);
        return true;
    }
    // A failed or cancelled download may leave a partial file; it must never pass for the payload.
    DeleteFileIfPresent(downloadFile);
    ::MoveFileW(safetyCopy.c_str(), downloadFile.c_str());
    return false;
}

bool DeleteFileIfPresent(const std::wstring& path) {
    ::DeleteFileW(path.c_str());
    if (IsRegularFile(path)) ::_wremove(path.c_str());
    return !IsRegularFile(path);
}

}  // namespace tessara
