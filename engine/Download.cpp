#include "engine/Download.h"

#include "app/FileSystem.h"
#include "app/HttpText.h"
#include "app/OriginCredentials.h"
#include "app/Log.h"
#include "engine/DownloadAttempt.h"
#include "engine/RangeRequest.h"

namespace tessara {

namespace {

bool SupportedScheme(const std::wstring& scheme) {
    return scheme == L"http" || scheme == L"https" || scheme == L"file";
}

}  // namespace

bool DownloadPayload(IProgressReport* report, std::wstring url, std::wstring downloadFile,
                     const BodyFollower& follow) {
    const COriginCredentials credentials(url);
    const std::wstring scheme = UrlScheme(credentials.Url());
    if (!SupportedScheme(scheme)) {
        LogFormat("Download failed: unsupported scheme %S",
                  scheme.empty() ? std::wstring(L"(none)") : scheme);
        return false;
    }
    const CWaitBudgetScope waits;
    // The download service follows a redirect loop without end, and takes the credentials along to
    // wherever it is redirected, so the chain is walked first; with credentials the service is handed
    // where it ends, without them the URL itself as ever.
    const ResolvedUrl resolved =
        FollowRedirects(credentials, CBindStatusCallback::MaxRedirects,
                        credentials.Present() ? RedirectProbe::FirstByte : RedirectProbe::Head);
    if (resolved.tooManyRedirects) {
        LogWrite("Download failed: too many redirects (more than 10)");
        return false;
    }
    if (!resolved.refusal.empty()) {
        LogFormat("Download failed: %s", resolved.refusal);
        return false;
    }
    const std::wstring safetyCopy = downloadFile + L"_temp";
    if (IsRegularFile(safetyCopy)) RemoveFile(safetyCopy);
    if (IsRegularFile(downloadFile) && !::MoveFileW(downloadFile.c_str(), safetyCopy.c_str())) return false;

    const std::wstring target = credentials.Present() ? resolved.url : credentials.Url();
    if (DownloadWithRetries(report, {credentials, target, waits.Budget()}, downloadFile, follow)) {
        RemoveFile(safetyCopy);
        return true;
    }
    // A failed or cancelled download may leave a partial file; it must never pass for the payload.
    RemoveFile(downloadFile);
    ::MoveFileW(safetyCopy.c_str(), downloadFile.c_str());
    return false;
}

}  // namespace tessara
