#pragma once
// Byte ranges of the payload, fetched over WinINet with the system's proxy settings and without a copy
// in the Internet cache: the URL download service cannot ask for a range. Every answer is held to what
// was asked: 206, the very range, the same file (its validator, once known, goes out as If-Range, so a
// changed file comes back whole and is refused as such), and exactly that many bytes.
#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <functional>
#include <string>

#include "app/OriginCredentials.h"

namespace tessara {

// Takes each piece of a body as it arrives; false stops the transfer (a write failed).
using RangeSink = std::function<bool(const unsigned char* data, size_t size)>;

// Where a URL leads after its redirects, found with HEAD requests so that no body is sent, and whether
// it offers ranges; the URL itself when a request fails (the download then finds out why). The
// credentials go only to their own origin; a redirect from HTTPS to HTTP is not followed.
struct ResolvedUrl {
    std::wstring url;
    bool tooManyRedirects = false;
    // Why a redirect was refused, in words; empty when none was.
    std::string refusal;
    // The last answer was a success without "Accept-Ranges: bytes": asking for a range would only
    // start the whole body.
    bool noRanges = false;
};
// A server may redirect a GET where it answers a HEAD itself: the download service, which takes the
// credentials along on a redirect, is preceded by a walk of GETs for one byte where it carries them.
enum class RedirectProbe { Head, FirstByte };
ResolvedUrl FollowRedirects(const COriginCredentials& credentials, int maxRedirects,
                            RedirectProbe probe = RedirectProbe::Head);

// The system's error for a HEAD request to the URL (ERROR_SUCCESS once it was answered), sent with these
// security flags added (SECURITY_FLAG_IGNORE_REVOCATION, say). Only what went wrong is of interest.
DWORD RequestError(const std::wstring& url, DWORD securityFlags = 0);

class CRangeClient {
public:
    // Each request carries the credentials when they are for the URL's origin. `cancelled` is asked
    // between pieces. Requests wait for the server within the budget of the thread's download, if any.
    CRangeClient(const std::wstring& url, const COriginCredentials& credentials,
                 std::function<bool()> cancelled);
    ~CRangeClient();
    CRangeClient(const CRangeClient&) = delete;
    CRangeClient& operator=(const CRangeClient&) = delete;

    // Bytes first .. first + length - 1 of the file.
    [[nodiscard]] bool Fetch(uint64_t first, uint64_t length, const RangeSink& sink);
    // The last `length` bytes (all of a shorter file).
    [[nodiscard]] bool FetchTail(uint64_t length, const RangeSink& sink);

    // The file's size and validator (strong ETag, else Last-Modified) from the first answer, or as
    // set for a resumed download.
    uint64_t Total() const { return m_total; }
    const std::string& Validator() const { return m_validator; }
    void Expect(uint64_t total, std::string validator);
    // Why the last request failed, in words; whether the server sent the whole file instead of a range
    // (it ignores ranges, or the file changed); whether a write of the sink failed.
    const std::string& Failure() const { return m_failure; }
    bool WholeFileSent() const { return m_wholeFileSent; }
    bool SinkFailed() const { return m_sinkFailed; }
    uint64_t BytesReceived() const { return m_received; }
    int Requests() const { return m_requests; }

private:
    bool Request(const std::wstring& range, uint64_t first, uint64_t length, bool suffix,
                 const RangeSink& sink);
    bool Fail(std::string reason);

    std::wstring m_url;
    const COriginCredentials& m_credentials;
    std::function<bool()> m_cancelled;
    HINTERNET m_session = nullptr;
    uint64_t m_total = 0;
    std::string m_validator;
    std::string m_failure;
    bool m_wholeFileSent = false;
    bool m_sinkFailed = false;
    uint64_t m_received = 0;
    int m_requests = 0;
};

}  // namespace tessara
