#include "app/HttpText.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cwctype>
#include <limits>
#include <vector>

#include "app/Text.h"

namespace tessara {
namespace {

bool SameLetters(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

std::string_view Trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

int HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// "%41" and friends, as a URL writes the bytes of a UTF-8 user name; a stray '%' stays as it is.
std::wstring PercentDecoded(const std::wstring& text) {
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
            HexValue(text[i + 2]) >= 0) {
            bytes.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
            i += 2;
        } else {
            bytes += NarrowText(std::wstring(1, text[i]), CP_UTF8).value_or("?");
        }
    }
    return WidenText(bytes, CP_UTF8).value_or(text);
}

std::string Base64(const std::string& bytes) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(group >> 18) & 63];
        out += kAlphabet[(group >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(group >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[group & 63] : '=';
    }
    return out;
}

// Where the user information of a URL ends: the '@' before the host, if any.
template <typename String>
size_t AuthorityEnd(const String& text, size_t authorityStart) {
    size_t end = authorityStart;
    while (end < text.size() && text[end] != '/' && text[end] != '?' && text[end] != '#' &&
           text[end] != ' ' && text[end] != '"' && text[end] != '\t' && text[end] != '\r' &&
           text[end] != '\n')
        ++end;
    return end;
}

// 1 to 12 for "Jan" to "Dec" (any case); 0 for anything else.
int MonthNumber(std::string_view name) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int i = 0; i < 12; ++i)
        if (SameLetters(name, kMonths[i])) return i + 1;
    return 0;
}

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
int64_t DaysSince1970(int64_t year, int month, int day) {
    year -= month <= 2;
    const int64_t era = year / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

}  // namespace

std::optional<std::string> HeaderValue(std::string_view headers, std::string_view name) {
    size_t start = 0;
    while (start < headers.size()) {
        size_t end = headers.find('\n', start);
        if (end == std::string_view::npos) end = headers.size();
        const std::string_view line = headers.substr(start, end - start);
        const size_t colon = line.find(':');
        if (colon != std::string_view::npos && SameLetters(Trimmed(line.substr(0, colon)), name))
            return std::string(Trimmed(line.substr(colon + 1)));
        start = end + 1;
    }
    return std::nullopt;
}

std::optional<uint64_t> ParseDecimal(std::string_view text) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<int64_t> ParseHttpDate(std::string_view text) {
    std::vector<std::string_view> words;
    for (size_t at = 0; at < text.size();) {
        const size_t start = text.find_first_not_of(" ,-", at);
        if (start == std::string_view::npos) break;
        at = std::min(text.find_first_of(" ,-", start), text.size());
        words.push_back(text.substr(start, at - start));
    }
    // After the weekday: "06 Nov 1994 08:49:37 GMT", "06 Nov 94 08:49:37 GMT" or "Nov 6 08:49:37 1994".
    const bool asctime = words.size() == 5 && MonthNumber(words[1]);
    if (!asctime && (words.size() != 6 || !SameLetters(words[5], "GMT"))) return std::nullopt;
    const std::string_view time = asctime ? words[3] : words[4];
    const std::string_view year = asctime ? words[4] : words[3];
    const int month = MonthNumber(asctime ? words[1] : words[2]);
    const std::string_view day = asctime ? words[2] : words[1];
    const uint64_t dayNumber = day.size() <= 2 ? ParseDecimal(day).value_or(0) : 0;
    uint64_t yearNumber = year.size() == 2 || year.size() == 4 ? ParseDecimal(year).value_or(0) : 0;
    if (year.size() == 2) yearNumber += yearNumber < 70 ? 2000 : 1900;
    if (time.size() != 8 || time[2] != ':' || time[5] != ':') return std::nullopt;
    const uint64_t hour = ParseDecimal(time.substr(0, 2)).value_or(99);
    const uint64_t minute = ParseDecimal(time.substr(3, 2)).value_or(99);
    const uint64_t second = ParseDecimal(time.substr(6, 2)).value_or(99);
    if (!month || dayNumber < 1 || dayNumber > 31 || yearNumber < 1970 || yearNumber > 9999 || hour > 23 ||
        minute > 59 || second > 60)
        return std::nullopt;
    const int64_t days = DaysSince1970(static_cast<int64_t>(yearNumber), month, static_cast<int>(dayNumber));
    return days * 86400 + static_cast<int64_t>(hour * 3600 + minute * 60 + second);
}

std::optional<uint64_t> ParseRetryAfter(std::string_view value, std::string_view date, int64_t now) {
    value = Trimmed(value);
    if (const std::optional<uint64_t> seconds = ParseDecimal(value)) return seconds;
    const std::optional<int64_t> until = ParseHttpDate(value);
    if (!until) return std::nullopt;
    const int64_t from = ParseHttpDate(Trimmed(date)).value_or(now);
    return *until > from ? static_cast<uint64_t>(*until - from) : 0;
}

std::optional<ContentRange> ParseContentRange(std::string_view value) {
    value = Trimmed(value);
    constexpr std::string_view kUnit = "bytes ";
    if (value.size() < kUnit.size() || !SameLetters(value.substr(0, kUnit.size()), kUnit))
        return std::nullopt;
    value = Trimmed(value.substr(kUnit.size()));
    const size_t dash = value.find('-');
    const size_t slash = value.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash)
        return std::nullopt;
    const auto first = ParseDecimal(value.substr(0, dash));
    const auto last = ParseDecimal(value.substr(dash + 1, slash - dash - 1));
    const auto total = ParseDecimal(value.substr(slash + 1));
    if (!first || !last || !total || *first > *last || *last >= *total) return std::nullopt;
    return ContentRange{*first, *last, *total};
}

UrlCredentials SplitUrlCredentials(const std::wstring& url) {
    UrlCredentials parts{url, {}, {}, false};
    const size_t scheme = url.find(L"://");
    if (scheme == std::wstring::npos) return parts;
    const size_t start = scheme + 3;
    const size_t end = AuthorityEnd(url, start);
    const size_t at = url.rfind(L'@', end == 0 ? 0 : end - 1);
    if (at == std::wstring::npos || at < start || at >= end) return parts;
    const std::wstring userInfo = url.substr(start, at - start);
    const size_t colon = userInfo.find(L':');
    parts.user = PercentDecoded(userInfo.substr(0, colon));
    if (colon != std::wstring::npos) parts.password = PercentDecoded(userInfo.substr(colon + 1));
    parts.url = url.substr(0, start) + url.substr(at + 1);
    parts.present = true;
    return parts;
}

std::string MaskUrlCredentials(std::string text) {
    for (size_t scheme = text.find("://"); scheme != std::string::npos;
         scheme = text.find("://", scheme + 3)) {
        const size_t start = scheme + 3;
        const size_t end = AuthorityEnd(text, start);
        const size_t at = text.rfind('@', end == 0 ? 0 : end - 1);
        if (at == std::string::npos || at < start || at >= end) continue;
        const size_t colon = text.find(':', start);
        if (colon == std::string::npos || colon > at) continue;
        text.replace(colon + 1, at - colon - 1, "***");
    }
    return text;
}

std::wstring BasicAuthorizationHeader(const UrlCredentials& credentials) {
    if (!credentials.present) return {};
    const std::string pair = NarrowText(credentials.user + L":" + credentials.password, CP_UTF8).value_or("");
    const std::string encoded = Base64(pair);
    return L"Authorization: Basic " + std::wstring(encoded.begin(), encoded.end()) + L"\r\n";
}

std::wstring UrlScheme(const std::wstring& url) {
    const size_t colon = url.find(L':');
    if (colon == std::wstring::npos || colon == 0) return {};
    std::wstring scheme = url.substr(0, colon);
    for (wchar_t& c : scheme) {
        if (!std::iswalnum(c) && c != L'+' && c != L'-' && c != L'.') return {};
        c = static_cast<wchar_t>(std::towlower(c));
    }
    return scheme;
}

}  // namespace tessara
