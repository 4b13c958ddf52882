#pragma once
// One attempt of a download, and what it leaves for the next: shared by the attempt with the URL
// download service, the resumed attempt with a range request, and the policy that retries them.
#include <cstdint>
#include <optional>
#include <string>

#include "app/OriginCredentials.h"
#include "app/InstallStage.h"
#include "engine/BindStatusCallback.h"
#include "engine/CacheFileFollower.h"
#include "engine/WaitBudget.h"

namespace tessara {

// One attempt's end: what happened in words, whether trying again can help, and what a further attempt
// can build on.
struct AttemptOutcome {
    bool ok = false;
    bool transient = false;
    std::string reason;
    std::optional<uint64_t> retryAfterSeconds;
};

// What an interrupted attempt left for the next one: the first `kept` bytes of the file, and what is
// needed to ask for the rest of the very same file.
struct ResumePoint {
    uint64_t kept = 0;
    uint64_t total = 0;
    std::string validator;
    std::wstring url;
    bool Usable() const { return kept > 0 && kept < total && !validator.empty(); }
};

// What the attempts of one download share: the URL's credentials, bound to their origin, the address
// its redirects led to, and the time they may spend waiting on the server in all.
struct DownloadTarget {
    const COriginCredentials& credentials;
    std::wstring url;
    CWaitBudget& budget;
};

// One attempt with the URL download service, from the first byte.
AttemptOutcome DownloadWithService(IProgressReport* report, const DownloadTarget& target,
                                   const std::wstring& downloadFile, ResumePoint& resume,
                                   const BodyFollower& follow);

// One attempt that asks for the rest of the file after the bytes kept, and appends it.
AttemptOutcome ResumeWithRange(IProgressReport* report, const DownloadTarget& target,
                               const std::wstring& downloadFile, ResumePoint& resume);

// Keeps what the service received, for the next attempt to continue from, when the server offered
// ranges for a file it names by a validator.
ResumePoint KeepReceivedBytes(const CBindStatusCallback& callback, const std::wstring& url,
                              const std::wstring& downloadFile);

// Tries until an attempt succeeds, one fails for good, or the attempts or the time are used up.
bool DownloadWithRetries(IProgressReport* report, const DownloadTarget& target,
                         const std::wstring& downloadFile, const BodyFollower& follow);

}  // namespace tessara
