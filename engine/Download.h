#pragma once
// Fetching the payload archive into a local file with progress and cancellation.
#include <urlmon.h>

#include <string>

#include "engine/InstallStage.h"

namespace tessara {

// Bridges the download service's notifications to the window's progress report. Lives on the stack
// for exactly one download; not reference counted.
class CBindStatusCallback : public IBindStatusCallback {
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

private:
    bool Cancelled() const;
    HRESULT NotImplementedUnlessCancelled() const;

    IProgressReport* m_report;
};

// Downloads url into downloadFile. A previous file there is kept aside as downloadFile + "_temp" and put
// back when the download fails. True only when the download service reported success and a regular
// file is at downloadFile.
bool DownloadPayload(IProgressReport* report, std::wstring url, std::wstring downloadFile);

// Deletes a file; true when no regular file is left at the path.
bool DeleteFileIfPresent(const std::wstring& path);

}  // namespace tessara
