#pragma once
// The window's texts in the user's language, and the troubleshooting page behind the "Help..." link.
// The help site has its own set of locales, wider than our string tables, so the page's language is
// chosen separately from the texts.
#include <windows.h>

#include <string>

namespace tessara {

// A string-table text of the program in the table chosen for the UI language (by default the user's,
// from which the help page's language is chosen too); empty when missing.
std::wstring LoadUiString(UINT id, LANGID uiLanguage);
std::wstring LoadUiString(UINT id);

// The help site's two-letter locale for a UI language ("en" for languages the site does not serve).
const wchar_t* GetHelpLocale(LANGID uiLanguage);
// The same for the current user's UI language.
const wchar_t* GetHelpLocale();

// The troubleshooting page in the given help-site locale.
std::wstring GetHelpPageUrl(const wchar_t* locale);

// Opens the troubleshooting page in the user's browser; a failure to open it is not reported.
void OpenHelpPage(HWND owner);

}  // namespace tessara
