#include "app/OriginCredentials.h"

#include <cwctype>

#include "app/HttpText.h"
#include "app/Text.h"

namespace tessara {
namespace {

unsigned DefaultPort(const std::wstring& scheme) {
    if (scheme == L"http") return 80;
    if (scheme == L"https") return 443;
    return 0;
}

std::wstring Lowered(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

bool operator==(const UrlOrigin& a, const UrlOrigin& b) {
    return a.scheme == b.scheme && a.host == b.host && a.port == b.port;
}

}  // namespace

std::optional<UrlOrigin> OriginOf(const std::wstring& url) {
    const std::wstring scheme = UrlScheme(url);
    if (scheme.empty() || url.compare(scheme.size(), 3, L"://") != 0) return std::nullopt;
    const size_t start = scheme.size() + 3;
    const size_t end = url.find_first_of(L"/?#\\", start);
    std::wstring authority = url.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    const size_t at = authority.rfind(L'@');
    if (at != std::wstring::npos) authority.erase(0, at + 1);
    // "[::1]:8080": the port's colon is the one after the bracket.
    const size_t bracket = authority.rfind(L']');
    const size_t colon = authority.find(L':', bracket == std::wstring::npos ? 0 : bracket);
    UrlOrigin origin{scheme, Lowered(authority.substr(0, colon)), DefaultPort(scheme)};
    if (origin.host.empty()) return std::nullopt;
    if (colon != std::wstring::npos && colon + 1 < authority.size()) {
        const std::optional<uint64_t> port =
            ParseDecimal(NarrowText(authority.substr(colon + 1), CP_UTF8).value_or("x"));
        if (!port || *port > 65535) return std::nullopt;
        origin.port = static_cast<unsigned>(*port);
    }
    return origin;
}

bool SameOrigin(const std::wstring& a, const std::wstring& b) {
    const std::optional<UrlOrigin> first = OriginOf(a);
    const std::optional<UrlOrigin> second = OriginOf(b);
    return first && second && *first == *second;
}

std::string DescribeOrigin(const std::wstring& url) {
    const std::optional<UrlOrigin> origin = OriginOf(url);
    if (!origin) return "(an address without a host)";
    return NarrowText(origin->scheme + L"://" + origin->host + L":" + std::to_wstring(origin->port), CP_UTF8)
        .value_or("?");
}

std::string RedirectRefusal(const std::wstring& from, const std::wstring& to) {
    if (UrlScheme(from) != L"https" || UrlScheme(to) != L"http") return {};
    return "the server redirected from HTTPS to unencrypted HTTP (" + DescribeOrigin(to) +
           "), which is refused";
}

COriginCredentials::COriginCredentials(const std::wstring& url) {
    const UrlCredentials split = SplitUrlCredentials(url);
    m_url = split.url;
    m_authorization = BasicAuthorizationHeader(split);
}

bool COriginCredentials::MaySendTo(const std::wstring& url) const {
    return Present() && SameOrigin(m_url, url);
}

std::wstring COriginCredentials::AuthorizationFor(const std::wstring& url) const {
    return MaySendTo(url) ? m_authorization : std::wstring();
}

}  // namespace tessara
