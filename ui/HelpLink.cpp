#include "ui/HelpLink.h"

#include <shellapi.h>

#include <cwchar>

#include "app/Text.h"

namespace tessara {
namespace {

constexpr wchar_t kHelpPageFormat[] =
    L"https://help.orvix.example/%ls/orvix-tessara/kb/tessara-desktop-application-issues.html";

struct HelpLocale {
    WORD primaryLanguage;
    const wchar_t* code;
};

// Traditional and Simplified Chinese share "cn", Portuguese of both countries "br".
constexpr HelpLocale kHelpLocales[] = {
    {LANG_CHINESE, L"cn"}, {LANG_CZECH, L"cs"},   {LANG_GERMAN, L"de"},     {LANG_SPANISH, L"es"},
    {LANG_FRENCH, L"fr"},  {LANG_ITALIAN, L"it"}, {LANG_JAPANESE, L"jp"},   {LANG_KOREAN, L"kr"},
    {LANG_DUTCH, L"nl"},   {LANG_POLISH, L"pl"},  {LANG_PORTUGUESE, L"br"}, {LANG_RUSSIAN, L"ru"},
    {LANG_SWEDISH, L"sv"}, {LANG_TURKISH, L"tr"},
};

}  // namespace

std::wstring LoadUiString(UINT id, LANGID uiLanguage) {
    return LoadResourceText(::GetModuleHandleW(nullptr), id, uiLanguage);
}

std::wstring LoadUiString(UINT id) { return LoadUiString(id, ::GetUserDefaultUILanguage()); }

const wchar_t* GetHelpLocale(LANGID uiLanguage) {
    for (const HelpLocale& locale : kHelpLocales) {
        if (locale.primaryLanguage == PRIMARYLANGID(uiLanguage)) return locale.code;
    }
    return L"en";
}

const wchar_t* GetHelpLocale() { return GetHelpLocale(::GetUserDefaultUILanguage()); }

std::wstring GetHelpPageUrl(const wchar_t* locale) {
    wchar_t url[1024] = {};
    std::swprintf(url, sizeof url / sizeof url[0], kHelpPageFormat, locale);
    return url;
}

void OpenHelpPage(HWND owner) {
    ::ShellExecuteW(owner, L"open", GetHelpPageUrl(GetHelpLocale()).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace tessara
