#include "ui/HelpLink.h"

#include <shellapi.h>

#include <cwchar>
#include <iterator>

namespace tessara {
namespace {

struct SiteLocale {
    WORD primaryLanguage;
    const wchar_t* code;
};

const SiteLocale kSiteLocales[] = {
    {LANG_CHINESE, L"cn"}, {LANG_CZECH, L"cs"},   {LANG_GERMAN, L"de"},     {LANG_SPANISH, L"es"},
    {LANG_FRENCH, L"fr"},  {LANG_ITALIAN, L"it"}, {LANG_JAPANESE, L"jp"},   {LANG_KOREAN, L"kr"},
    {LANG_DUTCH, L"nl"},   {LANG_POLISH, L"pl"},  {LANG_PORTUGUESE, L"br"}, {LANG_RUSSIAN, L"ru"},
    {LANG_SWEDISH, L"sv"}, {LANG_TURKISH, L"tr"},
};

const wchar_t* HelpLocale() {
    const WORD primary = PRIMARYLANGID(::GetUserDefaultUILanguage());
    for (const SiteLocale& locale : kSiteLocales) {
        if (locale.primaryLanguage == primary) return locale.code;
    }
    return L"en";
}

}  // namespace

void OpenHelpPage(HWND owner) {
    wchar_t url[1024] = {};
    std::swprintf(url, std::size(url),
                  L"https://help.orvix.example/%ls/orvix-tessara/kb/tessara-desktop-application-issues.html",
                  HelpLocale());
    ::ShellExecuteW(owner, L"open", url, nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace tessara
