#include "engine/Download.h"

#include "app/FileSystem.h"
#include "app/HttpText.h"
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
    const UrlCredentials credentials = SplitUrlCredentials(url);
    const std::wstring scheme = UrlScheme(credentials.url);
    if (!SupportedScheme(scheme)) {
        LogFormat("Download failed: unsupported scheme %S",
                  scheme.empty() ? std::wstring(L"(none)") : scheme);
        return false;
    }
    // The download service follows a redirect loop without end, so the chain is walked first.
    if (FollowRedirects(credentials, CBindStatusCallback::MaxRedirects).tooManyRedirects) {
        LogWrite("Download failed: too many redirects (more than 10)");
        return false;
    }
    const std::wstring safetyCopy = downloadFile + L"_temp";
    if (IsRegularFile(safetyCopy)) RemoveFile(safetyCopy);
    if (IsRegularFile(downloadFile) && !::MoveFileW(downloadFile.c_str(), safetyCopy.c_str())) return false;

    if (DownloadWithRetries(report, credentials, downloadFile, follow)) {
        RemoveFile(safetyCopy);
        return true;
    }
    // A failed or cancelled download may leave a partial file; it must never pass for the payload.
    RemoveFile(downloadFile);
    ::MoveFileW(safetyCopy.c_str(), downloadFile.c_str());
    return false;
}

}  // namespace tessara
