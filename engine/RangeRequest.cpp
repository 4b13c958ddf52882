#include "engine/RangeRequest.h"

#include <algorithm>
#include <vector>

#include "app/HttpText.h"
#include "app/Log.h"
#include "app/RunLimits.h"
#include "app/SystemLibrary.h"
#include "engine/CertificateProblem.h"
#include "engine/WaitBudget.h"

namespace tessara {
namespace {

constexpr DWORD kReadSize = 256 * 1024;
constexpr DWORD kPartialContent = 206;
constexpr DWORD kOk = 200;
// Far past what any server or browser takes in a URL.
constexpr DWORD kMaxUrlLength = 8192;

template <typename Fn>
Fn WinInetFunction(const char* procName) {
    return SystemFunction<Fn>(L"wininet.dll", procName);
}

void CloseInternetHandle(HINTERNET handle) {
    static const auto close = WinInetFunction<decltype(&::InternetCloseHandle)>("InternetCloseHandle");
    if (handle && close) close(handle);
}

struct InternetHandle {
    HINTERNET handle = nullptr;
    InternetHandle() = default;
    explicit InternetHandle(HINTERNET owned) : handle(owned) {}
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    ~InternetHandle() { CloseInternetHandle(handle); }
};

// How long a request may wait for the server: the stall time, within what is left of the budget of the
// thread's download. Never 0, which the system takes for no limit at all.
DWORD RequestTimeout() {
    const CWaitBudget* budget = CurrentWaitBudget();
    const DWORD stall = DownloadStallMilliseconds();
    return std::max<DWORD>(1, budget ? budget->Bound(stall) : stall);
}

// Every handle takes the request timeout as its timeouts: a session's are not passed on to its requests
// on every system, and a server that accepts and never answers must not hold the run.
void SetTimeouts(HINTERNET handle) {
    static const auto setOption = WinInetFunction<decltype(&::InternetSetOptionW)>("InternetSetOptionW");
    DWORD timeout = RequestTimeout();
    for (const DWORD option :
         {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT})
        if (handle && setOption) setOption(handle, option, &timeout, sizeof timeout);
}

std::string ResponseHeaders(HINTERNET request) {
    static const auto query = WinInetFunction<decltype(&::HttpQueryInfoA)>("HttpQueryInfoA");
    DWORD size = 0;
    if (!query || query(request, HTTP_QUERY_RAW_HEADERS_CRLF, nullptr, &size, nullptr) ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return {};
    std::string headers(size, '\0');
    if (!query(request, HTTP_QUERY_RAW_HEADERS_CRLF, headers.data(), &size, nullptr)) return {};
    headers.resize(size);
    return headers;
}

DWORD StatusCode(const std::string& headers) {
    // "HTTP/1.1 206 Partial Content"
    const size_t blank = headers.find(' ');
    if (blank == std::string::npos) return 0;
    return static_cast<DWORD>(ParseDecimal(headers.substr(blank + 1, 3)).value_or(0));
}

// A weak ETag may name a file whose bytes changed, so it cannot guard a range.
std::string ValidatorOf(const std::string& headers) {
    const std::optional<std::string> tag = HeaderValue(headers, "ETag");
    if (tag && !tag->empty() && tag->rfind("W/", 0) != 0) return *tag;
    return HeaderValue(headers, "Last-Modified").value_or("");
}

bool IsRedirect(DWORD status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Flags are added to those the request has, as the system asks.
void AddSecurityFlags(HINTERNET request, DWORD flags) {
    static const auto query = WinInetFunction<decltype(&::InternetQueryOptionW)>("InternetQueryOptionW");
    static const auto set = WinInetFunction<decltype(&::InternetSetOptionW)>("InternetSetOptionW");
    DWORD current = 0;
    DWORD size = sizeof current;
    if (!request || !flags || !query || !set ||
        !query(request, INTERNET_OPTION_SECURITY_FLAGS, &current, &size))
        return;
    current |= flags;
    set(request, INTERNET_OPTION_SECURITY_FLAGS, &current, sizeof current);
}

// A new session with the system's proxy settings, as the URL download service uses them.
HINTERNET OpenSession() {
    static const auto open = WinInetFunction<decltype(&::InternetOpenW)>("InternetOpenW");
    HINTERNET session =
        open ? open(L"TessaraAppSetup", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0) : nullptr;
    SetTimeouts(session);
    return session;
}

// Redirects are not followed: a range that lands elsewhere is no range of this file, and a chain of
// redirects is counted by the caller.
constexpr DWORD kRequestFlags =
    INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_UI |
    INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_KEEP_CONNECTION;

// The target of a Location header, which may be relative to the URL that answered.
std::wstring CombineUrl(const std::wstring& base, const std::string& location) {
    static const auto combine = WinInetFunction<decltype(&::InternetCombineUrlW)>("InternetCombineUrlW");
    const std::wstring relative(location.begin(), location.end());
    std::wstring combined(kMaxUrlLength, L'\0');
    DWORD size = kMaxUrlLength;
    if (!combine || !combine(base.c_str(), relative.c_str(), combined.data(), &size, ICU_NO_ENCODE))
        return relative;
    combined.resize(std::min<DWORD>(size, kMaxUrlLength));
    return combined.c_str();
}

// One request over a connection of its own, its answer's headers read; false when it could not be sent.
struct SentRequest {
    InternetHandle connection;
    InternetHandle request;
    std::string answer;
    DWORD error = ERROR_SUCCESS;
};

bool SendRequest(HINTERNET session, const std::wstring& url, const wchar_t* verb, const std::wstring& headers,
                 SentRequest& sent, DWORD securityFlags = 0) {
    static const auto openConnection = WinInetFunction<decltype(&::InternetConnectW)>("InternetConnectW");
    static const auto crack = WinInetFunction<decltype(&::InternetCrackUrlW)>("InternetCrackUrlW");
    static const auto openRequest = WinInetFunction<decltype(&::HttpOpenRequestW)>("HttpOpenRequestW");
    static const auto send = WinInetFunction<decltype(&::HttpSendRequestW)>("HttpSendRequestW");
    sent.error = ERROR_INTERNET_INVALID_URL;
    if (!session || !openConnection || !crack || !openRequest || !send) return false;
    std::vector<wchar_t> host(kMaxUrlLength), path(kMaxUrlLength), extra(kMaxUrlLength);
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host.data();
    parts.dwHostNameLength = kMaxUrlLength;
    parts.lpszUrlPath = path.data();
    parts.dwUrlPathLength = kMaxUrlLength;
    parts.lpszExtraInfo = extra.data();
    parts.dwExtraInfoLength = kMaxUrlLength;
    if (!crack(url.c_str(), 0, 0, &parts) ||
        (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS))
        return false;
    // The query goes with the path; the fragment is no part of a request.
    std::wstring target = std::wstring(path.data()) + extra.data();
    target = target.substr(0, target.find(L'#'));
    sent.connection.handle =
        openConnection(session, host.data(), parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    SetTimeouts(sent.connection.handle);
    const DWORD secure = parts.nScheme == INTERNET_SCHEME_HTTPS ? INTERNET_FLAG_SECURE : 0;
    sent.request.handle = sent.connection.handle
                              ? openRequest(sent.connection.handle, verb, target.c_str(), nullptr, nullptr,
                                            nullptr, kRequestFlags | secure, 0)
                              : nullptr;
    SetTimeouts(sent.request.handle);
    AddSecurityFlags(sent.request.handle, securityFlags);
    if (!sent.request.handle || !send(sent.request.handle, headers.empty() ? nullptr : headers.c_str(),
                                      static_cast<DWORD>(headers.size()), nullptr, 0)) {
        sent.error = ::GetLastError();
        return false;
    }
    sent.answer = ResponseHeaders(sent.request.handle);
    return true;
}

}  // namespace

ResolvedUrl FollowRedirects(const COriginCredentials& credentials, int maxRedirects, RedirectProbe probe) {
    const InternetHandle session(OpenSession());
    ResolvedUrl resolved;
    resolved.url = credentials.Url();
    CWaitBudget* const budget = CurrentWaitBudget();
    for (int redirects = 0; redirects <= maxRedirects; ++redirects) {
        SentRequest sent;
        const ULONGLONG asked = ::GetTickCount64();
        const bool get = probe == RedirectProbe::FirstByte;
        const std::wstring headers =
            // The answer's body is not read: its connection must not serve another request.
            (get ? L"Range: bytes=0-0\r\nConnection: close\r\n" : L"") +
            credentials.AuthorizationFor(resolved.url);
        if (!SendRequest(session.handle, resolved.url, get ? L"GET" : L"HEAD", headers, sent)) {
            if (budget) budget->Charge(::GetTickCount64() - asked);
            return resolved;
        }
        const std::optional<std::string> location = HeaderValue(sent.answer, "Location");
        const DWORD status = StatusCode(sent.answer);
        if (!IsRedirect(status) || !location || location->empty()) {
            resolved.noRanges =
                status == kOk && (get || HeaderValue(sent.answer, "Accept-Ranges") != "bytes");
            return resolved;
        }
        const std::wstring next = CombineUrl(resolved.url, *location);
        resolved.refusal = RedirectRefusal(resolved.url, next);
        if (!resolved.refusal.empty()) return resolved;
        if (credentials.MaySendTo(resolved.url) && !credentials.MaySendTo(next))
            LogFormat(
                "The payload's URL redirects to %s, another origin: the user name and password of the URL "
                "are not sent there",
                DescribeOrigin(next));
        resolved.url = next;
    }
    resolved.tooManyRedirects = true;
    return resolved;
}

DWORD RequestError(const std::wstring& url, DWORD securityFlags) {
    const InternetHandle session(OpenSession());
    SentRequest sent;
    return SendRequest(session.handle, url, L"HEAD", {}, sent, securityFlags) ? ERROR_SUCCESS : sent.error;
}

CRangeClient::CRangeClient(const std::wstring& url, const COriginCredentials& credentials,
                           std::function<bool()> cancelled)
    : m_url(url), m_credentials(credentials), m_cancelled(std::move(cancelled)), m_session(OpenSession()) {}

CRangeClient::~CRangeClient() { CloseInternetHandle(m_session); }

void CRangeClient::Expect(uint64_t total, std::string validator) {
    m_total = total;
    m_validator = std::move(validator);
}

bool CRangeClient::Fetch(uint64_t first, uint64_t length, const RangeSink& sink) {
    if (length == 0) return true;
    const std::wstring range =
        L"bytes=" + std::to_wstring(first) + L"-" + std::to_wstring(first + length - 1);
    return Request(range, first, length, false, sink);
}

bool CRangeClient::FetchTail(uint64_t length, const RangeSink& sink) {
    return Request(L"bytes=-" + std::to_wstring(length), 0, length, true, sink);
}

bool CRangeClient::Fail(std::string reason) {
    m_failure = std::move(reason);
    return false;
}

bool CRangeClient::Request(const std::wstring& range, uint64_t first, uint64_t length, bool suffix,
                           const RangeSink& sink) {
    static const auto read = WinInetFunction<decltype(&::InternetReadFile)>("InternetReadFile");
    m_wholeFileSent = false;
    m_sinkFailed = false;
    if (!m_session || !read) return Fail("the system's internet functions are not available");
    ++m_requests;
    std::wstring headers = L"Range: " + range + L"\r\n" + m_credentials.AuthorizationFor(m_url);
    if (!m_validator.empty())
        headers += L"If-Range: " + std::wstring(m_validator.begin(), m_validator.end()) + L"\r\n";
    CWaitBudget* const budget = CurrentWaitBudget();
    // Whether the failure of a call that began at `since` came from the server's silence: the system
    // does not report a timeout alike everywhere, so the time it took tells.
    const DWORD timeout = RequestTimeout();
    const auto silentSince = [timeout](ULONGLONG since) {
        const ULONGLONG silence = ::GetTickCount64() - since;
        return silence + silence / 8 >= timeout ? std::optional<ULONGLONG>(silence) : std::nullopt;
    };
    const auto secondsOf = [](ULONGLONG milliseconds) { return std::to_string((milliseconds + 500) / 1000); };
    ULONGLONG lastData = ::GetTickCount64();
    SentRequest sent;
    if (!SendRequest(m_session, m_url, L"GET", headers, sent)) {
        const std::string certificateFault = CertificateFaultOf(sent.error);
        if (!certificateFault.empty()) return Fail("the secure connection failed: " + certificateFault);
        const std::optional<ULONGLONG> silence = silentSince(lastData);
        if (budget) budget->Charge(::GetTickCount64() - lastData);
        return Fail(sent.error == ERROR_INTERNET_TIMEOUT || silence
                        ? "no answer for " + secondsOf(silence.value_or(timeout)) + " s"
                        : "the range request could not be sent (system error " + std::to_string(sent.error) +
                              ")");
    }
    if (budget) budget->NoteProgress();
    lastData = ::GetTickCount64();
    const std::string& answer = sent.answer;
    const DWORD status = StatusCode(answer);
    if (status == kOk) {
        m_wholeFileSent = true;
        return Fail(m_validator.empty()
                        ? "the server ignores byte ranges"
                        : "the server sent the whole file: it ignores ranges or the file changed");
    }
    if (status != kPartialContent)
        return Fail("the server answered " + std::to_string(status) + " to a range request");
    const std::optional<ContentRange> given =
        ParseContentRange(HeaderValue(answer, "Content-Range").value_or(""));
    if (!given) return Fail("the server's answer names no valid byte range");
    const std::string validator = ValidatorOf(answer);
    if (m_total == 0) {
        m_total = given->total;
        m_validator = validator;
        if (m_validator.empty())
            return Fail("the server names no ETag or date for the file, so its ranges cannot be trusted");
    } else if (given->total != m_total || validator != m_validator) {
        return Fail("the file changed on the server between two requests");
    }
    if (suffix) {
        first = length >= m_total ? 0 : m_total - length;
        length = m_total - first;
    }
    if (given->first != first || given->last != first + length - 1)
        return Fail("the server sent bytes " + std::to_string(given->first) + "-" +
                    std::to_string(given->last) + " instead of " + std::to_string(first) + "-" +
                    std::to_string(first + length - 1));

    std::vector<unsigned char> buffer(kReadSize);
    uint64_t got = 0;
    for (;;) {
        if (m_cancelled && m_cancelled()) return Fail("cancelled");
        DWORD count = 0;
        const bool readOk = read(sent.request.handle, buffer.data(), kReadSize, &count);
        const DWORD error = readOk ? ERROR_SUCCESS : ::GetLastError();
        if (!readOk || (count == 0 && got != length)) {
            const std::optional<ULONGLONG> silence = silentSince(lastData);
            if (budget) budget->Charge(::GetTickCount64() - lastData);
            if (error == ERROR_INTERNET_TIMEOUT || silence)
                return Fail("no data for " + secondsOf(silence.value_or(timeout)) + " s after " +
                            std::to_string(got) + " bytes");
            if (!readOk)
                return Fail("connection reset after " + std::to_string(got) + " bytes (system error " +
                            std::to_string(error) + ")");
        }
        if (count == 0) break;
        lastData = ::GetTickCount64();
        if (budget) budget->NoteProgress();
        if (got + count > length) return Fail("the server sent more than the range it announced");
        got += count;
        m_received += count;
        if (!sink(buffer.data(), count)) {
            m_sinkFailed = true;
            return Fail("writing the received bytes failed");
        }
    }
    if (got != length)
        return Fail("connection closed after " + std::to_string(got) + " of " + std::to_string(length) +
                    " bytes");
    return true;
}

}  // namespace tessara
