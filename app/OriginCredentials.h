#pragma once
// A user name and password written into the payload's URL go only where they were given for: the
// origin (scheme, host and port) of that URL. Every request asks this one object whether it may carry
// them, so a redirect to another host or port, or to another scheme, gets nothing.
#include <optional>
#include <string>

namespace tessara {

// The origin of a URL as browsers compare it: scheme and host without case, the port filled in from
// the scheme where the URL leaves it out.
struct UrlOrigin {
    std::wstring scheme;
    std::wstring host;
    unsigned port = 0;
};
// Nothing for a URL without "scheme://" or without a host.
std::optional<UrlOrigin> OriginOf(const std::wstring& url);
bool SameOrigin(const std::wstring& a, const std::wstring& b);
// "scheme://host:port", for the log: an origin holds no secret.
std::string DescribeOrigin(const std::wstring& url);

// Why a redirect from one URL to the next is not to be followed, in words; empty when it may be. A
// redirect from HTTPS to HTTP would carry the request, and what answers it, in the clear.
std::string RedirectRefusal(const std::wstring& from, const std::wstring& to);

class COriginCredentials {
public:
    // Splits the user name and password from the URL, if it has them.
    explicit COriginCredentials(const std::wstring& url);

    // The URL without its user name and password: the one to hand to the system and to write down.
    const std::wstring& Url() const { return m_url; }
    bool Present() const { return !m_authorization.empty(); }
    // Whether a request to url may carry them: only one to their own origin.
    bool MaySendTo(const std::wstring& url) const;
    // "Authorization: Basic ...\r\n" for a request to url when it may carry them; empty otherwise.
    std::wstring AuthorizationFor(const std::wstring& url) const;

private:
    std::wstring m_url;
    std::wstring m_authorization;
};

}  // namespace tessara
