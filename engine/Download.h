#pragma once
// Fetching the payload archive into a local file with progress and cancellation.
#include <urlmon.h>

#include <string>

#include "engine/InstallStage.h"

namespace tessara {

// Bridges the download service's notifications to the window's progress report. Lives on the stack
// for exactly one download; not reference counted.
//
// It also watches the HTTP response: the download service reports success for an error page (404,
// 500) and for a body cut short by the server, so the download must look at the status code
// (through IHttpNegotiate) and at the announced length itself.
class CBindStatusCallback : public IBindStatusCallback, public IHttpNegotiate {
public:
    explicit CBindStatusCallback(IProgressReport* report) : m_report(report) {}
    virtual ~CBindStatusCallback() = default;

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

private:
    bool Cancelled() const;
    HRESULT NotImplementedUnlessCancelled() const;

    IProgressReport* m_report;
    DWORD m_httpStatus = 0;
    bool m_endedShort = false;
};

// Downloads url into downloadFile. A previous file there is kept aside as downloadFile + "_temp" and put
// back when the download fails (a partial file is removed first). True only when the download
// service reported success, the server's response was complete and not an HTTP error, and a regular
// file is at downloadFile.
bool DownloadPayload(IProgressReport* report, std::wstring url, std::wstring downloadFile);

// Deletes a file; true when no regular file is left at the path.
bool DeleteFileIfPresent(const std::wstring& path);

}  // namespace tessara
