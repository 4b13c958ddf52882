#include "engine/Download.h"

#include <optional>

#include "app/FileSystem.h"
#include "app/HttpText.h"
#include "app/OriginCredentials.h"
#include "app/Log.h"
#include "engine/DownloadAttempt.h"
#include "engine/LocalSource.h"
#include "engine/RangeRequest.h"

namespace tessara {

namespace {

bool SupportedScheme(const std::wstring& scheme) { return scheme == L"http" || scheme == L"https"; }

// The remote source's checks before anything is fetched: the scheme, and the chain of redirects, which
// the download service would follow without end and with the credentials taken along to wherever it
// is redirected. With credentials the service is handed where the chain ends, without them the URL
// itself as ever. Nothing when the download must not start; the reason is logged.
std::optional<std::wstring> CheckedTarget(const COriginCredentials& credentials) {
    const std::wstring scheme = UrlScheme(credentials.Url());
    if (!SupportedScheme(scheme)) {
        LogFormat("Download failed: unsupported scheme %S",
                  scheme.empty() ? std::wstring(L"(none)") : scheme);
        return std::nullopt;
    }
    const ResolvedUrl resolved =
        FollowRedirects(credentials, CBindStatusCallback::MaxRedirects,
                        credentials.Present() ? RedirectProbe::FirstByte : RedirectProbe::Head);
    if (resolved.tooManyRedirects) {
        LogWrite("Download failed: too many redirects (more than 10)");
        return std::nullopt;
    }
    if (!resolved.refusal.empty()) {
        LogFormat("Download failed: %s", resolved.refusal);
        return std::nullopt;
    }
    return credentials.Present() ? resolved.url : credentials.Url();
}

}  // namespace

bool DownloadPayload(IProgressReport* report, std::wstring url, std::wstring downloadFile,
                     const BodyFollower& follow) {
    const std::optional<std::wstring> localSource = LocalSourcePath(url);
    const COriginCredentials credentials(url);
    const CWaitBudgetScope waits;
    std::optional<std::wstring> target;
    if (!localSource && !(target = CheckedTarget(credentials))) return false;

    const std::wstring safetyCopy = downloadFile + L"_temp";
    if (IsRegularFile(safetyCopy)) RemoveFile(safetyCopy);
    if (IsRegularFile(downloadFile) && !::MoveFileW(downloadFile.c_str(), safetyCopy.c_str())) return false;

    if (localSource
            ? CopyLocalSource(report, *localSource, downloadFile, follow)
            : DownloadWithRetries(report, {credentials, *target, waits.Budget()}, downloadFile, follow)) {
        RemoveFile(safetyCopy);
        return true;
    }
    // A failed or cancelled download may leave a partial file; it must never pass for the payload.
    RemoveFile(downloadFile);
    ::MoveFileW(safetyCopy.c_str(), downloadFile.c_str());
    return false;
}

}  // namespace tessara
