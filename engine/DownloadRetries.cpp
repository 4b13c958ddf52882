#include "engine/DownloadAttempt.h"

#include <algorithm>

#include "app/FileSystem.h"
#include "app/HttpText.h"
#include "app/Log.h"
#include "app/RunLimits.h"

namespace tessara {

namespace {

constexpr int kMaxAttempts = 4;
// A server may ask for a longer pause than a user waits for; past this the run fails.
constexpr uint64_t kRetryAfterCapSeconds = 60;
constexpr DWORD kPausePollMilliseconds = 100;

// Waits the pause between two attempts; false when the user cancelled meanwhile.
bool PauseUnlessCancelled(IProgressReport* report, ULONGLONG milliseconds) {
    const ULONGLONG until = ::GetTickCount64() + milliseconds;
    for (ULONGLONG now = ::GetTickCount64(); now < until; now = ::GetTickCount64()) {
        if (report && report->IsCancelled()) return false;
        ::Sleep(static_cast<DWORD>(std::min<ULONGLONG>(kPausePollMilliseconds, until - now)));
    }
    return !(report && report->IsCancelled());
}

std::string Seconds(ULONGLONG milliseconds) { return std::to_string((milliseconds + 999) / 1000) + " s"; }

// Why no further attempt is made after a transient failure, for the end of the log line.
std::string GivingUp(int attempt, ULONGLONG wait, const CWaitBudget& budget) {
    const std::string after =
        "; giving up after " + std::to_string(attempt) + (attempt == 1 ? " attempt" : " attempts");
    if (attempt >= kMaxAttempts) return after;
    if (budget.Remaining() == 0)
        return after + ": no data from the server in " + Seconds(budget.Limit()) + " of waiting";
    return after + ": a pause of " + Seconds(wait) + " would pass the limit of " + Seconds(budget.Limit()) +
           " without data from the server";
}

}  // namespace

ResumePoint KeepReceivedBytes(const CBindStatusCallback& callback, const std::wstring& url,
                              const std::wstring& downloadFile) {
    const std::string& headers = callback.ResponseHeaders();
    const std::string ranges = HeaderValue(headers, "Accept-Ranges").value_or("");
    std::string validator = HeaderValue(headers, "ETag").value_or("");
    if (validator.rfind("W/", 0) == 0) validator.clear();
    if (validator.empty()) validator = HeaderValue(headers, "Last-Modified").value_or("");
    ResumePoint point{0, callback.Announced(), validator,
                      callback.RedirectedUrl().empty() ? url : callback.RedirectedUrl()};
    if (ranges != "bytes" || point.validator.empty() || point.total == 0 || callback.HttpStatus() != 200)
        return {};
    for (const std::wstring& file : callback.CacheFiles()) {
        const uint64_t size = FileSizeOf(file).value_or(0);
        if (size > point.kept && size < point.total && ::CopyFileW(file.c_str(), downloadFile.c_str(), FALSE))
            point.kept = size;
    }
    return point;
}

bool DownloadWithRetries(IProgressReport* report, const DownloadTarget& target,
                         const std::wstring& downloadFile, const BodyFollower& follow) {
    ResumePoint resume;
    ULONGLONG pause = DownloadRetryPauseMilliseconds();
    for (int attempt = 1;; ++attempt) {
        const AttemptOutcome outcome = resume.Usable()
                                           ? ResumeWithRange(report, target, downloadFile, resume)
                                           : DownloadWithService(report, target, downloadFile, resume,
                                                                 attempt == 1 ? follow : BodyFollower());
        if (outcome.ok) {
            if (attempt > 1) LogFormat("Download attempt %d succeeded", attempt);
            return true;
        }
        if (report && report->IsCancelled()) {
            LogFormat("Download attempt %d failed: cancelled by the user", attempt);
            return false;
        }
        ULONGLONG wait = outcome.retryAfterSeconds
                             ? std::min(*outcome.retryAfterSeconds, kRetryAfterCapSeconds) * 1000
                             : pause;
        if (!outcome.transient || attempt >= kMaxAttempts || wait >= target.budget.Remaining()) {
            LogFormat("Download attempt %d failed: %s%s", attempt, outcome.reason,
                      outcome.transient ? GivingUp(attempt, wait, target.budget) : "");
            return false;
        }
        LogFormat("Download attempt %d failed: %s, %s", attempt, outcome.reason,
                  wait == 0 ? std::string("retrying now") : "retrying in " + Seconds(wait));
        if (!PauseUnlessCancelled(report, wait)) {
            LogWrite("Download cancelled by the user");
            return false;
        }
        target.budget.Charge(wait);
        if (!outcome.retryAfterSeconds) pause *= 2;
    }
}

}  // namespace tessara
