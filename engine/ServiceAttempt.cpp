#include "engine/DownloadAttempt.h"

#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "app/Config.h"
#include "app/FailureLog.h"
#include "app/FileSystem.h"
#include "app/HttpText.h"
#include "app/Log.h"
#include "app/RunLimits.h"
#include "app/SystemLibrary.h"
#include "app/Text.h"
#include "engine/CertificateProblem.h"
#include "engine/DownloadWatchdog.h"
#include "engine/InternetCacheCopies.h"

namespace tessara {

namespace {

using namespace std::string_literals;

using URLDownloadToFileWFn = HRESULT(WINAPI*)(LPUNKNOWN, LPCWSTR, LPCWSTR, DWORD, LPBINDSTATUSCALLBACK);

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
                                      const DownloadTarget& target, uint64_t received) {
    const std::wstring& url = target.url;
    const DWORD status = callback.HttpStatus();
    const bool httpError = status != 0 && !(status >= 200 && status < 300) && status != HttpNotModified;
    if (callback.TooManyRedirects()) return {false, false, "too many redirects (more than 10)", {}};
    if (!callback.Refusal().empty()) return {false, false, callback.Refusal(), {}};
    if (callback.NoRoom())
        return {false, false, "the drive is full: " + Bytes(callback.Announced()) + " announced", {}};
    // The service does not always wait for the watchdog: it may end a silent download itself and call it
    // a broken connection. How long the silence before the end lasted tells the two apart.
    const ULONGLONG silence = callback.SilenceMilliseconds();
    if (callback.Stalled() || (!httpError && silence + silence / 8 >= DownloadStallMilliseconds()))
        return {false,
                true,
                "no data for " + std::to_string((silence + 500) / 1000) + " s after " + Bytes(received),
                {}};
    if (callback.Overrun())
        return {false, false, "the body grew past the limit of " + Bytes(DownloadSizeLimit()), {}};
    if (httpError) {
        std::string reason = "server answered " + std::to_string(status);
        if (status == 401)
            reason += target.credentials.MaySendTo(url) ? ": it refused the user name and password in the URL"
                      : target.credentials.Present()
                          ? ": it asks for a user name and password (those in the URL are not sent to " +
                                DescribeOrigin(url) + ", another origin)"
                          : ": it asks for a user name and password";
        if (status == 407) reason += ": the proxy asks for a user name and password";
        const std::string& headers = callback.ResponseHeaders();
        return {false, IsTransientStatus(status), reason,
                ParseRetryAfter(HeaderValue(headers, "Retry-After").value_or(""),
                                HeaderValue(headers, "Date").value_or(""),
                                static_cast<int64_t>(std::time(nullptr)))};
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
        case static_cast<unsigned>(INET_E_REDIRECT_FAILED):
            return {
                false,
                false,
                "the server redirected the download while it carried the user name and password of the URL, "
                "which is refused",
                {}};
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

}  // namespace

AttemptOutcome DownloadWithService(IProgressReport* report, const DownloadTarget& target,
                                   const std::wstring& downloadFile, ResumePoint& resume,
                                   const BodyFollower& follow) {
    static const auto download =
        ProcAs<URLDownloadToFileWFn>(GetSystemLibraryProc(L"urlmon.dll", "URLDownloadToFileW"));
    if (!download) return {false, false, "the URL download service is not available", {}};
    RemoveFile(downloadFile);
    CBindStatusCallback callback(report, DownloadSizeLimit(), ParentFolderOf(downloadFile));
    callback.Address(target.url, &target.credentials);
    callback.DrawOn(&target.budget);
    if (report) report->SetProgressRange(100);
    const FILETIME downloadStart = DownloadStartTime();
    HRESULT result = E_FAIL;
    std::optional<CFollowedBody> followed;
    std::optional<CDownloadWatchdog> watchdog;
    // The follower's thread is the watchdog where there is one.
    if (follow)
        followed.emplace(callback, follow, target.url, downloadStart, DownloadStallMilliseconds());
    else
        watchdog.emplace(callback, DownloadStallMilliseconds());
    // The URL carries no credentials, so that no cache index or history keeps them.
    result = download(nullptr, target.url.c_str(), downloadFile.c_str(), 0, &callback);
    watchdog.reset();
    if (followed) followed->StopWatching();
    callback.NoteEnd(::GetTickCount64());
    target.budget.Charge(callback.SilenceMilliseconds());
    const uint64_t received = ReceivedByService(callback);
    // The service may finish a download that a callback asked to abort; the file's size tells.
    // The service also reports success when the drive filled up and the file holds part of the body.
    const std::optional<uint64_t> size = FileSizeOf(downloadFile);
    const bool ok = SUCCEEDED(result) && !callback.Overrun() && callback.ReceivedCompleteResponse() &&
                    IsRegularFile(downloadFile) && size && *size <= DownloadSizeLimit() &&
                    *size >= callback.Received();
    AttemptOutcome outcome{true, false, {}, {}};
    if (!ok) outcome = DescribeServiceFailure(callback, result, target, received);
    // The follower holds the service's cache file open, and that file goes with the attempt's leftovers
    // below: it ends, and lets go of the file, first.
    if (followed) followed->End(ok, outcome.reason);
    followed.reset();
    if (!ok) {
        RemoveFile(downloadFile);
        const bool cutShort = IsDiskFullError(HRESULT_CODE(result)) || result == STG_E_MEDIUMFULL ||
                              size.value_or(0) < callback.Received();
        if (cutShort && !FitsOnVolume(ParentFolderOf(downloadFile), std::max(received, callback.Announced())))
            outcome = {false, false, "the drive is full", {}};
        else if (outcome.transient && !(report && report->IsCancelled()))
            resume = KeepReceivedBytes(callback, target.url, downloadFile);
    }
    RemoveCachedCopies(target.url, callback.CacheFiles(), downloadStart);
    return outcome;
}

}  // namespace tessara
