#pragma once
// Fetching the payload archive into a local file with progress and cancellation.
#include <string>

#include "app/InstallStage.h"
#include "engine/BindStatusCallback.h"
#include "engine/CacheFileFollower.h"
#include "engine/InternetCacheCopies.h"

namespace tessara {

// Downloads url into downloadFile. A previous file there is kept aside as downloadFile + "_temp" and put
// back when the download fails (a partial file is removed first). True only when the download
// service reported success, the server's response was complete and not an HTTP error, and a regular
// file is at downloadFile. An attempt fails when no byte arrives for DownloadStallMilliseconds or the
// body passes DownloadSizeLimit (app/RunLimits.h). What the download left of the URL in the Internet
// cache is removed afterwards, whatever the outcome.
//
// A transient failure (no connection, a reset, silence, 408, 429, 500, 502, 503, 504, a body cut
// short) is tried again after a pause that doubles each time, or as long as the server's Retry-After
// asks (within a cap), for a bounded number of attempts and as long as the waits without a byte stay
// within DownloadWaitLimitMilliseconds in all (a budget the calling thread may have opened already, as
// an update does that comes first). An attempt that received part of the file continues from there
// with a range request when the server offers ranges and a validator; otherwise it starts over. Each
// failed attempt is logged with its reason in words.
//
// The user name and password in the URL go only to its own origin; the redirects are walked before the
// download, and one from HTTPS to HTTP fails it.
//
// A follower, when given, sees the body of the first attempt while it arrives.
bool DownloadPayload(IProgressReport* report, std::wstring url, std::wstring downloadFile,
                     const BodyFollower& follow = {});

}  // namespace tessara
